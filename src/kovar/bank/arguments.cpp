#include "kovar/bank/arguments.hpp"


namespace kovar::bank {

namespace {

bool refuse_shape_type(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "shape must be an integer or a sequence of integers, not %.100s",
               Py_TYPE(obj)->tp_name);
  return false;
}

}  // namespace

bool parse_shape(PyObject* obj, Shape& shape) {
  // As NumPy reads shapes: a sequence of integers, or one integer (any
  // object with __index__). A sequence is copied into a tuple first, so
  // that converting its items cannot change it under the loop.
  Ref items;
  if (!PyLong_CheckExact(obj) && PySequence_Check(obj)) {
    items = Ref::steal(PySequence_Tuple(obj));
    if (!items) {
      // Not iterable after all (a 0-d array): maybe a single integer.
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
    }
  }
  if (!items) {
    if (!PyIndex_Check(obj) || PyBool_Check(obj)) return refuse_shape_type(obj);
    items = Ref::steal(PyTuple_Pack(1, obj));
    if (!items) return false;
  }
  const Py_ssize_t ndim = PyTuple_GET_SIZE(items.get());
  if (ndim > NPY_MAXDIMS) {
    PyErr_Format(PyExc_ValueError, "shape has %zd dimensions, at most %d are supported", ndim,
                 NPY_MAXDIMS);
    return false;
  }
  Shape parsed;
  parsed.ndim = static_cast<int>(ndim);
  double total = 1.0;
  bool too_large = false;
  for (Py_ssize_t d = 0; d < ndim; ++d) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), d);
    // Booleans are not sizes (NumPy refuses them too); a float array has
    // __index__, and refuses in it.
    const bool index = PyIndex_Check(item) && !PyBool_Check(item) &&
                       !PyArray_IsScalar(item, Bool) &&
                       !(PyArray_Check(item) &&
                         PyArray_ISBOOL(reinterpret_cast<PyArrayObject*>(item)));
    Ref number = index ? Ref::steal(PyNumber_Index(item)) : Ref();
    if (!number) {
      if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      return refuse_shape_type(item);
    }
    int overflow = 0;
    const long dim = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (dim == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && dim < 0)) {
      PyErr_Format(PyExc_ValueError, "shape must not be negative, got %R", obj);
      return false;
    }
    too_large = too_large || overflow > 0;
    parsed.dims[d] = static_cast<npy_intp>(dim);
    total *= static_cast<double>(dim);
  }
  // Seven float64 arrays of the shape must fit in memory.
  if (too_large || total * 8.0 * 7.0 > static_cast<double>(PY_SSIZE_T_MAX)) {
    PyErr_Format(PyExc_ValueError, "shape %R is too large", obj);
    return false;
  }
  shape = parsed;
  return true;
}

bool int_as_double(PyObject* obj, const char* name, double& value) {
  value = PyLong_AsDouble(obj);
  if (!(value == -1.0 && PyErr_Occurred())) return true;
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_Format(PyExc_ValueError, "%s is an int too large to convert to float", name);
  }
  return false;
}

Ref shape_tuple(int ndim, const npy_intp* dims) {
  Ref tuple = Ref::steal(PyTuple_New(ndim));
  if (!tuple) return {};
  for (int d = 0; d < ndim; ++d) {
    PyObject* dim = PyLong_FromSsize_t(dims[d]);
    if (dim == nullptr) return {};
    PyTuple_SET_ITEM(tuple.get(), d, dim);
  }
  return tuple;
}

Ref shape_tuple(const Shape& shape) { return shape_tuple(shape.ndim, shape.dims); }

Ref index_tuple(const Shape& shape, std::size_t flat) {
  npy_intp index[NPY_MAXDIMS];
  for (int d = shape.ndim - 1; d >= 0; --d) {
    const auto dim = static_cast<std::size_t>(shape.dims[d]);
    index[d] = static_cast<npy_intp>(dim == 0 ? 0 : flat % dim);
    if (dim != 0) flat /= dim;
  }
  return shape_tuple(shape.ndim, index);
}

namespace {

// `obj` as an array of its own dtype, if that dtype is one of those
// `accept` admits, then cast to `type_num` (aligned, native byte order).
// Returns null with the exception from NumPy, or with none set when the
// dtype was not admitted or NumPy could not make an array of `obj`.
template <class Accept>
Ref typed_array(PyObject* obj, int type_num, Accept accept) {
  Ref any = Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
  if (!any) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
    }
    return {};
  }
  if (!accept(reinterpret_cast<PyArrayObject*>(any.get()))) return {};
  return Ref::steal(PyArray_FromArray(reinterpret_cast<PyArrayObject*>(any.get()),
                                      PyArray_DescrFromType(type_num),
                                      NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED |
                                          NPY_ARRAY_FORCECAST));
}

}  // namespace

Ref real_array(PyObject* obj, const char* name) {
  // The dtype is read first: booleans, integers and floats are converted;
  // strings, complex numbers and objects are refused rather than parsed or
  // truncated.
  Ref array = typed_array(obj, NPY_DOUBLE, [](PyArrayObject* a) {
    return PyArray_ISBOOL(a) || PyArray_ISINTEGER(a) || PyArray_ISFLOAT(a);
  });
  if (!array && !PyErr_Occurred()) {
    PyErr_Format(PyExc_TypeError, "%s must be a real number or an array of real numbers", name);
  }
  return array;
}

