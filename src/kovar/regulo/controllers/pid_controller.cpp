#include "kovar/regulo/controllers/pid_controller.hpp"

#include "kovar/regulo/binding/binding.hpp"
#include "kovar/regulo/binding/typed_array.hpp"
#include "kovar/regulo/controllers/call_lock.hpp"
#include "kovar/regulo/controllers/control_steps.hpp"
#include "kovar/regulo/controllers/fast_path.hpp"
#include "kovar/regulo/controllers/layout.hpp"
#include "kovar/regulo/controllers/pickle_methods.hpp"
#include "kovar/common/static_type.hpp"
#include "kovar/regulo/traceback.hpp"

namespace kovar {

namespace {

using binding::Kind;
using binding::Param;
using binding::Signature;
using binding::Value;
using typed_array::accept;
using typed_array::accept_result;

// Source lines of the traceback entries of one PID class.
struct PidLines {
  int init;           // binding, gain buffers
  int init_integral;  // integral <- zeros
  int init_previous;  // previous_error <- zeros
  int compute;        // binding, position buffers
  int error;
  int p_term;
  int integral;
  int i_term;
  int derivative_div;
  int derivative_zeros;
  int d_term;
  int control_signal;
};

struct PidVariant {
  int ndim;
  PidLines lines;
  Signature init_sig;
  Signature compute_sig;
};

constexpr PidLines kPidLines = {8, 13, 14, 16, 19, 20, 21, 22, 25, 27, 28, 31};
constexpr PidLines kPidXdLines = {38, 46, 47, 49, 55, 56, 57, 58, 61, 63, 64, 67};

constexpr Param kPidGains[] = {
    {&Names::kp, Kind::TypedArray, kPidLines.init},
    {&Names::ki, Kind::TypedArray, kPidLines.init},
    {&Names::kd, Kind::TypedArray, kPidLines.init},
};
constexpr Param kPidXdGains[] = {
    {&Names::kp, Kind::TypedArray, kPidXdLines.init},
    {&Names::ki, Kind::TypedArray, kPidXdLines.init},
    {&Names::kd, Kind::TypedArray, kPidXdLines.init},
};
// A failed conversion of dt is reported at the definition for PIDController
// and at the parameter's own line (52) for PIDControllerXd.
constexpr Param kPidPositions[] = {
    {&Names::target_position, Kind::TypedArray, kPidLines.compute},
    {&Names::current_position, Kind::TypedArray, kPidLines.compute},
    {&Names::dt, Kind::Double, kPidLines.compute},
};
constexpr Param kPidXdPositions[] = {
    {&Names::target_position, Kind::TypedArray, kPidXdLines.compute},
    {&Names::current_position, Kind::TypedArray, kPidXdLines.compute},
    {&Names::dt, Kind::Double, 52},
};

constexpr PidVariant kPid = {
    1,
    kPidLines,
    {"__init__", "kovar.regulo.PIDController.__init__", kSourceFile, kPidLines.init, 3, kPidGains},
    {"compute_control", "kovar.regulo.PIDController.compute_control", kSourceFile,
     kPidLines.compute, 3, kPidPositions},
};

constexpr PidVariant kPidXd = {
    2,
    kPidXdLines,
    {"__init__", "kovar.regulo.PIDControllerXd.__init__", kSourceFile, kPidXdLines.init, 3,
     kPidXdGains},
    {"compute_control", "kovar.regulo.PIDControllerXd.compute_control", kSourceFile,
     kPidXdLines.compute, 3, kPidXdPositions},
};

PidObject* as_pid(PyObject* op) { return reinterpret_cast<PidObject*>(op); }

int pid_init(const PidVariant& v, PyObject* op, PyObject* args, PyObject* kwds) {
  CallLock lock(op);
  Value a[3];
  if (!binding::bind(v.init_sig, args, kwds, a)) return -1;
  auto fail = [&](int line) {
    add_traceback(v.init_sig.traceback, line);
    return -1;
  };
  for (const Value& gain : a) {
    if (!accept(gain.object, v.ndim)) return fail(v.lines.init);
  }
  PidObject* self = as_pid(op);
  store(self->kp, a[0].object);
  store(self->ki, a[1].object);
  store(self->kd, a[2].object);

  // The state arrays take the shape of the gains just stored.
  Ref kp = Ref::borrow(self->kp);
  Ref integral = steps::zeros_like_float64(kp.get());
  if (!integral) return fail(v.lines.init_integral);
  store(self->integral, std::move(integral));

  kp = Ref::borrow(self->kp);
  Ref previous_error = steps::zeros_like_float64(kp.get());
  if (!previous_error) return fail(v.lines.init_previous);
  store(self->previous_error, std::move(previous_error));
  return 0;
}

// Fields are read into references of their own before use (steps::): NumPy,
// or an array subclass, may run Python code that rebinds them meanwhile.
PyObject* pid_compute(const PidVariant& v, PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  CallLock lock(op);
  Value a[3];
  if (!binding::bind(v.compute_sig, args, nargs, kwnames, a)) return nullptr;
  PyObject* target_position = a[0].object;
  PyObject* current_position = a[1].object;
  const double dt = a[2].d;
  const PidLines& line = v.lines;
  const int ndim = v.ndim;
  auto fail = [&](int at) -> PyObject* {
    add_traceback(v.compute_sig.traceback, at);
    return nullptr;
  };
  PidObject* self = as_pid(op);

  if (!accept(target_position, ndim) || !accept(current_position, ndim)) return fail(line.compute);

  if (Ref control_signal =
          fast_path::pid_compute(self, target_position, current_position, dt, ndim)) {
    return control_signal.release();
  }

  Ref error = Ref::steal(PyNumber_Subtract(target_position, current_position));
  if (!error || !accept_result(error.get(), ndim)) return fail(line.error);

  Ref p_term = steps::multiply(self->kp, error.get());
  if (!p_term || !accept_result(p_term.get(), ndim)) return fail(line.p_term);

  if (!steps::integrate(self->integral, error.get(), dt)) return fail(line.integral);

  Ref i_term = steps::multiply(self->ki, self->integral);
  if (!i_term || !accept_result(i_term.get(), ndim)) return fail(line.i_term);

  Ref derivative = steps::derivative(error.get(), self->previous_error, dt, ndim);
  if (!derivative) return fail(dt > 0.0 ? line.derivative_div : line.derivative_zeros);

  Ref d_term = steps::multiply(self->kd, derivative.get());
  if (!d_term || !accept_result(d_term.get(), ndim)) return fail(line.d_term);

  store(self->previous_error, error.get());

  Ref p_plus_i = steps::add(std::move(p_term), std::move(i_term));
  if (!p_plus_i) return fail(line.control_signal);
  Ref control_signal = steps::add(std::move(p_plus_i), std::move(d_term));
  if (!control_signal || !accept_result(control_signal.get(), ndim)) {
    return fail(line.control_signal);
  }
  return control_signal.release();
}

int pid_init_1d(PyObject* op, PyObject* args, PyObject* kwds) {
  return pid_init(kPid, op, args, kwds);
}
int pid_init_2d(PyObject* op, PyObject* args, PyObject* kwds) {
  return pid_init(kPidXd, op, args, kwds);
}
PyObject* pid_compute_1d(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return pid_compute(kPid, op, args, nargs, kwnames);
}
PyObject* pid_compute_2d(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return pid_compute(kPidXd, op, args, nargs, kwnames);
}

PyMethodDef pid_methods[] = {
    {"compute_control", KOVAR_FASTCALL(pid_compute_1d), METH_FASTCALL | METH_KEYWORDS, nullptr},
    KOVAR_PICKLE_METHODS(pid),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef pid_xd_methods[] = {
    {"compute_control", KOVAR_FASTCALL(pid_compute_2d), METH_FASTCALL | METH_KEYWORDS, nullptr},
    KOVAR_PICKLE_METHODS(pid_xd),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type(const char* name, initproc init, PyMethodDef* methods) {
  PyTypeObject type = static_type(name);
  Layout<PidObject>::fill(type);
  type.tp_init = init;
  type.tp_methods = methods;
  return type;
}

constexpr std::array<const char*, 12> kComputeLocals = {
    "self",   "target_position", "current_position", "dt",     "error",
    "p_term", "i_term",          "derivative",       "d_term", "control_signal"};

}  // namespace

PyTypeObject pid_type = make_type("kovar.regulo.PIDController", pid_init_1d, pid_methods);
PyTypeObject pid_xd_type = make_type("kovar.regulo.PIDControllerXd", pid_init_2d, pid_xd_methods);

FunctionDef pid_compute_def = {"compute_control",
                               "PIDController.compute_control",
                               pid_compute_1d,
                               &pid_type,
                               kPid.compute_sig.traceback,
                               kSourceFile,
                               kPidLines.compute,
                               4,
                               kComputeLocals};
FunctionDef pid_xd_compute_def = {"compute_control",
                                  "PIDControllerXd.compute_control",
                                  pid_compute_2d,
                                  &pid_xd_type,
                                  kPidXd.compute_sig.traceback,
                                  kSourceFile,
                                  kPidXdLines.compute,
                                  4,
                                  kComputeLocals};

}  // namespace kovar
