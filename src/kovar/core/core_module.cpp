// kovar._core: the process's kernel core. It chooses the SIMD path and the
// kernel threads once, from the CPU and KOVAR_SIMD / KOVAR_THREADS, owns the
// one thread pool, and hands both to kovar.regulo and kovar.bank through a
// capsule (kovar/kernels/core_api.hpp). kovar.kernel_settings reads and
// sets them through the functions here.
#include <cstdlib>

#include "kovar/common/one_interpreter.hpp"
#include "kovar/common/python_compat.hpp"
#include "kovar/kernels/core_api.hpp"

namespace kovar::core {

namespace {

std::int64_t owner_interpreter = -1;

kernels::SimdPath simd_path() noexcept { return kernels::active_simd_path(); }

const core_api::Api api = {core_api::kVersion, simd_path, kernels::split_over_threads};

PyObject* get_simd_path(PyObject*, PyObject*) {
  return PyUnicode_FromString(kernels::simd_path_name(kernels::active_simd_path()));
}

PyObject* get_threads(PyObject*, PyObject*) { return PyLong_FromLong(kernels::kernel_threads()); }

PyObject* set_threads(PyObject*, PyObject* count) {
  const long wanted = PyLong_AsLong(count);
  if (wanted == -1 && PyErr_Occurred()) return nullptr;
  const int clamped = wanted < 1 ? 1 : wanted > 64 ? 64 : static_cast<int>(wanted);
  return PyLong_FromLong(kernels::set_kernel_threads(clamped));
}

PyMethodDef methods[] = {
    {"simd_path", get_simd_path, METH_NOARGS,
     "simd_path()\n--\n\nThe SIMD path the kernels run on: 'avx512', 'avx2', 'sse2' or\n"
     "'scalar'."},
    {"threads", get_threads, METH_NOARGS,
     "threads()\n--\n\nThe threads a large kernel call may use, the caller's included."},
    {"set_threads", set_threads, METH_O,
     "set_threads(count, /)\n--\n\nSets the threads of large kernel calls (clamped to 1..64)\n"
     "and returns the value taken."},
    {nullptr, nullptr, 0, nullptr},
};

// A value of KOVAR_SIMD or KOVAR_THREADS the core cannot use is reported, as
// OpenMP reports its own, and the default taken.
bool warn_unread(const char* variable, const char* taken) {
  const char* text = std::getenv(variable);
  Ref value = Ref::steal(PyUnicode_DecodeFSDefault(text != nullptr ? text : ""));
  if (!value) return false;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%s=%R is not understood; %s", variable,
                          value.get(), taken) == 0;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
  return create_in_one_interpreter(module_spec, owner_interpreter);
}

int module_exec(PyObject* module) {
  if (!kernels::choose_simd_path() &&
      !warn_unread("KOVAR_SIMD",
                   "expected avx512, avx2, sse2 or scalar: the best path the CPU has is used")) {
    return -1;
  }
  if (!kernels::choose_kernel_threads() &&
      !warn_unread("KOVAR_THREADS", "expected a positive count: the CPUs the process may use, "
                                    "at most 8, are used")) {
    return -1;
  }
  Ref capsule = Ref::steal(
      PyCapsule_New(const_cast<core_api::Api*>(&api), core_api::kCapsuleName, nullptr));
  if (!capsule || PyModule_AddObjectRef(module, "_C_API", capsule.get()) < 0) return -1;
  return PyModule_AddFunctions(module, methods);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KOVAR_ONE_INTERPRETER_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kovar._core",
    "The kernel core of kovar's native modules: one SIMD path and one pool of\n"
    "kernel threads per process.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kovar::core

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&kovar::core::module_def); }
