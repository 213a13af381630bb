// The steps the control laws share, and the NumPy calls they make. NumPy is
// reached through the module-global name np at the moment of each call.
#pragma once

#include "kovar/common/owned_ref.hpp"

namespace kovar::steps {

// np.<attr>, with np looked up afresh. New reference or null.
Ref np_attr(PyObject* attr);

// np.zeros_like(obj, dtype=np.float64). New reference or null.
Ref zeros_like_float64(PyObject* obj);

// np.zeros_like(obj). New reference or null.
Ref zeros_like(PyObject* obj);

// a * b by the number protocol, holding references of its own to both:
// the operation may run code that rebinds the fields they were read from.
Ref multiply(PyObject* a, PyObject* b);

// a + b by the number protocol, releasing both operands as soon as the sum
// exists, so large temporaries do not outlive their use.
Ref add(Ref a, Ref b);

// field += increment: the in-place addition on the field's current value,
// and the field re-bound to its result (for an array, the same array).
// Returns false with an exception set, the field then not re-bound.
bool add_in_place(PyObject*& field, PyObject* increment);

// integral += error * float(dt): the product first, then add_in_place.
bool integrate(PyObject*& integral, PyObject* error, double dt);

// (error - previous_error) / float(dt) for a positive dt, otherwise (zero,
// negative or NaN) np.zeros_like(error): dt never divides unless positive.
// The result must pass the typed-array result test with `ndim` dimensions.
// New reference, or null with an exception set.
Ref derivative(PyObject* error, PyObject* previous_error, double dt, int ndim);

}  // namespace kovar::steps
