#pragma once
// The moves of a game in playing order, in a fixed-capacity buffer (a game
// has at most 4 x 89 moves). Copies copy only the moves played.
#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>

#include "geometry.h"

namespace tilora::game {

struct Move {
  std::uint16_t player = 0;
  std::uint16_t cell = 0;
  bool operator==(const Move&) const = default;
};

class History {
 public:
  History() = default;
  History(const History& other) : size_(other.size_) {
    std::copy_n(other.moves_.begin(), size_, moves_.begin());
  }
  History& operator=(const History& other) {
    size_ = other.size_;
    std::copy_n(other.moves_.begin(), size_, moves_.begin());
    return *this;
  }

  void push_back(Move move) {
    assert(size_ < kMaxMoves);
    moves_[size_++] = move;
  }
  unsigned size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Move& operator[](unsigned i) const {
    assert(i < size_);
    return moves_[i];
  }
  const Move* begin() const { return moves_.data(); }
  const Move* end() const { return moves_.data() + size_; }

 private:
  std::array<Move, kMaxMoves> moves_;
  std::uint16_t size_ = 0;
};

}  // namespace tilora::game
