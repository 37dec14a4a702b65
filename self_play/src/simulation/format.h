#pragma once
// The text forms of the search's numbers in what it reports: the settings it
// refuses, and a finished game's payoff and scores.
#include <string>

#include "game.h"

namespace tilora::self_play {

// The shortest decimal form that reads back as the same 32-bit float, always
// with a fractional part: 1.0, 0.5, 0.33333334, 1.0e-05.
std::string format_float(float value);

// "[a, b, c, d]" with format_float elements.
std::string format_payoff(const game::Payoff& payoff);
// "[a, b, c, d]" with signed decimal elements.
std::string format_scores(const board::Scores& scores);

}  // namespace tilora::self_play
