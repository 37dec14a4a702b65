#include "console_reporter.h"

#include <string>

#include "output.h"

namespace tilora::self_play {

void ConsoleReporter::game_finished(const game::Payoff& payoff, const board::Scores& scores) {
  progress_.finish();
  print_line("Game finished with payoff: " + format_payoff(payoff) +
             " and score: " + format_scores(scores));
}

void ConsoleReporter::root_evaluation_failed(std::string_view error_text) {
  print_line("Error evaluating root node: " + std::string(error_text));
  print_line("Error running MCTS: " + std::string(error_text));
}

}  // namespace tilora::self_play
