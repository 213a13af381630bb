#include "kovar/regulo/persistence/pickling.hpp"

#include <array>
#include <cstddef>

#include "kovar/common/python_compat.hpp"
#include "kovar/regulo/binding/binding.hpp"
#include "kovar/regulo/controllers/call_lock.hpp"
#include "kovar/regulo/controllers/adaptive_controller.hpp"
#include "kovar/regulo/controllers/pid_controller.hpp"
#include "kovar/regulo/traceback.hpp"

namespace kovar::persistence {

namespace {

using binding::Kind;
using binding::Param;
using binding::Signature;
using binding::Value;

// Source lines of the traceback entries.
enum Line : int {
  kReduceState = 5,
  kReduceReadDict = 6,
  kReduceAppendDict = 8,
  kReduceWithSetstate = 13,
  kReduceWithoutSetstate = 15,
  kSetstate = 16,
  kSetstateRestore = 17,
  kUnpickle = 1,
  kUnpickleChecksum = 4,
  kUnpickleImport = 5,
  kUnpickleMismatch = 6,
  kUnpickleCreate = 7,
  kUnpickleRestore = 9,
  kRestoreFields = 12,
  kRestoreDictTest = 13,
  kRestoreDictUpdate = 14,
};

// How one class is pickled: its fields in state order (sorted by name),
// checksums, messages and the names of its functions.
struct PickleLayout {
  PyTypeObject* type;
  Py_ssize_t nfields;
  std::array<std::size_t, 8> offsets;  // of the fields, in state order
  PyObject* ModuleState::*checksum;
  PyObject* ModuleState::*accepted;
  PyObject* Names::*mismatch;
  PyObject* Names::*unpickle_name;
  int cache;  // index of the unpickle function's global-lookup cache
  Signature reduce_sig;
  Signature setstate_sig;
  Signature unpickle_sig;
  const char* restore_traceback;
};

constexpr Param kSetstateParams[] = {{&Names::pyx_state, Kind::Object, kSetstate}};
constexpr Param kUnpickleParams[] = {
    {&Names::pyx_type, Kind::Object, kUnpickle},
    {&Names::pyx_checksum, Kind::Integer, kUnpickle},
    {&Names::pyx_state, Kind::Object, kUnpickle},
};

// clang-format off
#define KOVAR_PID_OFFSETS(Object)                                                     \
  {offsetof(Object, integral), offsetof(Object, kd), offsetof(Object, ki),           \
   offsetof(Object, kp), offsetof(Object, previous_error)}

#define KOVAR_SIGNATURES(Class)                                                         \
  {kReduceName, "kovar.regulo." #Class "." "__kovar_reduce__", kPickleSourceFile,       \
   kReduceState, 0, {}, false},                                                        \
  {kSetstateName, "kovar.regulo." #Class "." "__kovar_setstate__", kPickleSourceFile,   \
   kSetstate, 1, kSetstateParams},                                                     \
  {"__pyx_unpickle_" #Class, "kovar.regulo.__pyx_unpickle_" #Class, kPickleSourceFile, \
   kUnpickle, 3, kUnpickleParams},                                                     \
  "kovar.regulo.__pyx_unpickle_" #Class "__set_state"

const PickleLayout kPid = {
    &pid_type, 5, KOVAR_PID_OFFSETS(PidObject), &ModuleState::checksum_pid,
    &ModuleState::pid_checksums, &Names::pid_mismatch, &Names::unpickle_pid, 0,
    KOVAR_SIGNATURES(PIDController)};

const PickleLayout kPidXd = {
    &pid_xd_type, 5, KOVAR_PID_OFFSETS(PidObject), &ModuleState::checksum_pid,
    &ModuleState::pid_checksums, &Names::pid_mismatch, &Names::unpickle_pid_xd, 1,
    KOVAR_SIGNATURES(PIDControllerXd)};

const PickleLayout kAdaptive = {
    &adaptive_type,
    8,
    {offsetof(AdaptiveObject, error_history), offsetof(AdaptiveObject, integral),
     offsetof(AdaptiveObject, kd), offsetof(AdaptiveObject, ki), offsetof(AdaptiveObject, kp),
     offsetof(AdaptiveObject, learning_rate), offsetof(AdaptiveObject, max_adjustment),
     offsetof(AdaptiveObject, previous_error)},
    &ModuleState::checksum_adaptive,
    &ModuleState::adaptive_checksums,
    &Names::adaptive_mismatch,
    &Names::unpickle_adaptive,
    2,
    KOVAR_SIGNATURES(AdaptiveController)};
// clang-format on

#undef KOVAR_PID_OFFSETS
#undef KOVAR_SIGNATURES

PyObject*& field(PyObject* obj, std::size_t offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// getattr(obj, '__dict__', None): a new reference, None when the object has
// none, null with an exception set on any other error.
Ref instance_dict(PyObject* obj) {
  Ref dict = Ref::steal(PyObject_GetAttr(obj, names().dunder_dict));
  if (!dict && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return dict;
}

// hasattr(obj, name): 1 or 0, an AttributeError counting as 0; -1 with an
// exception set for any other error.
int has_attribute(PyObject* obj, PyObject* name) {
  Ref value = Ref::steal(PyObject_GetAttr(obj, name));
  if (value) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

PyObject* reduce(const PickleLayout& layout, PyObject* self, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  CallLock lock(self);
  if (!binding::bind(layout.reduce_sig, args, nargs, kwnames, nullptr)) return nullptr;
  auto fail = [&](int line) -> PyObject* {
    add_traceback(layout.reduce_sig.traceback, line, kPickleSourceFile);
    return nullptr;
  };
  // The state holds the very field objects, in state order.
  Ref state = Ref::steal(PyTuple_New(layout.nfields));
  if (!state) return fail(kReduceState);
  for (Py_ssize_t i = 0; i < layout.nfields; ++i) {
    PyTuple_SET_ITEM(state.get(), i, Py_NewRef(field(self, layout.offsets[i])));
  }
  // The classes themselves are immutable and have no instance dict; only a
  // subclass needs the attribute lookup.
  Ref dict = Py_TYPE(self) == layout.type ? Ref::borrow(Py_None) : instance_dict(self);
  if (!dict) return fail(kReduceReadDict);
  // The form follows the fields as they are now: the lookup may have run a
  // subclass's __getattr__ or property that set them. The state keeps the
  // values collected before it.
  bool use_setstate = false;
  for (Py_ssize_t i = 0; i < layout.nfields; ++i) {
    use_setstate = use_setstate || field(self, layout.offsets[i]) != Py_None;
  }
  if (dict.get() != Py_None) {
    Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
    if (!extra) return fail(kReduceAppendDict);
    state = Ref::steal(PySequence_Concat(state.get(), extra.get()));
    if (!state) return fail(kReduceAppendDict);
    use_setstate = true;
  }
  const int line = use_setstate ? kReduceWithSetstate : kReduceWithoutSetstate;
  ModuleState& st = kovar::state();
  Ref unpickle = lookup_global(names().*layout.unpickle_name, st.unpickle_cache[layout.cache]);
  if (!unpickle) return fail(line);
  PyObject* checksum = st.*layout.checksum;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject* result =
      use_setstate
          ? Py_BuildValue("(O(OOO)O)", unpickle.get(), type, checksum, Py_None, state.get())
          : Py_BuildValue("(O(OOO))", unpickle.get(), type, checksum, state.get());
  if (result == nullptr) return fail(line);
  return result;
}

// Stores the state's elements into the fields of `obj`, in state order; a
// tuple longer than the field list carries the instance dict last. Stores
// take effect one by one: a failure leaves the earlier ones in place.
bool restore(const PickleLayout& layout, PyObject* obj, PyObject* state) {
  auto fail = [&](int line) {
    add_traceback(layout.restore_traceback, line, kPickleSourceFile);
    return false;
  };
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return fail(kRestoreFields);
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(state);
  for (Py_ssize_t i = 0; i < layout.nfields; ++i) {
    if (i >= length) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return fail(kRestoreFields);
    }
    store(field(obj, layout.offsets[i]), PyTuple_GET_ITEM(state, i));
  }
  if (length > layout.nfields) {
    // hasattr(obj, '__dict__'), then obj.__dict__.update(state[N]): the
    // attribute is read a second time for the update, and a value without
    // `update` (a class attribute __dict__ = None) raises.
    const int has_dict = has_attribute(obj, names().dunder_dict);
    if (has_dict < 0) return fail(kRestoreDictTest);
    if (has_dict) {
      Ref dict = Ref::steal(PyObject_GetAttr(obj, names().dunder_dict));
      if (!dict) return fail(kRestoreDictUpdate);
      PyObject* extra = PyTuple_GET_ITEM(state, layout.nfields);
      Ref updated = Ref::steal(PyObject_CallMethodOneArg(dict.get(), names().update, extra));
      if (!updated) return fail(kRestoreDictUpdate);
    }
  }
  return true;
}

void raise_expected_tuple(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(obj)->tp_name);
}

PyObject* setstate(const PickleLayout& layout, PyObject* self, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames) {
  CallLock lock(self);
  Value a[1];
  if (!binding::bind(layout.setstate_sig, args, nargs, kwnames, a)) return nullptr;
  PyObject* state = a[0].object;
  if (state != Py_None && !PyTuple_CheckExact(state)) {
    raise_expected_tuple(state);
    add_traceback(layout.setstate_sig.traceback, kSetstateRestore, kPickleSourceFile);
    return nullptr;
  }
  if (!restore(layout, self, state)) {
    add_traceback(layout.setstate_sig.traceback, kSetstateRestore, kPickleSourceFile);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// from <module> import <name>, as the interpreter's own statement does it: the
// attribute when the module has it; otherwise the statement itself runs on
// the module (through an __import__ that hands it over), so that a
// submodule of that name, or the exact ImportError the running CPython
// raises (text, location, name, name_from), comes out. Its frame is left out
// of the traceback. Returns a new reference, or null with an exception set.
PyObject* hand_over_module(PyObject* module, PyObject* const*, Py_ssize_t) {
  return Py_NewRef(module);
}

PyMethodDef hand_over_def = {"__import__", KOVAR_FASTCALL(hand_over_module), METH_FASTCALL,
                             nullptr};

Ref import_from(PyObject* module, PyObject* name) {
  Ref value;
  if (compat::get_optional_attr(module, name, value) != 0) return value;
  // The statement's text names the attribute: only PickleError is fetched.
  // Compiled at the first need and kept.
  static PyObject* statement = nullptr;
  if (statement == nullptr) {
    statement =
        Py_CompileString("from pickle import PickleError\n", kPickleSourceFile, Py_file_input);
    if (statement == nullptr) return {};
  }
  Ref hand_over = Ref::steal(PyCFunction_New(&hand_over_def, module));
  if (!hand_over) return {};
  Ref builtins = Ref::steal(Py_BuildValue("{sO}", "__import__", hand_over.get()));
  if (!builtins) return {};
  Ref globals = Ref::steal(Py_BuildValue("{sO}", "__builtins__", builtins.get()));
  Ref locals = Ref::steal(PyDict_New());
  if (!globals || !locals) return {};
  Ref done = Ref::steal(PyEval_EvalCode(statement, globals.get(), locals.get()));
  if (!done) {
    compat::drop_traceback_entry_of(statement);
    return {};
  }
  value = Ref::borrow(PyDict_GetItemWithError(locals.get(), name));
  if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
  return value;
}

// Raises pickle.PickleError for a checksum of another layout. pickle is
// imported only here, at every mismatch.
void raise_mismatch(const PickleLayout& layout, long checksum) {
  const char* tb = layout.unpickle_sig.traceback;
  ModuleState& st = kovar::state();
  Ref fromlist = Ref::steal(PyTuple_Pack(1, names().PickleError));
  if (!fromlist) return add_traceback(tb, kUnpickleImport, kPickleSourceFile);
  Ref pickle = Ref::steal(
      PyImport_ImportModuleLevelObject(names().pickle, st.dict, nullptr, fromlist.get(), 0));
  if (!pickle) return add_traceback(tb, kUnpickleImport, kPickleSourceFile);
  Ref pickle_error = import_from(pickle.get(), names().PickleError);
  if (!pickle_error) return add_traceback(tb, kUnpickleImport, kPickleSourceFile);
  Ref value = Ref::steal(PyLong_FromLong(checksum));
  if (!value) return add_traceback(tb, kUnpickleMismatch, kPickleSourceFile);
  Ref message = Ref::steal(PyNumber_Remainder(names().*layout.mismatch, value.get()));
  if (!message) return add_traceback(tb, kUnpickleMismatch, kPickleSourceFile);
  Ref error = Ref::steal(PyObject_CallOneArg(pickle_error.get(), message.get()));
  if (!error) return add_traceback(tb, kUnpickleMismatch, kPickleSourceFile);
  if (PyExceptionInstance_Check(error.get())) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  add_traceback(tb, kUnpickleMismatch, kPickleSourceFile);
}

PyObject* unpickle(const PickleLayout& layout, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  Value a[3];
  if (!binding::bind(layout.unpickle_sig, args, nargs, kwnames, a)) return nullptr;
  PyObject* type = a[0].object;
  const long checksum = a[1].i;
  PyObject* state = a[2].object;
  const char* tb = layout.unpickle_sig.traceback;

  bool accepted = false;
  PyObject* checksums = kovar::state().*layout.accepted;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(checksums); ++i) {
    accepted = accepted || PyLong_AsLong(PyTuple_GET_ITEM(checksums, i)) == checksum;
  }
  if (!accepted) {
    raise_mismatch(layout, checksum);
    return nullptr;
  }

  // The class's own __new__, so the type must be this class or a subclass.
  Ref new_method =
      Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(layout.type), names().dunder_new));
  if (!new_method) {
    add_traceback(tb, kUnpickleCreate, kPickleSourceFile);
    return nullptr;
  }
  Ref result = vectorcall(new_method.get(), &type, 1);
  if (!result) {
    add_traceback(tb, kUnpickleCreate, kPickleSourceFile);
    return nullptr;
  }
  if (state == Py_None) return result.release();
  if (!PyTuple_CheckExact(state)) {
    raise_expected_tuple(state);
    add_traceback(tb, kUnpickleRestore, kPickleSourceFile);
    return nullptr;
  }
  if (!restore(layout, result.get(), state)) {
    add_traceback(tb, kUnpickleRestore, kPickleSourceFile);
    return nullptr;
  }
  return result.release();
}

}  // namespace

// clang-format off
#define KOVAR_PICKLING_ENTRY_POINTS(suffix, layout)                                       \
  PyObject* reduce_##suffix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,      \
                            PyObject* kwnames) {                                          \
    return reduce(layout, self, args, nargs, kwnames);                                    \
  }                                                                                       \
  PyObject* setstate_##suffix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,    \
                              PyObject* kwnames) {                                        \
    return setstate(layout, self, args, nargs, kwnames);                                  \
  }                                                                                       \
  static PyObject* unpickle_##suffix(PyObject*, PyObject* const* args, Py_ssize_t nargs, \
                                     PyObject* kwnames) {                                 \
    return unpickle(layout, args, nargs, kwnames);                                        \
  }

