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

enum Slot { kSetpoint, kMeasurement, kDt, kFeedforward, kTrack, kOut, kSlotCount };
const char* const kSlotNames[kSlotCount] = {"setpoint", "measurement", "dt",
                                            "feedforward", "track", "out"};
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
  // At most three, copied one by one (a loop becomes a call to memcpy).
  if (nargs > kSetpoint) slots[kSetpoint] = args[kSetpoint];
  if (nargs > kMeasurement) slots[kMeasurement] = args[kMeasurement];
  if (nargs > kDt) slots[kDt] = args[kDt];
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
  for (int slot = kFeedforward; slot < kSlotCount; ++slot) {
    if (slots[slot] == Py_None) slots[slot] = nullptr;
  }
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

// The kernel's view of all of `bank`'s channels, and the bank's flags; the
// caller sets n and the inputs.
void view_bank(const BankObject* bank, bank_kernel::UpdateArgs& kernel) noexcept {
  // The bank's own view, as it is: no copy on update's path.
  kernel.params = bank->strided;
  kernel.state = &bank->arrays;
  kernel.params_uniform = bank->params_uniform;
  kernel.tt_auto = bank->tt_auto;
  kernel.anti_windup = bank->anti_windup;
  kernel.on_nan = bank->on_nan;
  // Counted over the whole bank: a range without manual channels only
  // takes the path that reads the flags.
  kernel.manual_count = bank->manual_count;
  kernel.relay_count = bank->relay_count;
  kernel.any_flagged = bank->any_flagged;
  kernel.keep_terms = bank->keep_terms;
}

}  // namespace

void select_channels(const BankObject* bank, std::size_t begin, std::size_t end,
                     ChannelRun& run) {
  run.begin = begin;
  run.end = end;
  bank_kernel::UpdateArgs& kernel = run.args;
  kernel = bank_kernel::UpdateArgs{};
  view_bank(bank, kernel);
  if (begin != 0) {
    for (int id = 0; id < kParamCount; ++id) {
      const bank_kernel::Strided& p = bank->strided[id];
      run.params[id] = {p.data + begin * p.step, p.step};
    }
    run.state = bank->arrays.from(begin);
    kernel.params = run.params;
    kernel.state = &run.state;
  }
  kernel.n = end - begin;
}

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
    "update($self, /, setpoint, measurement, dt, *, feedforward=None, track=None, out=None)\n"
    "--\n"
    "\n"
    "Advances every channel by `dt` and returns the outputs.\n"
    "\n"
    "Per channel, ``v = P + I + D + ff`` is the unlimited output (the terms of\n"
    "the bank's law; ``P + I + D`` without feed-forward), and the output is `v`\n"
    "within the rate window and the output limits.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "setpoint, measurement : float or array_like\n"
    "    Real scalars or arrays broadcastable to the bank's shape.\n"
    "dt : float\n"
    "    The time step. One that is not > 0 (zero, negative, NaN) advances\n"
    "    nothing: the output comes from the held state. Infinite is refused.\n"
    "feedforward : float or array_like, optional\n"
    "    Added to `v`; broadcastable to the bank's shape.\n"
    "track : float or array_like, optional\n"
    "    The output the actuator received, where finite (a selector's choice,\n"
    "    an inner loop's input): anti-windup works on it in place of the bank's\n"
    "    own output.\n"
    "out : ndarray, optional\n"
    "    Where to write the outputs: a writeable C-contiguous float64 array of\n"
    "    exactly the bank's shape (it may be one of the inputs), or the bank's\n"
    "    own `output`, which is then written once: the fastest call.\n"
    "\n"
    "Returns\n"
    "-------\n"
    "ndarray\n"
    "    The outputs, of the bank's shape (`out` when given).\n"
    "\n"
    "Notes\n"
    "-----\n"
    "An automatic channel whose setpoint, measurement or feed-forward is not\n"
    "finite outputs NaN (``on_nan='nan'``) or its last output\n"
    "(``on_nan='hold'``) and keeps its state; a manual one outputs its manual\n"
    "value.";

PyObject* bank_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  auto* bank = reinterpret_cast<BankObject*>(self);
  PyObject* slots[kSlotCount] = {};
  if (!parse_args(args, PyVectorcall_NARGS(nargs), kwnames, slots)) return nullptr;

  // Every conversion, which may run Python code, happens before the lock is
  // taken, and before any operand's data is taken; the shape cannot change
  // meanwhile unless the bank was unconfigured.
  const bool was_configured = bank->configured;
  const Shape& shape = bank->shape;
  Operand setpoint;
  Operand measurement;
  Operand feedforward;
  Operand track;
  double h;
  if (!convert_operand(slots[kSetpoint], shape, "setpoint", setpoint) ||
      !convert_operand(slots[kMeasurement], shape, "measurement", measurement) ||
      !convert_dt(slots[kDt], h) ||
      (slots[kFeedforward] != nullptr &&
       !convert_operand(slots[kFeedforward], shape, "feedforward", feedforward)) ||
      (slots[kTrack] != nullptr && !convert_operand(slots[kTrack], shape, "track", track)) ||
      !bind_operand(setpoint, shape) || !bind_operand(measurement, shape) ||
      !bind_operand(feedforward, shape) || !bind_operand(track, shape)) {
    return nullptr;
  }
  Ref result;
  const std::size_t n = shape.size();
  bool read_only_out = false;
  if (slots[kOut] != nullptr) {
    if (!check_out(slots[kOut], shape, read_only_out)) return nullptr;
    result = Ref::borrow(slots[kOut]);
    const double* out = doubles(result);
    if (!separate_from(setpoint, out, n) || !separate_from(measurement, out, n) ||
        !separate_from(feedforward, out, n) || !separate_from(track, out, n)) {
      return nullptr;
    }
  } else {
    result = Ref::steal(
        PyArray_SimpleNew(shape.ndim, const_cast<npy_intp*>(shape.dims), NPY_DOUBLE));
    if (!result) return nullptr;
  }

  bool refused = false;
  {
    BankLock lock(bank);
    if (bank->configured != was_configured) {
      result = Ref();
    } else if (read_only_out &&
               !is_own_output(bank, reinterpret_cast<PyArrayObject*>(result.get()))) {
      // A read-only out is taken only as the bank's output, which the call
      // then writes once.
      result = Ref();
      refused = true;
    } else {
      // Every field is set here and in view_bank.
      bank_kernel::UpdateArgs kernel;
      view_bank(bank, kernel);
      kernel.n = n;
      kernel.setpoint = setpoint.strided();
      kernel.measurement = measurement.strided();
      kernel.feedforward = feedforward.strided();
      kernel.track = track.strided();
      kernel.has_feedforward = slots[kFeedforward] != nullptr;
      kernel.has_track = slots[kTrack] != nullptr;
      kernel.h = h;
      kernel.out = doubles(result);
      bank_kernel::UpdateFlags flags;
      if (n >= kReleaseGilFrom) {
        Py_BEGIN_ALLOW_THREADS flags = bank_kernel::run_update(kernel);
        Py_END_ALLOW_THREADS
      } else {
        flags = bank_kernel::run_update(kernel);
      }
      bank->any_flagged = flags.any_flagged;
      bank->relay_count = flags.relay_count;
    }
  }
  if (refused) {
    refuse_out();
  } else if (!result) {
    PyErr_SetString(PyExc_RuntimeError, "the bank was configured during the call");
  }
  return result.release();
}

}  // namespace kovar::bank
