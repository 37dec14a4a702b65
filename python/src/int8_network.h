// The toolkit's residual network evaluated in 8 bits on the CPU.
//
// The network: a 3x3 convolution stem over the five input planes and a plane
// of ones, residual blocks of two 3x3 convolutions, then one 1x1 convolution
// that makes both heads' features (the policy's channels first, then the
// value's), a dense layer from the policy features to 400 logits, and dense
// float layers from the value features to four value logits. Batch norms are
// folded into the convolutions by whoever builds a `Network`.
//
// Numbers: activations are uint8 with one scale a layer (real = q * scale),
// weights int8 with one scale an output channel, sums int32. Each layer turns
// its sum back into a float, `sum * scale + bias` (plus the block's input in a
// block's second convolution), applies the ReLU and rounds to the next
// layer's uint8 (nearest, ties to even, at most 255). The value layers run in
// float. Where the CPU has AVX-512 VNNI one instruction multiplies four input
// channels into sixteen output channels; elsewhere portable code computes the
// same numbers, bit for bit (the same float operations in the same order).
//
// The reply is what the serving graph gives: log-probabilities over the legal
// cells (kIllegalLogit elsewhere), the payoff shares in absolute player order,
// and how many seats the planes name as the mover.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tilora_zero::int8 {

inline constexpr unsigned kSide = 20;
inline constexpr unsigned kCells = kSide * kSide;
inline constexpr unsigned kPadded = kSide + 2;  // a zero border for the 3x3 convolutions
inline constexpr unsigned kPlayers = 4;
inline constexpr unsigned kInputPlanes = 5;
inline constexpr unsigned kOwnPlane = 1;     // the mover's own tiles
inline constexpr unsigned kLegalPlane = 4;   // the mover's legal cells
inline constexpr unsigned kInputChannels = kInputPlanes + 1;  // and the plane of ones
inline constexpr unsigned kLanes = 16;  // output channels one vector of sums holds
inline constexpr unsigned kGroup = 4;   // input channels one 32-bit lane multiplies
inline constexpr float kIllegalLogit = -1.0e4f;
inline constexpr unsigned kCounts = 3 * kPlayers + 1;
inline constexpr unsigned kCountFeatures = kCounts + kCounts * kCounts;

// A convolution (3x3 with padding 1, or 1x1) or a dense layer over uint8
// inputs, padded to whole groups and lanes with zero weights.
struct QuantizedLayer {
  unsigned inputs = 0;   // input channels (a multiple of kGroup)
  unsigned outputs = 0;  // output channels (a multiple of kLanes)
  unsigned taps = 1;     // 9 for a 3x3 convolution
  std::vector<std::int8_t> weights;  // [outputs / kLanes][taps][inputs / kGroup][kLanes][kGroup]
  std::vector<float> scale;          // [outputs] real = sum * scale + bias
  std::vector<float> bias;           // [outputs]
};

// A 3x3 convolution of the tower and the scale of the activations it writes.
struct TowerLayer {
  QuantizedLayer conv;
  float out_scale = 1.0f;       // of the uint8 activations written
  bool residual = false;        // adds the block's input before the ReLU
  float residual_scale = 0.0f;  // the block input's scale
};

// A float dense layer of the value head.
struct FloatLayer {
  unsigned inputs = 0;
  unsigned outputs = 0;
  std::vector<float> weights;  // [outputs][inputs]
  std::vector<float> bias;     // [outputs]
  bool relu = false;
};

struct Network {
  std::vector<TowerLayer> tower;  // the stem, then two layers a block
  QuantizedLayer heads;           // 1x1; ReLU'd float features [channel][cell]
  unsigned policy_channels = 0;   // the first channels of `heads`
  unsigned value_channels = 0;    // the next ones
  float policy_scale = 1.0f;      // of the uint8 policy features
  QuantizedLayer policy;          // dense, policy features to kCells logits
  std::vector<FloatLayer> value;  // value features to kPlayers logits
  bool value_counts = false;      // the first value layer also reads the counts, after the features
};

// The counts of a position's planes [5][400] (see above) into `out` [kCountFeatures].
void write_counts(const float* planes, float* out);

enum class Kernel { automatic, portable };

// Whether this CPU runs the VNNI kernels (Kernel::automatic uses them then).
bool vnni_available();

// Checks the shapes that hold the layers together; std::invalid_argument
// naming the first that does not.
void check(const Network& network);

// Evaluates `batch` positions of float planes [batch][5][400] (an entry is
// read as 1 when it is not 0) into log_policy [batch][400], shares
// [batch][4] and movers [batch].
void evaluate(const Network& network, const float* planes, std::size_t batch, float* log_policy,
              float* shares, float* movers, Kernel kernel = Kernel::automatic);

}  // namespace tilora_zero::int8
