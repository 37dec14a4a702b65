#pragma once
// The self-play driver: one whole game, every move chosen by a tree search,
// and the record the network is trained on.
#include "simulation/config.h"
#include "simulation/network.h"
#include "simulation/random.h"
#include "simulation/reporter.h"
#include "simulation/training_record.h"

namespace tilora::self_play {

// Plays one game from the starting position to its end and returns its
// record, telling `reporter` of every move and of the end. `config` is one
// that check_config accepts: the caller checks it once, before the game.
// Throws EvaluationFailed when an evaluation fails, and stops (InternalStop)
// on any other failure the game cannot go on from.
TrainingRecord play_game(const Config& config, Network& network, Rng& rng, Reporter& reporter);

}  // namespace tilora::self_play
