// Many connections on one select set. The server is one thread with an NI
// select set of buffered handles that echoes every message; the clients, in
// another process (both ends of 10,000 connections in one process would
// need 20,000 descriptors), hold N connections on a select set of their own
// and send each connection's small message once per period, the sends of
// one period spread evenly over it. The client measures each echo from the
// moment it wrote the message to the moment it took the echo from its set.
//
//   ni_scale server [--port P] [--connections N]
//       prints "port P", serves until every connection it accepted is closed
//   ni_scale clients --port P [--connections N] [--seconds S] [--rate R]
//       N connections (10000), S seconds (60), R messages per second and
//       connection (1); ends with one line "result key=value ..."; exit
//       code 1 when a connection failed or an echo was missing
//
// bench/run_ni_bench.sh raises the descriptor limit and runs both.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ni_bench_util.h"
#include "ni/ni.h"
#include "ni/ni_cxx.h"

namespace {

using parcel::bench::DecodeProbe;
using parcel::bench::EncodeProbe;
using parcel::bench::kProbeSize;
using parcel::bench::LatencySamples;
using parcel::bench::Probe;
using parcel::bench::SendPlan;
using parcel::ni::Handle;

constexpr int kSpareHandles = 64;
constexpr int kEventCapacity = 512;
// How long the clients wait for the last echoes after the last send.
constexpr std::int64_t kGraceUs = 3'000'000;

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Options {
  std::string mode;
  int port = 0;
  int connections = 10'000;
  double seconds = 60;
  int rate = 1;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  if (argc < 2) return false;
  options->mode = argv[1];
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--port") {
      options->port = std::atoi(value);
    } else if (name == "--connections") {
      options->connections = std::atoi(value);
    } else if (name == "--seconds") {
      options->seconds = std::atof(value);
    } else if (name == "--rate") {
      options->rate = std::atoi(value);
    } else {
      return false;
    }
  }
  if (argc % 2 != 0) return false;  // a name without its value
  return (options->mode == "server" || options->mode == "clients") && options->port >= 0 &&
         options->port <= 65535 && options->connections > 0 && options->seconds > 0 &&
         options->rate > 0;
}

// --- Server ------------------------------------------------------------------------

int Serve(const Options& options) {
  if (int rc = NiInitHandles(options.connections + kSpareHandles); rc != NI_OK) {
    return std::fprintf(stderr, "ni_scale: handle table: %s\n", NiErrorName(rc)), 1;
  }
  Handle listener;
  int rc = Handle::Listen("127.0.0.1", static_cast<unsigned short>(options.port), NI_LISTEN_IPV4,
                          &listener);
  NI_SELSET* set = nullptr;
  if (rc == NI_OK) rc = NiSelNewSet(&set);
  if (rc == NI_OK) rc = NiSelSet(set, listener.get(), NI_SEL_READ);
  if (rc != NI_OK) return std::fprintf(stderr, "ni_scale: listen: %s\n", NiErrorName(rc)), 1;
  std::printf("port %u\n", listener.Port());
  std::fflush(stdout);

  int accepted = 0, open = 0, peak = 0, closed_by_peer = 0, failed = 0;
  std::int64_t echoed = 0, refused = 0;
  NI_SEL_EVENT events[kEventCapacity];
  while (accepted == 0 || open > 0) {
    int count = 0;
    rc = NiSelWait(set, 1000, events, kEventCapacity, &count);
    if (rc == NIETIMEOUT) continue;
    if (rc != NI_OK) break;
    for (int i = 0; i < count; ++i) {
      const NI_HANDLE handle = events[i].handle;
      if (handle == listener.get()) {
        for (NI_HANDLE client; NiAccept(handle, 0, &client) == NI_OK;) {
          if (NiSetBuffered(client) != NI_OK || NiSelSet(set, client, NI_SEL_READ) != NI_OK) {
            ++failed;
            NiClose(client);
            continue;
          }
          ++accepted;
          peak = std::max(peak, ++open);
        }
        continue;
      }
      NIBUF* message = nullptr;
      int result = NiReceive(handle, &message, 0);
      if (result == NIETIMEOUT) continue;
      if (result == NI_OK) {
        int written = 0;
        result = NiWrite(handle, NiBufData(message), NiBufLength(message), 0, &written);
        NiBufFree(&message);
        if (result == NI_OK || result == NIEQUE_FULL) {
          ++echoed;
          continue;
        }
        if (result == NIETIMEOUT) {
          ++refused;
          continue;
        }
      }
      if (result == NIECONN_BROKEN) {
        ++closed_by_peer;
      } else {
        ++failed;
        std::fprintf(stderr, "ni_scale server: handle %d: %s\n", handle, NiErrorName(result));
      }
      NiClose(handle);
      --open;
    }
  }
  NiSelDestroySet(&set);
  std::printf(
      "server: accepted %d, peak open %d, echoed %lld, closed by peer %d, failed %d, "
      "refused writes %lld%s%s\n",
      accepted, peak, static_cast<long long>(echoed), closed_by_peer, failed,
      static_cast<long long>(refused), rc != NI_OK ? ", wait: " : "",
      rc != NI_OK ? NiErrorName(rc) : "");
  return rc == NI_OK && failed == 0 ? 0 : 1;
}

