// Functions of system libraries looked up at their first use. A binary that
// reaches a library this way does not import it: it loads where the library
// or one of its functions is missing, and only the calls that need the
// missing piece fail, with a result fixed in advance.
#ifndef PARCEL_PLATFORM_LAZY_SYMBOL_H_
#define PARCEL_PLATFORM_LAZY_SYMBOL_H_

#include <atomic>

namespace parcel::platform {

// A system library, loaded at its first use and never unloaded, so addresses
// found in it stay valid for the life of the process. Meant for
// namespace-scope objects: the constructor is constexpr, so the object is
// ready before any code runs and has no destructor ordering to worry about.
// `name` must outlive the object (a string literal): the file name as the
// system's loader takes it ("ws2_32.dll", "libc.so.6").
class SystemLibrary {
 public:
  explicit constexpr SystemLibrary(const char* name) noexcept : name_(name) {}
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // True when the library is loaded. The first call loads it (dlopen,
  // LoadLibraryA); the system is asked once, whatever the outcome, and
  // threads racing on the first call wait for that one answer. Thread-safe.
  bool Load() noexcept;

  // The loader's handle, null when the library is missing. Loads like Load.
  void* Handle() noexcept;

 private:
  const char* name_;
  void* handle_ = nullptr;  // written once, before state_ turns to done
  std::atomic<int> state_{0};
};

namespace detail {

// The address behind a LazySymbol: looked up once in `library`, then kept.
class LazyAddress {
 public:
  constexpr LazyAddress(SystemLibrary& library, const char* name) noexcept
      : library_(library), name_(name) {}
  LazyAddress(const LazyAddress&) = delete;
  LazyAddress& operator=(const LazyAddress&) = delete;

  // The function's address, null when the library or the function is
  // missing. The first call asks the system (once, as SystemLibrary::Load
  // does); later calls cost one atomic load. Thread-safe.
  void* Resolve() noexcept;

 private:
  SystemLibrary& library_;
  const char* name_;
  void* address_ = nullptr;  // written once, before state_ turns to done
  std::atomic<int> state_{0};
};

// Each side's loader: open a system library by file name (null when
// missing), find an exported function (null when missing), and the one
// process-wide lock under which first look-ups run.
void* OpenSystemLibrary(const char* name) noexcept;
void* FindSystemSymbol(void* library, const char* name) noexcept;
void LockLookups() noexcept;
void UnlockLookups() noexcept;

}  // namespace detail

// A function of a system library with the signature `Result(Args...)`,
// looked up at its first use. Calling it calls the function, or returns
// `failure` without calling anything when the library lacks the function.
// Get gives the function itself for callers that need to tell the two apart
// (the failure value of a function returning a handle or a count is often no
// error code). Like SystemLibrary, meant for constinit namespace-scope
// objects; `library` and `name` must outlive the object.
//
// 64-bit Windows has one calling convention, so the signature needs none.
template <typename Signature>
class LazySymbol;

template <typename Result, typename... Args>
class LazySymbol<Result(Args...)> {
 public:
  using Function = Result (*)(Args...);

  constexpr LazySymbol(SystemLibrary& library, const char* name, Result failure) noexcept
      : address_(library, name), failure_(failure) {}

  // The function, or null when the library or the function is missing.
  Function Get() noexcept { return reinterpret_cast<Function>(address_.Resolve()); }

  Result operator()(Args... args) noexcept {
    Function function = Get();
    return function != nullptr ? function(args...) : failure_;
  }

 private:
  detail::LazyAddress address_;
  Result failure_;
};

// A function without a result: a missing one does nothing.
template <typename... Args>
class LazySymbol<void(Args...)> {
 public:
  using Function = void (*)(Args...);

  constexpr LazySymbol(SystemLibrary& library, const char* name) noexcept
      : address_(library, name) {}

  Function Get() noexcept { return reinterpret_cast<Function>(address_.Resolve()); }

  void operator()(Args... args) noexcept {
    if (Function function = Get(); function != nullptr) function(args...);
  }

 private:
  detail::LazyAddress address_;
};

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_LAZY_SYMBOL_H_
