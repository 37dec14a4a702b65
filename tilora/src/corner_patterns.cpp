#include "corner_patterns.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include "pieces.h"

namespace tilora::game {
namespace {

struct BuildNode {
  std::map<unsigned, std::unique_ptr<BuildNode>> children;  // by order key
  unsigned cell = 0;
  std::uint32_t kinds = 0;
  std::vector<AnchoredVariant> ends;
  WindowSet reach;
};

// Cells nearer the anchor come first on every path, so a blocked neighbour
// cuts off the largest possible subtree.
unsigned order_key(unsigned bit) {
  const int dr = static_cast<int>(bit) / kWindowSide - kWindowReach;
  const int dc = static_cast<int>(bit) % kWindowSide - kWindowReach;
  return static_cast<unsigned>(std::abs(dr) + std::abs(dc)) * kWindowCells + bit;
}

std::uint32_t end_kinds(const BuildNode& node) {
  std::uint32_t kinds = 0;
  for (const auto& end : node.ends) kinds |= 1u << end.kind;
  return kinds;
}

PatternNode make_node(const BuildNode& node) {
  return {static_cast<std::uint8_t>(node.cell), node.kinds, end_kinds(node), 0, 0, 0, 0, node.reach};
}

void flatten(const BuildNode& node, std::size_t index, CornerPatterns& out) {
  out.nodes[index].ends_begin = static_cast<std::uint16_t>(out.ends.size());
  out.ends.insert(out.ends.end(), node.ends.begin(), node.ends.end());
  out.nodes[index].ends_end = static_cast<std::uint16_t>(out.ends.size());
  const std::size_t first = out.nodes.size();
  out.nodes[index].first_child = static_cast<std::uint16_t>(first);
  out.nodes[index].child_count = static_cast<std::uint16_t>(node.children.size());
  for (const auto& [key, child] : node.children) out.nodes.push_back(make_node(*child));
  std::size_t i = first;
  for (const auto& [key, child] : node.children) flatten(*child, i++, out);
}

CornerPatterns build() {
  BuildNode root;
  root.cell = window_bit(0, 0);
  const auto& pieces = pieces::catalogue();
  for (unsigned kind = 0; kind < kPieceKinds; ++kind) {
    const auto& variants = pieces[kind].variants;
    for (unsigned v = 0; v < variants.size(); ++v) {
      for (unsigned anchor : variants[v].offsets) {
        const int ar = static_cast<int>(anchor / kBoardSide);
        const int ac = static_cast<int>(anchor % kBoardSide);
        std::vector<unsigned> keys;
        for (unsigned o : variants[v].offsets) {
          if (o == anchor) continue;
          const int dr = static_cast<int>(o / kBoardSide) - ar;
          const int dc = static_cast<int>(o % kBoardSide) - ac;
          keys.push_back(order_key(window_bit(dr, dc)));
        }
        std::sort(keys.begin(), keys.end());
        WindowSet cells;
        cells.insert(root.cell);
        for (unsigned key : keys) cells.insert(key % kWindowCells);
        BuildNode* node = &root;
        node->kinds |= 1u << kind;
        node->reach.insert_all(cells);
        for (unsigned key : keys) {
          auto& child = node->children[key];
          if (!child) {
            child = std::make_unique<BuildNode>();
            child->cell = key % kWindowCells;
          }
          node = child.get();
          node->kinds |= 1u << kind;
          node->reach.insert_all(cells);
        }
        AnchoredVariant end{static_cast<std::uint8_t>(kind), static_cast<std::uint8_t>(v),
                            static_cast<std::uint8_t>(anchor), 0, {}};
        for (unsigned o : variants[v].offsets)
          end.cells[end.size++] = static_cast<std::int8_t>(static_cast<int>(o) - static_cast<int>(anchor));
        node->ends.push_back(end);
      }
    }
  }
  CornerPatterns out;
  out.nodes.push_back(make_node(root));
  flatten(root, 0, out);
  return out;
}

}  // namespace

const CornerPatterns& corner_patterns() {
  static const CornerPatterns patterns = build();
  return patterns;
}

}  // namespace tilora::game
