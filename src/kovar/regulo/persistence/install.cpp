#include "kovar/regulo/module_state.hpp"
#include "kovar/regulo/persistence/pickling.hpp"
#include "kovar/common/python_compat.hpp"

namespace kovar::persistence {

namespace {

// True when obj.__name__ == name; any error while reading or comparing
// counts as no.
bool has_name(PyObject* obj, PyObject* name) {
  Ref obj_name = Ref::steal(PyObject_GetAttr(obj, names().dunder_name));
  if (!obj_name) {
    PyErr_Clear();
    return false;
  }
  const int equal = PyObject_RichCompareBool(obj_name.get(), name, Py_EQ);
  if (equal < 0) PyErr_Clear();
  return equal > 0;
}

// Sets an entry of the class dictionary as a class attribute assignment
// would: the attribute cache is invalidated and __set_name__ is honoured.
bool set_class_entry(PyTypeObject* type, PyObject* name, PyObject* value) {
  Ref dict = compat::type_dict(type);
  if (!dict || PyDict_SetItem(dict.get(), name, value) < 0) return false;
  PyType_Modified(type);
  Ref set_name;
  const int has = compat::get_optional_attr(value, names().dunder_set_name, set_name);
  if (has <= 0) return has == 0;
  return Ref::steal(PyObject_CallFunctionObjArgs(set_name.get(), type, name, nullptr)).get() !=
         nullptr;
}

bool delete_class_entry(PyTypeObject* type, PyObject* name) {
  Ref dict = compat::type_dict(type);
  if (!dict || PyDict_DelItem(dict.get(), name) < 0) return false;
  PyType_Modified(type);
  return true;
}

// The attribute `name` as found along the method resolution order of
// `type`, held (a later attribute fetch may run code that replaces the
// entry), or null when absent (errors count as absent).
Ref lookup_in_mro(PyTypeObject* type, PyObject* name) {
  const Ref mro = Ref::borrow(type->tp_mro);
  if (!mro) return {};
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    Ref dict = compat::type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i)));
    Ref value = Ref::borrow(dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr);
    if (value) return value;
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return {};
    }
  }
  return {};
}

// Moves the class attribute `internal` to the class dictionary entry
// `public_name`; Absent when the class has no such attribute.
enum class Move { Done, Absent, Failed };
Move move_entry(PyTypeObject* type, PyObject* internal, PyObject* public_name) {
  Ref method = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), internal));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Move::Failed;
    PyErr_Clear();
    return Move::Absent;
  }
  if (!set_class_entry(type, public_name, method.get()) || !delete_class_entry(type, internal)) {
    return Move::Failed;
  }
  return Move::Done;
}

// The installation steps; false may come without an exception set.
bool install(PyTypeObject* type) {
  const Names& n = names();
  PyObject* cls = reinterpret_cast<PyObject*>(type);
  PyTypeObject* object = &PyBaseObject_Type;

  // A class with a __getstate__ of its own pickles itself.
  const Ref getstate = lookup_in_mro(type, n.dunder_getstate);
  if (getstate && getstate.get() != lookup_in_mro(object, n.dunder_getstate).get()) return true;

  const Ref object_reduce_ex = lookup_in_mro(object, n.dunder_reduce_ex);
  if (!object_reduce_ex) return false;
  Ref reduce_ex = Ref::steal(PyObject_GetAttr(cls, n.dunder_reduce_ex));
  if (!reduce_ex) return false;
  if (reduce_ex.get() != object_reduce_ex.get()) return true;

  const Ref object_reduce = lookup_in_mro(object, n.dunder_reduce);
  if (!object_reduce) return false;
  Ref reduce = Ref::steal(PyObject_GetAttr(cls, n.dunder_reduce));
  if (!reduce) return false;
  const bool inherits_object_reduce = reduce.get() == object_reduce.get();
  if (!inherits_object_reduce && !has_name(reduce.get(), n.reduce_method)) return true;

  switch (move_entry(type, n.reduce_method, n.dunder_reduce)) {
    case Move::Failed:
      return false;
    case Move::Absent:
      if (inherits_object_reduce) return false;
      break;
    case Move::Done:
      break;
  }

  Ref setstate = Ref::steal(PyObject_GetAttr(cls, n.dunder_setstate));
  if (!setstate) PyErr_Clear();
  if (!setstate || has_name(setstate.get(), n.setstate_method)) {
    switch (move_entry(type, n.setstate_method, n.dunder_setstate)) {
      case Move::Failed:
        return false;
      case Move::Absent:
        if (!setstate) return false;
        break;
      case Move::Done:
        break;
    }
  }
  PyType_Modified(type);
  return true;
}

}  // namespace

bool install_pickle_methods(PyTypeObject* type) {
  if (install(type)) return true;
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
  }
  return false;
}

}  // namespace kovar::persistence
