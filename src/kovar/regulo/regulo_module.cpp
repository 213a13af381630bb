// kovar.regulo: the module definition and its two initialisation phases.
//
// Everything the import makes lives in the process-wide module state until
// the process ends, which is why the module can be loaded into one
// interpreter of a process only.
#include <cctype>

#include "kovar/common/one_interpreter.hpp"
#include "kovar/common/python_compat.hpp"
#include "kovar/kernels/core_client.hpp"
#include "kovar/regulo/controllers/adaptive_controller.hpp"
#include "kovar/regulo/controllers/call_lock.hpp"
#include "kovar/regulo/controllers/fast_path.hpp"
#include "kovar/regulo/controllers/pid_controller.hpp"
#include "kovar/regulo/function_object.hpp"
#include "kovar/regulo/module_state.hpp"
#include "kovar/regulo/numpy_checks.hpp"
#include "kovar/regulo/persistence/pickling.hpp"
#include "kovar/regulo/traceback.hpp"

namespace kovar {

namespace {

constexpr const char* kInitTraceback = "init kovar.regulo";

// The three classes, in the order they are readied and published, with the
// function objects of their methods and their unpickle function.
struct ClassEntry {
  PyTypeObject* type;
  const char* name;
  PyTypeObject* ModuleState::*slot;
  FunctionDef* compute;
  FunctionDef* reduce;
  FunctionDef* setstate;
  FunctionDef* unpickle;
};

const ClassEntry kClasses[] = {
    {&pid_type, "PIDController", &ModuleState::pid_type, &pid_compute_def,
     &persistence::reduce_defs[0], &persistence::setstate_defs[0], &persistence::unpickle_defs[0]},
    {&pid_xd_type, "PIDControllerXd", &ModuleState::pid_xd_type, &pid_xd_compute_def,
     &persistence::reduce_defs[1], &persistence::setstate_defs[1], &persistence::unpickle_defs[1]},
    {&adaptive_type, "AdaptiveController", &ModuleState::adaptive_type, &adaptive_compute_def,
     &persistence::reduce_defs[2], &persistence::setstate_defs[2], &persistence::unpickle_defs[2]},
};

// ---------------------------------------------------------------- create

// Copies module_spec.<attr> into the namespace as `key`; a module_spec without the
// attribute is fine.
bool copy_spec_attr(PyObject* module_spec, PyObject* dict, const char* attr, const char* key,
                    bool skip_none) {
  Ref value = Ref::steal(PyObject_GetAttrString(module_spec, attr));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) {
  ModuleState& st = state();
  if (!admit_interpreter(st.main_interpreter_id)) return nullptr;
  // Importing again hands back the module made the first time.
  if (st.module != nullptr) return Py_NewRef(st.module);

  Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
  if (!name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attr(module_spec, dict, "loader", "__loader__", false) ||
      !copy_spec_attr(module_spec, dict, "origin", "__file__", false) ||
      !copy_spec_attr(module_spec, dict, "parent", "__package__", false) ||
      !copy_spec_attr(module_spec, dict, "submodule_search_locations", "__path__", true)) {
    return nullptr;
  }
  return module.release();
}

// ---------------------------------------------------------------- exec

// The interpreter's version as 0xMMmmpp00, read once from Py_GetVersion().
std::uint32_t runtime_version() {
  ModuleState& st = state();
  if (st.runtime_version != 0) return st.runtime_version;
  const char* text = Py_GetVersion();
  std::uint32_t version = 0;
  std::uint32_t weight = 0x1000000;
  for (int part = 0; part < 4; ++part) {
    std::uint32_t number = 0;
    while (std::isdigit(static_cast<unsigned char>(*text))) number = number * 10 + (*text++ - '0');
    version += number * weight;
    weight >>= 8;
    if (*text != '.') break;
    ++text;
  }
  st.runtime_version = version;
  return version;
}

bool check_runtime_version() {
  const std::uint32_t version = runtime_version();
  const auto major = static_cast<int>(version >> 24);
  const auto minor = static_cast<int>((version >> 16) & 0xFF);
  if (major == compat::kCompiledMajor && minor == compat::kCompiledMinor) return true;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                compat::kCompiledMajor, compat::kCompiledMinor, "kovar.regulo", "does not match",
                major, minor);
  return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool create_shared_empties() {
  ModuleState& st = state();
  if (st.empty_tuple == nullptr && !(st.empty_tuple = PyTuple_New(0))) return false;
  if (st.empty_bytes == nullptr && !(st.empty_bytes = PyBytes_FromStringAndSize("", 0))) {
    return false;
  }
  if (st.empty_unicode == nullptr && !(st.empty_unicode = PyUnicode_FromStringAndSize("", 0))) {
    return false;
  }
  return true;
}

bool register_full_name(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* existing = PyDict_GetItemWithError(modules, names().module_name);
  if (existing != nullptr) return true;
  if (PyErr_Occurred()) return false;
  return PyDict_SetItem(modules, names().module_name, module) == 0;
}

bool lookup_import_error() {
  ModuleState& st = state();
  Ref error = Ref::steal(PyObject_GetAttr(st.builtins, names().ImportError));
  if (!error) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", names().ImportError);
    return false;
  }
  Py_XSETREF(st.import_error, error.release());
  return true;
}

bool make_code_objects() {
  for (const ClassEntry& c : kClasses) {
    for (FunctionDef* def : {c.compute, c.reduce, c.setstate, c.unpickle}) {
      if (!make_code_object(*def)) return false;
    }
  }
  return true;
}

bool ready_class(const ClassEntry& c, PyObject* module) {
  if (PyType_Ready(c.type) < 0) return false;
  state().*c.slot = c.type;
  if (PyModule_AddObjectRef(module, c.name, reinterpret_cast<PyObject*>(c.type)) < 0) return false;
  return persistence::install_pickle_methods(c.type);
}

// A module that is being imported right now is not taken from sys.modules.
Ref bind_numpy() {
  ModuleState& st = state();
  // Held: the attribute reads below run Python code that may remove the
  // entry from sys.modules.
  const Ref existing =
      Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), names().numpy));
  if (!existing && PyErr_Occurred()) return {};
  if (existing) {
    bool initializing = false;
    Ref module_spec = Ref::steal(PyObject_GetAttr(existing.get(), names().dunder_spec));
    Ref flag =
        module_spec ? Ref::steal(PyObject_GetAttr(module_spec.get(), names().initializing)) : Ref();
    if (flag) {
      const int truth = PyObject_IsTrue(flag.get());
      if (truth < 0) return {};
      initializing = truth == 1;
    }
    PyErr_Clear();
    if (!initializing) return Ref::borrow(existing.get());
  }
  return Ref::steal(PyImport_ImportModuleLevelObject(names().numpy, st.dict, nullptr, nullptr, 0));
}

