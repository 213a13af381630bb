// Everything that differs between the CPython versions the package supports
// (3.10 to 3.14), behind one small interface each. The rest of the code calls
// these and never tests PY_VERSION_HEX itself. Public C-API calls only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <array>
#include <cstdint>

#include "kovar/common/owned_ref.hpp"

namespace kovar::compat {

// ------------------------------------------------------------ attributes

// obj.name, where a missing attribute is no error. Returns 1 with `result`
// set, 0 with `result` null and no exception, -1 with an exception set.
inline int get_optional_attr(PyObject* obj, PyObject* name, Ref& result) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* found = nullptr;
  const int has = PyObject_GetOptionalAttr(obj, name, &found);
  result = Ref::steal(found);
  return has;
#else
  result = Ref::steal(PyObject_GetAttr(obj, name));
  if (result) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
#endif
}

// The namespace dictionary of a type, as a new reference.
inline Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  // Static built-in types keep their dictionary per interpreter, and
  // tp_dict is null for them.
  return Ref::steal(PyType_GetDict(type));
#else
  return Ref::borrow(type->tp_dict);
#endif
}

// ------------------------------------------------------------ code objects

// A code object of a function that takes `argcount` positional parameters,
// the first `varnames` entries, with the other entries as its locals; it
// never runs. From 3.11 a code object also carries its function's qualified
// name. Returns a new reference, or null with an exception set.
inline Ref make_code(const char* filename, const char* funcname, const char* qualname,
                     int first_line, int argcount, PyObject* varnames) {
  // The constructor's signature changes in every version from 3.11 on; an
  // empty code object with its fields replaced is the same on all of them.
  Ref code =
      Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, first_line)));
  if (!code) return {};
  Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
  if (!replace) return {};
  Ref argcount_obj = Ref::steal(PyLong_FromLong(argcount));
  Ref nlocals = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames)));
  Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!argcount_obj || !nlocals || !flags || !kwargs) return {};
  if (PyDict_SetItemString(kwargs.get(), "co_argcount", argcount_obj.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_nlocals", nlocals.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_flags", flags.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "co_varnames", varnames) < 0) {
    return {};
  }
#if PY_VERSION_HEX >= 0x030B0000
  Ref qualname_obj = Ref::steal(PyUnicode_InternFromString(qualname));
  if (!qualname_obj || PyDict_SetItemString(kwargs.get(), "co_qualname", qualname_obj.get()) < 0) {
    return {};
  }
#else
  (void)qualname;
#endif
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return {};
  return Ref::steal(PyObject_Call(replace.get(), args.get(), kwargs.get()));
}

// ------------------------------------------------------------ tracebacks

// The pending exception, taken out of the thread state and put back
// unchanged.
class SavedError {
 public:
  SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &exc_, &tb_);
#endif
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() {
    if (!may_touch_python()) return;
    Py_XDECREF(exc_);
#if PY_VERSION_HEX < 0x030C0000
    Py_XDECREF(type_);
    Py_XDECREF(tb_);
#endif
  }

  // Makes it pending again (dropping any other error) and keeps a reference.
  void raise_again() noexcept {
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(Py_XNewRef(exc_));
#else
    PyErr_Restore(Py_XNewRef(type_), Py_XNewRef(exc_), Py_XNewRef(tb_));
#endif
  }

 private:
  PyObject* exc_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* tb_ = nullptr;
#endif
};

// Removes the outermost entry from the pending exception's traceback when
// that entry is a frame of `code`: code run only to have the interpreter
// raise its own exception, which must not show that frame.
inline void drop_traceback_entry_of(PyObject* code) noexcept {
  auto outer_is_code = [code](PyObject* tb) {
    if (tb == nullptr || !PyTraceBack_Check(tb)) return false;
    PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(tb)->tb_frame;
    Ref frame_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    return frame_code.get() == code;
  };
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  Ref tb = Ref::steal(PyException_GetTraceback(exc));
  if (outer_is_code(tb.get())) {
    auto* outer = reinterpret_cast<PyTracebackObject*>(tb.get());
    auto* next = reinterpret_cast<PyObject*>(outer->tb_next);
    PyException_SetTraceback(exc, next != nullptr ? next : Py_None);
  }
  PyErr_SetRaisedException(exc);
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (outer_is_code(tb)) {
    PyObject* next = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(tb)->tb_next);
    Py_XINCREF(next);
    Py_SETREF(tb, next);
    if (value != nullptr) PyException_SetTraceback(value, tb != nullptr ? tb : Py_None);
  }
  PyErr_Restore(type, value, tb);