// --- Clients -----------------------------------------------------------------------

struct ClientCounts {
  int connected = 0, connect_failed = 0, dropped = 0;
  std::int64_t sent = 0, echoed = 0, refused = 0, wrong = 0, max_lag_us = 0;
};

class Clients {
 public:
  explicit Clients(const Options& options) : options_(options) {}
  ~Clients() {
    for (NI_HANDLE handle : handles_) {
      if (handle != NI_NO_HANDLE) NiClose(handle);
    }
    if (set_ != nullptr) NiSelDestroySet(&set_);
  }
  Clients(const Clients&) = delete;
  Clients& operator=(const Clients&) = delete;

  int Run() {
    const int table = options_.connections + kSpareHandles;
    if (int rc = NiInitHandles(table); rc != NI_OK || NiSelNewSet(&set_) != NI_OK) {
      return std::fprintf(stderr, "ni_scale: handle table: %s\n", NiErrorName(rc)), 1;
    }
    index_of_.assign(static_cast<std::size_t>(table), -1);
    const std::int64_t connect_start = NowUs();
    Connect();
    const double connect_s = static_cast<double>(NowUs() - connect_start) / 1e6;
    std::printf("clients: %d connected in %.2f s, %d failed\n", counts_.connected, connect_s,
                counts_.connect_failed);
    std::fflush(stdout);

    SendPlan plan;
    plan.connections = options_.connections;
    plan.period_us = 1'000'000 / options_.rate;
    plan.rounds = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(options_.seconds * options_.rate + 0.5));
    plan.start_us = NowUs() + 200'000;
    latency_us_.Reserve(static_cast<std::size_t>(plan.Total()));
    Exchange(plan);

