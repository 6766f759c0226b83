// Export macros: the one for the few functions the module exposes by name
// (everything else is built with hidden visibility), one per library that is
// also built as a shared library, and the printf-format check macro.
#ifndef PARCEL_PLATFORM_EXPORT_H_
#define PARCEL_PLATFORM_EXPORT_H_

#if defined(_WIN32)
#define PARCEL_DLL_EXPORT __declspec(dllexport)
#define PARCEL_DLL_IMPORT __declspec(dllimport)
#else
#define PARCEL_DLL_EXPORT __attribute__((visibility("default")))
#define PARCEL_DLL_IMPORT __attribute__((visibility("default")))
#endif

#define PARCEL_EXPORT PARCEL_DLL_EXPORT

// The public functions and variables of runtime/, errinfo/, version/ and ni/
// carry their library's PARCEL_<LIB>_API. It exports them while the library's
// shared form is built (PARCEL_<LIB>_BUILD_SHARED), imports them in code that
// uses the shared form (PARCEL_<LIB>_SHARED, which the shared library's target
// hands to its users), and is empty otherwise: the static libraries, and the
// module and programs linking them, keep every symbol hidden.
#if defined(PARCEL_RUNTIME_BUILD_SHARED)
#define PARCEL_RUNTIME_API PARCEL_DLL_EXPORT
#elif defined(PARCEL_RUNTIME_SHARED)
#define PARCEL_RUNTIME_API PARCEL_DLL_IMPORT
#else
#define PARCEL_RUNTIME_API
#endif

#if defined(PARCEL_ERRINFO_BUILD_SHARED)
#define PARCEL_ERRINFO_API PARCEL_DLL_EXPORT
#elif defined(PARCEL_ERRINFO_SHARED)
#define PARCEL_ERRINFO_API PARCEL_DLL_IMPORT
#else
#define PARCEL_ERRINFO_API
#endif

#if defined(PARCEL_VERSION_BUILD_SHARED)
#define PARCEL_VERSION_API PARCEL_DLL_EXPORT
#elif defined(PARCEL_VERSION_SHARED)
#define PARCEL_VERSION_API PARCEL_DLL_IMPORT
#else
#define PARCEL_VERSION_API
#endif

#if defined(PARCEL_NI_BUILD_SHARED)
#define PARCEL_NI_API PARCEL_DLL_EXPORT
#elif defined(PARCEL_NI_SHARED)
#define PARCEL_NI_API PARCEL_DLL_IMPORT
#else
#define PARCEL_NI_API
#endif

// Checks printf-style arguments. On mingw the plain printf archetype checks the
// Microsoft dialect and flags %zu, so the GNU archetype is named explicitly.
#if defined(__clang__)
#define PARCEL_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define PARCEL_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#endif

#endif  // PARCEL_PLATFORM_EXPORT_H_
