// The upload page the HTTP host serves at "/": plain HTML with a little
// script that posts the chosen files to /compress and offers the archive.
#ifndef PARCEL_HOST_SERVE_UPLOAD_PAGE_H_
#define PARCEL_HOST_SERVE_UPLOAD_PAGE_H_

#include <string_view>

namespace parcel::host {

// The page, UTF-8. Without script the form posts to /compress itself and the
// browser shows the response document.
std::string_view UploadPage();

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_UPLOAD_PAGE_H_