#endif
}

// ------------------------------------------------------------ module namespace

// A number that changes whenever the watched namespace changes: a cached
// lookup stays valid while it is the same. 0 means that the namespace is not
// watched and nothing may be cached. Only one namespace per module is
// watched (the module can live in one interpreter only).
#if PY_VERSION_HEX >= 0x030C0000
// The dict version tag is deprecated from 3.12 and gone in 3.14: a dict
// watcher counts the changes instead. It is told of a change before the
// change is made, but nothing can look the name up in between.
inline std::uint64_t namespace_changes = 1;
inline int namespace_watcher = -1;
inline bool namespace_watched = false;

inline int count_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
  ++namespace_changes;
  return 0;
}

// Starts watching `dict`. An interpreter has a few watcher slots only, and
// other extensions may have taken them all: look-ups then go uncached.
// Returns false with an exception set.
inline bool watch_namespace(PyObject* dict) {
  namespace_watched = false;
  if (namespace_watcher < 0) {
    namespace_watcher = PyDict_AddWatcher(count_namespace_change);
    if (namespace_watcher < 0) {
      // The only failure: "no more dict watcher IDs available".
      if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return false;
      PyErr_Clear();
      return true;
    }
  }
  ++namespace_changes;
  if (PyDict_Watch(namespace_watcher, dict) < 0) return false;
  namespace_watched = true;
  return true;
}

inline std::uint64_t namespace_version(PyObject*) noexcept {
  return namespace_watched ? namespace_changes : 0;
}
#else
inline bool watch_namespace(PyObject*) { return true; }

// The tag of a dict that has ever been written is never 0.
inline std::uint64_t namespace_version(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// ------------------------------------------------------------ monitoring

// True when a sys.monitoring tool (a profiler or coverage tool from 3.12
// on; sys.setprofile and sys.settrace run as tools too) has set any event
// that Python code can raise: a start, call, line, return, exception.
// Events set on single code objects only (set_local_events) are not seen.
#if PY_VERSION_HEX >= 0x030D0000
// The interpreter hands out the state of the events asked for and a version
// that changes with it: while the version is the same, nothing is read.
inline bool monitoring_active() noexcept {
  // The events a tool sets itself, PY_START to RERAISE; C_RETURN and C_RAISE
  // come with CALL.
  static constexpr int kEvents = PY_MONITORING_EVENT_RERAISE + 1;
  static const auto event_types = [] {
    std::array<std::uint8_t, kEvents> events{};
    for (int i = 0; i < kEvents; ++i) events[i] = static_cast<std::uint8_t>(i);
    return events;
  }();
  static PyMonitoringState events[kEvents] = {};
  static std::uint64_t version = 0;
  static bool active = false;
  const std::uint64_t seen = version;
  if (PyMonitoring_EnterScope(events, &version, event_types.data(), kEvents) < 0) {
    PyErr_Clear();
    return true;
  }
  PyMonitoring_ExitScope();
  if (version != seen) {
    active = false;
    for (const PyMonitoringState& event : events) active = active || event.active != 0;
  }
  return active;
}
#else
// 3.12 keeps the monitoring state inside the interpreter, with no C API to
// read it; asking sys.monitoring would be a Python-level call per call.
inline bool monitoring_active() noexcept { return false; }
#endif

// ------------------------------------------------------------ threads

// Whether the calling thread holds the GIL with a thread state of its own.
// From 3.12 the current thread state is the thread's own; before, it is the
// GIL holder's, and the thread's own is the one PyGILState keeps for it.
inline bool thread_holds_gil() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  return PyGILState_Check() != 0;
#endif
}

// ------------------------------------------------------------ module definition

// The module slot that declares the module unfit for more than one
// interpreter, where the interpreter knows the slot (3.12 on, where
// subinterpreters are isolated by default); a no-op entry before.
#if PY_VERSION_HEX >= 0x030C0000
#define KOVAR_ONE_INTERPRETER_SLOT \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KOVAR_ONE_INTERPRETER_SLOT
#endif

// The Python version the module is compiled for, as (major, minor).
inline constexpr int kCompiledMajor = PY_MAJOR_VERSION;
inline constexpr int kCompiledMinor = PY_MINOR_VERSION;

}  // namespace kovar::compat
