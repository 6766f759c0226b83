// Export macro for the few functions the module exposes by name. Everything
// else is built with hidden visibility and stays internal to the module.
#ifndef PARCEL_PLATFORM_EXPORT_H_
#define PARCEL_PLATFORM_EXPORT_H_

#if defined(_WIN32)
#define PARCEL_EXPORT __declspec(dllexport)
#else
#define PARCEL_EXPORT __attribute__((visibility("default")))
#endif

#endif  // PARCEL_PLATFORM_EXPORT_H_
