#include "kovar/regulo/controllers/adaptive_controller.hpp"

#include "kovar/regulo/binding/binding.hpp"
#include "kovar/regulo/binding/typed_array.hpp"
#include "kovar/regulo/controllers/call_lock.hpp"
#include "kovar/regulo/controllers/control_steps.hpp"
#include "kovar/regulo/controllers/fast_path.hpp"
#include "kovar/regulo/controllers/layout.hpp"
#include "kovar/common/numpy_c_api.hpp"
#include "kovar/regulo/controllers/pickle_methods.hpp"
#include "kovar/common/static_type.hpp"
#include "kovar/regulo/traceback.hpp"

namespace kovar {

namespace {

using binding::Kind;
using binding::Param;
using binding::Signature;
using binding::Value;
using steps::np_attr;
using typed_array::accept;
using typed_array::accept_result;

constexpr const char* kInitTraceback = "kovar.regulo.AdaptiveController.__init__";
constexpr const char* kComputeTraceback = "kovar.regulo.AdaptiveController.compute_control";

// Source lines of the traceback entries.
enum InitLine : int {
  kInit = 77,
  kInitLearningRate = 81,
  kInitMaxAdjustment = 82,
  kInitKp = 83,
  kInitKi = 84,
  kInitKd = 85,
  kInitIntegral = 86,
  kInitPreviousError = 87,
  kInitErrorHistory = 88,
  kInitStoreLearningRate = 89,
  kInitStoreMaxAdjustment = 90,
};
enum ComputeLine : int {
  kCompute = 92,
  kComputeDt = 95,
  kError = 96,
  kRoll = 100,
  kNewestRow = 101,
  kDeltaKp = 104,
  kClip = 105,
  kAdaptKp = 106,
  kIntegral = 109,
  kDerivativeDiv = 111,
  kDerivativeZeros = 113,
  kProportional = 116,  // kp * error, and its sum with the integral term
  kIntegralTerm = 117,  // ki * integral, and the final sum
  kDerivativeTerm = 118,
  kPreviousError = 120,
};

constexpr Param kInitParams[] = {
    {&Names::initial_kp, Kind::TypedArray, kInit},
    {&Names::initial_ki, Kind::TypedArray, kInit},
    {&Names::initial_kd, Kind::TypedArray, kInit},
    {&Names::learning_rate, Kind::Double, kInitLearningRate, 0.01, true},
    {&Names::max_adjustment, Kind::Double, kInitMaxAdjustment, 0.1, true},
};
constexpr Param kComputeParams[] = {
    {&Names::target_position, Kind::TypedArray, kCompute},
    {&Names::current_position, Kind::TypedArray, kCompute},
    {&Names::dt, Kind::Double, kComputeDt},
};
constexpr Signature kInitSig = {"__init__", kInitTraceback, kSourceFile, kInit, 3, kInitParams};
constexpr Signature kComputeSig = {"compute_control", kComputeTraceback, kSourceFile, kCompute, 3,
                                   kComputeParams};

AdaptiveObject* as_adaptive(PyObject* op) { return reinterpret_cast<AdaptiveObject*>(op); }

Ref call_copy(PyObject* obj) {
  return Ref::steal(
      PyObject_VectorcallMethod(names().copy, &obj, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The length of an accepted one-dimensional gain array (0 for None). The
// array header is read when it has a dimension; an array subclass whose own
// buffer (a Python-level __buffer__) passed the check while the array itself
// has none is measured through that buffer. Returns false with an exception
// set.
bool count_channels(PyObject* gains, Py_ssize_t* channels) {
  if (gains == Py_None) return true;
  auto* array = reinterpret_cast<PyArrayObject*>(gains);
  if (PyArray_NDIM(array) >= 1) {
    *channels = PyArray_DIM(array, 0);
    return true;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(gains, &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
  *channels = view.ndim >= 1 ? view.shape[0] : 0;
  PyBuffer_Release(&view);
  return true;
}

int adaptive_init(PyObject* op, PyObject* args, PyObject* kwds) {
  CallLock lock(op);
  Value a[5];
  if (!binding::bind(kInitSig, args, kwds, a)) return -1;
  PyObject* initial_kp = a[0].object;
  PyObject* initial_ki = a[1].object;
  PyObject* initial_kd = a[2].object;
  auto fail = [](int line) {
    add_traceback(kInitTraceback, line);
    return -1;
  };
  for (int i = 0; i < 3; ++i) {
    if (!accept(a[i].object, 1)) return fail(kInit);
  }
  // The history has one column per channel of initial_kp, counted now.
  Py_ssize_t channels = 0;
  if (!count_channels(initial_kp, &channels)) return fail(kInit);
  AdaptiveObject* self = as_adaptive(op);

  // Private copies: the caller's gain arrays never see the adaptation.
  Ref value = call_copy(initial_kp);
  if (!value) return fail(kInitKp);
  store(self->kp, std::move(value));
  value = call_copy(initial_ki);
  if (!value) return fail(kInitKi);
  store(self->ki, std::move(value));
  value = call_copy(initial_kd);
  if (!value) return fail(kInitKd);
  store(self->kd, std::move(value));

  value = steps::zeros_like_float64(initial_kp);
  if (!value) return fail(kInitIntegral);
  store(self->integral, std::move(value));
  value = steps::zeros_like_float64(initial_kp);
  if (!value) return fail(kInitPreviousError);
  store(self->previous_error, std::move(value));

  {
    Ref zeros = np_attr(names().zeros);
    if (!zeros) return fail(kInitErrorHistory);
    Ref columns = Ref::steal(PyLong_FromSsize_t(channels));
    if (!columns) return fail(kInitErrorHistory);
    Ref shape = Ref::steal(PyTuple_Pack(2, state().int_10, columns.get()));
    if (!shape) return fail(kInitErrorHistory);
    PyObject* shape_arg = shape.get();
    value = vectorcall(zeros.get(), &shape_arg, 1);
    if (!value) return fail(kInitErrorHistory);
    store(self->error_history, std::move(value));
  }

  value = Ref::steal(PyFloat_FromDouble(a[3].d));
  if (!value) return fail(kInitStoreLearningRate);
  store(self->learning_rate, std::move(value));
  value = Ref::steal(PyFloat_FromDouble(a[4].d));
  if (!value) return fail(kInitStoreMaxAdjustment);
  store(self->max_adjustment, std::move(value));
  return 0;
}

// Fields are read into references of their own before use: NumPy, or an
// array subclass, may run Python code that rebinds them meanwhile.
PyObject* adaptive_compute(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  CallLock lock(op);
  Value a[3];
  if (!binding::bind(kComputeSig, args, nargs, kwnames, a)) return nullptr;
  PyObject* target_position = a[0].object;
  PyObject* current_position = a[1].object;
  const double dt = a[2].d;
  auto fail = [](int line) -> PyObject* {
    add_traceback(kComputeTraceback, line);
    return nullptr;
  };
  AdaptiveObject* self = as_adaptive(op);
  const ModuleState& st = state();

  if (!accept(target_position, 1) || !accept(current_position, 1)) return fail(kCompute);

  if (Ref control_signal =
          fast_path::adaptive_compute(self, target_position, current_position, dt)) {
    return control_signal.release();
  }

  Ref error = Ref::steal(PyNumber_Subtract(target_position, current_position));
  if (!error || !accept_result(error.get(), 1)) return fail(kError);

  // The newest error goes into row 0 of a history rolled on by one row.
  {
    Ref roll = np_attr(names().roll);
    if (!roll) return fail(kRoll);
    Ref history = Ref::borrow(self->error_history);
    PyObject* roll_args[] = {history.get(), st.int_1, st.int_0};
    Ref rolled = vectorcall(roll.get(), roll_args, 1, st.kw_shift_axis);
    if (!rolled) return fail(kRoll);
    store(self->error_history, std::move(rolled));
  }
  {
    Ref history = Ref::borrow(self->error_history);
    if (PyObject_SetItem(history.get(), st.int_0, error.get()) < 0) return fail(kNewestRow);
  }

  // delta_kp = learning_rate * mean(history, axis=0) * error, bounded.
  Ref delta_kp;
  {
    Ref learning_rate = Ref::borrow(self->learning_rate);
    Ref mean = np_attr(names().mean);
    if (!mean) return fail(kDeltaKp);
    Ref history = Ref::borrow(self->error_history);
    PyObject* mean_args[] = {history.get(), st.int_0};
    Ref average = vectorcall(mean.get(), mean_args, 1, st.kw_axis);
    if (!average) return fail(kDeltaKp);
    Ref scaled = Ref::steal(PyNumber_Multiply(learning_rate.get(), average.get()));
    if (!scaled) return fail(kDeltaKp);
    delta_kp = Ref::steal(PyNumber_Multiply(scaled.get(), error.get()));
    if (!delta_kp) return fail(kDeltaKp);
  }
  {
    Ref clip = np_attr(names().clip);
    if (!clip) return fail(kClip);
    Ref max_adjustment = Ref::borrow(self->max_adjustment);
    Ref lower = Ref::steal(PyNumber_Negative(max_adjustment.get()));
    if (!lower) return fail(kClip);
    PyObject* clip_args[] = {delta_kp.get(), lower.get(), max_adjustment.get()};
    delta_kp = vectorcall(clip.get(), clip_args, 3);
    if (!delta_kp) return fail(kClip);
  }
  if (!steps::add_in_place(self->kp, delta_kp.get())) return fail(kAdaptKp);
  if (!steps::integrate(self->integral, error.get(), dt)) return fail(kIntegral);

  Ref derivative = steps::derivative(error.get(), self->previous_error, dt, 1);
  if (!derivative) return fail(dt > 0.0 ? kDerivativeDiv : kDerivativeZeros);

  // kp * error + ki * integral + kd * derivative, with the updated kp and
  // integral, formed left to right.
  Ref p_term = steps::multiply(self->kp, error.get());
  if (!p_term) return fail(kProportional);
  Ref i_term = steps::multiply(self->ki, self->integral);
  if (!i_term) return fail(kIntegralTerm);
  Ref p_plus_i = steps::add(std::move(p_term), std::move(i_term));
  if (!p_plus_i) return fail(kProportional);
  Ref d_term = steps::multiply(self->kd, derivative.get());
  if (!d_term) return fail(kDerivativeTerm);
  derivative = Ref();
  Ref control_signal = steps::add(std::move(p_plus_i), std::move(d_term));
  if (!control_signal) return fail(kIntegralTerm);

  Ref previous_error = call_copy(error.get());
  if (!previous_error) return fail(kPreviousError);
  store(self->previous_error, std::move(previous_error));
  return control_signal.release();
}

PyMethodDef adaptive_methods[] = {
    {"compute_control", KOVAR_FASTCALL(adaptive_compute), METH_FASTCALL | METH_KEYWORDS, nullptr},
    KOVAR_PICKLE_METHODS(adaptive),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type() {
  PyTypeObject type = static_type("kovar.regulo.AdaptiveController");
  Layout<AdaptiveObject>::fill(type);
  type.tp_init = adaptive_init;
  type.tp_methods = adaptive_methods;
  return type;
}

}  // namespace

PyTypeObject adaptive_type = make_type();

FunctionDef adaptive_compute_def = {"compute_control",
                                    "AdaptiveController.compute_control",
                                    adaptive_compute,
                                    &adaptive_type,
                                    kComputeTraceback,
                                    kSourceFile,
                                    kCompute,
                                    4,
                                    {"self", "target_position", "current_position", "dt", "error",
                                     "derivative", "delta_kp", "control_signal"}};

}  // namespace kovar
