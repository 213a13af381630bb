// kovar.bank: the module definition. Multi-phase initialisation; the module
// keeps no state of its own beyond NumPy's C-API table and the interned
// keyword names, which are process-wide.
#include <pthread.h>

#include <cerrno>

#include "kovar/bank/pid_bank.hpp"
#include "kovar/common/numpy_c_api.hpp"
#include "kovar/common/one_interpreter.hpp"
#include "kovar/common/python_compat.hpp"
#include "kovar/kernels/core_client.hpp"

namespace kovar::bank {

namespace {

std::int64_t owner_interpreter = -1;
bool fork_handler_installed = false;

void count_fork_in_child() { ++fork_generation; }

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
  return create_in_one_interpreter(module_spec, owner_interpreter);
}

int module_exec(PyObject* module) {
  ndarray::NumpyVersions versions;
  if (!ndarray::bind_c_api(versions) || !make_update_names()) return -1;
  if (!kernels::bind_core() || !watch_interpreter_exit()) return -1;
  if (!fork_handler_installed) {
    // Once per process: a handler cannot be removed, and one is enough.
    const int failed = pthread_atfork(nullptr, nullptr, count_fork_in_child);
    if (failed != 0) {
      errno = failed;
      PyErr_SetFromErrno(PyExc_OSError);
      return -1;
    }
    fork_handler_installed = true;
  }
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &pid_bank_spec, nullptr));
  if (!type) return -1;
  if (!add_bank_api(module, type.get())) return -1;
  return PyModule_AddObjectRef(module, "PIDBank", type.get());
}

// NumPy and the process-wide names are not per interpreter: one
// interpreter per process may load the module.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KOVAR_ONE_INTERPRETER_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kovar.bank",
    "Banks of PID controllers with output limits, anti-windup, derivative\n"
    "filter, setpoint weights, deadband, feed-forward, rate limit, external\n"
    "tracking and bumpless manual/automatic modes and parameter changes, one\n"
    "independent channel per array element.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kovar::bank

PyMODINIT_FUNC PyInit_bank() { return PyModuleDef_Init(&kovar::bank::module_def); }
