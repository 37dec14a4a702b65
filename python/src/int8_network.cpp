#include "int8_network.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
// GCC 12's AVX-512 headers start their masked conversions from an undefined
// register, which its own flow analysis then reports as uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#define TILORA_INT8_VNNI 1
#define VNNI_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))
#endif

namespace tilora_zero::int8 {
namespace {

constexpr unsigned kPaddedCells = kPadded * kPadded;
constexpr unsigned kTaps3x3 = 9;
constexpr unsigned kRun = 10;  // cells of a row one pass of a 3x3 kernel sums at once
static_assert(kSide % kRun == 0);
constexpr float kMaxActivation = 255.0f;

// The buffer position of board cell `cell` inside the zero border.
constexpr unsigned padded_index(unsigned cell) { return (cell / kSide + 1) * kPadded + cell % kSide + 1; }

// The first 32-bit lane's worth of uint8 activations at `at`.
std::int32_t four_bytes(const std::uint8_t* at) {
  std::int32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// One layer's float activation (already through the ReLU) rounded to uint8.
std::uint8_t to_activation(float relu_value, float inverse_scale) {
  const float scaled = std::min(relu_value * inverse_scale, kMaxActivation);
  return static_cast<std::uint8_t>(std::nearbyint(scaled));
}

float relu(float value) { return value > 0.0f ? value : 0.0f; }

// ---- shared by both kernels: input, value layers, the reply ----------------

// Scratch for one position, reused across a batch; the zero borders are never written.
struct Scratch {
  explicit Scratch(const Network& network) {
    input.assign(kPaddedCells * network.tower.front().conv.inputs, 0);
    for (auto& buffer : activations) buffer.assign(kPaddedCells * network.tower.front().conv.outputs, 0);
    features.assign(network.heads.outputs * kCells, 0.0f);
    policy_features.assign(network.policy.inputs, 0);
    unsigned value_width = network.value_channels * kCells + kCountFeatures;
    for (const auto& layer : network.value) value_width = std::max(value_width, layer.outputs);
    value_in.assign(value_width, 0.0f);
    value_out.assign(value_width, 0.0f);
  }
  std::vector<std::uint8_t> input;                     // the planes and the plane of ones
  std::array<std::vector<std::uint8_t>, 3> activations;  // a block's input, its middle, its output
  std::vector<float> features;               // [heads.outputs][kCells]
  std::vector<std::uint8_t> policy_features;  // [policy.inputs]
  std::array<float, kCells> logits{};
  std::vector<float> value_in, value_out;
};

void write_input(const float* planes, unsigned channels, std::uint8_t* input) {
  for (unsigned cell = 0; cell < kCells; ++cell) {
    std::uint8_t* at = input + padded_index(cell) * channels;
    for (unsigned plane = 0; plane < kInputPlanes; ++plane) at[plane] = planes[plane * kCells + cell] != 0.0f;
    at[kInputPlanes] = 1;
    std::fill(at + kInputChannels, at + channels, std::uint8_t{0});
  }
}

// The value head's float layers. Each dot product sums in kLanes partial sums
// (lane j takes the terms i with i % kLanes == j, in order), then adds the
// lanes in order, so that the vector code gives the same floats.
float dot_portable(const float* weights, const float* inputs, unsigned count) {
  std::array<float, kLanes> lanes{};
  unsigned i = 0;
  for (; i + kLanes <= count; i += kLanes)
    for (unsigned j = 0; j < kLanes; ++j) lanes[j] = lanes[j] + weights[i + j] * inputs[i + j];
  float total = 0.0f;
  for (float lane : lanes) total = total + lane;
  for (; i < count; ++i) total = total + weights[i] * inputs[i];
  return total;
}

#ifdef TILORA_INT8_VNNI
VNNI_TARGET float dot_vnni(const float* weights, const float* inputs, unsigned count) {
  __m512 sums = _mm512_setzero_ps();
  unsigned i = 0;
  for (; i + kLanes <= count; i += kLanes)
    sums = _mm512_add_ps(sums, _mm512_mul_ps(_mm512_loadu_ps(weights + i), _mm512_loadu_ps(inputs + i)));
  alignas(64) std::array<float, kLanes> lanes;
  _mm512_store_ps(lanes.data(), sums);
  float total = 0.0f;
  for (float lane : lanes) total = total + lane;
  for (; i < count; ++i) total = total + weights[i] * inputs[i];
  return total;
}
#endif

template <class Dot>
std::array<float, kPlayers> value_logits(const Network& network, const float* planes, Scratch& scratch, Dot dot) {
  const float* values = scratch.features.data() + network.policy_channels * kCells;
  std::copy(values, values + network.value_channels * kCells, scratch.value_in.begin());
  if (network.value_counts) write_counts(planes, scratch.value_in.data() + network.value_channels * kCells);
  for (const auto& layer : network.value) {
    for (unsigned out = 0; out < layer.outputs; ++out) {
      const float sum = dot(layer.weights.data() + std::size_t{out} * layer.inputs, scratch.value_in.data(),
                            layer.inputs) + layer.bias[out];
      scratch.value_out[out] = layer.relu ? relu(sum) : sum;
    }
    std::swap(scratch.value_in, scratch.value_out);
  }
  std::array<float, kPlayers> logits;
  std::copy_n(scratch.value_in.begin(), kPlayers, logits.begin());
  return logits;
}

// The serving graph's policy output: a log-softmax of the logits with the
// illegal cells at kIllegalLogit, those cells then set to kIllegalLogit.
void write_log_policy(const float* planes, const std::array<float, kCells>& logits, float* out) {
  const float* legal = planes + kLegalPlane * kCells;
  float largest = kIllegalLogit;
  unsigned legal_count = 0;
  for (unsigned cell = 0; cell < kCells; ++cell) {
    const float logit = legal[cell] != 0.0f ? logits[cell] : kIllegalLogit;
    largest = logit > largest ? logit : largest;
    legal_count += legal[cell] != 0.0f;
  }
  if (legal_count == 0) {
    std::fill_n(out, kCells, kIllegalLogit);
    return;
  }
  double total = static_cast<double>(kCells - legal_count) * std::exp(double{kIllegalLogit} - largest);
  for (unsigned cell = 0; cell < kCells; ++cell)
    if (legal[cell] != 0.0f) total += std::exp(double{logits[cell]} - largest);
  const float shift = largest + static_cast<float>(std::log(total));
  for (unsigned cell = 0; cell < kCells; ++cell) out[cell] = legal[cell] != 0.0f ? logits[cell] - shift : kIllegalLogit;
}

// The value logits are in the mover's frame (logit k for the seat of plane k);
// the mover is the seat whose start corner is covered on the own plane or
// still legal. Several marked seats add their frames, as the serving graph
// does; `movers` says how many there were.
void write_shares(const float* planes, const std::array<float, kPlayers>& logits, float* shares, float* movers) {
  constexpr std::array<unsigned, kPlayers> kStartCorners = {0, kSide - 1, kCells - 1, kCells - kSide};
  const float largest = *std::max_element(logits.begin(), logits.end());
  std::array<float, kPlayers> share;
  float total = 0.0f;
  for (unsigned k = 0; k < kPlayers; ++k) total += share[k] = std::exp(logits[k] - largest);
  for (float& s : share) s /= total;
  std::fill_n(shares, kPlayers, 0.0f);
  unsigned marked = 0;
  for (unsigned mover = 0; mover < kPlayers; ++mover) {
    const unsigned corner = kStartCorners[mover];
    if (planes[kOwnPlane * kCells + corner] == 0.0f && planes[kLegalPlane * kCells + corner] == 0.0f) continue;
    ++marked;
    for (unsigned player = 0; player < kPlayers; ++player)
      shares[player] += share[(player + kPlayers + 1 - mover) % kPlayers];
  }
  *movers = static_cast<float>(marked);
}

// ---- the portable kernel ----------------------------------------------------

// The int32 sums of a quantised layer at one output position; `at(tap)` is
// the input channels the tap reads.
template <class At>
void sums_portable(const QuantizedLayer& layer, At at, std::int32_t* sums) {
  const unsigned groups = layer.inputs / kGroup;
  for (unsigned block = 0; block < layer.outputs / kLanes; ++block) {
    for (unsigned lane = 0; lane < kLanes; ++lane) {
      std::int32_t sum = 0;
      for (unsigned tap = 0; tap < layer.taps; ++tap) {
        const std::uint8_t* in = at(tap);
        const std::int8_t* w = layer.weights.data() + ((std::size_t{block} * layer.taps + tap) * groups) * kLanes * kGroup;
        for (unsigned g = 0; g < groups; ++g)
          for (unsigned i = 0; i < kGroup; ++i)
            sum += std::int32_t{in[g * kGroup + i]} * w[(g * kLanes + lane) * kGroup + i];
      }
      sums[block * kLanes + lane] = sum;
    }
  }
}

void tower_layer_portable(const TowerLayer& layer, const std::uint8_t* in, const std::uint8_t* residual,
                          std::uint8_t* out) {
  const QuantizedLayer& conv = layer.conv;
  const float inverse = 1.0f / layer.out_scale;
  std::vector<std::int32_t> sums(conv.outputs);
  for (unsigned cell = 0; cell < kCells; ++cell) {
    const unsigned centre = padded_index(cell);
    sums_portable(conv, [&](unsigned tap) {
      return in + (centre + (tap / 3) * kPadded + tap % 3 - kPadded - 1) * conv.inputs;
    }, sums.data());
    for (unsigned c = 0; c < conv.outputs; ++c) {
      float value = static_cast<float>(sums[c]) * conv.scale[c];
      value = value + conv.bias[c];
      if (layer.residual) value = value + static_cast<float>(residual[centre * conv.outputs + c]) * layer.residual_scale;
      out[centre * conv.outputs + c] = to_activation(relu(value), inverse);
    }
  }
}

void heads_portable(const QuantizedLayer& heads, const std::uint8_t* in, float* features) {
  std::vector<std::int32_t> sums(heads.outputs);
  for (unsigned cell = 0; cell < kCells; ++cell) {
    sums_portable(heads, [&](unsigned) { return in + padded_index(cell) * heads.inputs; }, sums.data());
    for (unsigned c = 0; c < heads.outputs; ++c) {
      float value = static_cast<float>(sums[c]) * heads.scale[c];
      features[c * kCells + cell] = relu(value + heads.bias[c]);
    }
  }
}

void policy_features_portable(const float* features, unsigned count, float scale, std::uint8_t* out) {
  for (unsigned i = 0; i < count; ++i) out[i] = to_activation(features[i], 1.0f / scale);
}

void policy_portable(const QuantizedLayer& policy, const std::uint8_t* features, std::array<float, kCells>& logits) {
  std::vector<std::int32_t> sums(policy.outputs);
  sums_portable(policy, [&](unsigned) { return features; }, sums.data());
  for (unsigned cell = 0; cell < kCells; ++cell) {
    const float value = static_cast<float>(sums[cell]) * policy.scale[cell];
    logits[cell] = value + policy.bias[cell];
  }
}

// ---- the VNNI kernel: the same numbers, sixteen output channels at a time ---

#ifdef TILORA_INT8_VNNI
// Rounds sixteen ReLU'd floats to uint8, as to_activation does.
VNNI_TARGET __m128i to_activations(__m512 relu_values, __m512 inverse) {
  const __m512 scaled = _mm512_min_ps(_mm512_mul_ps(relu_values, inverse), _mm512_set1_ps(kMaxActivation));
  return _mm512_cvtepi32_epi8(_mm512_cvtps_epi32(scaled));  // rounds to nearest, ties to even
}

VNNI_TARGET __m512 relu16(__m512 value) { return _mm512_max_ps(value, _mm512_setzero_ps()); }

// `kInputs` is the layer's input channels when the caller knows it at compile
// time (the whole sum then unrolls over constant offsets), else 0.
template <unsigned kInputs>
VNNI_TARGET void tower_layer_vnni(const TowerLayer& layer, const std::uint8_t* in, const std::uint8_t* residual,
                                  std::uint8_t* out) {
  const QuantizedLayer& conv = layer.conv;
  const unsigned inputs = kInputs != 0 ? kInputs : conv.inputs;
  const unsigned groups = inputs / kGroup;
  const __m512 inverse = _mm512_set1_ps(1.0f / layer.out_scale);
  const __m512 residual_scale = _mm512_set1_ps(layer.residual_scale);
  for (unsigned block = 0; block < conv.outputs / kLanes; ++block) {
    const __m512 scale = _mm512_loadu_ps(conv.scale.data() + block * kLanes);
    const __m512 bias = _mm512_loadu_ps(conv.bias.data() + block * kLanes);
    const std::int8_t* block_weights = conv.weights.data() + std::size_t{block} * kTaps3x3 * groups * kLanes * kGroup;
    for (unsigned y = 0; y < kSide; ++y) {
      for (unsigned x0 = 0; x0 < kSide; x0 += kRun) {
        __m512i sums[kRun];
        for (auto& sum : sums) sum = _mm512_setzero_si512();
        const std::uint8_t* corner = in + (y * kPadded + x0) * inputs;
#pragma GCC unroll 9
        for (unsigned tap = 0; tap < kTaps3x3; ++tap) {
          const std::uint8_t* row = corner + ((tap / 3) * kPadded + tap % 3) * inputs;
          const std::int8_t* tap_weights = block_weights + std::size_t{tap} * groups * kLanes * kGroup;
#pragma GCC unroll 16
          for (unsigned g = 0; g < groups; ++g) {
            const __m512i weights = _mm512_loadu_si512(tap_weights + g * kLanes * kGroup);
#pragma GCC unroll 10
            for (unsigned p = 0; p < kRun; ++p)
              sums[p] = _mm512_dpbusd_epi32(sums[p], _mm512_set1_epi32(four_bytes(row + p * inputs + g * kGroup)),
                                            weights);
          }
        }
        for (unsigned p = 0; p < kRun; ++p) {
          const std::size_t at = std::size_t{(y + 1) * kPadded + x0 + p + 1} * conv.outputs + block * kLanes;
          __m512 value = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(sums[p]), scale), bias);
          if (layer.residual) {
            const __m128i input = _mm_loadu_si128(reinterpret_cast<const __m128i*>(residual + at));
            value = _mm512_add_ps(value, _mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(input)), residual_scale));
          }
          _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), to_activations(relu16(value), inverse));
        }
      }
    }
  }
}

