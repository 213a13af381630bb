// PIDBank.update: argument parsing for the vectorcall protocol and the call
// into the kernel.
#include <cmath>

#include "kovar/bank/arguments.hpp"
#include "kovar/bank/pid_bank.hpp"
#include "kovar/kernels/bank_kernel.hpp"

namespace kovar::bank {

namespace {

// From this many channels on, the kernel runs with the GIL released.
constexpr std::size_t kReleaseGilFrom = 20000;

enum Slot { kSetpoint, kMeasurement, kDt, kOut, kSlotCount };
const char* const kSlotNames[kSlotCount] = {"setpoint", "measurement", "dt", "out"};
// Interned keyword names, made once at module execution; keywords are
// matched by identity first, then by value.
PyObject* slot_names[kSlotCount];

bool parse_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject* (&slots)[kSlotCount]) {
  if (nargs > kDt + 1) {
    PyErr_Format(PyExc_TypeError, "update() takes 3 positional arguments but %zd were given",
                 nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    int slot = 0;
    while (slot < kSlotCount && name != slot_names[slot]) ++slot;
    for (slot = slot < kSlotCount ? slot : 0; slot < kSlotCount; ++slot) {
      if (name == slot_names[slot]) break;
      const int equal = PyUnicode_Compare(name, slot_names[slot]);
      if (equal == -1 && PyErr_Occurred()) return false;
      if (equal == 0) break;
    }
    if (slot == kSlotCount) {
      PyErr_Format(PyExc_TypeError, "update() got an unexpected keyword argument '%S'", name);
      return false;
    }
    if (slots[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "update() got multiple values for argument '%s'",
                   kSlotNames[slot]);
      return false;
    }
    slots[slot] = args[nargs + k];
  }
  for (int slot = kSetpoint; slot <= kDt; ++slot) {
    if (slots[slot] == nullptr) {
      PyErr_Format(PyExc_TypeError, "update() missing required argument '%s'", kSlotNames[slot]);
      return false;
    }
  }
  if (slots[kOut] == Py_None) slots[kOut] = nullptr;
  return true;
}

bool refuse_dt(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "dt must be a real number, not %.100s", Py_TYPE(obj)->tp_name);
  return false;
}

// dt as a double: a real number (int, float, NumPy scalar or 0-d array). NaN,
// zero and negative values mean that no time passed; infinity is refused, as
// it would turn every integral into inf or NaN for good.
bool convert_dt(PyObject* obj, double& h) {
  if (PyFloat_Check(obj)) {
    h = PyFloat_AS_DOUBLE(obj);
  } else if (PyLong_CheckExact(obj)) {
    if (!int_as_double(obj, "dt", h)) return false;
  } else {
    if (PyComplex_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) ||
        (PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) != 0)) {
      return refuse_dt(obj);
    }
    h = PyFloat_AsDouble(obj);
    if (h == -1.0 && PyErr_Occurred()) {
      if (PyLong_Check(obj) && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_SetString(PyExc_ValueError, "dt is an int too large to convert to float");
        return false;
      }
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      return refuse_dt(obj);
    }
  }
  if (std::isinf(h)) {
    PyErr_SetString(PyExc_ValueError, "dt must not be infinite");
    return false;
  }
  return true;
}

}  // namespace

bool make_update_names() {
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (slot_names[slot] == nullptr) {
      slot_names[slot] = PyUnicode_InternFromString(kSlotNames[slot]);
      if (slot_names[slot] == nullptr) return false;
    }
  }
  return true;
}

const char bank_update_doc[] =
    "update($self, /, setpoint, measurement, dt, *, out=None)\n--\n\n"
    "Advances every channel by `dt` and returns the outputs (in `out` when\n"
    "given: a writeable C-contiguous float64 array of the bank's shape).\n"
    "`setpoint` and `measurement` are real scalars or arrays broadcastable to\n"
    "the bank's shape; `out` may be one of them. A `dt` that is not > 0 (zero,\n"
    "negative, NaN) advances nothing: the output comes from the held state.\n"
    "A channel whose setpoint or measurement is not finite outputs NaN and\n"
    "keeps its state.";

PyObject* bank_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  auto* bank = reinterpret_cast<BankObject*>(self);
  PyObject* slots[kSlotCount] = {};
  if (!parse_args(args, PyVectorcall_NARGS(nargs), kwnames, slots)) return nullptr;

  // Every conversion, which may run Python code, happens before the lock is
  // taken; the shape cannot change meanwhile unless the bank was unconfigured.
  const bool was_configured = bank->configured;
  const Shape& shape = bank->shape;
  Operand setpoint;
  Operand measurement;
  double h;
  if (!convert_operand(slots[kSetpoint], shape, "setpoint", setpoint) ||
      !convert_operand(slots[kMeasurement], shape, "measurement", measurement) ||
      !convert_dt(slots[kDt], h)) {
    return nullptr;
  }
  Ref result;
  const std::size_t n = shape.size();
  if (slots[kOut] != nullptr) {
    if (!check_out(slots[kOut], shape)) return nullptr;
    result = Ref::borrow(slots[kOut]);
    const double* out = doubles(result);
    if (!separate_from(setpoint, out, n) || !separate_from(measurement, out, n)) return nullptr;
  } else {
    result = Ref::steal(
        PyArray_SimpleNew(shape.ndim, const_cast<npy_intp*>(shape.dims), NPY_DOUBLE));
    if (!result) return nullptr;
  }

  {
    BankLock lock(bank);
    if (bank->configured != was_configured) {
      result = Ref();
    } else {
      const StateArrays& s = bank->state;
      bank_kernel::UpdateArgs kernel{};
      for (int id = 0; id < kParamCount; ++id) kernel.params[id] = bank->params[id].strided();
      kernel.tt_auto = bank->tt_auto;
      kernel.anti_windup = bank->anti_windup;
      kernel.setpoint = setpoint.strided();
      kernel.measurement = measurement.strided();
      kernel.h = h;
      kernel.n = n;
      kernel.integral = doubles(s.integral);
      kernel.derivative = doubles(s.derivative);
      kernel.x_prev = doubles(s.x_prev);
      kernel.output = doubles(s.output);
      kernel.manual_value = doubles(s.manual_value);
      kernel.manual = bools(s.manual);
      kernel.fresh = bools(s.fresh);
      kernel.manual_count = bank->manual_count;
      kernel.any_fresh = bank->any_fresh;
      kernel.out = doubles(result);
      if (n >= kReleaseGilFrom) {
        Py_BEGIN_ALLOW_THREADS bank->any_fresh = bank_kernel::run_update(kernel);
        Py_END_ALLOW_THREADS
      } else {
        bank->any_fresh = bank_kernel::run_update(kernel);
      }
    }
  }
  if (!result) {
    PyErr_SetString(PyExc_RuntimeError, "the bank was configured during the call");
  }
  return result.release();
}

}  // namespace kovar::bank
