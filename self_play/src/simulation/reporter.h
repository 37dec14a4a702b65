#pragma once
// What a game tells the person running it: each move played, and how the
// game ended. The driver is handed a reporter the way it is handed the
// network; the module's boundary decides where the reports go.
#include "game.h"

namespace tilora::self_play {

class Reporter {
 public:
  virtual ~Reporter() = default;
  virtual void move_played() = 0;
  virtual void game_finished(const game::Payoff& payoff, const board::Scores& scores) = 0;
};

class SilentReporter final : public Reporter {
 public:
  void move_played() override {}
  void game_finished(const game::Payoff&, const board::Scores&) override {}
};

}  // namespace tilora::self_play
