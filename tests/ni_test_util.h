// Shared pieces of the network library's tests: a fixture that captures the
// trace and starts and ends the library, ports in network order, and a
// scripted socket layer that fails chosen calls.
#ifndef PARCEL_TESTS_NI_TEST_UTIL_H_
#define PARCEL_TESTS_NI_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "errinfo/errinfo.h"
#include "ni/ni_addr.h"
#include "ni/nii.h"
#include "runtime/trace.h"
#include "tests/temp_stream.h"

namespace parcel::testing {

// A port number in network order.
inline std::uint16_t NetPort(unsigned port) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                  static_cast<unsigned char>(port)};
  std::uint16_t value;
  std::memcpy(&value, bytes, 2);
  return value;
}

inline unsigned HostPort(std::uint16_t port) {
  unsigned char bytes[2];
  std::memcpy(bytes, &port, 2);
  return static_cast<unsigned>(bytes[0]) << 8 | bytes[1];
}

// Fails the next calls of chosen socket functions with chosen error
// numbers; every other call goes to the platform.
class ScriptedSockets {
 public:
  ScriptedSockets() {
    system_ = ni::SiPlatformSystem();
    system_.startup = &Startup;
    system_.cleanup = &Cleanup;
    system_.open = &Open;
    system_.close = &Close;
    system_.bind = &Bind;
    system_.find_qos_providers = &FindQos;
    previous_ = ni::SiSetSystem(&system_);
  }
  ~ScriptedSockets() {
    ni::SiSetSystem(previous_);
    Script() = {};
  }
  ScriptedSockets(const ScriptedSockets&) = delete;
  ScriptedSockets& operator=(const ScriptedSockets&) = delete;

  // Queues: each call of the function takes the front value; 0 = the
  // platform's call.
  std::deque<int>& startup() { return Script().startup; }
  std::deque<int>& open() { return Script().open; }
  std::deque<int>& bind() { return Script().bind; }
  std::deque<int>& close() { return Script().close; }
  std::deque<int>& cleanup() { return Script().cleanup; }
  // A socket handle `open` hands out instead of a real one (with result 0).
  void set_fake_handle(platform::SocketHandle handle) { Script().fake_handle = handle; }
  // Quality-of-service providers to report.
  void set_qos(bool tcp, bool udp) {
    Script().qos_set = true;
    Script().qos_tcp = tcp;
    Script().qos_udp = udp;
  }
  int startups() const { return Script().startups; }
  int cleanups() const { return Script().cleanups; }
  const platform::ProtocolEntry* last_provider() const { return Script().last_provider; }

 private:
  struct State {
    std::deque<int> startup, open, bind, close, cleanup;
    platform::SocketHandle fake_handle = platform::kInvalidSocket;
    bool qos_set = false, qos_tcp = false, qos_udp = false;
    int startups = 0, cleanups = 0;
    const platform::ProtocolEntry* last_provider = nullptr;
  };
  static State& Script() {
    static State state;
    return state;
  }
  static int Take(std::deque<int>& queue) {
    if (queue.empty()) return 0;
    int value = queue.front();
    queue.pop_front();
    return value;
  }
  static int Startup(int major, int minor) {
    ++Script().startups;
    int e = Take(Script().startup);
    return e != 0 ? e : platform::SocketStartup(major, minor);
  }
  static int Cleanup() {
    ++Script().cleanups;
    int e = Take(Script().cleanup);
    return e != 0 ? e : platform::SocketCleanup();
  }
  static int Open(int family, int type, int protocol, const platform::ProtocolEntry* provider,
                  platform::SocketHandle* out) {
    Script().last_provider = provider;
    if (int e = Take(Script().open); e != 0) return e;
    if (Script().fake_handle != platform::kInvalidSocket) {
      *out = std::exchange(Script().fake_handle, platform::kInvalidSocket);
      return 0;
    }
    return platform::SocketOpen(family, type, protocol, nullptr, out);
  }
  static int Close(platform::SocketHandle socket) {
    if (int e = Take(Script().close); e != 0) return e;
    return platform::SocketClose(socket);
  }
  static int Bind(platform::SocketHandle socket, const platform::SocketAddress& address) {
    if (int e = Take(Script().bind); e != 0) return e;
    return platform::SocketBind(socket, address);
  }
  static int FindQos(platform::ProtocolEntry* tcp, bool* have_tcp, platform::ProtocolEntry* udp,
                     bool* have_udp) {
    if (!Script().qos_set) return platform::FindQosProviders(tcp, have_tcp, udp, have_udp);
    std::memset(tcp->bytes, 'T', sizeof tcp->bytes);
    std::memset(udp->bytes, 'U', sizeof udp->bytes);
    *have_tcp = Script().qos_tcp;
    *have_udp = Script().qos_udp;
    return 0;
  }
  ni::SiSystem system_{};
  const ni::SiSystem* previous_ = nullptr;
};

// Captures the trace at `level` without time stamps, and ends the library
// and the error information after each test.
class NiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime::ResetTrace();
    errinfo::ResetErrInfo();
    trcStampMode = 0;
    trcHandle = trace_.get();
  }
  void TearDown() override {
    NiIExit();
    trcLevel = 0;
    trcHandle = nullptr;
    runtime::ResetTrace();
    errinfo::ResetErrInfo();
  }
  void Trace(int level) { trcLevel = level; }
  std::string TraceText() const { return trace_.Text(); }
  static std::string ErrorText() { return ErrGetFld(errinfo::kErrFieldError); }

  TempStream trace_{"parcel_ni_"};
};

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_NI_TEST_UTIL_H_
