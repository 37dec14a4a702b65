// tilora_zero._engine.Int8Network: the int8 network (int8_network.h) built
// from NumPy arrays in torch's layouts, padded and reordered here for the
// kernels.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "int8_network.h"

namespace nb = nanobind;

namespace {

namespace q = tilora_zero::int8;

using Weights = nb::ndarray<const std::int8_t, nb::c_contig, nb::device::cpu>;
using Floats = nb::ndarray<const float, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Matrix = nb::ndarray<const float, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Planes = nb::ndarray<const float, nb::ndim<4>, nb::shape<-1, q::kInputPlanes, q::kSide, q::kSide>,
                           nb::c_contig, nb::device::cpu>;

// (weights int8 [out][in](...[kh][kw]), scale [out], bias [out])
using LayerArrays = std::tuple<Weights, Floats, Floats>;
// and the scale of the activations it writes, and the block input's scale for a block's second layer
using TowerArrays = std::tuple<Weights, Floats, Floats, float, std::optional<float>>;
// (weights [out][in], bias [out], relu)
using ValueArrays = std::tuple<Matrix, Floats, bool>;

unsigned round_up(unsigned value, unsigned step) { return (value + step - 1) / step * step; }

std::vector<float> padded(const Floats& values, unsigned count, const std::string& name, unsigned outputs) {
  if (values.shape(0) != outputs) throw std::invalid_argument("int8 network: " + name + " has scales or biases not one an output");
  std::vector<float> out(count, 0.0f);
  std::copy_n(values.data(), values.shape(0), out.begin());
  return out;
}

// Reorders weights [out][in][taps] into the kernels' layout, with zero weights
// for the padding: `in` must be the `channels` that come, which lie in the
// first of `inputs` (whole groups) a position.
q::QuantizedLayer quantized(const LayerArrays& arrays, unsigned channels, unsigned inputs, const std::string& name) {
  const auto& [weights, scale, bias] = arrays;
  if (weights.ndim() != 2 && weights.ndim() != 4) throw std::invalid_argument("int8 network: " + name + " weights are not 2- or 4-dimensional");
  const unsigned out = static_cast<unsigned>(weights.shape(0)), in = static_cast<unsigned>(weights.shape(1));
  const unsigned taps = weights.ndim() == 4 ? static_cast<unsigned>(weights.shape(2) * weights.shape(3)) : 1;
  if (taps != 1 && taps != 9) throw std::invalid_argument("int8 network: " + name + " is neither 1x1 nor 3x3");
  if (in != channels) throw std::invalid_argument("int8 network: " + name + " reads " + std::to_string(in) + " channels where " + std::to_string(channels) + " come");
  q::QuantizedLayer layer;
  layer.inputs = round_up(inputs, q::kGroup);
  layer.outputs = round_up(out, q::kLanes);
  layer.taps = taps;
  layer.weights.assign(std::size_t{layer.outputs} * taps * layer.inputs, 0);
  const unsigned groups = layer.inputs / q::kGroup;
  for (unsigned o = 0; o < out; ++o)
    for (unsigned i = 0; i < in; ++i)
      for (unsigned t = 0; t < taps; ++t) {
        const std::size_t at = (((std::size_t{o / q::kLanes} * taps + t) * groups + i / q::kGroup) * q::kLanes + o % q::kLanes) * q::kGroup + i % q::kGroup;
        layer.weights[at] = weights.data()[(std::size_t{o} * in + i) * taps + t];
      }
  layer.scale = padded(scale, layer.outputs, name, out);
  layer.bias = padded(bias, layer.outputs, name, out);
  return layer;
}

// Hands a heap buffer of floats to NumPy; the capsule frees it with the array.
template <std::size_t N>
nb::ndarray<nb::numpy, float> owned(float* data, const std::size_t (&shape)[N]) {
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<float*>(p); });
  return nb::ndarray<nb::numpy, float>(data, N, shape, owner);
}

