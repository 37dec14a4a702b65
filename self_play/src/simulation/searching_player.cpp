#include "simulation/searching_player.h"

#include <array>
#include <bitset>
#include <limits>

#include "simulation/internal_stop.h"
#include "simulation/mcts.h"
#include "simulation/select_move.h"

namespace tilora::self_play {
namespace {

std::vector<PolicyEntry> visit_shares(const Node& root, std::vector<VisitEntry>& visits) {
  std::uint32_t total_count = 0;
  for (const Node& child : root.children) total_count += child.visit_count;
  const float total = static_cast<float>(total_count);
  std::vector<PolicyEntry> shares;
  shares.reserve(root.children.size());
  visits.clear();
  for (const Node& child : root.children) {
    shares.push_back({child.tile, static_cast<float>(child.visit_count) / total});
    visits.push_back({child.tile, child.visit_count});
  }
  return shares;
}

// The root child a Gumbel root's search plays: sampled from its improved
// policy while the moves are sampled, the child it kept afterwards.
std::size_t gumbel_move(const RootChoice& choice, std::uint32_t policies_len,
                        std::uint32_t sample_moves, Rng& rng) {
  if (policies_len >= sample_moves) return choice.child;
  const float r = unit_float_from_word(rng());
  float running = 0.0f;
  for (std::size_t i = 0; i < choice.policy.size(); ++i) {
    running += choice.policy[i];
    if (running > r) return i;
  }
  return choice.policy.size() - 1;
}

}  // namespace

std::vector<PolicyEntry> placement_shares(const Node& root) {
  std::uint32_t total_count = 0;
  for (const Node& child : root.children) total_count += child.visit_count;
  const float total = static_cast<float>(total_count);
  std::vector<float> shares;
  shares.reserve(root.children.size());
  for (const Node& child : root.children)
    shares.push_back(static_cast<float>(child.visit_count) / total);
  return placement_shares(root, shares);
}

std::vector<PolicyEntry> placement_shares(const Node& root, std::span<const float> shares) {
  std::array<float, kBoardCells> share{};
  std::bitset<kBoardCells> covered;
  for (std::size_t i = 0; i < root.children.size(); ++i) {
    const EdgeCells edge = edge_cells(root.children[i]);
    const float each = shares[i] / static_cast<float>(edge.size);
    for (std::uint16_t x : edge) {
      share[x] += each;
      covered.set(x);
    }
  }
  std::vector<PolicyEntry> out;
  for (unsigned c = 0; c < kBoardCells; ++c)
    if (covered.test(c)) out.push_back({static_cast<std::uint16_t>(c), share[c]});
  return out;
}

unsigned SearchingPlayer::choose(const game::Game& game, const SearchParams& params,
                                 std::uint32_t sample_moves, Network& network, Rng& rng,
                                 TrainingRecord& record) {
  if (params.tree == SearchTree::kCells)
    return search_move(game, params, sample_moves, network, rng, record);
  if (to_lay_.empty()) {
    game::turn_decisions(game, decisions_);
    if (decisions_.empty()) throw InternalStop("a searching player was asked to move in a finished game");
    if (decisions_.size() == 1) {
      record.policies.emplace_back();
      const auto cells = decisions_.front().view();
      to_lay_.assign(cells.rbegin(), cells.rend());
    } else {
      RootChoice gumbel;
      const Node root = run_mcts(game, params, network, rng, &decisions_, &gumbel);
      if (root.children.size() > std::numeric_limits<std::uint16_t>::max())
        throw InternalStop("a position has more decisions than a search can choose from");
      std::size_t chosen = 0;
      if (!gumbel.policy.empty()) {
        record.policies.push_back(placement_shares(root, gumbel.policy));
        chosen = gumbel_move(gumbel, static_cast<std::uint32_t>(record.policies.size()), sample_moves, rng);
      } else {
        // select_move picks among (index, visits) entries: the index of the
        // root's child stands where a cell stands in the cell tree.
        std::vector<VisitEntry> visits;
        visits.reserve(root.children.size());
        for (std::size_t i = 0; i < root.children.size(); ++i)
          visits.push_back({static_cast<std::uint16_t>(i), root.children[i].visit_count});
        record.policies.push_back(placement_shares(root));
        chosen = select_move(visits, static_cast<std::uint32_t>(record.policies.size()), sample_moves, rng);
      }
      const EdgeCells edge = edge_cells(root.children[chosen]);
      to_lay_.assign(std::make_reverse_iterator(edge.end()), std::make_reverse_iterator(edge.begin()));
    }
  } else {
    record.policies.emplace_back();
  }
  const unsigned cell = to_lay_.back();
  to_lay_.pop_back();
  if (!game.legal_cells().contains(cell))
    throw InternalStop("a searching player's decision is no longer legal in the game");
  return cell;
}

unsigned search_move(const game::Game& game, const SearchParams& params,
                     std::uint32_t sample_moves, Network& network, Rng& rng,
                     TrainingRecord& record) {
  RootChoice gumbel;
  const Node root = run_mcts(game, params, network, rng, nullptr, &gumbel);
  if (!gumbel.policy.empty()) {
    std::vector<PolicyEntry> shares;
    shares.reserve(root.children.size());
    for (std::size_t i = 0; i < root.children.size(); ++i)
      shares.push_back({root.children[i].tile, gumbel.policy[i]});
    record.policies.push_back(std::move(shares));
    const auto policies_len = static_cast<std::uint32_t>(record.policies.size());
    return root.children[gumbel_move(gumbel, policies_len, sample_moves, rng)].tile;
  }
  std::vector<VisitEntry> visits;
  record.policies.push_back(visit_shares(root, visits));
  return select_move(visits, static_cast<std::uint32_t>(record.policies.size()), sample_moves,
                     rng);
}

}  // namespace tilora::self_play
