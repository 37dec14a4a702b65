#pragma once
// Self-play's reports: a progress bar on standard error (length 400, one
// step per move, finished at a normal end) and, at the end, the line
// "Game finished with payoff: [...] and score: [...]" on standard output.
#include <string_view>

#include "lib/progress_bar.h"
#include "simulation/reporter.h"

namespace tilora::self_play {

inline constexpr std::string_view kErrorRunningMcts = "Error running MCTS";
inline constexpr std::uint32_t kProgressLength = kBoardCells;

class ConsoleReporter final : public Reporter {
 public:
  ConsoleReporter() : progress_(kProgressLength) {}
  void move_played() override { progress_.inc(); }
  void game_finished(const game::Payoff& payoff, const board::Scores& scores) override;

  // The two lines of a failed root evaluation: "Error evaluating root node: "
  // and "Error running MCTS: ", each followed by the failure's text form. The
  // progress bar is dropped unfinished.
  static void root_evaluation_failed(std::string_view error_text);

 private:
  ProgressBar progress_;
};

}  // namespace tilora::self_play