void tower_layer_vnni(const TowerLayer& layer, const std::uint8_t* in, const std::uint8_t* residual,
                      std::uint8_t* out) {
  switch (layer.conv.inputs) {
    case 8: return tower_layer_vnni<8>(layer, in, residual, out);
    case 16: return tower_layer_vnni<16>(layer, in, residual, out);
    case 32: return tower_layer_vnni<32>(layer, in, residual, out);
    default: return tower_layer_vnni<0>(layer, in, residual, out);
  }
}

VNNI_TARGET void heads_vnni(const QuantizedLayer& heads, const std::uint8_t* in, float* features) {
  const unsigned groups = heads.inputs / kGroup;
  alignas(64) std::array<float, kLanes> lanes;
  for (unsigned block = 0; block < heads.outputs / kLanes; ++block) {
    const __m512 scale = _mm512_loadu_ps(heads.scale.data() + block * kLanes);
    const __m512 bias = _mm512_loadu_ps(heads.bias.data() + block * kLanes);
    const std::int8_t* weights = heads.weights.data() + std::size_t{block} * groups * kLanes * kGroup;
    for (unsigned first = 0; first < kCells; first += kRun) {
      __m512i sums[kRun];
      for (auto& sum : sums) sum = _mm512_setzero_si512();
      const std::uint8_t* run = in + padded_index(first) * heads.inputs;  // a run lies within one row
      for (unsigned g = 0; g < groups; ++g) {
        const __m512i w = _mm512_loadu_si512(weights + g * kLanes * kGroup);
#pragma GCC unroll 10
        for (unsigned p = 0; p < kRun; ++p)
          sums[p] = _mm512_dpbusd_epi32(sums[p], _mm512_set1_epi32(four_bytes(run + p * heads.inputs + g * kGroup)), w);
      }
      for (unsigned p = 0; p < kRun; ++p) {
        _mm512_store_ps(lanes.data(), relu16(_mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(sums[p]), scale), bias)));
        for (unsigned lane = 0; lane < kLanes; ++lane) features[(block * kLanes + lane) * kCells + first + p] = lanes[lane];
      }
    }
  }
}

