// Acceptance of typed arrays: None, or a numpy.ndarray (or subclass) whose
// buffer holds native-order 64-bit floats in a fixed number of dimensions.
#pragma once

#include "kovar/common/owned_ref.hpp"

namespace kovar::typed_array {

// Checks the buffer of `obj`, which has passed the array type test. None
// passes without a buffer. Returns false with the ValueError (or the
// array's own buffer error) set.
bool accept(PyObject* obj, int ndim);

// The check made when a computed value is stored into a typed-array local:
// the array result test, then accept(). Returns false with an exception set.
bool accept_result(PyObject* obj, int ndim);

// The array result test alone: None or a numpy.ndarray instance, else
// TypeError "Cannot convert ... to numpy.ndarray".
bool is_array_result(PyObject* obj);

}  // namespace kovar::typed_array
