#include "kovar/controllers/numpy_calls.hpp"

#include "kovar/module_state.hpp"

namespace kovar::numpy_calls {

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

}  // namespace kovar::numpy_calls