// Dense: kBlocks blocks of sixteen outputs share each broadcast of four inputs.
VNNI_TARGET void policy_vnni(const QuantizedLayer& policy, const std::uint8_t* features,
                             std::array<float, kCells>& logits) {
  constexpr unsigned kBlocks = 5;
  static_assert(kCells / kLanes % kBlocks == 0);
  const unsigned groups = policy.inputs / kGroup;
  const std::size_t block_size = std::size_t{groups} * kLanes * kGroup;
  for (unsigned first = 0; first < kCells / kLanes; first += kBlocks) {
    __m512i sums[kBlocks];
    for (auto& sum : sums) sum = _mm512_setzero_si512();
    const std::int8_t* weights = policy.weights.data() + first * block_size;
    for (unsigned g = 0; g < groups; ++g) {
      const __m512i inputs = _mm512_set1_epi32(four_bytes(features + g * kGroup));
#pragma GCC unroll 5
      for (unsigned b = 0; b < kBlocks; ++b)
        sums[b] = _mm512_dpbusd_epi32(sums[b], inputs, _mm512_loadu_si512(weights + b * block_size + g * kLanes * kGroup));
    }
    for (unsigned b = 0; b < kBlocks; ++b) {
      const unsigned at = (first + b) * kLanes;
      const __m512 value = _mm512_mul_ps(_mm512_cvtepi32_ps(sums[b]), _mm512_loadu_ps(policy.scale.data() + at));
      _mm512_storeu_ps(logits.data() + at, _mm512_add_ps(value, _mm512_loadu_ps(policy.bias.data() + at)));
    }
  }
}

