// The process-wide state of kovar.regulo: made once by the exec phase of the
// import and only read afterwards (see regulo_module.cpp).
#pragma once

#include <cstdint>

#include "kovar/common/owned_ref.hpp"

namespace kovar {

// Every name and fixed text used at run time, created once at import. The
// first column is the C++ member, the second the text. Names are interned.
// clang-format off
#define KOVAR_NAMES(X)                                            \
  /* parameters */                                                \
  X(kp, "kp")                                                     \
  X(ki, "ki")                                                     \
  X(kd, "kd")                                                     \
  X(initial_kp, "initial_kp")                                     \
  X(initial_ki, "initial_ki")                                     \
  X(initial_kd, "initial_kd")                                     \
  X(learning_rate, "learning_rate")                               \
  X(max_adjustment, "max_adjustment")                             \
  X(target_position, "target_position")                           \
  X(current_position, "current_position")                         \
  X(dt, "dt")                                                     \
  X(pyx_state, "__pyx_state")                                     \
  X(pyx_type, "__pyx_type")                                       \
  X(pyx_checksum, "__pyx_checksum")                               \
  /* NumPy, reached through the global name np */                 \
  X(np, "np")                                                     \
  X(numpy, "numpy")                                               \
  X(zeros_like, "zeros_like")                                     \
  X(zeros, "zeros")                                               \
  X(float64, "float64")                                           \
  X(dtype, "dtype")                                               \
  X(roll, "roll")                                                 \
  X(shift, "shift")                                               \
  X(axis, "axis")                                                 \
  X(mean, "mean")                                                 \
  X(clip, "clip")                                                 \
  X(copy, "copy")                                                 \
  /* module frame */                                              \
  X(dunder_test, "__test__")                                      \
  X(dunder_spec, "__spec__")                                      \
  X(initializing, "_initializing")                                \
  X(ImportError, "ImportError")                                   \
  X(module_name, "kovar.regulo")                                  \
  X(compute_control, "compute_control")                           \
  /* pickling */                                                  \
  X(dunder_dict, "__dict__")                                      \
  X(dunder_name, "__name__")                                      \
  X(dunder_new, "__new__")                                        \
  X(dunder_getstate, "__getstate__")                              \
  X(dunder_reduce_ex, "__reduce_ex__")                            \
  X(dunder_reduce, "__reduce__")                                  \
  X(dunder_setstate, "__setstate__")                              \
  X(dunder_set_name, "__set_name__")                              \
  X(reduce_method, "__kovar_reduce__")                            \
  X(setstate_method, "__kovar_setstate__")                        \
  X(update, "update")                                             \
  X(pickle, "pickle")                                             \
  X(PickleError, "PickleError")                                   \
  X(unpickle_pid, "__pyx_unpickle_PIDController")                 \
  X(unpickle_pid_xd, "__pyx_unpickle_PIDControllerXd")            \
  X(unpickle_adaptive, "__pyx_unpickle_AdaptiveController")       \
  X(pid_mismatch,                                                 \
    "Incompatible checksums (0x%x vs (0x32b920e, 0xb0bfbfa, "     \
    "0xa7b7f25) = (integral, kd, ki, kp, previous_error))")       \
  X(adaptive_mismatch,                                            \
    "Incompatible checksums (0x%x vs (0xb141bc4, 0xb4ff99b, "     \
    "0x7e19bd2) = (error_history, integral, kd, ki, kp, "         \
    "learning_rate, max_adjustment, previous_error))")
// clang-format on

// A cached module-global lookup: the value is borrowed from the module
// namespace and valid only while the namespace's version (which changes
// with every change to the namespace) is the same.
struct GlobalCache {
  std::uint64_t version = 0;
  PyObject* value = nullptr;
};

// The foreign types kept from the import checks, in import order.
enum ForeignType : int {
  kType,
  kDtype,
  kFlatiter,
  kBroadcast,
  kNdarray,
  kGeneric,
  kNumber,
  kInteger,
  kSignedinteger,
  kUnsignedinteger,
  kInexact,
  kFloating,
  kComplexfloating,
  kFlexible,
  kCharacter,
  kUfunc,
  kForeignTypeCount
};

struct Names {
#define KOVAR_DECLARE_NAME(member, text) PyObject* member;
  KOVAR_NAMES(KOVAR_DECLARE_NAME)
#undef KOVAR_DECLARE_NAME
};

struct ModuleState {
  std::int64_t main_interpreter_id = -1;
  PyObject* module = nullptr;
  PyObject* dict = nullptr;      // the module namespace
  PyObject* builtins = nullptr;  // the builtins module
  std::uint32_t runtime_version = 0;

  bool constants_ready = false;
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_unicode = nullptr;
  Names names{};

  PyObject* int_0 = nullptr;
  PyObject* int_1 = nullptr;
  PyObject* int_10 = nullptr;
  // Layout checksums: the SHA-256 one is written, all three are accepted.
  PyObject* checksum_pid = nullptr;
  PyObject* checksum_pid_sha1 = nullptr;
  PyObject* checksum_pid_md5 = nullptr;
  PyObject* checksum_adaptive = nullptr;
  PyObject* checksum_adaptive_sha1 = nullptr;
  PyObject* checksum_adaptive_md5 = nullptr;
  PyObject* pid_checksums = nullptr;  // the accepted ones, in order
  PyObject* adaptive_checksums = nullptr;

  // keyword-name tuples of the NumPy calls
  PyObject* kw_dtype = nullptr;
  PyObject* kw_shift_axis = nullptr;
  PyObject* kw_axis = nullptr;

  PyTypeObject* pid_type = nullptr;
  PyTypeObject* pid_xd_type = nullptr;
  PyTypeObject* adaptive_type = nullptr;
  PyTypeObject* foreign[kForeignTypeCount] = {};

  void** numpy_api = nullptr;
  unsigned int numpy_feature_version = 0;
  PyObject* import_error = nullptr;

  GlobalCache np_cache;

  // NumPy as bound at import and the functions the control steps call
  // through np: the fused kernels stand in for the steps only while np and
  // these are unchanged (null when NumPy lacks one: no kernels then).
  PyObject* numpy_module = nullptr;
  PyObject* numpy_dict = nullptr;
  PyObject* numpy_zeros_like = nullptr;
  PyObject* numpy_roll = nullptr;
  PyObject* numpy_mean = nullptr;
  PyObject* numpy_clip = nullptr;
  GlobalCache unpickle_cache[3];

  // A previous error that no one else can see any more, for the next call's
  // error (fast_path.cpp); null when there is none.
  PyObject* spare_error = nullptr;
};

ModuleState& state() noexcept;
inline const Names& names() noexcept { return state().names; }
inline PyTypeObject* ndarray_type() noexcept { return state().foreign[kNdarray]; }

// Creates the names and texts of the table, then the integer constants and
// the keyword-name tuples. Returns false with an exception set.
bool create_constants();

// Looks `name` up in the module namespace, then in the builtins; raises
// NameError when neither has it. The namespace hit is cached against the
// namespace's version, so rebinding the name is seen at the next call; an
// unwatched namespace is looked up every time.
// Returns a new reference, or null with an exception set.
Ref lookup_global(PyObject* name, GlobalCache& cache);

// Calls `callable(args..., **{kwnames: values})` through vectorcall.
// `args` holds the positional arguments followed by the keyword values.
// Returns a new reference, or null with an exception set.
Ref vectorcall(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames = nullptr);

}  // namespace kovar