class Int8Network {
 public:
  Int8Network(const std::vector<TowerArrays>& tower, const LayerArrays& heads, unsigned policy_channels,
              unsigned value_channels, float policy_scale, const LayerArrays& policy,
              const std::vector<ValueArrays>& value, bool value_counts) {
    unsigned channels = q::kInputChannels, stride = round_up(channels, q::kGroup);
    for (std::size_t i = 0; i < tower.size(); ++i) {
      const auto& [weights, scale, bias, out_scale, residual_scale] = tower[i];
      q::TowerLayer layer;
      layer.conv = quantized({weights, scale, bias}, channels, stride, "tower layer " + std::to_string(i));
      layer.out_scale = out_scale;
      layer.residual = residual_scale.has_value();
      layer.residual_scale = residual_scale.value_or(0.0f);
      channels = static_cast<unsigned>(weights.shape(0));
      stride = layer.conv.outputs;
      network_.tower.push_back(std::move(layer));
    }
    network_.heads = quantized(heads, channels, stride, "the heads' convolution");
    network_.policy_channels = policy_channels;
    network_.value_channels = value_channels;
    network_.policy_scale = policy_scale;
    network_.policy = quantized(policy, policy_channels * q::kCells, policy_channels * q::kCells, "the policy layer");
    network_.value_counts = value_counts;
    for (const auto& [weights, bias, relu] : value) {
      q::FloatLayer layer;
      layer.outputs = static_cast<unsigned>(weights.shape(0));
      layer.inputs = static_cast<unsigned>(weights.shape(1));
      layer.weights.assign(weights.data(), weights.data() + weights.size());
      if (bias.shape(0) != layer.outputs) throw std::invalid_argument("int8 network: a value layer has biases not one an output");
      layer.bias.assign(bias.data(), bias.data() + bias.shape(0));
      layer.relu = relu;
      network_.value.push_back(std::move(layer));
    }
    q::check(network_);
  }

  nb::tuple evaluate(const Planes& planes, bool portable) const {
    const std::size_t batch = planes.shape(0);
    auto* log_policy = new float[batch * q::kCells];
    auto* shares = new float[batch * q::kPlayers];
    auto* movers = new float[batch];
    {
      nb::gil_scoped_release unlocked;
      q::evaluate(network_, planes.data(), batch, log_policy, shares, movers,
                  portable ? q::Kernel::portable : q::Kernel::automatic);
    }
    return nb::make_tuple(owned(log_policy, {batch, q::kCells}), owned(shares, {batch, q::kPlayers}),
                          owned(movers, {batch}));
  }

 private:
  q::Network network_;
};

}  // namespace

void bind_int8_network(nb::module_& m) {
  nb::class_<Int8Network>(m, "Int8Network",
                          "The residual network in 8 bits: uint8 activations, int8 weights, int32 sums "
                          "(AVX-512 VNNI where the CPU has it), float value layers.")
      .def(nb::init<const std::vector<TowerArrays>&, const LayerArrays&, unsigned, unsigned, float,
                    const LayerArrays&, const std::vector<ValueArrays>&, bool>(),
           nb::arg("tower"), nb::arg("heads"), nb::arg("policy_channels"), nb::arg("value_channels"),
           nb::arg("policy_scale"), nb::arg("policy"), nb::arg("value"), nb::arg("value_counts") = false,
           "tower: (weights int8 [out, in, 3, 3], scale float32 [out], bias float32 [out], the scale "
           "of the uint8 activations written, the block input's scale or None) for the stem and "
           "each block's two layers; heads: the 1x1 layer (weights int8 [out, in, 1, 1], scale, "
           "bias) whose first policy_channels outputs are the policy's features and next "
           "value_channels the value's; policy: the dense layer (int8 [400, features], scale, "
           "bias) over the policy features in uint8 of scale policy_scale; value: the float "
           "layers (weights [out, in], bias [out], relu) to four value logits, the first reading "
           "the value features and, with value_counts, the position's counts after them. A layer's real "
           "output is its int32 sum times scale plus bias. ValueError for shapes that do not fit.")
      .def("evaluate", &Int8Network::evaluate, nb::arg("planes"), nb::arg("portable") = false,
           "(log_policy [B, 400], shares [B, 4], movers [B]) for float32 planes [B, 5, 20, 20], "
           "as the serving graph computes them. portable: the code for CPUs without VNNI, which "
           "gives the same numbers.")
      .def_static("counts",
                  [](const Planes& planes) {
                    const std::size_t batch = planes.shape(0);
                    auto* out = new float[batch * q::kCountFeatures];
                    for (std::size_t i = 0; i < batch; ++i)
                      q::write_counts(planes.data() + i * q::kInputPlanes * q::kCells, out + i * q::kCountFeatures);
                    return owned(out, {batch, q::kCountFeatures});
                  },
                  nb::arg("planes"),
                  "The counts a value head with value_counts reads, float32 [B, 182], for planes "
                  "[B, 5, 20, 20]: each seat's tiles, open corners and free cells, the mover's legal "
                  "cells (in hundreds), then their pairwise products.")
      .def_static("vnni_available", &tilora_zero::int8::vnni_available,
                  "Whether this CPU runs the VNNI kernels.");
}
