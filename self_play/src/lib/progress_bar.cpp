#include "lib/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace tilora::self_play {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(50);
constexpr unsigned kFallbackWidth = 80;

unsigned terminal_width() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kFallbackWidth;
}

}  // namespace

ProgressBar::ProgressBar(std::uint32_t length)
    : length_(length), enabled_(isatty(STDERR_FILENO) == 1) {
  if (enabled_) draw();
}

ProgressBar::~ProgressBar() {
  // Dropped without finish (a failed game): end the bar's line so that later
  // output starts on a fresh one.
  if (drawn_ && !finished_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
}

void ProgressBar::inc() {
  ++position_;
  if (enabled_ && std::chrono::steady_clock::now() - last_draw_ >= kRedrawInterval) draw();
}

void ProgressBar::finish() {
  if (finished_) return;
  if (enabled_) {
    draw();
    std::fputc('\n', stderr);
    std::fflush(stderr);
  }
  finished_ = true;
}

void ProgressBar::draw() {
  const std::string counts = std::to_string(position_) + "/" + std::to_string(length_);
  const unsigned width = terminal_width();
  const unsigned bar = width > counts.size() + 1 ? width - static_cast<unsigned>(counts.size()) - 1 : 0;
  const unsigned filled =
      length_ == 0 ? bar
                   : static_cast<unsigned>(std::min<std::uint64_t>(
                         bar, std::uint64_t{bar} * position_ / length_));
  std::string line = "\r";
  line.reserve(width * 3 + 2);
  for (unsigned i = 0; i < bar; ++i) line += i < filled ? "\u2588" : "\u2591";
  line += ' ';
  line += counts;
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
  last_draw_ = std::chrono::steady_clock::now();
}

}  // namespace tilora::self_play