KOVAR_PICKLING_ENTRY_POINTS(pid, kPid)
KOVAR_PICKLING_ENTRY_POINTS(pid_xd, kPidXd)
KOVAR_PICKLING_ENTRY_POINTS(adaptive, kAdaptive)

#undef KOVAR_PICKLING_ENTRY_POINTS
// clang-format on

namespace {

constexpr std::array<const char*, 12> kReduceLocals = {"self", "state", "_dict", "use_setstate"};
constexpr std::array<const char*, 12> kSetstateLocals = {"self", "__pyx_state"};
constexpr std::array<const char*, 12> kUnpickleLocals = {
    "__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_PickleError", "__pyx_result"};

}  // namespace

// clang-format off
// The reducer's argument errors carry no traceback entry.
#define KOVAR_REDUCE_DEF(Class, suffix, layout)                                           \
  {kReduceName, #Class "." "__kovar_reduce__", reduce_##suffix, layout.type,              \
   nullptr, kPickleSourceFile, 1, 1, kReduceLocals}
#define KOVAR_SETSTATE_DEF(Class, suffix, layout)                                         \
  {kSetstateName, #Class "." "__kovar_setstate__", setstate_##suffix, layout.type,        \
   layout.setstate_sig.traceback, kPickleSourceFile, kSetstate, 2, kSetstateLocals}
