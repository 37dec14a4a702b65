#pragma once
// A broken invariant or a failure the game cannot recover from. It ends the
// call; the module boundary turns it into the module's internal-stop
// exception with the same message.
#include <stdexcept>
#include <string>

namespace tilora::self_play {

class InternalStop : public std::runtime_error {
 public:
  explicit InternalStop(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tilora::self_play
