#include "simulation/state_repr.h"

#include "simulation/internal_stop.h"

namespace tilora::self_play {

StateRepr get_representation(const game::Game& game) {
  const auto mover = game.current_player();
  if (!mover) throw InternalStop(std::string(game::kNoCurrentPlayer));
  StateRepr planes{};
  const auto& cells = game.board().cells;
  for (unsigned k = 0; k < kBoardCells; ++k) {
    const unsigned v = cells[k] & board::kOwnerMask;
    if (v != 0) planes[((v + kPlayers - *mover) % kPlayers) * kBoardCells + k] = 1.0f;
  }
  game.legal_cells().for_each(
      [&](unsigned cell) { planes[kLegalPlane * kBoardCells + cell] = 1.0f; });
  return planes;
}

PackedPlanes pack_planes(const StateRepr& planes) {
  PackedPlanes packed{};
  for (unsigned i = 0; i < planes.size(); ++i)
    if (planes[i] != 0.0f) set_packed_entry(packed, i);
  return packed;
}

}  // namespace tilora::self_play
