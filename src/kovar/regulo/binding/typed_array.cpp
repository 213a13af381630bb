#include "kovar/regulo/binding/typed_array.hpp"

#include <new>
#include <optional>
#include <string>

#include "kovar/regulo/binding/binding.hpp"
#include "kovar/regulo/binding/buffer_format.hpp"
#include "kovar/common/numpy_c_api.hpp"

namespace kovar::typed_array {

namespace {

// Releases the buffer when the check is done, on every path.
struct BufferView {
  Py_buffer view{};
  bool held = false;
  ~BufferView() {
    if (held && may_touch_python()) PyBuffer_Release(&view);
  }
};

bool accept_buffer(PyObject* obj, int ndim) {
  BufferView buffer;
  if (PyObject_GetBuffer(obj, &buffer.view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
  buffer.held = true;
  const Py_buffer& view = buffer.view;
  if (view.ndim != ndim) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                 ndim, view.ndim);
    return false;
  }
  std::optional<std::string> message;
  try {
    message = format::check_float64(view.format != nullptr ? view.format : "B");
  } catch (const std::bad_alloc&) {  // the text of a refusal could not be made
    PyErr_NoMemory();
    return false;
  }
  if (message) {
    PyErr_SetString(PyExc_ValueError, message->c_str());
    return false;
  }
  if (view.itemsize != 8) {
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)",
                 view.itemsize, view.itemsize > 1 ? "s" : "", "float64_t", Py_ssize_t{8}, "s");
    return false;
  }
  return true;
}

}  // namespace

bool accept(PyObject* obj, int ndim) {
  if (obj == Py_None) return true;
  // An array of native float64 in the right number of dimensions always
  // exports a strided buffer with format "d": accept it from its header and
  // leave the buffer request, and the exact messages, to everything else.
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const PyArray_Descr* descr = PyArray_DESCR(array);
  if (PyArray_NDIM(array) == ndim && descr->type_num == NPY_DOUBLE &&
      PyArray_ISNBO(descr->byteorder)) {
    return true;
  }
  return accept_buffer(obj, ndim);
}

bool is_array_result(PyObject* obj) {
  if (binding::is_array_or_none(obj)) return true;
  PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name,
               "numpy.ndarray");
  return false;
}

bool accept_result(PyObject* obj, int ndim) { return is_array_result(obj) && accept(obj, ndim); }

}  // namespace kovar::typed_array
