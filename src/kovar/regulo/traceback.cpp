#include "kovar/regulo/traceback.hpp"

#include <cstdint>
#include <map>
#include <new>
#include <tuple>

#include "kovar/common/python_compat.hpp"

namespace kovar {

namespace {

// The code object of each entry (function name, file name, line), made at
// the first error that needs it and kept for the life of the process: the
// entries are a fixed set, and a new code object per error would intern its
// names and release them again every time, churning the interpreter's table
// of interned strings (which 3.14 then regrows by a megabyte at a time).
using EntryKey = std::tuple<std::uintptr_t, std::uintptr_t, int>;

// Out of memory, an entry is made for the one error and not kept.
Ref entry_code(const char* funcname, const char* filename, int line) {
  static auto* codes = new (std::nothrow) std::map<EntryKey, PyObject*>();
  const EntryKey key{reinterpret_cast<std::uintptr_t>(funcname),
                     reinterpret_cast<std::uintptr_t>(filename), line};
  if (codes != nullptr) {
    auto found = codes->find(key);
    if (found != codes->end()) return Ref::borrow(found->second);
  }
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, line)));
  if (code && codes != nullptr) {
    try {
      codes->emplace(key, code.get());
      Py_INCREF(code.get());  // the map's, for good
    } catch (const std::bad_alloc&) {
    }
  }
  return code;
}

}  // namespace

void add_traceback(const char* funcname, int line, const char* filename) {
  if (!PyErr_Occurred()) return;  // no traceback to extend
  compat::SavedError error;
  // A frame that never ran reports its code's first line.
  Ref code = entry_code(funcname, filename, line);
  Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
  Ref frame = globals ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            globals.get(), nullptr)))
                      : Ref();
  error.raise_again();
  // If the entry cannot be made, the exception goes on without it.
  if (frame && PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get())) < 0) {
    error.raise_again();
  }
}

}  // namespace kovar
