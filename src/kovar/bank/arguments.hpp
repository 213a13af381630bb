// Conversion of Python arguments to what the bank works on: shapes, float64
// values broadcast to the bank's shape, boolean channel masks and the `out`
// array. Every function returns false (or null) with an exception set.
#pragma once

#include "kovar/bank/bank_object.hpp"

namespace kovar::bank {

// A non-negative integer (anything with __index__) or a sequence of them.
bool parse_shape(PyObject* obj, Shape& shape);
// An int as a double; one too large for a double is a ValueError naming
// `name`.
bool int_as_double(PyObject* obj, const char* name, double& value);
// The shape as Python shows it, e.g. (3,) or (2, 4). New reference.
Ref shape_tuple(const Shape& shape);
Ref shape_tuple(int ndim, const npy_intp* dims);
// The index of the flat (C-order) position `flat`, as a tuple. New reference.
Ref index_tuple(const Shape& shape, std::size_t flat);

// `obj` as an aligned, native float64 array, converting any real dtype
// (safe casts only). Refuses other input with a TypeError naming `name`.
Ref real_array(PyObject* obj, const char* name);

// Checks that `array` broadcasts to `shape`, with a ValueError naming
// `name` otherwise.
bool check_broadcast(PyArrayObject* array, const Shape& shape, const char* name);

// A new C-contiguous array of `shape` holding `array` broadcast to it.
Ref broadcast_copy(PyArrayObject* array, const Shape& shape, int type_num);

// A float64 operand of the kernel: one number for every channel (step 0)
// or one per channel, contiguous (step 1). Holds what keeps its data alive.
struct Operand {
  double scalar = 0.0;
  const double* data = &scalar;
  std::size_t step = 0;
  Ref keep;
  const char* name = nullptr;

  Operand() = default;
  Operand(const Operand&) = delete;
  Operand& operator=(const Operand&) = delete;
  double at(std::size_t i) const noexcept { return data[i * step]; }
  bank_kernel::Strided strided() const noexcept { return {data, step}; }
};

// A setpoint or measurement: a real scalar or array broadcastable to
// `shape`. An exact C-contiguous float64 array of the shape is used in place.
// An array's data is not read yet: converting a later argument may run
// Python code that resizes it (ndarray.resize(refcheck=False)), so the
// caller converts every argument, then binds each operand.
bool convert_operand(PyObject* obj, const Shape& shape, const char* name, Operand& operand);

// Checks the operand's array against `shape` again and takes its data
// (a copy where it no longer is the bank's size or contiguous). Runs no
// Python code, so the pointers of operands bound in a row stay valid.
bool bind_operand(Operand& operand, const Shape& shape);

// The copy separate_from makes: `operand` then reads an array of its own.
bool separate_copy(Operand& operand);

// Makes `operand` a copy of its own when its elements overlap `out`'s other
// than element for element, so that writing out[i] never changes a later
// operand element. Inline: update checks every operand on every call.
inline bool separate_from(Operand& operand, const double* out, std::size_t n) {
  if (operand.step == 0 || operand.data == out || n == 0) return true;
  if (operand.data + n <= out || out + n <= operand.data) return true;
  return separate_copy(operand);
}

// A channel mask: None (every channel) or booleans broadcastable to `shape`.
// `mask` is null for every channel, otherwise a contiguous bool array.
bool convert_where(PyObject* obj, const Shape& shape, Ref& mask);

// Checks that `obj` can take a result: an aligned, C-contiguous, native
// float64 ndarray of exactly `shape`, writeable unless it may be the bank's
// own output (read-only views; the caller settles which under the lock).
// `read_only` tells which of the two it is.
bool check_out(PyObject* obj, const Shape& shape, bool& read_only);

// The refusal of an `out` that is neither writeable nor the bank's output.
void refuse_out();

}  // namespace kovar::bank
