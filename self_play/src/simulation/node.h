#pragma once
// One position of the search tree.
//
// Values are per player: a value vector holds four floats by absolute player
// number. Each node's value_sum collects the component of its chooser, the
// player who chose the move into it (its parent's to_play), so a child's
// Q = value_sum / visit_count is the mean value of the child for the player
// who decides whether to go there. While a piece is laid cell by cell the
// chooser is also the player to move in the child; after the cell that
// completes a piece, and at the end of the game, it is not.
//
// Children live by value in a vector, in a uniformly random order fixed at
// expansion; "iteration order" everywhere in the search is that order.
//
// Under the placement tree an edge is a decision (decisions.h): its cells are
// laid in ascending order, `tile` first and then `rest`, and the turns after
// it that leave their player a single decision are played through at once,
// so a node's position is always one where a player has a choice, or the end.
//
// An expanded node below the root keeps its game state, so that a simulation
// copies the state of its leaf's parent and applies the leaf's edge instead of
// replaying the whole path from the root. The positions reached are the same.
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "game.h"
#include "geometry.h"
#include "placement_list.h"

namespace tilora::self_play {

using Values = std::array<float, kPlayers>;

struct Node {
  std::vector<Node> children;    // one per legal tile once expanded
  std::unique_ptr<const game::Game> position;  // set when expanded (not at the root)
  float value_sum = 0.0f;        // sum of backed-up chooser components
  float prior = 0.0f;            // prior of the tile leading here
  std::uint32_t visit_count = 0; // simulations through this node
  std::uint16_t tile = 0;        // the cell leading here from the parent (the first, for a decision)
  std::array<std::uint16_t, game::kMaxPieceCells - 1> rest{};  // a decision's later cells
  std::uint8_t rest_size = 0;
  std::uint8_t to_play = 0;      // player to move here; 0 until expanded
  std::uint8_t chooser = 0;      // the parent's to_play, set by its expansion

  bool expanded() const { return !children.empty(); }
};

// The cells of the edge leading to a node, in the order they are laid.
struct EdgeCells {
  std::array<std::uint16_t, game::kMaxPieceCells> cells{};
  unsigned size = 0;

  const std::uint16_t* begin() const { return cells.data(); }
  const std::uint16_t* end() const { return cells.data() + size; }
};

inline EdgeCells edge_cells(const Node& node) {
  EdgeCells edge;
  edge.cells[edge.size++] = node.tile;
  for (unsigned i = 0; i < node.rest_size; ++i) edge.cells[edge.size++] = node.rest[i];
  return edge;
}

}  // namespace tilora::self_play
