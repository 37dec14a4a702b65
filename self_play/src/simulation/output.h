#pragma once
// Lines on standard output, written with C stdio and flushed one by one so
// that they interleave correctly with the caller's own output.
#include <string>
#include <string_view>

#include "game.h"

namespace tilora::self_play {

void print_line(std::string_view line);

// The shortest decimal form that reads back as the same 32-bit float, always
// with a fractional part: 1.0, 0.5, 0.33333334, 1.0e-05.
std::string format_float(float value);

// "[a, b, c, d]" with format_float elements.
std::string format_payoff(const game::Payoff& payoff);
// "[a, b, c, d]" with signed decimal elements.
std::string format_scores(const board::Scores& scores);

}  // namespace tilora::self_play
