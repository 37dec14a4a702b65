#include "lib/py_network.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

#include "lib/errors.h"
#include "lib/interned.h"

namespace tilora::self_play::py {
namespace {

PyObject* put_name() {
  static PyObject* name = nullptr;
  return interned("put", name);
}

PyObject* recv_name() {
  static PyObject* name = nullptr;
  return interned("recv", name);
}

void check_size(Py_ssize_t size, const char* what, Py_ssize_t min_size, Py_ssize_t max_size) {
  if (size > max_size)
    throw_error(PyExc_ValueError, "the reply's %s has %zd entries, more than the %zd allowed", what,
                size, max_size);
  if (size < min_size)
    throw_error(PyExc_ValueError, "the reply's %s has %zd entries, fewer than the %zd needed", what,
                size, min_size);
}

// The element type of a buffer format: 'f', 'd', or 0 for any other.
char float_format(const char* format) {
  if (!format) return 0;
  if (*format == '@' || *format == '=' ||
      (*format == '<' && std::endian::native == std::endian::little) ||
      (*format == '>' && std::endian::native == std::endian::big))
    ++format;
  if ((format[0] == 'f' || format[0] == 'd') && format[1] == '\0') return format[0];
  return 0;
}

// A contiguous one-dimensional float buffer read without Python calls.
// Returns the count, or none when the object has no such buffer.
std::optional<Py_ssize_t> read_float_buffer(PyObject* item, const char* what, Py_ssize_t min_size,
                                            Py_ssize_t max_size, std::span<float> out) {
  if (PyList_Check(item) || PyTuple_Check(item) || !PyObject_CheckBuffer(item)) return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(item, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet{};  // an interruption
    PyErr_Clear();
    return std::nullopt;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  const char kind = float_format(view.format);
  if (view.ndim != 1 || kind == 0 ||
      view.itemsize != static_cast<Py_ssize_t>(kind == 'f' ? sizeof(float) : sizeof(double)))
    return std::nullopt;
  const Py_ssize_t size = view.shape[0];
  check_size(size, what, min_size, max_size);
  const auto stored = std::min<std::size_t>(out.size(), static_cast<std::size_t>(size));
  if (kind == 'f') {
    std::memcpy(out.data(), view.buf, stored * sizeof(float));
  } else {
    const auto* values = static_cast<const double*>(view.buf);
    for (std::size_t i = 0; i < stored; ++i) out[i] = static_cast<float>(values[i]);
  }
  return size;
}

}  // namespace

Py_ssize_t read_numbers(PyObject* item, const char* what, Py_ssize_t min_size,
                        Py_ssize_t max_size, std::span<float> out) {
  if (PyUnicode_Check(item))
    throw_error(PyExc_TypeError, "the reply's %s is a str, not a sequence of numbers", what);
  if (!PySequence_Check(item))
    throw_error(PyExc_TypeError, "the reply's %s: '%.200s' object cannot be converted to 'Sequence'",
                what, Py_TYPE(item)->tp_name);
  if (const auto buffered = read_float_buffer(item, what, min_size, max_size, out)) return *buffered;

  // For a list, the fast sequence is the list itself: an element's __float__
  // may change it, so the element is held while it converts, and the list is
  // read again after every conversion that ran Python code.
  py_ref sequence = check(PySequence_Fast(item, "the reply's item is not a sequence"));
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
  check_size(size, what, min_size, max_size);
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* element = PySequence_Fast_GET_ITEM(sequence.get(), i);
    double v;
    if (PyFloat_CheckExact(element)) {
      v = PyFloat_AS_DOUBLE(element);
    } else {
      const py_ref held = py_ref::ref(element);
      v = PyFloat_AsDouble(held.get());
      if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
      if (PySequence_Fast_GET_SIZE(sequence.get()) != size)
        throw_error(PyExc_ValueError,
                    "the reply's %s changed its length from %zd to %zd while its numbers were read", what,
                    size, PySequence_Fast_GET_SIZE(sequence.get()));
    }
    if (static_cast<std::size_t>(i) < out.size()) out[static_cast<std::size_t>(i)] = static_cast<float>(v);
  }
  return size;
}

PyNetwork::PyNetwork(PyObject* inference_queue, PyObject* pipe, std::int32_t id, bool packed_planes)
    : queue_(py_ref::ref(inference_queue)),
      pipe_(py_ref::ref(pipe)),
      id_(check(PyLong_FromLong(id))),
      policy_index_(check(PyLong_FromLong(0))),
      values_index_(check(PyLong_FromLong(1))) {
  for (unsigned i = 0; i < kFloatCopies; ++i) {
    zeros_[i] = check(PyFloat_FromDouble(0.0));
    ones_[i] = check(PyFloat_FromDouble(1.0));
    zero_bits_[i] = reinterpret_cast<std::uintptr_t>(zeros_[i].get());
    flip_bits_[i] = zero_bits_[i] ^ reinterpret_cast<std::uintptr_t>(ones_[i].get());
  }
  packed_planes_ = packed_planes;
  // Made here, so that no evaluation fails on them.
  (void)put_name();
  (void)recv_name();
}

py_ref PyNetwork::build_request(const StateRepr& planes) const {
  py_ref body;
  if (packed_planes_) {
    const PackedPlanes packed = pack_planes(planes);
    body = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packed.data()),
                                           static_cast<Py_ssize_t>(packed.size())));
  } else {
    body = plane_lists(planes);
  }
  return check(PyTuple_Pack(2, id_.get(), body.get()));
}