bool enter_method(PyTypeObject* type, const FunctionDef& def, PyObject* name) {
  const ModuleState& st = state();
  Ref function = make_function(def, names().module_name, st.dict);
  Ref dict = compat::type_dict(type);
  if (!function || !dict || PyDict_SetItem(dict.get(), name, function.get()) < 0) return false;
  PyType_Modified(type);
  return true;
}

int init_failed(int line, const char* filename = kSourceFile) {
  add_traceback(kInitTraceback, line, filename);
  return -1;
}

#define KOVAR_INIT_STEP(ok) \
  if (!(ok)) return init_failed(__LINE__)
#define KOVAR_INIT_PICKLE_STEP(ok) \
  if (!(ok)) return init_failed(__LINE__, kPickleSourceFile)

// The exec steps after the re-initialisation guard. Returns 0, or -1 with an
// exception set.
int exec_steps(PyObject* module) {
  ModuleState& st = state();

  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  Py_XSETREF(st.dict, Py_NewRef(PyModule_GetDict(module)));
  Py_XSETREF(st.builtins, builtins.new_ref());
  if (PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return -1;

  if (!check_runtime_version()) return -1;
  if (!compat::watch_namespace(st.dict)) return -1;
  if (!create_shared_empties()) return -1;
  if (!create_constants()) return -1;

  KOVAR_INIT_STEP(import_numpy_api());
  KOVAR_INIT_STEP(ready_function_type());
  KOVAR_INIT_STEP(register_full_name(module));
  KOVAR_INIT_STEP(lookup_import_error());
  KOVAR_INIT_STEP(make_code_objects());
  for (const ClassEntry& c : kClasses) {
    KOVAR_INIT_STEP(ready_class(c, module));
  }
  KOVAR_INIT_STEP(import_foreign_types());

  Ref numpy = bind_numpy();
  KOVAR_INIT_STEP(numpy);
  KOVAR_INIT_STEP(PyDict_SetItem(st.dict, names().np, numpy.get()) == 0);
  fast_path::capture_numpy(numpy.get());
  if (!kernels::bind_core() || !watch_interpreter_exit() || !prepare_call_locks()) return -1;

  for (const ClassEntry& c : kClasses) {
    KOVAR_INIT_STEP(enter_method(c.type, *c.compute, names().compute_control));
    KOVAR_INIT_PICKLE_STEP(enter_method(c.type, *c.reduce, names().reduce_method));
    KOVAR_INIT_PICKLE_STEP(enter_method(c.type, *c.setstate, names().setstate_method));
  }
  for (const ClassEntry& c : kClasses) {
    Ref function = make_function(*c.unpickle, names().module_name, st.dict);
    KOVAR_INIT_PICKLE_STEP(function);
    KOVAR_INIT_PICKLE_STEP(PyDict_SetItemString(st.dict, c.unpickle->name, function.get()) == 0);
  }

  Ref test = Ref::steal(PyDict_New());
  KOVAR_INIT_STEP(test);
  KOVAR_INIT_STEP(PyDict_SetItem(st.dict, names().dunder_test, test.get()) == 0);
  return 0;
}

#undef KOVAR_INIT_STEP
#undef KOVAR_INIT_PICKLE_STEP

int module_exec(PyObject* module) {
  ModuleState& st = state();
  if (st.module != nullptr) {
    if (st.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'regulo' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  st.module = Py_NewRef(module);
  if (exec_steps(module) == 0) return 0;
  // A later import attempt starts again with a new module.
  Py_CLEAR(st.module);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KOVAR_ONE_INTERPRETER_SLOT
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "regulo",
    nullptr,  // no docstring
    0,        // all state is process-wide
    nullptr,  // the functions are made by exec
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace kovar

PyMODINIT_FUNC PyInit_regulo() { return PyModuleDef_Init(&kovar::module_def); }
