// A thin C++ layer over the network library (ni/ni.h): Handle owns one NI
// handle and closes it when destroyed. Results stay NI codes; nothing
// throws.
#ifndef PARCEL_NI_NI_CXX_H_
#define PARCEL_NI_NI_CXX_H_

#include <utility>

#include "ni/ni.h"

namespace parcel::ni {

class Handle {
 public:
  Handle() = default;
  explicit Handle(NI_HANDLE handle) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(std::exchange(other.handle_, NI_NO_HANDLE)) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, NI_NO_HANDLE);
    }
    return *this;
  }

  // Listens / connects; `out` receives the new handle (its old one closed).
  static int Listen(const char* address, unsigned short port, int what, Handle* out) {
    NI_HANDLE handle = NI_NO_HANDLE;
    int rc = NiListen(address, port, what, &handle);
    *out = Handle(handle);
    return rc;
  }
  static int Connect(const char* host, unsigned short port, int timeout, Handle* out) {
    NI_HANDLE handle = NI_NO_HANDLE;
    int rc = NiConnect(host, port, timeout, &handle);
    *out = Handle(handle);
    return rc;
  }
  static int ConnectLocal(unsigned short port, int timeout, Handle* out) {
    NI_HANDLE handle = NI_NO_HANDLE;
    int rc = NiConnectLocal(port, timeout, &handle);
    *out = Handle(handle);
    return rc;
  }
  int Accept(int timeout, Handle* out) const {
    NI_HANDLE handle = NI_NO_HANDLE;
    int rc = NiAccept(handle_, timeout, &handle);
    *out = Handle(handle);
    return rc;
  }

  // One message. `written`/`received` may be null when the caller does not
  // continue partial transfers.
  int Write(const void* data, int length, int timeout = NI_BLOCK, int* written = nullptr) const {
    int count = 0;
    int rc = NiWrite(handle_, data, length, timeout, &count);
    if (written != nullptr) *written = count;
    return rc;
  }
  int Read(void* buffer, int length, int timeout, int* received) const {
    return NiRead(handle_, buffer, length, timeout, received);
  }
  int WriteRaw(const void* data, int length, int timeout, int* written) const {
    return NiWriteRaw(handle_, data, length, timeout, written);
  }
  int ReadRaw(void* buffer, int length, int timeout, int* received) const {
    return NiReadRaw(handle_, buffer, length, timeout, received);
  }
  int Peek(int direction, int timeout) const { return NiPeek(handle_, direction, timeout); }
  int Ping(int timeout) const { return NiPing(handle_, timeout); }
  int SetParam(int param, int value) const { return NiSetParam(handle_, param, value); }
  int GetParam(int param, int* value) const { return NiGetParam(handle_, param, value); }
  // The local port; 0 when the handle has none.
  unsigned short Port() const {
    unsigned short port = 0;
    return NiHandlePort(handle_, &port) == NI_OK ? port : 0;
  }

  NI_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != NI_NO_HANDLE; }
  // Gives up ownership without closing.
  NI_HANDLE release() { return std::exchange(handle_, NI_NO_HANDLE); }
  void Close() {
    if (handle_ != NI_NO_HANDLE) (void)NiClose(std::exchange(handle_, NI_NO_HANDLE));
  }

 private:
  NI_HANDLE handle_ = NI_NO_HANDLE;
};

}  // namespace parcel::ni

#endif  // PARCEL_NI_NI_CXX_H_