bool check_broadcast(PyArrayObject* array, const Shape& shape, const char* name) {
  const int ndim = PyArray_NDIM(array);
  bool fits = ndim <= shape.ndim;
  for (int d = 1; fits && d <= ndim; ++d) {
    const npy_intp dim = PyArray_DIM(array, ndim - d);
    fits = dim == 1 || dim == shape.dims[shape.ndim - d];
  }
  if (fits) return true;
  Ref own = shape_tuple(ndim, PyArray_DIMS(array));
  Ref bank = shape_tuple(shape);
  if (!own || !bank) return false;
  PyErr_Format(PyExc_ValueError, "%s has shape %R, which does not broadcast to the bank's shape %R",
               name, own.get(), bank.get());
  return false;
}

Ref broadcast_copy(PyArrayObject* array, const Shape& shape, int type_num) {
  Ref copy = Ref::steal(PyArray_SimpleNew(shape.ndim, const_cast<npy_intp*>(shape.dims), type_num));
  if (!copy) return {};
  if (PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(copy.get()), array) < 0) return {};
  return copy;
}

namespace {

bool is_exact_operand(PyArrayObject* array, const Shape& shape) {
  if (PyArray_TYPE(array) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(array) ||
      !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array) ||
      PyArray_NDIM(array) != shape.ndim) {
    return false;
  }
  return shape.matches(PyArray_NDIM(array), PyArray_DIMS(array));
}

}  // namespace

bool convert_operand(PyObject* obj, const Shape& shape, const char* name, Operand& operand) {
  if (PyFloat_Check(obj)) {
    operand.scalar = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (PyLong_CheckExact(obj)) return int_as_double(obj, name, operand.scalar);
  if (PyArray_Check(obj) && is_exact_operand(reinterpret_cast<PyArrayObject*>(obj), shape)) {
    operand.keep = Ref::borrow(obj);
  } else {
    operand.keep = real_array(obj, name);
    if (!operand.keep) return false;
  }
  operand.name = name;
  return check_broadcast(reinterpret_cast<PyArrayObject*>(operand.keep.get()), shape, name);
}

bool bind_operand(Operand& operand, const Shape& shape) {
  if (!operand.keep) return true;
  auto* array = reinterpret_cast<PyArrayObject*>(operand.keep.get());
  // Converting a later argument may have resized the array in place
  // (ndarray.resize(refcheck=False)): its shape is checked again.
  if (!check_broadcast(array, shape, operand.name)) return false;
  const std::size_t size = static_cast<std::size_t>(PyArray_SIZE(array));
  if (size == 1) {
    operand.scalar = *static_cast<const double*>(PyArray_DATA(array));
    operand.keep = Ref();
    return true;
  }
  // A broadcastable array of the bank's size differs from the shape only by
  // leading ones: contiguous, it has the same element order.
  if (size != shape.size() || !PyArray_IS_C_CONTIGUOUS(array)) {
    operand.keep = broadcast_copy(array, shape, NPY_DOUBLE);
    if (!operand.keep) return false;
    array = reinterpret_cast<PyArrayObject*>(operand.keep.get());
  }
  operand.data = static_cast<const double*>(PyArray_DATA(array));
  operand.step = 1;
  return true;
}

bool separate_copy(Operand& operand) {
  Ref copy = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(operand.keep.get()),
                                        NPY_CORDER));
  if (!copy) return false;
  operand.data = static_cast<const double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get())));
  operand.keep = std::move(copy);
  return true;
}

bool convert_where(PyObject* obj, const Shape& shape, Ref& mask) {
  if (obj == nullptr || obj == Py_None) {
    mask = Ref();
    return true;
  }
  Ref array = typed_array(obj, NPY_BOOL, [](PyArrayObject* a) { return PyArray_ISBOOL(a); });
  if (!array) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_TypeError, "where must be None or an array of booleans");
    }
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (!check_broadcast(a, shape, "where")) return false;
  mask = broadcast_copy(a, shape, NPY_BOOL);
  return static_cast<bool>(mask);
}

void refuse_out() {
  PyErr_SetString(PyExc_ValueError,
                  "out must be a writeable, aligned, C-contiguous array, or the bank's own output");
}

bool check_out(PyObject* obj, const Shape& shape, bool& read_only) {
  if (!PyArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "out must be a numpy.ndarray of float64, not %.100s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  auto* out = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_TYPE(out) != NPY_DOUBLE || !PyArray_ISNOTSWAPPED(out)) {
    PyErr_Format(PyExc_TypeError, "out must have dtype float64, not %S",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(out)));
    return false;
  }
  if (!shape.matches(PyArray_NDIM(out), PyArray_DIMS(out))) {
    Ref own = shape_tuple(PyArray_NDIM(out), PyArray_DIMS(out));
    Ref bank = shape_tuple(shape);
    if (!own || !bank) return false;
    PyErr_Format(PyExc_ValueError, "out has shape %R, but the bank has shape %R", own.get(),
                 bank.get());
    return false;
  }
  if (!PyArray_IS_C_CONTIGUOUS(out) || !PyArray_ISALIGNED(out)) {
    refuse_out();
    return false;
  }
  read_only = !PyArray_ISWRITEABLE(out);
  return true;
}

}  // namespace kovar::bank
