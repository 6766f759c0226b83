// Export macro for the few functions the module exposes by name (everything
// else is built with hidden visibility), and the printf-format check macro.
#ifndef PARCEL_PLATFORM_EXPORT_H_
#define PARCEL_PLATFORM_EXPORT_H_

#if defined(_WIN32)
#define PARCEL_EXPORT __declspec(dllexport)
#else
#define PARCEL_EXPORT __attribute__((visibility("default")))
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
