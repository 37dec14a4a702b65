// The boundary's console reports of a self-play game.
#include <gtest/gtest.h>

#include <string>

#include "lib/console_reporter.h"

namespace tilora::self_play {
namespace {

TEST(ConsoleReporter, PrintsTheFinishedGamesPayoffAndScoresOnOneLine) {
  ConsoleReporter reporter;
  reporter.move_played();
  ::testing::internal::CaptureStdout();
  reporter.game_finished({0.0f, 0.5f, 0.5f, 0.0f}, {-10, 5, 5, -3});
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Game finished with payoff: [0.0, 0.5, 0.5, 0.0] and score: [-10, 5, 5, -3]\n");
}

TEST(ConsoleReporter, PrintsAFailedRootEvaluationAsTwoLines) {
  ::testing::internal::CaptureStdout();
  ConsoleReporter::root_evaluation_failed("KeyError('x') (traceback: none)");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Error evaluating root node: KeyError('x') (traceback: none)\n"
            "Error running MCTS: KeyError('x') (traceback: none)\n");
}

}  // namespace
}  // namespace tilora::self_play
