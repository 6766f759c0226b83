// A one-line progress bar on a terminal stream while large inputs are read.
#ifndef PARCEL_HOST_CLI_PROGRESS_H_
#define PARCEL_HOST_CLI_PROGRESS_H_

#include <cstdint>
#include <cstdio>
#include <string>

namespace parcel::host {

// Draws "label [#####     ]  45%  123.4 of 270.0 MiB" in place, redrawn
// only when the shown percentage changes. A disabled bar draws nothing.
class ProgressBar {
 public:
  ProgressBar(std::FILE* stream, std::string label, std::uint64_t total, bool enabled)
      : stream_(stream), label_(std::move(label)), total_(total), enabled_(enabled && total > 0) {}
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Records `bytes` more done.
  void Advance(std::uint64_t bytes);
  // Clears the line; later calls draw nothing.
  void Finish();

  // The bar's text for `done` of `total` bytes, without line control.
  static std::string Render(const std::string& label, std::uint64_t done, std::uint64_t total);

 private:
  std::FILE* stream_;
  std::string label_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  int shown_percent_ = -1;
  bool enabled_;
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_CLI_PROGRESS_H_
