// The packing protocol's framing of large transfers.
#include "host/ni/pack_protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace parcel::host {
namespace {

constexpr std::size_t kFieldSize = 16;

// The decimal number in a blank-padded field: digits, then blanks only.
bool ParseField(std::string_view field, std::uint64_t* value) {
  std::uint64_t number = 0;
  std::size_t at = 0;
  for (; at < field.size() && field[at] >= '0' && field[at] <= '9'; ++at) {
    if (number > (UINT64_MAX - 9) / 10) return false;
    number = number * 10 + static_cast<std::uint64_t>(field[at] - '0');
  }
  if (at == 0) return false;
  for (; at < field.size(); ++at) {
    if (field[at] != ' ') return false;
  }
  *value = number;
  return true;
}

}  // namespace

std::string LargeHeader(std::uint64_t size) {
  char header[kLargeHeaderSize + 1];
  std::snprintf(header, sizeof header, "%-16s%-16llu", kLargeMagic,
                static_cast<unsigned long long>(size));
  return std::string(header, kLargeHeaderSize);
}

bool IsLargeHeader(std::string_view message) {
  const std::size_t magic = sizeof kLargeMagic - 1;
  return message.size() >= magic && std::memcmp(message.data(), kLargeMagic, magic) == 0;
}

std::size_t PiecesOf(std::uint64_t size) {
  if (size <= kMaxMessage) return 1;
  return 1 + static_cast<std::size_t>((size + kMaxMessage - 1) / kMaxMessage);
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT32_MAX));
}

int SendTransfer(NI_HANDLE handle, std::string_view data, int timeout) {
  int written = 0;
  auto send = [&](std::string_view piece) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (int wait = timeout;; wait = MillisecondsUntil(deadline)) {
      const int rc = NiWrite(handle, piece.data(), static_cast<int>(piece.size()), wait, &written);
      if (rc == NIEQUE_FULL) return NI_OK;  // queued all the same
      // NIETIMEOUT: not queued; early when the time is not up yet.
      if (rc != NIETIMEOUT || timeout <= 0 || MillisecondsUntil(deadline) == 0) return rc;
    }
  };
  if (data.size() <= kMaxMessage) return send(data);
  if (int rc = send(LargeHeader(data.size())); rc != NI_OK) return rc;
  for (std::size_t at = 0; at < data.size(); at += kMaxMessage) {
    if (int rc = send(data.substr(at, kMaxMessage)); rc != NI_OK) return rc;
  }
  return NI_OK;
}

TransferAssembler::Step TransferAssembler::Add(std::string_view message) {
  if (done_) {
    data_.clear();
    done_ = false;
  }
  if (expected_ == 0) {
    if (!IsLargeHeader(message)) {
      if (message.size() > limit_) return Step::kTooLarge;
      data_.assign(message);
      done_ = true;
      return Step::kDone;
    }
    std::uint64_t size = 0;
    if (message.size() != kLargeHeaderSize ||
        message.substr(sizeof kLargeMagic - 1, kFieldSize - (sizeof kLargeMagic - 1))
                .find_first_not_of(' ') != std::string_view::npos ||
        !ParseField(message.substr(kFieldSize), &size) || size == 0) {
      return Step::kMalformed;
    }
    if (size > limit_) return Step::kTooLarge;
    expected_ = size;
    data_.clear();
    return Step::kMore;
  }
  const std::uint64_t missing = expected_ - data_.size();
  if (message.size() > missing || message.size() > piece_ ||
      (message.size() < piece_ && message.size() != missing)) {
    expected_ = 0;
    data_.clear();
    return Step::kMalformed;
  }
  // The announced size is reserved with the first piece, not with the
  // header: a header costs its sender nothing, a piece its full size.
  // Larger transfers than any answer grow as they come.
  if (data_.empty() && expected_ <= kMaxAnswer) data_.reserve(static_cast<std::size_t>(expected_));
  data_.append(message);
  if (data_.size() < expected_) return Step::kMore;
  expected_ = 0;
  done_ = true;
  return Step::kDone;
}

std::string TransferAssembler::Take() {
  std::string out = std::move(data_);
  data_.clear();
  done_ = false;
  expected_ = 0;
  return out;
}

}  // namespace parcel::host
