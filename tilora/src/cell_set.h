#pragma once
// A fixed set of board cells (a 400-bit bitset). Iteration is in ascending
// cell order. Copying is a plain 56-byte copy, no allocation.
#include <array>
#include <bit>
#include <cassert>
#include <cstdint>
#include <vector>

#include "geometry.h"

namespace tilora {

class CellSet {
 public:
  static constexpr unsigned kWords = (kBoardCells + 63) / 64;

  bool contains(unsigned cell) const {
    assert(cell < kBoardCells);
    return (words_[cell / 64] >> (cell % 64)) & 1u;
  }
  void insert(unsigned cell) {
    assert(cell < kBoardCells);
    words_[cell / 64] |= std::uint64_t{1} << (cell % 64);
  }
  void erase(unsigned cell) {
    assert(cell < kBoardCells);
    words_[cell / 64] &= ~(std::uint64_t{1} << (cell % 64));
  }
  void clear() { words_.fill(0); }

  bool empty() const {
    for (auto w : words_)
      if (w) return false;
    return true;
  }
  unsigned size() const {
    unsigned n = 0;
    for (auto w : words_) n += static_cast<unsigned>(std::popcount(w));
    return n;
  }

  // Calls f(cell) for every cell of the set, ascending.
  template <class F>
  void for_each(F&& f) const {
    for (unsigned i = 0; i < kWords; ++i)
      for (std::uint64_t w = words_[i]; w; w &= w - 1)
        f(i * 64 + static_cast<unsigned>(std::countr_zero(w)));
  }

  // The k-th cell of the set in ascending order; k is below size().
  unsigned nth(unsigned k) const {
    for (unsigned i = 0; i < kWords; ++i) {
      const auto count = static_cast<unsigned>(std::popcount(words_[i]));
      if (k < count) return i * 64 + nth_set_bit(words_[i], k);
      k -= count;
    }
    assert(false && "nth: k is not below the set's size");
    return kBoardCells;
  }

  std::vector<unsigned> to_vector() const {
    std::vector<unsigned> out;
    out.reserve(size());
    for_each([&](unsigned c) { out.push_back(c); });
    return out;
  }

  bool operator==(const CellSet&) const = default;

 private:
  // The index of the k-th set bit of a word (k below its popcount).
  static unsigned nth_set_bit(std::uint64_t word, unsigned k) {
    for (; k > 0; --k) word &= word - 1;
    return static_cast<unsigned>(std::countr_zero(word));
  }

  std::array<std::uint64_t, kWords> words_{};
};

}  // namespace tilora