VNNI_TARGET void policy_features_vnni(const float* features, unsigned count, float scale, std::uint8_t* out) {
  const __m512 inverse = _mm512_set1_ps(1.0f / scale);
  unsigned i = 0;
  for (; i + kLanes <= count; i += kLanes)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), to_activations(_mm512_loadu_ps(features + i), inverse));
  for (; i < count; ++i) out[i] = to_activation(features[i], 1.0f / scale);
}
#endif

// ---- one position -----------------------------------------------------------

#ifndef TILORA_INT8_VNNI
constexpr auto tower_layer_vnni = tower_layer_portable;
constexpr auto heads_vnni = heads_portable;
constexpr auto policy_vnni = policy_portable;
constexpr auto dot_vnni = dot_portable;
constexpr auto policy_features_vnni = policy_features_portable;
#endif

template <bool kVnni>
void evaluate_one(const Network& network, Scratch& scratch, const float* planes, float* log_policy, float* shares,
                  float* movers) {
  write_input(planes, network.tower.front().conv.inputs, scratch.input.data());
  // Each layer writes the buffer after the one it reads; a block's second
  // layer adds the buffer before, which holds the block's input.
  unsigned current = 0;
  for (std::size_t i = 0; i < network.tower.size(); ++i) {
    const TowerLayer& layer = network.tower[i];
    const std::uint8_t* in = i == 0 ? scratch.input.data() : scratch.activations[current].data();
    const std::uint8_t* residual = scratch.activations[(current + 2) % 3].data();
    const unsigned next = i == 0 ? 0 : (current + 1) % 3;
    std::uint8_t* out = scratch.activations[next].data();
    if constexpr (kVnni) tower_layer_vnni(layer, in, residual, out);
    else tower_layer_portable(layer, in, residual, out);
    current = next;
  }
  const std::uint8_t* tower = scratch.activations[current].data();
  if constexpr (kVnni) heads_vnni(network.heads, tower, scratch.features.data());
  else heads_portable(network.heads, tower, scratch.features.data());
  const float* features = scratch.features.data();
  std::uint8_t* policy_features = scratch.policy_features.data();
  if constexpr (kVnni) policy_features_vnni(features, network.policy.inputs, network.policy_scale, policy_features);
  else policy_features_portable(features, network.policy.inputs, network.policy_scale, policy_features);
  if constexpr (kVnni) policy_vnni(network.policy, scratch.policy_features.data(), scratch.logits);
  else policy_portable(network.policy, scratch.policy_features.data(), scratch.logits);
  const auto values = kVnni ? value_logits(network, planes, scratch, dot_vnni)
                            : value_logits(network, planes, scratch, dot_portable);
  write_log_policy(planes, scratch.logits, log_policy);
  write_shares(planes, values, shares, movers);
}

