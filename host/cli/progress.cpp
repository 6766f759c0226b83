// Progress bar drawing.
#include "host/cli/progress.h"

namespace parcel::host {
namespace {

constexpr int kBarWidth = 30;
constexpr double kMiB = 1024.0 * 1024.0;

int Percent(std::uint64_t done, std::uint64_t total) {
  if (total == 0 || done >= total) return 100;
  return static_cast<int>(done * 100 / total);
}

}  // namespace

std::string ProgressBar::Render(const std::string& label, std::uint64_t done, std::uint64_t total) {
  int percent = Percent(done, total);
  int filled = percent * kBarWidth / 100;
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kBarWidth - filled), ' ');
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "] %3d%%  %.1f of %.1f MiB", percent,
                static_cast<double>(done < total ? done : total) / kMiB,
                static_cast<double>(total) / kMiB);
  return label + " [" + bar + numbers;
}

void ProgressBar::Advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  int percent = Percent(done_, total_);
  if (percent == shown_percent_) return;
  shown_percent_ = percent;
  std::fprintf(stream_, "\r%s", Render(label_, done_, total_).c_str());
  std::fflush(stream_);
}

void ProgressBar::Finish() {
  if (enabled_ && shown_percent_ >= 0) {
    std::string blank(Render(label_, total_, total_).size(), ' ');
    std::fprintf(stream_, "\r%s\r", blank.c_str());
    std::fflush(stream_);
  }
  enabled_ = false;
}

}  // namespace parcel::host