    const std::int64_t missing = counts_.sent - counts_.echoed;
    std::printf(
        "result connections=%d connected=%d connect_failed=%d dropped=%d sent=%lld "
        "echoed=%lld missing=%lld refused=%lld wrong=%lld p50_us=%lld p99_us=%lld max_us=%lld "
        "max_send_lag_us=%lld connect_s=%.2f\n",
        options_.connections, counts_.connected, counts_.connect_failed, counts_.dropped,
        static_cast<long long>(counts_.sent), static_cast<long long>(counts_.echoed),
        static_cast<long long>(missing), static_cast<long long>(counts_.refused),
        static_cast<long long>(counts_.wrong), static_cast<long long>(latency_us_.Percentile(50)),
        static_cast<long long>(latency_us_.Percentile(99)),
        static_cast<long long>(latency_us_.Max()), static_cast<long long>(counts_.max_lag_us),
        connect_s);
    const bool clean = counts_.connect_failed == 0 && counts_.dropped == 0 && missing == 0 &&
                       counts_.refused == 0 && counts_.wrong == 0;
    return clean ? 0 : 1;
  }

 private:
  void Connect() {
    handles_.assign(static_cast<std::size_t>(options_.connections), NI_NO_HANDLE);
    for (int i = 0; i < options_.connections; ++i) {
      NI_HANDLE handle = NI_NO_HANDLE;
      int rc =
          NiConnect("127.0.0.1", static_cast<unsigned short>(options_.port), NI_BLOCK, &handle);
      if (rc == NI_OK) rc = NiSetBuffered(handle);
      if (rc == NI_OK) rc = NiSelSet(set_, handle, NI_SEL_READ);
      if (rc != NI_OK) {
        if (counts_.connect_failed++ == 0) {
          std::fprintf(stderr, "ni_scale: connect %d: %s\n", i, NiErrorName(rc));
        }
        if (handle != NI_NO_HANDLE) NiClose(handle);
        continue;
      }
      handles_[static_cast<std::size_t>(i)] = handle;
      index_of_[static_cast<std::size_t>(handle)] = i;
      ++counts_.connected;
    }
  }

  void Drop(int connection, int rc) {
    if (counts_.dropped++ == 0) {
      std::fprintf(stderr, "ni_scale: connection %d dropped: %s\n", connection, NiErrorName(rc));
    }
    NI_HANDLE& handle = handles_[static_cast<std::size_t>(connection)];
    index_of_[static_cast<std::size_t>(handle)] = -1;
    NiClose(handle);
    handle = NI_NO_HANDLE;
  }

  void SendDue(const SendPlan& plan, std::int64_t* sequence) {
    const std::int64_t now = NowUs();
    for (; *sequence < plan.Total() && plan.DueUs(*sequence) <= now; ++*sequence) {
      const int connection = plan.Connection(*sequence);
      const NI_HANDLE handle = handles_[static_cast<std::size_t>(connection)];
      if (handle == NI_NO_HANDLE) continue;
      counts_.max_lag_us = std::max(counts_.max_lag_us, now - plan.DueUs(*sequence));
      unsigned char message[kProbeSize];
      EncodeProbe(Probe{static_cast<std::uint32_t>(connection),
                        static_cast<std::uint32_t>(plan.Round(*sequence)), NowUs()},
                  message);
      int written = 0;
      const int rc = NiWrite(handle, message, kProbeSize, 0, &written);
      if (rc == NI_OK || rc == NIEQUE_FULL) {
        ++counts_.sent;
      } else if (rc == NIETIMEOUT) {
        ++counts_.refused;
      } else {
        Drop(connection, rc);
      }
    }
  }

  void Receive(NI_HANDLE handle) {
    const int connection = index_of_[static_cast<std::size_t>(handle)];
    if (connection < 0) return;
    NIBUF* message = nullptr;
    const int rc = NiReceive(handle, &message, 0);
    if (rc == NIETIMEOUT) return;
    if (rc != NI_OK) return Drop(connection, rc);
    Probe probe;
    if (DecodeProbe(NiBufData(message), NiBufLength(message), &probe) &&
        probe.connection == static_cast<std::uint32_t>(connection)) {
      latency_us_.Add(NowUs() - probe.sent_us);
      ++counts_.echoed;
    } else {
      ++counts_.wrong;
    }
    NiBufFree(&message);
  }

  void Exchange(const SendPlan& plan) {
    const std::int64_t end = plan.DueUs(plan.Total() - 1) + kGraceUs;
    std::int64_t sequence = 0;
    NI_SEL_EVENT events[kEventCapacity];
    for (;;) {
      SendDue(plan, &sequence);
      const std::int64_t now = NowUs();
      const bool all_sent = sequence >= plan.Total();
      if ((all_sent && counts_.echoed + counts_.wrong >= counts_.sent) || now >= end) return;
      // Wake for the next send (the wait counts whole milliseconds, so sends
      // go out in runs of those due within the same millisecond).
      int timeout = 100;
      if (!all_sent) {
        timeout =
            static_cast<int>(std::max<std::int64_t>(1, (plan.DueUs(sequence) - now + 999) / 1000));
      }
      int count = 0;
      if (NiSelWait(set_, timeout, events, kEventCapacity, &count) != NI_OK) continue;
      for (int i = 0; i < count; ++i) Receive(events[i].handle);
    }
  }

  Options options_;
  NI_SELSET* set_ = nullptr;
  std::vector<NI_HANDLE> handles_;
  std::vector<int> index_of_;  // connection number by handle number
  ClientCounts counts_;
  LatencySamples latency_us_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: ni_scale server [--port P] [--connections N]\n"
                 "       ni_scale clients --port P [--connections N] [--seconds S] [--rate R]\n");
    return 2;
  }
  if (options.mode == "server") return Serve(options);
  if (options.port == 0) return std::fprintf(stderr, "ni_scale: clients need --port\n"), 2;
  return Clients(options).Run();
}