void require(bool holds, const std::string& what) {
  if (!holds) throw std::invalid_argument("int8 network: " + what);
}

void check_layer(const QuantizedLayer& layer, const std::string& name) {
  require(layer.inputs % kGroup == 0 && layer.inputs > 0, name + " has inputs not a positive multiple of 4");
  require(layer.outputs % kLanes == 0 && layer.outputs > 0, name + " has outputs not a positive multiple of 16");
  require(layer.weights.size() == std::size_t{layer.outputs} * layer.taps * layer.inputs, name + " has the wrong number of weights");
  require(layer.scale.size() == layer.outputs && layer.bias.size() == layer.outputs,
          name + " has scales or biases not one an output");
}

}  // namespace

void write_counts(const float* planes, float* out) {
  const auto tile = [&](unsigned seat, int row, int column) {
    return row >= 0 && column >= 0 && row < int{kSide} && column < int{kSide} &&
           planes[seat * kCells + static_cast<unsigned>(row) * kSide + static_cast<unsigned>(column)] != 0.0f;
  };
  std::array<unsigned, kCounts> counts{};
  for (unsigned cell = 0; cell < kCells; ++cell) {
    const int row = static_cast<int>(cell / kSide), column = static_cast<int>(cell % kSide);
    bool empty = true;
    for (unsigned seat = 0; seat < kPlayers; ++seat) empty = empty && !tile(seat, row, column);
    for (unsigned seat = 0; seat < kPlayers; ++seat) {
      counts[seat] += tile(seat, row, column);
      const bool beside = tile(seat, row - 1, column) || tile(seat, row + 1, column) || tile(seat, row, column - 1) ||
                          tile(seat, row, column + 1);
      const bool diagonal = tile(seat, row - 1, column - 1) || tile(seat, row - 1, column + 1) ||
                            tile(seat, row + 1, column - 1) || tile(seat, row + 1, column + 1);
      const bool free = empty && !beside;
      counts[kPlayers + seat] += free && diagonal;
      counts[2 * kPlayers + seat] += free;
    }
    counts[3 * kPlayers] += planes[kLegalPlane * kCells + cell] != 0.0f;
  }
  for (unsigned i = 0; i < kCounts; ++i) out[i] = static_cast<float>(counts[i]) / 100.0f;
  for (unsigned i = 0; i < kCounts; ++i)
    for (unsigned j = 0; j < kCounts; ++j) out[kCounts + i * kCounts + j] = out[i] * out[j];
}