#define KOVAR_UNPICKLE_DEF(Class, suffix, layout)                                         \
  {"__pyx_unpickle_" #Class, "__pyx_unpickle_" #Class, unpickle_##suffix, nullptr,        \
   layout.unpickle_sig.traceback, kPickleSourceFile, kUnpickle, 3, kUnpickleLocals}

FunctionDef reduce_defs[3] = {
    KOVAR_REDUCE_DEF(PIDController, pid, kPid),
    KOVAR_REDUCE_DEF(PIDControllerXd, pid_xd, kPidXd),
    KOVAR_REDUCE_DEF(AdaptiveController, adaptive, kAdaptive),
};
FunctionDef setstate_defs[3] = {
    KOVAR_SETSTATE_DEF(PIDController, pid, kPid),
    KOVAR_SETSTATE_DEF(PIDControllerXd, pid_xd, kPidXd),
    KOVAR_SETSTATE_DEF(AdaptiveController, adaptive, kAdaptive),
};
FunctionDef unpickle_defs[3] = {
    KOVAR_UNPICKLE_DEF(PIDController, pid, kPid),
    KOVAR_UNPICKLE_DEF(PIDControllerXd, pid_xd, kPidXd),
    KOVAR_UNPICKLE_DEF(AdaptiveController, adaptive, kAdaptive),
};
// clang-format on

}  // namespace kovar::persistence
