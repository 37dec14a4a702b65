#pragma once
// One position of the search tree.
//
// Values are per player: a value vector holds four floats by absolute player
// number. Each node's value_sum collects the component of its own to_play, so
// a child's Q = value_sum / visit_count is the mean value for the player to
// move in the child's position (the parent's player while a piece is laid
// cell by cell, the next player after the cell that completes it).
//
// Children live by value in a vector, in a uniformly random order fixed at
// expansion; "iteration order" everywhere in the search is that order.
//
// An expanded node below the root keeps its game state, so that a simulation
// copies the state of its leaf's parent and applies one tile instead of
// replaying the whole path from the root. The positions reached are the same.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "game.h"
#include "geometry.h"

namespace tilora::self_play {

using Values = std::array<float, kPlayers>;

struct Node {
  std::vector<Node> children;    // one per legal tile once expanded
  std::unique_ptr<const game::Game> position;  // set when expanded (not at the root)
  float value_sum = 0.0f;        // sum of backed-up to_play components
  float prior = 0.0f;            // prior of the tile leading here
  std::uint32_t visit_count = 0; // simulations through this node
  std::uint16_t tile = 0;        // the cell leading here from the parent
  std::uint8_t to_play = 0;      // player to move here; 0 until expanded

  bool expanded() const { return !children.empty(); }
};

}  // namespace tilora::self_play