bool vnni_available() {
#ifdef TILORA_INT8_VNNI
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vnni");
#else
  return false;
#endif
}

void check(const Network& network) {
  require(network.tower.size() % 2 == 1, "the tower is not a stem and whole blocks");
  unsigned channels = network.tower.front().conv.inputs;
  require(channels >= kInputChannels, "the stem reads fewer than the six input channels");
  for (std::size_t i = 0; i < network.tower.size(); ++i) {
    const TowerLayer& layer = network.tower[i];
    const std::string name = "tower layer " + std::to_string(i);
    check_layer(layer.conv, name);
    require(layer.conv.taps == kTaps3x3, name + " is not a 3x3 convolution");
    require(layer.conv.inputs == channels, name + " reads another channel count than the layer before writes");
    require(layer.conv.outputs == network.tower.front().conv.outputs, name + " writes another width than the stem");
    require(layer.out_scale > 0.0f && std::isfinite(layer.out_scale), name + " has no positive finite scale");
    require(layer.residual == (i >= 2 && i % 2 == 0), name + (layer.residual ? " adds a block input it cannot have"
                                                                             : " is a block's second layer without its input"));
    channels = layer.conv.outputs;
  }
  check_layer(network.heads, "the heads' convolution");
  require(network.heads.taps == 1 && network.heads.inputs == channels, "the heads' convolution does not read the tower");
  require(network.policy_channels + network.value_channels <= network.heads.outputs,
          "the heads' convolution has fewer outputs than the two heads' channels");
  check_layer(network.policy, "the policy layer");
  require(network.policy.taps == 1 && network.policy.inputs == network.policy_channels * kCells &&
              network.policy.outputs == kCells,
          "the policy layer does not map the policy features to 400 logits");
  require(network.policy_scale > 0.0f && std::isfinite(network.policy_scale), "the policy features have no positive finite scale");
  unsigned width = network.value_channels * kCells + (network.value_counts ? kCountFeatures : 0);
  for (const auto& layer : network.value) {
    require(layer.inputs == width, "a value layer reads another width than the layer before writes");
    require(layer.weights.size() == std::size_t{layer.outputs} * layer.inputs && layer.bias.size() == layer.outputs,
            "a value layer's weights or biases do not match its shape");
    width = layer.outputs;
  }
  require(width == kPlayers, "the value layers do not end in four logits");
}

void evaluate(const Network& network, const float* planes, std::size_t batch, float* log_policy, float* shares,
              float* movers, Kernel kernel) {
  Scratch scratch(network);
  const bool vnni = kernel == Kernel::automatic && vnni_available();
  constexpr std::size_t kPlaneEntries = std::size_t{kInputPlanes} * kCells;
  for (std::size_t i = 0; i < batch; ++i) {
    const float* position = planes + i * kPlaneEntries;
    if (vnni)
      evaluate_one<true>(network, scratch, position, log_policy + i * kCells, shares + i * kPlayers, movers + i);
    else
      evaluate_one<false>(network, scratch, position, log_policy + i * kCells, shares + i * kPlayers, movers + i);
  }
}

}  // namespace tilora_zero::int8