py_ref PyNetwork::plane_lists(const StateRepr& planes) const {
  // Entry k is copy k % kFloatCopies of 0.0 or 1.0, chosen without a branch
  // or a float comparison.
  constexpr std::uint32_t kOneBits = std::bit_cast<std::uint32_t>(1.0f);
  py_ref plane_list = check(PyList_New(kPlanes));
  for (unsigned p = 0; p < kPlanes; ++p) {
    PyObject* cells = check(PyList_New(kBoardCells)).release();
    PyList_SET_ITEM(plane_list.get(), p, cells);  // the outer list owns it
    PyObject** items = reinterpret_cast<PyListObject*>(cells)->ob_item;
    const float* plane = planes.data() + p * kBoardCells;
    static_assert(kBoardCells % kFloatCopies == 0);
    for (unsigned k = 0; k < kBoardCells; k += kFloatCopies) {
      for (unsigned i = 0; i < kFloatCopies; ++i) {
        const std::uintptr_t set = std::bit_cast<std::uint32_t>(plane[k + i]) == kOneBits;
        items[k + i] = Py_NewRef(
            reinterpret_cast<PyObject*>(zero_bits_[i] ^ (flip_bits_[i] & (std::uintptr_t{0} - set))));
      }
    }
  }
  return plane_list;
}

bool PyNetwork::infer(const game::Game& /*position*/, const StateRepr& planes, Reply& reply) {
  try {
    {
      py_ref request = build_request(planes);
      (void)check(PyObject_CallMethodOneArg(queue_.get(), put_name(), request.get()));
    }
    py_ref answer = check(PyObject_CallMethodNoArgs(pipe_.get(), recv_name()));

    py_ref policy = check(PyObject_GetItem(answer.get(), policy_index_.get()));
    const Py_ssize_t policy_size =
        read_numbers(policy.get(), "policy", 0, kBoardCells, reply.policy);

    py_ref values = check(PyObject_GetItem(answer.get(), values_index_.get()));
    (void)read_numbers(values.get(), "values", kPlayers, std::numeric_limits<Py_ssize_t>::max(),
                       reply.values);

    reply.policy_size = static_cast<unsigned>(policy_size);
    return true;
  } catch (const ErrorAlreadySet&) {
    return fail();
  }
}

bool PyNetwork::fail() {
  error_ = fetch_exception();
  return false;
}

void PyNetwork::reject_reply(std::string_view reason) {
  py_ref text = py_ref::steal(
      PyUnicode_DecodeUTF8(reason.data(), static_cast<Py_ssize_t>(reason.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  fail();
}

std::string PyNetwork::error_text() const { return text_form(error_.get()); }

}  // namespace tilora::self_play::py
