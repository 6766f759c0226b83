// The interpreter object model the service host drives: the abstract
// OrbInterpreterBase it sees, and OrbInterpreterGen, which owns the data
// container and runs the request cycle.
//
// Binary contract: the host calls the operations by their position in the
// virtual table, so the declaration order below is binding:
//   0 Init  1 Process  2 Reset  3 SetFlag  4 ClearFlag  5 GetFlag
//   6 GetName  7 GetType  8 GetVersion  9 Destroy (deleting destructor)
//   10 Execute (OrbInterpreterGen)
// With the Itanium C++ ABI (g++, clang, mingw) a virtual destructor takes two
// slots, so OrbInterpreterBase has none: slot 9 is Destroy, which destroys and
// frees the object, and the real virtual destructor of OrbInterpreterGen comes
// after Execute. interpreter/host_abi.h describes the same table for hosts.
#ifndef PARCEL_INTERPRETER_ORB_INTERPRETER_H_
#define PARCEL_INTERPRETER_ORB_INTERPRETER_H_

#include <cstdint>

class OrbData;

class OrbInterpreterBase {
 public:
  // Slot 0. Keeps `hostContext` (never read by the module), seeds the
  // process-wide pseudo-random generator with the clock. Returns true.
  virtual bool Init(std::uintptr_t hostContext) noexcept = 0;
  // Slot 1. Runs one request; see OrbInterpreterGen::Process.
  virtual bool Process(char* request, std::uint32_t requestSize, char** responseData,
                       std::uint32_t* responseSize) noexcept = 0;
  // Slot 2. Releases the response; harmless without one.
  virtual void Reset() noexcept = 0;
  // Slots 3 to 5: the host's flag, never consulted by the module.
  virtual void SetFlag() noexcept = 0;
  virtual void ClearFlag() noexcept = 0;
  virtual bool GetFlag() noexcept = 0;
  // Slots 6 to 8: constant texts of the module; the host neither frees nor changes them.
  virtual const char* GetName() noexcept = 0;
  virtual const char* GetType() noexcept = 0;
  virtual const char* GetVersion() noexcept = 0;
  // Slot 9. Destroys the interpreter, releasing everything it holds, and frees
  // its memory. The object must not be used afterwards.
  virtual void Destroy() noexcept = 0;

 protected:
  // Not virtual, so it takes no slot; objects end only through Destroy.
  ~OrbInterpreterBase() = default;
};

class OrbInterpreterGen : public OrbInterpreterBase {
 public:
  bool Init(std::uintptr_t context) noexcept override;
  // Loads `request` (borrowed: it must stay valid and writable until the call
  // returns; tag bytes are rewritten in place), runs Execute, and hands out the
  // response through `responseData`/`responseSize` when both are non-null
  // (null and 0 when there is none). Returns true when a response exists, which
  // may be an error document. A response still held from an earlier call is
  // released first. The response stays valid until Reset or Destroy.
  bool Process(char* request, std::uint32_t requestSize, char** responseData,
               std::uint32_t* responseSize) noexcept override;
  void Reset() noexcept override;
  void SetFlag() noexcept override;
  void ClearFlag() noexcept override;
  bool GetFlag() noexcept override;
  void Destroy() noexcept override;

  // Slot 10. The job: turns the request parts into output parts. True on success.
  virtual bool Execute() noexcept = 0;

  // Job accessors, forwarding to the container.
  int GetPartCount();
  // First byte of part `index`; null when there is no such part.
  char* GetPartData(int index);
  // Line width times line count of part `index` (a 32-bit product); 0 when none.
  int GetPartSize(int index);
  // Index of the part called `name` (case-insensitive); -1 when none.
  int FindPart(const char* name);
  // Appends a copy of `size` bytes as an output part. False, leaving the
  // output unchanged, for null bytes, size 0, a null MIME type or no memory.
  bool AddOutputPart(const char* bytes, std::uint32_t size, const char* mimeType, const char* name,
                     const char* fileName);
  // Appends the `size` bytes at the start of `block` (from malloc) as an
  // output part without copying them: on true the container owns `block`; on
  // false (as AddOutputPart) the caller keeps it and the output is unchanged.
  bool AdoptOutputPart(char* block, std::uint32_t size, const char* mimeType, const char* name,
                       const char* fileName);

  // Drops every output part stored so far.
  void DiscardOutput() noexcept;

  // True when the container exists (it may be missing after memory ran out
  // during construction; such an object is never handed to a host).
  bool IsUsable() const { return data != nullptr; }

 protected:
  OrbInterpreterGen();
  virtual ~OrbInterpreterGen();

 private:
  std::uintptr_t hostContext;
  OrbData* data;
  bool flag;
};

#endif  // PARCEL_INTERPRETER_ORB_INTERPRETER_H_
