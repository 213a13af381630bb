#include "kovar/common/interpreter_exit.hpp"

#include "kovar/common/owned_ref.hpp"
#include "kovar/common/python_compat.hpp"

namespace kovar {

namespace {

PyObject* note_exit(PyObject*, PyObject*) {
  interpreter_exiting.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_kovar_note_exit", note_exit, METH_NOARGS, nullptr};

bool registered = false;

}  // namespace

bool thread_holds_gil() noexcept { return compat::thread_holds_gil(); }

bool watch_interpreter_exit() {
  if (registered) return true;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref callback = Ref::steal(PyCFunction_New(&note_exit_def, nullptr));
  if (!callback) return false;
  Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
  if (!done) return false;
  registered = true;
  return true;
}

}  // namespace kovar
