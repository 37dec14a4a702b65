#pragma once
// A list of placements with the cells each one covers.
#include <array>
#include <cassert>
#include <compare>
#include <cstdint>
#include <span>
#include <vector>

#include "geometry.h"

namespace tilora::game {

struct Placement {
  unsigned piece_index = 0;    // into the player's remaining pieces, this turn
  unsigned variant_index = 0;  // into that piece's orientations
  unsigned position = 0;       // board cell of the bounding box's top-left

  bool operator==(const Placement&) const = default;
  auto operator<=>(const Placement&) const = default;
};

inline constexpr unsigned kMaxPieceCells = 5;

class PlacementList {
 public:
  unsigned size() const { return static_cast<unsigned>(placements_.size()); }
  bool empty() const { return placements_.empty(); }
  const std::vector<Placement>& placements() const { return placements_; }
  // Cells covered by placement `id`, ascending.
  std::span<const std::uint16_t> covered_cells(unsigned id) const {
    assert(id < covered_.size());
    return {covered_[id].cells.data(), covered_[id].count};
  }
  bool covers(unsigned id, unsigned cell) const {
    for (std::uint16_t x : covered_cells(id))
      if (x == cell) return true;
    return false;
  }

  void reserve(std::size_t n) {
    placements_.reserve(n);
    covered_.reserve(n);
  }
  // Adds a placement; `cells` ascending, at most five.
  void push_back(const Placement& placement, std::span<const std::uint16_t> cells) {
    assert(cells.size() <= kMaxPieceCells);
    Cells c;
    for (std::uint16_t x : cells) c.cells[c.count++] = x;
    placements_.push_back(placement);
    covered_.push_back(c);
  }

 private:
  struct Cells {
    std::array<std::uint16_t, kMaxPieceCells> cells{};
    std::uint8_t count = 0;
  };
  std::vector<Placement> placements_;
  std::vector<Cells> covered_;
};

}  // namespace tilora::game
