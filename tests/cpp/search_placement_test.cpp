// The placement tree: whole games and single searches with a fake network,
// checked against the decisions of each position.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "decisions.h"
#include "search_fake_network.h"
#include "simulation/evaluate.h"
#include "simulation/mcts.h"
#include "simulation/play_game.h"
#include "simulation/reporter.h"
#include "simulation/searching_player.h"

namespace tilora::self_play {
namespace {

using testing::FakeNetwork;

Config placement_config(std::uint32_t sims, SearchRule rule = SearchRule::kPuct) {
  Config c = testing::search_config(sims, rule, 8);
  c.tree = SearchTree::kPlacements;
  return c;
}

std::size_t decision_count(const game::Game& game) {
  std::vector<game::Decision> decisions;
  game::turn_decisions(game, decisions);
  return decisions.size();
}

FakeNetwork varied_logits() {
  FakeNetwork network;
  network.answer = [](const StateRepr&, Reply& reply) {
    reply.policy_size = kBoardCells;
    for (unsigned c = 0; c < kBoardCells; ++c) reply.policy[c] = static_cast<float>(c % 7) * 0.3f;
    reply.values = {0.1f, 0.2f, 0.3f, 0.4f};
  };
  return network;
}

// A network that checks every position it is asked about: a turn's start
// with a choice of decisions (never a forced one, never part-way).
class CheckingNetwork final : public Network {
 public:
  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override {
    EXPECT_FALSE(position.turn_started());
    EXPECT_GE(decision_count(position), 2u);
    ++calls;
    return inner.infer(position, planes, reply);
  }
  void reject_reply(std::string_view reason) override { inner.reject_reply(reason); }
  std::string error_text() const override { return inner.error_text(); }

