/* Version texts of the parcel module, shared by its version resource
 * (interpreter/parcel.rc) and its version stamps (module_stamps.cpp). Plain
 * macros only: the resource compiler reads this file too. */
#ifndef PARCEL_VERSION_MODULE_VERSION_H_
#define PARCEL_VERSION_MODULE_VERSION_H_

#define PARCEL_FILE_VERSION_NUMBERS 7000, 113, 13, 59182
#define PARCEL_PRODUCT_VERSION_NUMBERS 700, 113, 0, 0

#define PARCEL_FILE_VERSION_TEXT "7000, 113, 13, 59182"
#define PARCEL_PRODUCT_VERSION_TEXT "700, patch 113, changelist 911150"
#define PARCEL_PLATFORM_TEXT "NTAMD64"
#define PARCEL_SPECIAL_BUILD_TEXT "opt"

/* The one string block of the resource: German (Germany), Unicode. */
#define PARCEL_VERSION_LANGUAGE 0x0407
#define PARCEL_VERSION_CODE_PAGE 0x04B0
#define PARCEL_VERSION_BLOCK "040704b0"

#endif /* PARCEL_VERSION_MODULE_VERSION_H_ */
