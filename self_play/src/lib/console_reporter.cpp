#include "lib/console_reporter.h"

#include <cstdio>
#include <string>

#include "simulation/format.h"

namespace tilora::self_play {
namespace {

// A line on standard output, written with C stdio and flushed at once so
// that it interleaves correctly with the caller's own output.
void print_line(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

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
