// One call at a time on a controller.
//
// The native passes update a controller's arrays without the GIL, and
// NumPy's steps let other threads run between them: without this, another
// thread's call, __reduce__ or __setstate__ on the same controller could
// see or make half of a call. A CallLock taken by each of them makes them
// wait for one another. The instance record keeps its specified fields
// only: the controllers being held live in a small table of the module,
// which only threads holding the GIL read or write. A thread that holds a
// controller may take it again (NumPy may run Python code that calls back
// into the same controller); a thread that waits lets go of the GIL.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kovar {

class CallLock {
 public:
  // Waits until no other thread holds `controller`, then holds it. The GIL
  // is held; it is released while waiting.
  explicit CallLock(PyObject* controller);
  ~CallLock();
  CallLock(const CallLock&) = delete;
  CallLock& operator=(const CallLock&) = delete;

 private:
  PyObject* controller_;
  bool counted_ = false;  // in the table (see make_room)
};

// Installs the fork handler that frees, in a child, what the parent's other
// threads held. Once per process; false with an exception set.
bool prepare_call_locks();

}  // namespace kovar