  FakeNetwork inner = varied_logits();
  unsigned calls = 0;
};

class PlacementGames : public ::testing::TestWithParam<SearchRule> {};

TEST_P(PlacementGames, search_each_choice_once_and_lay_its_cells_in_ascending_order) {
  Rng rng(7);
  CheckingNetwork network;
  SilentReporter reporter;
  const TrainingRecord record = play_game(placement_config(12, GetParam()), network, rng, reporter);

  ASSERT_EQ(record.policies.size(), record.history.size());
  game::Game game = game::Game::reset();
  unsigned searched = 0, turns = 0;
  std::vector<unsigned> turn_cells;
  for (std::size_t i = 0; i < record.history.size(); ++i) {
    const bool turn_start = !game.turn_started();
    const auto& policy = record.policies[i];
    if (turn_start) {
      ++turns;
      turn_cells.clear();
      // Searched exactly where the turn offers a choice.
      EXPECT_EQ(!policy.empty(), decision_count(game) >= 2) << "move " << i;
    } else {
      EXPECT_TRUE(policy.empty()) << "move " << i;
    }
    if (!policy.empty()) {
      ++searched;
      float total = 0.0f;
      for (const PolicyEntry& e : policy) total += e.share;
      EXPECT_NEAR(total, 1.0f, 1e-5f);
      EXPECT_TRUE(std::is_sorted(policy.begin(), policy.end(),
                                 [](auto& a, auto& b) { return a.cell < b.cell; }));
    }
    const unsigned cell = record.history[i].cell;
    if (!turn_cells.empty()) {
      EXPECT_GT(cell, turn_cells.back()) << "move " << i;
    }
    turn_cells.push_back(cell);
    ASSERT_FALSE(game.apply(cell));
  }
  EXPECT_TRUE(game.is_over());
  EXPECT_GT(searched, turns / 2);
  // The root (one evaluation) and one per simulation at most.
  EXPECT_LE(network.calls, searched * 13u);
}

INSTANTIATE_TEST_SUITE_P(Rules, PlacementGames,
                         ::testing::Values(SearchRule::kPuct, SearchRule::kClassic));

TEST(PlacementSearch, root_children_are_the_decisions_with_size_times_mean_logit_priors) {
  Rng rng(3);
  game::Game game = game::Game::reset();
  for (unsigned c : {0u, 1u, 20u, 21u}) ASSERT_FALSE(game.apply(c));  // player 0's square
  FakeNetwork network;
  network.answer = [](const StateRepr&, Reply& reply) {
    reply.policy_size = kBoardCells;
    for (unsigned c = 0; c < kBoardCells; ++c) reply.policy[c] = static_cast<float>(c) / 100.0f;
    reply.values = {0.25f, 0.25f, 0.25f, 0.25f};
  };
  Config config = placement_config(0);
  config.exploration_fraction = 0.0f;
  const Node root = run_mcts(game, SearchParams::from(config), network, rng);

  std::vector<game::Decision> decisions;
  game::turn_decisions(game, decisions);
  ASSERT_EQ(root.children.size(), decisions.size());
  std::vector<double> masses;  // size * e^(mean logit)
  for (const auto& d : decisions) {
    double sum = 0;
    for (auto x : d.view()) sum += x / 100.0;
    masses.push_back(d.size * std::exp(sum / d.size));
  }
  double total = 0;
  for (double m : masses) total += m;
  for (const Node& child : root.children) {
    // Two decisions may share a first cell: find the one with the same cells.
    const auto same = std::find_if(decisions.begin(), decisions.end(), [&](const game::Decision& d) {
      return d.cells[0] == child.tile && d.size == child.rest_size + 1 &&
             std::equal(child.rest.begin(), child.rest.begin() + child.rest_size, d.cells.begin() + 1);
    });
    ASSERT_NE(same, decisions.end());
    const double expected = masses[same - decisions.begin()] / total;
    EXPECT_NEAR(child.prior, expected, 1e-5);
  }
}

struct Logits {
  float first, rest;
  bool usable;
};
class DecisionPriors : public ::testing::TestWithParam<Logits> {};

TEST_P(DecisionPriors, refuse_logits_that_give_no_finite_priors) {
  std::vector<game::Decision> decisions;
  game::turn_decisions(game::Game::reset(), decisions);
  std::vector<float> logits(kBoardCells, GetParam().rest);
  logits[1] = GetParam().first;  // a cell some opening decisions cover and some do not
  std::vector<float> priors;
  EXPECT_EQ(decision_priors(logits, decisions, priors), GetParam().usable);
}

constexpr float kInf = std::numeric_limits<float>::infinity();
TEST(DecisionPriorsOfAShortPolicy, leave_out_the_decisions_it_does_not_cover) {
  std::vector<game::Decision> decisions;
  game::turn_decisions(game::Game::reset(), decisions);
  const std::vector<float> first_row(kBoardSide, 0.0f);  // logits of cells 0 to 19 only
  std::vector<float> priors;
  ASSERT_TRUE(decision_priors(first_row, decisions, priors));
  float total = 0.0f;
  unsigned covered = 0;
  for (std::size_t i = 0; i < decisions.size(); ++i) {
    const bool inside = decisions[i].view().back() < kBoardSide;
    EXPECT_EQ(std::isnan(priors[i]), !inside);
    if (inside) {
      total += priors[i];
      ++covered;
    }
  }
  EXPECT_GT(covered, 0u);
  EXPECT_LT(covered, decisions.size());
  EXPECT_NEAR(total, 1.0f, 1e-6f);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DecisionPriors,
    ::testing::Values(Logits{0.0f, 0.0f, true}, Logits{200.0f, -200.0f, true},  // shifted, no overflow
                      Logits{-kInf, 0.0f, true}, Logits{std::nanf(""), 0.0f, false},
                      Logits{kInf, 0.0f, false}, Logits{-kInf, -kInf, false}));

TEST(DecisionPriors, do_not_change_with_a_common_offset_of_the_logits) {
  std::vector<game::Decision> decisions;
  game::turn_decisions(game::Game::reset(), decisions);
  const auto priors_of = [&](auto logit) {
    std::vector<float> logits(kBoardCells), priors;
    for (unsigned x = 0; x < kBoardCells; ++x) logits[x] = logit(x);
    EXPECT_TRUE(decision_priors(logits, decisions, priors));
    return priors;
  };
  // Quarter steps under an offset of 2^20 stay exact, so the priors must be the same floats.
  const auto step = [](unsigned x) { return static_cast<float>(x % 7) * 0.25f; };
  EXPECT_EQ(priors_of(step), priors_of([&](unsigned x) { return step(x) + 0x1p20f; }));
  // Equal logits of 2^100 or 2^127: five of them overflow a float sum, and ln(size) is far below their ulp.
  const auto flat = priors_of([](unsigned) { return 0.0f; });
  EXPECT_EQ(flat, priors_of([](unsigned) { return 0x1p100f; }));
  EXPECT_EQ(flat, priors_of([](unsigned) { return 0x1p127f; }));
}

TEST(DecisionPriorsOfACellEveryDecisionShares, are_refused_when_its_logit_is_minus_infinity) {
  std::vector<game::Decision> decisions;
  game::turn_decisions(game::Game::reset(), decisions);  // every opening placement covers corner cell 0
  std::vector<float> logits(kBoardCells, 0.0f);
  logits[0] = -kInf;
  std::vector<float> priors;
  EXPECT_FALSE(decision_priors(logits, decisions, priors));
}

TEST(PlacementShares, give_each_cell_the_shares_of_its_decisions_divided_by_their_sizes) {
  Node root;
  const auto add = [&](std::vector<std::uint16_t> cells, std::uint32_t visits) {
    Node& child = root.children.emplace_back();
    child.tile = cells[0];
    child.rest_size = static_cast<std::uint8_t>(cells.size() - 1);
    std::copy(cells.begin() + 1, cells.end(), child.rest.begin());
    child.visit_count = visits;
  };
  add({0, 1, 2}, 6);   // share 0.6, a third of it per cell
  add({1, 21}, 3);     // 0.3, half per cell
  add({40}, 1);        // 0.1
  add({2, 3, 4, 5, 6}, 0);
  const std::vector<PolicyEntry> shares = placement_shares(root);
  const std::vector<std::pair<unsigned, float>> expected = {
      {0, 0.2f}, {1, 0.2f + 0.15f}, {2, 0.2f}, {3, 0.0f}, {4, 0.0f}, {5, 0.0f}, {6, 0.0f}, {21, 0.15f}, {40, 0.1f}};
  ASSERT_EQ(shares.size(), expected.size());
  for (std::size_t i = 0; i < shares.size(); ++i) {
    EXPECT_EQ(shares[i].cell, expected[i].first);
    EXPECT_NEAR(shares[i].share, expected[i].second, 1e-6f) << "cell " << expected[i].first;
  }
}

TEST(PlacementTree, a_leaf_whose_forced_turns_end_the_game_is_valued_by_its_payoff) {
  // Find, in random games, a decision after which every turn is forced to
  // the end of the game.
  Rng rng(21);
  std::vector<game::Decision> decisions, forced;
  std::optional<game::Game> position;
  std::optional<game::Decision> last;
  std::optional<game::Payoff> payoff;
  for (unsigned attempt = 0; attempt < 50 && !last; ++attempt) {
    game::Game game = game::Game::reset();
    while (!game.is_over() && !last) {
      game::turn_decisions(game, decisions);
      if (decisions.size() >= 2)
        for (const game::Decision& d : decisions) {
          game::Game after = game;
          game::apply_decision(after, d);
          for (game::turn_decisions(after, forced); forced.size() == 1; game::turn_decisions(after, forced))
            game::apply_decision(after, forced.front());
          if (after.is_over() && after.history().size() > game.history().size() + d.size) {
            position = game, last = d, payoff = after.get_payoff();
            break;
          }
        }
      game::apply_decision(game, decisions[rng() % decisions.size()]);
    }
  }
  ASSERT_TRUE(last) << "no decision followed by forced turns to the end in 50 games";

  FakeNetwork network;
  Node root;
  const std::vector<game::Decision> only = {*last};
  ASSERT_TRUE(evaluate_decisions(root, *position, only, network, rng));
  const PuctRule rule(SearchParams::from(placement_config(2)));
  simulate(root, *position, rule, 0, network, rng, PlacementTree{});
  simulate(root, *position, rule, 1, network, rng, PlacementTree{});
  EXPECT_EQ(network.calls, 1u);  // the root's evaluation only
  const Node& leaf = root.children[0];
  const unsigned mover = *position->current_player();
  EXPECT_EQ(leaf.chooser, mover);
  EXPECT_FALSE(leaf.expanded());
  EXPECT_EQ(leaf.value_sum, (*payoff)[mover] + (*payoff)[mover]);
}

class RootEvaluation : public ::testing::TestWithParam<SearchTree> {};

TEST_P(RootEvaluation, asks_for_the_policy_only) {
  // The root's value is never read: a network that pays for its values (a
  // playout) is spared that at the root.
  struct Counting final : Network {
    bool infer(const game::Game& g, const StateRepr& p, Reply& r) override {
      ++values;
      return inner.infer(g, p, r);
    }
    bool infer_policy(const game::Game& g, const StateRepr& p, Reply& r) override {
      ++policies;
      return inner.infer(g, p, r);
    }
    void reject_reply(std::string_view) override {}
    std::string error_text() const override { return {}; }
    FakeNetwork inner;
    unsigned values = 0, policies = 0;
  } network;
  Rng rng(5);
  Config config = placement_config(6);
  config.tree = GetParam();
  (void)run_mcts(game::Game::reset(), SearchParams::from(config), network, rng);
  EXPECT_EQ(network.policies, 1u);
  EXPECT_EQ(network.values, 6u);
}

INSTANTIATE_TEST_SUITE_P(Trees, RootEvaluation,
                         ::testing::Values(SearchTree::kCells, SearchTree::kPlacements));

}  // namespace
}  // namespace tilora::self_play
