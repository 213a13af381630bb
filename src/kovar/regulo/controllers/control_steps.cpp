#include "kovar/regulo/controllers/control_steps.hpp"

#include "kovar/regulo/binding/typed_array.hpp"
#include "kovar/regulo/module_state.hpp"

namespace kovar::steps {

Ref np_attr(PyObject* attr) {
  Ref np = lookup_global(names().np, state().np_cache);
  if (!np) return {};
  return Ref::steal(PyObject_GetAttr(np.get(), attr));
}

Ref zeros_like_float64(PyObject* obj) {
  // The function is fetched before the dtype, as the expression reads.
  Ref function = np_attr(names().zeros_like);
  if (!function) return {};
  Ref float64 = np_attr(names().float64);
  if (!float64) return {};
  PyObject* args[] = {obj, float64.get()};
  return vectorcall(function.get(), args, 1, state().kw_dtype);
}

Ref zeros_like(PyObject* obj) {
  Ref function = np_attr(names().zeros_like);
  if (!function) return {};
  return vectorcall(function.get(), &obj, 1);
}

Ref multiply(PyObject* a, PyObject* b) {
  Ref left = Ref::borrow(a);
  Ref right = Ref::borrow(b);
  return Ref::steal(PyNumber_Multiply(left.get(), right.get()));
}

Ref add(Ref a, Ref b) { return Ref::steal(PyNumber_Add(a.get(), b.get())); }

bool add_in_place(PyObject*& field, PyObject* increment) {
  Ref current = Ref::borrow(field);
  Ref updated = Ref::steal(PyNumber_InPlaceAdd(current.get(), increment));
  if (!updated) return false;
  store(field, std::move(updated));
  return true;
}

bool integrate(PyObject*& integral, PyObject* error, double dt) {
  Ref step = Ref::steal(PyFloat_FromDouble(dt));
  if (!step) return false;
  Ref increment = Ref::steal(PyNumber_Multiply(error, step.get()));
  return increment && add_in_place(integral, increment.get());
}

Ref derivative(PyObject* error, PyObject* previous_error, double dt, int ndim) {
  Ref result;
  if (dt > 0.0) {
    Ref previous = Ref::borrow(previous_error);
    Ref change = Ref::steal(PyNumber_Subtract(error, previous.get()));
    if (!change) return {};
    Ref step = Ref::steal(PyFloat_FromDouble(dt));
    if (!step) return {};
    result = Ref::steal(PyNumber_TrueDivide(change.get(), step.get()));
  } else {
    result = zeros_like(error);
  }
  if (!result || !typed_array::accept_result(result.get(), ndim)) return {};
  return result;
}

}  // namespace kovar::steps
