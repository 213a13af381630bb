// The allocation and garbage-collector routines of a controller layout,
// written once from the layout's list of fields in declaration order, so that
// allocation, traversal, clearing and deallocation can never disagree.
//
// A layout is a struct with PyObject_HEAD followed by PyObject* fields and a
// `static constexpr std::array fields` of member pointers in declaration
// order.
#pragma once

#include "kovar/regulo/module_state.hpp"

namespace kovar {

template <typename Object>
struct Layout {
  static Object* cast(PyObject* op) noexcept { return reinterpret_cast<Object*>(op); }

  // Ignores its arguments; every field starts as None and __init__ is not run.
  static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* op;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
      // object.__new__ raises the interpreter's error for abstract classes.
      op = PyBaseObject_Type.tp_new(type, state().empty_tuple, nullptr);
    } else {
      op = type->tp_alloc(type, 0);
    }
    if (op == nullptr) return nullptr;
    Object* self = cast(op);
    for (auto field : Object::fields) self->*field = Py_NewRef(Py_None);
    return op;
  }

  static int tp_traverse(PyObject* op, visitproc visit, void* arg) {
    Object* self = cast(op);
    for (auto field : Object::fields) Py_VISIT(self->*field);
    return 0;
  }

  static int tp_clear(PyObject* op) {
    Object* self = cast(op);
    // None goes in first, so code run by the release sees a valid field.
    for (auto field : Object::fields) store(self->*field, Py_None);
    return 0;
  }

  static void tp_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    if (type->tp_finalize != nullptr && !PyObject_GC_IsFinalized(op) &&
        type->tp_dealloc == tp_dealloc) {
      if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // resurrected
    }
    PyObject_GC_UnTrack(op);
    // A controller may hold the next one of a long chain in a field: the
    // interpreter's trashcan defers deallocations nested too deep, so freeing
    // the chain does not recurse on the C stack. The object is untracked
    // first, as the trashcan requires.
    Py_TRASHCAN_BEGIN(op, tp_dealloc)
    Object* self = cast(op);
    for (auto field : Object::fields) Py_CLEAR(self->*field);
    type->tp_free(op);
    Py_TRASHCAN_END
  }

  // Fills in the slots a layout's type shares with its siblings.
  static constexpr void fill(PyTypeObject& type) {
    type.tp_basicsize = sizeof(Object);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    type.tp_new = tp_new;
    type.tp_dealloc = tp_dealloc;
    type.tp_traverse = tp_traverse;
    type.tp_clear = tp_clear;
  }
};

}  // namespace kovar
