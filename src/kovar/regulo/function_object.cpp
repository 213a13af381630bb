#include "kovar/regulo/function_object.hpp"

#include <structmember.h>

#include <array>
#include <cstddef>

#include "kovar/regulo/module_state.hpp"
#include "kovar/common/python_compat.hpp"
#include "kovar/common/static_type.hpp"
#include "kovar/regulo/traceback.hpp"

namespace kovar {

namespace {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* globals;
  PyObject* code;
  PyObject* annotations;

  // The owned references, for traversal and clearing.
  static constexpr std::array fields = {&FunctionObject::name,   &FunctionObject::qualname,
                                        &FunctionObject::module, &FunctionObject::globals,
                                        &FunctionObject::code,   &FunctionObject::annotations};
};

FunctionObject* as_function(PyObject* op) { return reinterpret_cast<FunctionObject*>(op); }

PyObject* function_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
  const FunctionDef& def = *as_function(callable)->def;
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (def.owner == nullptr) return def.impl(state().module, args, nargs, kwnames);
  // Called through the class: the first positional argument is the instance.
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", def.name, "needs an argument");
    if (def.traceback != nullptr) add_traceback(def.traceback, def.first_line, def.filename);
    return nullptr;
  }
  PyObject* self = args[0];
  if (!PyObject_TypeCheck(self, def.owner)) {
    PyErr_Format(PyExc_TypeError,
                 "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                 def.name, def.owner->tp_name, Py_TYPE(self)->tp_name);
    if (def.traceback != nullptr) add_traceback(def.traceback, def.first_line, def.filename);
    return nullptr;
  }
  return def.impl(self, args + 1, nargs - 1, kwnames);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickles the function by reference, as module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) {
  return Py_NewRef(as_function(self)->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* f = as_function(self);
  for (auto field : FunctionObject::fields) Py_VISIT(f->*field);
  return 0;
}

int function_clear(PyObject* self) {
  FunctionObject* f = as_function(self);
  for (auto field : FunctionObject::fields) Py_CLEAR(f->*field);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  function_clear(self);
  PyObject_GC_Del(self);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
  PyTypeObject t = static_type("kovar_function");
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
               Py_TPFLAGS_HAVE_VECTORCALL;
  t.tp_traverse = function_traverse;
  t.tp_clear = function_clear;
  t.tp_methods = function_methods;
  t.tp_members = function_members;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_descr_get;
  return t;
}();

}  // namespace

bool ready_function_type() { return PyType_Ready(&function_type) == 0; }

bool make_code_object(FunctionDef& def) {
  Py_ssize_t nlocals = 0;
  while (nlocals < static_cast<Py_ssize_t>(def.varnames.size()) &&
         def.varnames[nlocals] != nullptr) {
    ++nlocals;
  }
  Ref varnames = Ref::steal(PyTuple_New(nlocals));
  if (!varnames) return false;
  for (Py_ssize_t i = 0; i < nlocals; ++i) {
    PyObject* local = PyUnicode_InternFromString(def.varnames[i]);
    if (local == nullptr) return false;
    PyTuple_SET_ITEM(varnames.get(), i, local);
  }
  Ref code = compat::make_code(def.filename, def.name, def.qualname, def.first_line,
                               def.argcount, varnames.get());
  if (!code) return false;
  Py_XSETREF(def.code, code.release());
  return true;
}

Ref make_function(const FunctionDef& def, PyObject* module_name, PyObject* globals) {
  Ref func =
      Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &function_type)));
  if (!func) return {};
  FunctionObject* f = as_function(func.get());
  f->vectorcall = function_call;
  f->def = &def;
  f->name = PyUnicode_InternFromString(def.name);
  f->qualname = PyUnicode_InternFromString(def.qualname);
  f->module = Py_NewRef(module_name);
  f->globals = Py_NewRef(globals);
  f->code = Py_XNewRef(def.code);
  f->annotations = PyDict_New();
  PyObject_GC_Track(func.get());
  if (f->name == nullptr || f->qualname == nullptr || f->annotations == nullptr) return {};
  return func;
}

}  // namespace kovar
