#include "simulation/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tilora::self_play {

std::string format_float(float value) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  std::string text(buffer, end);
  if (!std::isfinite(value)) return text;
  const auto exponent = std::min(text.find('e'), text.size());
  if (text.find('.') >= exponent) text.insert(exponent, ".0");
  return text;
}

template <class Array, class Format>
static std::string format_list(const Array& items, Format format) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ", ";
    text += format(items[i]);
  }
  return text + "]";
}

std::string format_payoff(const game::Payoff& payoff) {
  return format_list(payoff, format_float);
}

std::string format_scores(const board::Scores& scores) {
  return format_list(scores, [](std::int32_t s) { return std::to_string(s); });
}

}  // namespace tilora::self_play
