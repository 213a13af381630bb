#include "kovar/regulo/module_state.hpp"

#include "kovar/common/python_compat.hpp"

namespace kovar {

ModuleState& state() noexcept {
  // Never destroyed: the module lives until the process ends.
  static ModuleState* instance = new ModuleState();
  return *instance;
}

namespace {

bool make_name(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr && PyObject_Hash(slot) != -1;
}

PyObject* make_tuple(std::initializer_list<PyObject*> items) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (tuple == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    Py_INCREF(item);
    PyTuple_SET_ITEM(tuple, i++, item);
  }
  return tuple;
}

}  // namespace

bool create_constants() {
  ModuleState& st = state();
  // A retried import (after a failed one) keeps what the first attempt made.
  if (st.constants_ready) return true;
  Names& n = st.names;
#define KOVAR_MAKE_NAME(member, text) \
  if (!make_name(n.member, text)) return false;
  KOVAR_NAMES(KOVAR_MAKE_NAME)
#undef KOVAR_MAKE_NAME

  if (!(st.int_0 = PyLong_FromLong(0))) return false;
  if (!(st.int_1 = PyLong_FromLong(1))) return false;
  if (!(st.int_10 = PyLong_FromLong(10))) return false;
  // Layout checksums: the first seven hex digits of the SHA-256, SHA-1 and
  // MD5 digests of the sorted field names joined by blanks.
  const struct {
    PyObject*& slot;
    long value;
  } checksums[] = {
      {st.checksum_pid, 0x32b920e},           {st.checksum_pid_sha1, 0xb0bfbfa},
      {st.checksum_pid_md5, 0xa7b7f25},       {st.checksum_adaptive, 0xb141bc4},
      {st.checksum_adaptive_sha1, 0xb4ff99b}, {st.checksum_adaptive_md5, 0x7e19bd2},
  };
  for (const auto& c : checksums) {
    if (!(c.slot = PyLong_FromLong(c.value))) return false;
  }
  st.pid_checksums = make_tuple({st.checksum_pid, st.checksum_pid_sha1, st.checksum_pid_md5});
  if (st.pid_checksums == nullptr) return false;
  st.adaptive_checksums =
      make_tuple({st.checksum_adaptive, st.checksum_adaptive_sha1, st.checksum_adaptive_md5});
  if (st.adaptive_checksums == nullptr) return false;

  if (!(st.kw_dtype = make_tuple({n.dtype}))) return false;
  if (!(st.kw_shift_axis = make_tuple({n.shift, n.axis}))) return false;
  if (!(st.kw_axis = make_tuple({n.axis}))) return false;
  st.constants_ready = true;
  return true;
}

Ref lookup_global(PyObject* name, GlobalCache& cache) {
  ModuleState& st = state();
  const std::uint64_t version = compat::namespace_version(st.dict);
  if (version != 0 && cache.value != nullptr && cache.version == version) {
    return Ref::borrow(cache.value);
  }

  PyObject* value = PyDict_GetItemWithError(st.dict, name);
  if (value != nullptr) {
    cache.version = version;
    cache.value = version != 0 ? value : nullptr;
    return Ref::borrow(value);
  }
  if (PyErr_Occurred()) return {};
  cache.value = nullptr;
  Ref builtin = Ref::steal(PyObject_GetAttr(st.builtins, name));
  if (!builtin && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  }
  return builtin;
}

Ref vectorcall(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return Ref::steal(PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames));
}

}  // namespace kovar
