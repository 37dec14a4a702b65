#pragma once
#include <array>
// The network as the caller's Python objects provide it. Each evaluation
// puts the request (id, planes) on the inference queue, a tuple of the game
// id and a list of five lists of 400 floats (or, when the config asks for
// packed planes, a bytes object of 250: see pack_planes), then reads the
// reply from the pipe: reply[0] the policy (at most 400 logits, index = cell), reply[1] the
// values (at least four; the first four are taken in absolute player order,
// entry p = values[p]).
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>

#include "lib/py_ref.h"
#include "simulation/network.h"

namespace tilora::self_play::py {

class PyNetwork final : public Network {
 public:
  // Borrows the objects for the call (holding a reference to each). Throws
  // ErrorAlreadySet when the cached objects cannot be made.
  PyNetwork(PyObject* inference_queue, PyObject* pipe, std::int32_t id, bool packed_planes = false);

  bool infer(const game::Game& position, const StateRepr& planes, Reply& reply) override;
  void reject_reply(std::string_view reason) override;
  std::string error_text() const override;

  // The exception of the last failed evaluation, taken out of the network.
  py_ref take_error() { return std::move(error_); }

 private:
  // Keeps the exception in flight as the last failure; returns false.
  bool fail();
  py_ref build_request(const StateRepr& planes) const;
  py_ref plane_lists(const StateRepr& planes) const;

  py_ref queue_;
  py_ref pipe_;
  py_ref id_;     // the id as a Python int, item 0 of every request
  // Cached 0.0 and 1.0 objects shared by every plane entry. Entry k uses copy
  // k % kFloatCopies: freeing a request then decrements several counters in
  // turn instead of one counter 2,000 times in a dependent chain.
  static constexpr unsigned kFloatCopies = 16;
  std::array<py_ref, kFloatCopies> zeros_;
  std::array<py_ref, kFloatCopies> ones_;
  // The same objects as integers, for choosing an entry without a branch:
  // zero_bits_[i] ^ (flip_bits_[i] & mask) is ones_[i] when mask is all ones.
  std::array<std::uintptr_t, kFloatCopies> zero_bits_{};
  std::array<std::uintptr_t, kFloatCopies> flip_bits_{};
  bool packed_planes_ = false;
  py_ref policy_index_;  // the ints 0 and 1 that index the reply
  py_ref values_index_;
  py_ref error_;
};

// Reads a sequence of numbers (not a str) narrowed to 32-bit floats, with at
// least min_size and at most max_size elements; stores the first out.size()
// of them. Lists and tuples are read directly, and objects exposing a
// contiguous one-dimensional buffer of 32- or 64-bit floats straight from
// the buffer. `what` names the item in error messages. Returns the element
// count; raises (errors.h) TypeError or ValueError for an item it cannot read.
Py_ssize_t read_numbers(PyObject* item, const char* what, Py_ssize_t min_size,
                        Py_ssize_t max_size, std::span<float> out);

}  // namespace tilora::self_play::py
