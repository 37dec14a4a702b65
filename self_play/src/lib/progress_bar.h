#pragma once
// A progress bar on standard error, "{wide_bar} {pos}/{len}": a bar as wide
// as the terminal, then position/length. It is drawn only when standard error
// is a terminal, at most about 20 times a second; otherwise it writes nothing.
#include <chrono>
#include <cstdint>

namespace tilora::self_play {

class ProgressBar {
 public:
  explicit ProgressBar(std::uint32_t length);
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void inc();
  // Draws the final state and ends the line.
  void finish();

  std::uint32_t position() const { return position_; }

 private:
  void draw();

  std::uint32_t length_;
  std::uint32_t position_ = 0;
  bool enabled_;
  bool drawn_ = false;
  bool finished_ = false;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace tilora::self_play
