// PIDBank: construction, attributes, modes and reset.
#include "kovar/bank/pid_bank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "kovar/bank/arguments.hpp"
#include "kovar/bank/parameters.hpp"
#include "kovar/kernels/relay_law.hpp"

namespace kovar::bank {

namespace {

BankObject* as_bank(PyObject* self) { return reinterpret_cast<BankObject*>(self); }

}  // namespace

void default_params(Param* params) {
  for (int id = 0; id < kParamCount; ++id) {
    params[id].value = kParams[id].default_value;
    params[id].values = Ref();
  }
}

void seal(const Ref& array) {
  PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array.get()), NPY_ARRAY_WRITEABLE);
}

namespace {

constexpr const char* kStorageName = "kovar.bank.state";

void free_storage(PyObject* capsule) {
  PyMem_RawFree(PyCapsule_GetPointer(capsule, kStorageName));
}

// An array over `data` that does not own it: its base is `owner`, which
// it keeps alive. NumPy lets nobody set WRITEABLE on such an array, as
// the owner exports no writable buffer.
Ref wrap_storage(PyArray_Descr* descr, const Shape& shape, void* data, int flags, PyObject* owner) {
  Py_INCREF(descr);
  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, shape.ndim,
                                              const_cast<npy_intp*>(shape.dims), nullptr, data,
                                              flags, nullptr));
  if (!array) return {};
  Py_INCREF(owner);
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner) < 0) return {};
  return array;
}

}  // namespace

Ref state_view(const Ref& storage) {
  auto* a = reinterpret_cast<PyArrayObject*>(storage.get());
  Shape shape;
  shape.ndim = PyArray_NDIM(a);
  for (int d = 0; d < shape.ndim; ++d) shape.dims[d] = PyArray_DIM(a, d);
  return wrap_storage(PyArray_DESCR(a), shape, PyArray_DATA(a), NPY_ARRAY_CARRAY_RO,
                      PyArray_BASE(a));
}

const StateField kStateFields[kStateFieldCount] = {
    {"integral", &StateArrays::integral, NPY_DOUBLE, 1},
    {"derivative", &StateArrays::derivative, NPY_DOUBLE, 1},
    {"x_prev", &StateArrays::x_prev, NPY_DOUBLE, 1},
    {"output", &StateArrays::output, NPY_DOUBLE, 1},
    {"manual_value", &StateArrays::manual_value, NPY_DOUBLE, 1},
    {"manual", &StateArrays::manual, NPY_BOOL, 1},
    {"fresh", &StateArrays::fresh, NPY_BOOL, 1},
    {"gap", &StateArrays::gap, NPY_BOOL, 2},
    {"term_p", &StateArrays::term_p, NPY_DOUBLE, 2},
    {"term_i", &StateArrays::term_i, NPY_DOUBLE, 2},
    {"term_d", &StateArrays::term_d, NPY_DOUBLE, 2},
    {"term_ff", &StateArrays::term_ff, NPY_DOUBLE, 2},
    {"pending", &StateArrays::pending, NPY_BOOL, 3},
    {"kp_old", &StateArrays::kp_old, NPY_DOUBLE, 3},
    {"b_old", &StateArrays::b_old, NPY_DOUBLE, 3},
};

bank_kernel::ChannelState kernel_state(const StateArrays& s) {
  bank_kernel::ChannelState k = {
      doubles(s.integral),     doubles(s.derivative), doubles(s.x_prev), doubles(s.output),
      doubles(s.term_p),       doubles(s.term_i),     doubles(s.term_d), doubles(s.term_ff),
      doubles(s.manual_value), doubles(s.kp_old),     doubles(s.b_old),  bools(s.manual),
      bools(s.fresh),          bools(s.gap),          bools(s.pending),  nullptr,
      nullptr,                 0};
  if (s.relay) {
    k.relay = bools(s.relay);
    k.relay_fields = doubles(s.relay_fields);
    k.relay_stride = static_cast<std::size_t>(
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(s.relay_fields.get()), 1));
  }
  return k;
}

bool new_relay(const Shape& shape, StateArrays& state) {
  npy_intp dims[2] = {bank_kernel::relay::kFieldCount,
                      static_cast<npy_intp>(std::max<std::size_t>(shape.size(), 1))};
  Ref relay = Ref::steal(PyArray_ZEROS(1, dims + 1, NPY_BOOL, 0));
  Ref fields = Ref::steal(PyArray_ZEROS(2, dims, NPY_DOUBLE, 0));
  if (!relay || !fields) return false;
  state.relay = std::move(relay);
  state.relay_fields = std::move(fields);
  return true;
}

void refresh_kernel_view(BankObject* bank) {
  bank->params_uniform = true;
  for (int id = 0; id < kParamCount; ++id) {
    bank->strided[id] = bank->params[id].strided();
    bank->params_uniform = bank->params_uniform && bank->params[id].uniform();
  }
  bank->arrays = kernel_state(bank->state);
}

namespace {

// Where each state array lies in the bank's one allocation. Small ones
// are packed, 64 bytes apart. Large ones each start on a page of their own
// at the offset below (in kStateFields' order), none at NumPy's own (16:
// the caller's setpoint, measurement and out lie there). A load is checked
// against the stores in flight by the low 12 bits of its address (4 KiB
// aliasing), so arrays a pass reads and writes start a quarter of a page
// or more apart: the stores a load meets then belong to channels more than
// a hundred back, no longer in flight. Arrays only written share an offset
// with one read at the same channel. (Offsets 256 bytes apart made the
// plain pass 3-5 % slower from 10^6 channels.)
constexpr std::size_t kPage = 4096;
constexpr std::size_t kStaggerFrom = 4 * kPage;
constexpr std::size_t kPageOffset[kStateFieldCount] = {
    1088, 2112, 3136,        // integral, derivative, x_prev: every pass reads and writes them
    1088,                    // output
    128,  192,  256,  320,   // manual_value, manual, fresh, gap: read where flagged
    2112, 3136, 1088, 2112,  // term_p, term_i, term_d, term_ff
    384,  448,  512,         // pending, kp_old, b_old
};

std::size_t round_up(std::size_t x, std::size_t to) { return (x + to - 1) / to * to; }

}  // namespace

bool new_state(const Shape& shape, StateArrays& state) {
  const std::size_t n = std::max<std::size_t>(shape.size(), 1);
  if (n > PY_SSIZE_T_MAX / 8 / kStateFieldCount) {
    PyErr_NoMemory();
    return false;
  }
  const bool stagger = n * 8 >= kStaggerFrom;
  std::size_t offsets[kStateFieldCount];
  std::size_t end = 0;
  for (int k = 0; k < kStateFieldCount; ++k) {
    const std::size_t bytes = n * (kStateFields[k].type_num == NPY_BOOL ? 1 : 8);
    offsets[k] = stagger ? round_up(end, kPage) + kPageOffset[k] : round_up(end, 64);
    end = offsets[k] + bytes;
  }
  const std::size_t align = stagger ? kPage : 64;
  void* block = PyMem_RawCalloc(end + align, 1);
  if (block == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  Ref owner = Ref::steal(PyCapsule_New(block, kStorageName, free_storage));
  if (!owner) {
    PyMem_RawFree(block);
    return false;
  }
  char* base = reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(block), align));
  for (int k = 0; k < kStateFieldCount; ++k) {
    const StateField& f = kStateFields[k];
    Ref descr = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(f.type_num)));
    if (!descr) return false;
    Ref array = wrap_storage(reinterpret_cast<PyArray_Descr*>(descr.get()), shape,
                             base + offsets[k], NPY_ARRAY_CARRAY, owner.get());
    if (!array) return false;
    seal(array);
    state.*f.field = std::move(array);
  }
  npy_bool* fresh = bools(state.fresh);
  for (std::size_t i = 0; i < shape.size(); ++i) fresh[i] = 1;
  return true;
}

const char* on_nan_name(OnNan mode) { return mode == OnNan::kHold ? "hold" : "nan"; }

bool parse_on_nan(PyObject* obj, OnNan& mode) {
  if (PyUnicode_Check(obj)) {
    for (OnNan m : {OnNan::kNan, OnNan::kHold}) {
      if (PyUnicode_CompareWithASCIIString(obj, on_nan_name(m)) == 0) {
        mode = m;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "on_nan must be 'nan' or 'hold', not %R", obj);
  return false;
}

bool install(BankObject* bank, Configuration& config) {
  bool shape_kept = true;
  {
    BankLock lock(bank);
    if (bank->configured && !(bank->shape == config.shape)) {
      shape_kept = false;
    } else {
      bank->configured = true;
      std::swap(bank->shape, config.shape);
      for (int id = 0; id < kParamCount; ++id) std::swap(bank->params[id], config.params[id]);
      std::swap(bank->tt_auto, config.tt_auto);
      std::swap(bank->anti_windup, config.anti_windup);
      std::swap(bank->on_nan, config.on_nan);
      std::swap(bank->state, config.state);
      std::swap(bank->manual_count, config.manual_count);
      std::swap(bank->relay_count, config.relay_count);
      std::swap(bank->any_flagged, config.any_flagged);
      std::swap(bank->keep_terms, config.keep_terms);
      refresh_kernel_view(bank);
      ++bank->params_version;
    }
  }
  if (shape_kept) return true;
  Ref own = shape_tuple(bank->shape);
  Ref other = shape_tuple(config.shape);
  if (!own || !other) return false;
  PyErr_Format(PyExc_ValueError, "the bank has shape %R and keeps it; got shape %R", own.get(),
               other.get());
  return false;
}

bool convert_into(Configuration& config, int id, PyObject* obj) {
  if (id == kTt) {
    config.tt_auto = obj == Py_None;
    if (config.tt_auto) {
      config.params[kTt].value = kParams[kTt].default_value;
      config.params[kTt].values = Ref();
      return true;
    }
  }
  return convert_param(static_cast<ParamId>(id), obj, config.shape, config.params[id]);
}

namespace {

// ---------------------------------------------------------------- lifetime

PyObject* bank_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  BankObject* bank = as_bank(self.get());
  bank->configured = false;
  bank->lock = nullptr;
  new (&bank->shape) Shape();
  for (Param& p : bank->params) new (&p) Param();
  new (&bank->state) StateArrays();
  default_params(bank->params);
  bank->tt_auto = true;
  bank->anti_windup = AntiWindup::kBackCalculation;
  bank->on_nan = OnNan::kNan;
  bank->manual_count = 0;
  bank->relay_count = 0;
  bank->params_version = 0;
  bank->any_flagged = false;
  bank->keep_terms = false;
  bank->lock = PyThread_allocate_lock();
  bank->lock_generation = fork_generation;
  if (bank->lock == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  // Until configured, a bank has no channels, and everything still works.
  if (!new_state(bank->shape, bank->state)) return nullptr;
  refresh_kernel_view(bank);
  return self.release();
}

void bank_dealloc(PyObject* self) {
  BankObject* bank = as_bank(self);
  PyTypeObject* type = Py_TYPE(self);
  bank->state.~StateArrays();
  for (Param& p : bank->params) p.~Param();
  bank->shape.~Shape();
  if (bank->lock != nullptr) PyThread_free_lock(bank->lock);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---------------------------------------------------------------- __init__

int bank_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"shape", "kp", "ki", "kd", "b", "c", "tf", "u_min", "u_max",
                                   "i_min", "i_max", "deadband", "anti_windup", "tt",
                                   "rate_limit", "on_nan", "keep_terms", nullptr};
  PyObject* shape = nullptr;
  PyObject* values[kParamCount] = {};
  PyObject* anti_windup = nullptr;
  PyObject* on_nan = nullptr;
  int keep_terms = 0;
  PyObject*& tt = values[kTt];
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O|$OOOOOOOOOOOOOOOp:PIDBank", const_cast<char**>(keywords), &shape,
          &values[kKp], &values[kKi], &values[kKd], &values[kB], &values[kC], &values[kTf],
          &values[kUMin], &values[kUMax], &values[kIMin], &values[kIMax], &values[kDeadband],
          &anti_windup, &tt, &values[kRateLimit], &on_nan, &keep_terms)) {
    return -1;
  }
  if (values[kKp] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "PIDBank() missing required keyword-only argument: 'kp'");
    return -1;
  }
  if (tt == nullptr) tt = Py_None;
  // The arguments are borrowed from the keyword dict, which the conversions
  // (running Python code) may change: each is held while it is in use.
  Ref held_shape = Ref::borrow(shape);
  Ref held_values[kParamCount];
  for (int id = 0; id < kParamCount; ++id) held_values[id] = Ref::borrow(values[id]);
  Ref held_anti_windup = Ref::borrow(anti_windup);
  Ref held_on_nan = Ref::borrow(on_nan);
  Configuration config;
  if (!parse_shape(shape, config.shape)) return -1;
  default_params(config.params);
  for (int id = 0; id < kParamCount; ++id) {
    if (held_values[id] && !convert_into(config, id, held_values[id].get())) return -1;
  }
  if (held_anti_windup && !parse_anti_windup(held_anti_windup.get(), config.anti_windup)) {
    return -1;
  }
  if (held_on_nan && !parse_on_nan(held_on_nan.get(), config.on_nan)) return -1;
  if (!check_limits(config.params, config.shape)) return -1;
  if (!new_state(config.shape, config.state)) return -1;
  config.any_flagged = config.shape.size() > 0;
  config.keep_terms = keep_terms != 0;
  return install(as_bank(self), config) ? 0 : -1;
}

// ---------------------------------------------------------------- parameters

PyObject* get_param(PyObject* self, void* closure) {
  const auto id = static_cast<int>(reinterpret_cast<std::intptr_t>(closure));
  const BankObject* bank = as_bank(self);
  if (id == kTt && bank->tt_auto) Py_RETURN_NONE;
  return param_value(bank->params[id]).release();
}

// min(max(x, lo), hi) as the kernel clips.
double clip(double x, double lo, double hi) {
  const double m = __builtin_isless(x, lo) ? lo : x;
  return __builtin_isgreater(m, hi) ? hi : m;
}

// New parameter values for some channels, converted and checked on their
// own; `tt_auto` where tt is given as None.
struct ParamChange {
  bool given[kParamCount] = {};
  Param values[kParamCount];
  bool tt_auto = false;
};

// `wanted` where `mask` selects a channel, `old` elsewhere; one number when
// the result is the same everywhere.
bool merge(const Param& old, Param& wanted, const Ref& mask, const Shape& shape) {
  if (!mask) return true;
  const std::size_t n = shape.size();
  Ref values = Ref::steal(
      PyArray_SimpleNew(shape.ndim, const_cast<npy_intp*>(shape.dims), NPY_DOUBLE));
  if (!values) return false;
  double* data = doubles(values);
  const npy_bool* selected = bools(mask);
  for (std::size_t i = 0; i < n; ++i) data[i] = selected[i] ? wanted.at(i) : old.at(i);
  bool same = n > 0;
  for (std::size_t i = 1; same && i < n; ++i) same = std::memcmp(&data[i], &data[0], 8) == 0;
  if (same) {
    wanted.value = data[0];
    wanted.values = Ref();
  } else {
    seal(values);
    wanted.values = std::move(values);
  }
  return true;
}

// Installs `change` on the channels `mask` selects (null: all), after
// checking the limits of the result as a whole. Where kp or b change, the
// integral of every selected automatic channel moves at its next call with
// finite inputs by the change of P at those inputs (where that change is
// finite), so that its output stays where the old kp and b put it, to
// rounding.
bool apply_change(BankObject* bank, bool was_configured, ParamChange& change, const Ref& mask,
                  const char* method) {
  const Shape shape = bank->shape;
  if (change.given[kTt] && change.tt_auto && mask) {
    PyErr_Format(PyExc_ValueError, "%s: tt=None is for every channel at once; where must be None",
                 method);
    return false;
  }
  for (;;) {
    // Read with the GIL held, which every replacement of the parameters
    // holds too; the version tells whether they moved while the lock was
    // awaited.
    const std::uint64_t version = bank->params_version;
    if (change.given[kTt] && !change.tt_auto && mask && bank->tt_auto) {
      PyErr_Format(PyExc_ValueError,
                   "%s: tt is None for every channel; set it with where=None first", method);
      return false;
    }
    Param next[kParamCount];
    for (int id = 0; id < kParamCount; ++id) {
      if (change.given[id]) {
        next[id].value = change.values[id].value;
        next[id].values = Ref::borrow(change.values[id].values.get());
        if (!merge(bank->params[id], next[id], mask, shape)) return false;
      } else {
        next[id].value = bank->params[id].value;
        next[id].values = Ref::borrow(bank->params[id].values.get());
      }
    }
    if (!check_limits(next, shape)) return false;
    const bool bump = change.given[kKp] || change.given[kB];
    {
      BankLock lock(bank);
      if (bank->configured != was_configured) break;
      if (bank->params_version != version) continue;
      if (bump && bank->manual_count < shape.size()) {
        // The integral moves at each channel's next call, by the change of
        // P at that call's inputs, from the kp and b of its last output.
        const Param* old = bank->params;
        const StateArrays& s = bank->state;
        // A fresh channel has no output to keep; a pending one keeps the
        // kp and b of its last output.
        const npy_bool* manual = bools(s.manual);
        const npy_bool* fresh = bools(s.fresh);
        const npy_bool* selected = mask ? bools(mask) : nullptr;
        npy_bool* pending = bools(s.pending);
        double* kp_old = doubles(s.kp_old);
        double* b_old = doubles(s.b_old);
        for (std::size_t i = 0, n = shape.size(); i < n; ++i) {
          if (manual[i] || fresh[i] || pending[i] || (selected != nullptr && !selected[i]) ||
              (next[kKp].at(i) == old[kKp].at(i) && next[kB].at(i) == old[kB].at(i))) {
            continue;
          }
          pending[i] = 1;
          kp_old[i] = old[kKp].at(i);
          b_old[i] = old[kB].at(i);
          bank->any_flagged = true;
        }
      }
      for (int id = 0; id < kParamCount; ++id) {
        if (change.given[id]) std::swap(bank->params[id], next[id]);
      }
      if (change.given[kTt]) bank->tt_auto = change.tt_auto;
      refresh_kernel_view(bank);
      ++bank->params_version;
    }
    // `next` now holds the replaced values, released here with the lock
    // free.
    return true;
  }
  PyErr_Format(PyExc_RuntimeError, "the bank was configured during %s", method);
  return false;
}

bool convert_change(ParamChange& change, int id, PyObject* value, const Shape& shape,
                    const npy_bool* selected = nullptr) {
  change.given[id] = true;
  if (id == kTt && value == Py_None) {
    change.tt_auto = true;
    change.values[id].value = kParams[kTt].default_value;
    return true;
  }
  return convert_param(static_cast<ParamId>(id), value, shape, change.values[id], selected);
}

int set_param(PyObject* self, PyObject* value, void* closure) {
  const auto id = static_cast<int>(reinterpret_cast<std::intptr_t>(closure));
  BankObject* bank = as_bank(self);
  if (value == nullptr) {
    PyErr_Format(PyExc_AttributeError, "cannot delete %s", kParams[id].name);
    return -1;
  }
  const Ref held = Ref::borrow(value);
  const bool was_configured = bank->configured;
  ParamChange change;
  if (!convert_change(change, id, value, bank->shape)) return -1;
  return apply_change(bank, was_configured, change, Ref(), "the assignment") ? 0 : -1;
}

PyObject* get_anti_windup(PyObject* self, void*) {
  return PyUnicode_FromString(anti_windup_name(as_bank(self)->anti_windup));
}

int set_anti_windup(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete anti_windup");
    return -1;
  }
  AntiWindup mode;
  if (!parse_anti_windup(value, mode)) return -1;
  BankObject* bank = as_bank(self);
  BankLock lock(bank);
  bank->anti_windup = mode;
  return 0;
}

PyObject* get_on_nan(PyObject* self, void*) {
  return PyUnicode_FromString(on_nan_name(as_bank(self)->on_nan));
}

PyObject* get_shape(PyObject* self, void*) { return shape_tuple(as_bank(self)->shape).release(); }

// A live, read-only view of one state array. The bank's own array is never
// handed out (ndarray.__setstate__ on it could swap its memory); the view
// shares the memory and its owner only.
PyObject* get_state(PyObject* self, void* closure) {
  const StateArrays& state = as_bank(self)->state;
  Ref StateArrays::*field = *static_cast<Ref StateArrays::**>(closure);
  return state_view(state.*field).release();
}

}  // namespace

bool is_own_output(const BankObject* bank, PyArrayObject* array) {
  auto* output = reinterpret_cast<PyArrayObject*>(bank->state.output.get());
  return output != nullptr && PyArray_BASE(array) == PyArray_BASE(output) &&
         PyArray_DATA(array) == PyArray_DATA(output);
}

namespace {

// Copies, not views: a snapshot of one call's terms.
PyObject* get_terms(PyObject* self, void*) {
  BankObject* bank = as_bank(self);
  Ref terms[4];
  {
    BankLock lock(bank);
    if (!bank->keep_terms) {
      PyErr_SetString(PyExc_AttributeError,
                      "this bank does not keep its terms: make it with keep_terms=True, or set "
                      "bank.keep_terms = True and update");
      return nullptr;
    }
    const StateArrays& s = bank->state;
    const Ref* fields[4] = {&s.term_p, &s.term_i, &s.term_d, &s.term_ff};
    for (int k = 0; k < 4; ++k) {
      terms[k] = Ref::steal(
          PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(fields[k]->get()), NPY_CORDER));
      if (!terms[k]) return nullptr;
    }
  }
  for (const Ref& term : terms) seal(term);
  return PyTuple_Pack(4, terms[0].get(), terms[1].get(), terms[2].get(), terms[3].get());
}

PyObject* get_relay_running(PyObject* self, void*) {
  return PyLong_FromSize_t(as_bank(self)->relay_count);
}

PyObject* get_keep_terms(PyObject* self, void*) {
  return PyBool_FromLong(as_bank(self)->keep_terms);
}

// Switching it on: the terms read NaN until each channel's next automatic
// call with finite inputs.
int set_keep_terms(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete keep_terms");
    return -1;
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) return -1;
  BankObject* bank = as_bank(self);
  BankLock lock(bank);
  const bool keep = truth != 0;
  if (keep && !bank->keep_terms) {
    const StateArrays& s = bank->state;
    for (const Ref* field : {&s.term_p, &s.term_i, &s.term_d, &s.term_ff}) {
      double* term = doubles(*field);
      for (std::size_t i = 0, n = bank->shape.size(); i < n; ++i) {
        term[i] = std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
  bank->keep_terms = keep;
  return 0;
}

Ref StateArrays::*kIntegral = &StateArrays::integral;
Ref StateArrays::*kDerivative = &StateArrays::derivative;
Ref StateArrays::*kOutput = &StateArrays::output;
Ref StateArrays::*kManual = &StateArrays::manual;

void* param_closure(int id) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(id)); }

#define KOVAR_PARAM(id, doc) \
  {const_cast<char*>(kParams[id].name), get_param, set_param, const_cast<char*>(doc), param_closure(id)}

PyGetSetDef bank_getset[] = {
    KOVAR_PARAM(kKp, "Proportional gain (changed bumplessly on a running bank)."),
    KOVAR_PARAM(kKi, "Integral gain."),
    KOVAR_PARAM(kKd, "Derivative gain."),
    KOVAR_PARAM(kB, "Setpoint weight of the proportional term (changed bumplessly)."),
    KOVAR_PARAM(kC, "Setpoint weight of the derivative term (0: derivative on measurement)."),
    KOVAR_PARAM(kTf, "Time constant of the derivative filter (0: no filter)."),
    KOVAR_PARAM(kUMin, "Lower output limit."),
    KOVAR_PARAM(kUMax, "Upper output limit."),
    KOVAR_PARAM(kIMin, "Lower limit of the integral term."),
    KOVAR_PARAM(kIMax, "Upper limit of the integral term."),
    KOVAR_PARAM(kDeadband, "Errors of at most this size are not integrated."),
    KOVAR_PARAM(kTt, "Tracking time constant of back-calculation; None: max(abs(kp/ki), dt)."),
    KOVAR_PARAM(kRateLimit, "Largest change of the output per unit of time (inf: no limit)."),
    {"anti_windup", get_anti_windup, set_anti_windup,
     "'back_calculation', 'conditional' or 'none'.", nullptr},
    {"on_nan", get_on_nan, nullptr,
     "What an automatic channel with a non-finite input outputs: 'nan' or 'hold' (its last output).",
     nullptr},
    {"shape", get_shape, nullptr, "The shape of the bank (a tuple).", nullptr},
    {"integral", get_state, nullptr, "The integral term I of every channel (read-only view).",
     &kIntegral},
    {"derivative", get_state, nullptr, "The derivative term D of every channel (read-only view).",
     &kDerivative},
    {"output", get_state, nullptr,
     "The last output of every channel (read-only view; as update's `out`, the\n"
     "outputs are written once, here).",
     &kOutput},
    {"manual", get_state, nullptr, "True where a channel is in manual mode (read-only view).",
     &kManual},
    {"terms", get_terms, nullptr,
     "(p, i, d, ff) of the last automatic update of every channel, with\n"
     "v = p + i + d + ff (read-only copies); only while keep_terms is True.",
     nullptr},
    {"relay_running", get_relay_running, nullptr,
     "The number of channels in relay mode (see start_relay): 0 once every\n"
     "experiment is done, failed or stopped.",
     nullptr},
    {"keep_terms", get_keep_terms, set_keep_terms,
     "Whether automatic calls keep their terms for `terms` (a stream of writes\n"
     "each; off unless asked for).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KOVAR_PARAM

// ---------------------------------------------------------------- modes

bool parse_where_call(const char* method, PyObject* args, PyObject* kwargs, bool with_value,
                      PyObject*& value, PyObject*& where) {
  static const char* with_value_keywords[] = {"value", "where", nullptr};
  static const char* where_keywords[] = {"where", nullptr};
  char format[64];
  PyOS_snprintf(format, sizeof format, "%s:%s", with_value ? "|OO" : "|O", method);
  if (with_value) {
    return PyArg_ParseTupleAndKeywords(args, kwargs, format,
                                       const_cast<char**>(with_value_keywords), &value, &where);
  }
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(where_keywords),
                                     &where);
}

void count_manual(BankObject* bank) {
  const npy_bool* manual = bools(bank->state.manual);
  std::size_t count = 0;
  for (std::size_t i = 0, n = bank->shape.size(); i < n; ++i) count += manual[i] != 0;
  bank->manual_count = count;
}

namespace relay = bank_kernel::relay;

// The relay law's helpers, instantiated for the bank's own translation unit.
struct BankUnit {};

relay::Channel relay_channel(const BankObject* bank, std::size_t i) {
  const StateArrays& s = bank->state;
  return {doubles(s.relay_fields) + i, bank->arrays.relay_stride};
}

void count_relays(BankObject* bank) {
  std::size_t count = 0;
  if (bank->state.relay) {
    const npy_bool* relay = bools(bank->state.relay);
    for (std::size_t i = 0, n = bank->shape.size(); i < n; ++i) count += relay[i] != 0;
  }
  bank->relay_count = count;
}

// Ends channel i's experiment where one runs: failed, for `reason`. The
// channel is automatic from its next call, its integral having tracked
// the relay's output.
void stop_relay_channel(BankObject* bank, std::size_t i, double reason) {
  if (!bank->state.relay || !bools(bank->state.relay)[i]) return;
  relay::finish<BankUnit>(relay_channel(bank, i), relay::kFailed, reason);
  bools(bank->state.relay)[i] = 0;
}

constexpr std::size_t kEveryChannel = static_cast<std::size_t>(-1);

// Runs `check(i)` on every channel that `mask` selects; when none fails,
// `apply(i)` on each of them, then `finish()`, all under one hold of the
// lock. `refused` receives the first channel that failed the check
// (kEveryChannel: none did).
template <class Check, class Apply, class Finish>
bool for_channels(BankObject* bank, bool was_configured, const Ref& mask, std::size_t& refused,
                  Check check, Apply apply, Finish finish) {
  refused = kEveryChannel;
  {
    BankLock lock(bank);
    if (bank->configured == was_configured) {
      const std::size_t n = bank->shape.size();
      const npy_bool* selected = mask ? bools(mask) : nullptr;
      for (std::size_t i = 0; i < n && refused == kEveryChannel; ++i) {
        if ((selected == nullptr || selected[i]) && !check(i)) refused = i;
      }
      if (refused != kEveryChannel) return false;
      for (std::size_t i = 0; i < n; ++i) {
        if (selected == nullptr || selected[i]) apply(i);
      }
      finish();
      return true;
    }
  }
  PyErr_SetString(PyExc_RuntimeError, "the bank was configured during the call");
  return false;
}

template <class Apply, class Finish>
bool for_channels(BankObject* bank, bool was_configured, const Ref& mask, Apply apply,
                  Finish finish) {
  std::size_t refused;
  return for_channels(
      bank, was_configured, mask, refused, [](std::size_t) { return true; }, apply, finish);
}

PyObject* bank_set_manual(PyObject* self, PyObject* args, PyObject* kwargs) {
  BankObject* bank = as_bank(self);
  PyObject* value = nullptr;
  PyObject* where = nullptr;
  if (!parse_where_call("set_manual", args, kwargs, true, value, where)) return nullptr;
  // Held: converting `value` may run code that changes the keyword dict.
  const Ref held_value = Ref::borrow(value);
  const Ref held_where = Ref::borrow(where);
  const bool was_configured = bank->configured;
  const bool hold_output = value == nullptr || value == Py_None;
  Param manual_value;
  Ref mask;
  if ((!hold_output &&
       !convert_values("value", Rule::kFinite, value, bank->shape, manual_value)) ||
      !convert_where(where, bank->shape, mask)) {
    return nullptr;
  }
  std::size_t refused;
  const bool done = for_channels(
      bank, was_configured, mask, refused,
      [&](std::size_t i) {
        // Holding needs an output the channel computed.
        return !hold_output || (!bools(bank->state.fresh)[i] &&
                                std::isfinite(doubles(bank->state.output)[i]));
      },
      [&](std::size_t i) {
        stop_relay_channel(bank, i, relay::kStoppedByManual);
        bools(bank->state.manual)[i] = 1;
        doubles(bank->state.manual_value)[i] =
            hold_output ? doubles(bank->state.output)[i] : manual_value.at(i);
      },
      [&] {
        count_manual(bank);
        count_relays(bank);
      });
  if (done) Py_RETURN_NONE;
  if (refused != kEveryChannel) {
    Ref index = index_tuple(bank->shape, refused);
    if (!index) return nullptr;
    PyErr_Format(PyExc_ValueError,
                 "set_manual() without a value holds the current output, but channel %R has "
                 "none yet",
                 index.get());
  }
  return nullptr;
}

PyObject* bank_set_integral(PyObject* self, PyObject* args, PyObject* kwargs) {
  BankObject* bank = as_bank(self);
  PyObject* value = nullptr;
  PyObject* where = nullptr;
  if (!parse_where_call("set_integral", args, kwargs, true, value, where)) return nullptr;
  // Held: converting them may run code that changes the keyword dict.
  const Ref held_value = Ref::borrow(value);
  const Ref held_where = Ref::borrow(where);
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "set_integral() missing required argument 'value'");
    return nullptr;
  }
  const bool was_configured = bank->configured;
  Param integral;
  Ref mask;
  if (!convert_values("value", Rule::kFinite, value, bank->shape, integral) ||
      !convert_where(where, bank->shape, mask)) {
    return nullptr;
  }
  // A set integral is the one the next call starts from: no pending move
  // of kp or b applies to it.
  const bool done = for_channels(bank, was_configured, mask, [&](std::size_t i) {
    doubles(bank->state.integral)[i] = clip(integral.at(i), bank->params[kIMin].at(i),
                                            bank->params[kIMax].at(i));
    bools(bank->state.pending)[i] = 0;
  }, [] {});
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* bank_set_params(PyObject* self, PyObject* args, PyObject* kwargs) {
  BankObject* bank = as_bank(self);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "set_params() takes at most 1 positional argument (%zd given)",
                 nargs);
    return nullptr;
  }
  Ref where = Ref::borrow(nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr);
  // Own references to every value, taken before any conversion runs
  // Python code that could change the dict.
  Ref items = Ref::steal(kwargs == nullptr ? PyList_New(0) : PyDict_Items(kwargs));
  if (!items) return nullptr;
  const bool was_configured = bank->configured;
  ParamChange change;
  Ref values[kParamCount];
  for (Py_ssize_t k = 0, nk = PyList_GET_SIZE(items.get()); k < nk; ++k) {
    PyObject* item = PyList_GET_ITEM(items.get(), k);
    PyObject* key = PyTuple_GET_ITEM(item, 0);
    PyObject* value = PyTuple_GET_ITEM(item, 1);
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "where") == 0) {
      if (where) {
        PyErr_SetString(PyExc_TypeError, "set_params() got multiple values for argument 'where'");
        return nullptr;
      }
      where = Ref::borrow(value);
      continue;
    }
    int id = 0;
    while (id < kParamCount &&
           !(PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, kParams[id].name) == 0)) {
      ++id;
    }
    if (id == kParamCount) {
      PyErr_Format(PyExc_TypeError, "set_params() got an unexpected keyword argument '%S'", key);
      return nullptr;
    }
    values[id] = Ref::borrow(value);
  }
  Ref mask;
  if (!convert_where(where.get(), bank->shape, mask)) return nullptr;
  // The values of channels `where` leaves out are not used, and may be
  // anything (the NaN of a tuning rule that gave those channels nothing).
  const npy_bool* selected = mask ? bools(mask) : nullptr;
  for (int id = 0; id < kParamCount; ++id) {
    if (values[id] && !convert_change(change, id, values[id].get(), bank->shape, selected)) {
      return nullptr;
    }
  }
  if (!apply_change(bank, was_configured, change, mask, "set_params()")) return nullptr;
  Py_RETURN_NONE;
}

PyObject* bank_set_auto(PyObject* self, PyObject* args, PyObject* kwargs) {
  BankObject* bank = as_bank(self);
  PyObject* unused = nullptr;
  PyObject* where = nullptr;
  if (!parse_where_call("set_auto", args, kwargs, false, unused, where)) return nullptr;
  const Ref held_where = Ref::borrow(where);
  const bool was_configured = bank->configured;
  Ref mask;
  if (!convert_where(where, bank->shape, mask)) return nullptr;
  if (!for_channels(bank, was_configured, mask,
                    [&](std::size_t i) { bools(bank->state.manual)[i] = 0; },
                    [&] { count_manual(bank); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* bank_reset(PyObject* self, PyObject* args, PyObject* kwargs) {
  BankObject* bank = as_bank(self);
  PyObject* unused = nullptr;
  PyObject* where = nullptr;
  if (!parse_where_call("reset", args, kwargs, false, unused, where)) return nullptr;
  const Ref held_where = Ref::borrow(where);
  const bool was_configured = bank->configured;
  Ref mask;
  if (!convert_where(where, bank->shape, mask)) return nullptr;
  const bool done = for_channels(bank, was_configured, mask, [&](std::size_t i) {
    const StateArrays& s = bank->state;
    for (const Ref* field : {&s.integral, &s.derivative, &s.x_prev, &s.output, &s.term_p,
                             &s.term_i, &s.term_d, &s.term_ff}) {
      doubles(*field)[i] = 0.0;
    }
    bools(s.fresh)[i] = 1;
    bools(s.gap)[i] = 0;
    bools(s.pending)[i] = 0;
    stop_relay_channel(bank, i, relay::kStoppedByReset);
    bank->any_flagged = true;
  }, [&] { count_relays(bank); });
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------- relay

// start_relay's per-channel arguments, converted and checked.
struct RelayStart {
  Param amplitude, asymmetry, hysteresis, bias, cycles, max_time;
  bool estimate = true;   // hysteresis None
  bool from_output = true;  // bias None
};

bool convert_optional(const char* name, Rule rule, PyObject* obj, const Shape& shape, Param& param,
                      double absent, bool* given = nullptr) {
  const bool present = obj != nullptr && obj != Py_None;
  if (given != nullptr) *given = present;
  if (!present) {
    param.value = absent;
    param.values = Ref();
    return true;
  }
  return convert_values(name, rule, obj, shape, param);
}

PyObject* bank_start_relay(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"amplitude", "asymmetry", "hysteresis", "bias", "where",
                                   "cycles",    "max_time",  nullptr};
  BankObject* bank = as_bank(self);
  PyObject* values[7] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOOO:start_relay",
                                   const_cast<char**>(keywords), &values[0], &values[1],
                                   &values[2], &values[3], &values[4], &values[5], &values[6])) {
    return nullptr;
  }
  // Held: converting them may run code that changes the keyword dict.
  Ref held[7];
  for (int k = 0; k < 7; ++k) held[k] = Ref::borrow(values[k]);
  const Shape& shape = bank->shape;
  const bool was_configured = bank->configured;
  RelayStart start;
  bool hysteresis_given = false;
  bool bias_given = false;
  Ref mask;
  if (!convert_values("amplitude", Rule::kPositiveFinite, values[0], shape, start.amplitude) ||
      !convert_optional("asymmetry", Rule::kAtLeastOneFinite, values[1], shape, start.asymmetry,
                        1.0) ||
      !convert_optional("hysteresis", Rule::kFiniteNonNegative, values[2], shape,
                        start.hysteresis, 0.0, &hysteresis_given) ||
      !convert_optional("bias", Rule::kFinite, values[3], shape, start.bias, 0.0, &bias_given) ||
      !convert_where(values[4], shape, mask) ||
      !convert_optional("cycles", Rule::kCount, values[5], shape, start.cycles, 4.0) ||
      !convert_optional("max_time", Rule::kPositive, values[6], shape, start.max_time,
                        std::numeric_limits<double>::infinity())) {
    return nullptr;
  }
  start.estimate = !hysteresis_given;
  start.from_output = !bias_given;
  // The relay's arrays, made before the lock for a bank that has none;
  // dropped (after the lock) where another call made them meanwhile.
  StateArrays made;
  if (!bank->state.relay && !new_relay(shape, made)) return nullptr;
  std::size_t refused;
  bool replaced = false;  // the state was replaced by one without relay arrays meanwhile
  const bool done = for_channels(
      bank, was_configured, mask, refused,
      [&](std::size_t i) {
        replaced = !bank->state.relay && !made.relay;
        // Starting from the current output needs one the channel computed.
        return !replaced && (!start.from_output || (!bools(bank->state.fresh)[i] &&
                                                    std::isfinite(doubles(bank->state.output)[i])));
      },
      [&](std::size_t i) {
        if (!bank->state.relay) {
          std::swap(bank->state.relay, made.relay);
          std::swap(bank->state.relay_fields, made.relay_fields);
          refresh_kernel_view(bank);
        }
        const relay::Channel f = relay_channel(bank, i);
        for (int k = 0; k < relay::kFieldCount; ++k) f[static_cast<relay::Field>(k)] = 0.0;
        const double kp = bank->params[kKp].at(i);
        const double ki = bank->params[kKi].at(i);
        const double bias =
            start.from_output ? doubles(bank->state.output)[i] : start.bias.at(i);
        const double amplitude = start.amplitude.at(i);
        f[relay::kRelayState] = relay::kRunning;
        f[relay::kReason] = relay::kNoReason;
        f[relay::kSign] = kp < 0.0 || (kp == 0.0 && ki < 0.0) ? -1.0 : 1.0;
        f[relay::kEstimate] = start.estimate ? 1.0 : 0.0;
        f[relay::kEps] = start.estimate ? 0.0 : start.hysteresis.at(i);
        f[relay::kCycles] = start.cycles.at(i);
        f[relay::kMaxTime] = start.max_time.at(i);
        f[relay::kBias] = bias;
        f[relay::kUOn] = bias + amplitude;
        f[relay::kUOff] = bias - amplitude / start.asymmetry.at(i);
        f[relay::kOn] = 1.0;
        bools(bank->state.manual)[i] = 0;
        bools(bank->state.relay)[i] = 1;
      },
      [&] {
        count_manual(bank);
        count_relays(bank);
      });
  if (done) Py_RETURN_NONE;
  if (replaced) {
    PyErr_SetString(PyExc_RuntimeError, "the bank's state was replaced during the call");
    return nullptr;
  }
  if (refused != kEveryChannel) {
    Ref index = index_tuple(shape, refused);
    if (!index) return nullptr;
    PyErr_Format(PyExc_ValueError,
                 "start_relay() without a bias starts from the current output, but channel %R "
                 "has none yet",
                 index.get());
  }
  return nullptr;
}

PyObject* bank_stop_relay(PyObject* self, PyObject* args, PyObject* kwargs) {
  BankObject* bank = as_bank(self);
  PyObject* unused = nullptr;
  PyObject* where = nullptr;
  if (!parse_where_call("stop_relay", args, kwargs, false, unused, where)) return nullptr;
  const Ref held_where = Ref::borrow(where);
  const bool was_configured = bank->configured;
  Ref mask;
  if (!convert_where(where, bank->shape, mask)) return nullptr;
  if (!for_channels(
          bank, was_configured, mask,
          [&](std::size_t i) { stop_relay_channel(bank, i, relay::kStopped); },
          [&] { count_relays(bank); })) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// kovar._relay.relay_result, imported at the first call and kept.
PyObject* relay_result_function = nullptr;

PyObject* bank_relay_result(PyObject* self, PyObject*) {
  BankObject* bank = as_bank(self);
  if (relay_result_function == nullptr) {
    Ref module = Ref::steal(PyImport_ImportModule("kovar._relay"));
    if (!module) return nullptr;
    Ref function = Ref::steal(PyObject_GetAttrString(module.get(), "relay_result"));
    if (!function) return nullptr;
    if (relay_result_function == nullptr) relay_result_function = function.release();
  }
  // One array per field, of the bank's shape, copied under the lock.
  Shape shape = bank->shape;
  const std::size_t n = shape.size();
  Ref arrays[relay::kFieldCount];
  for (Ref& array : arrays) {
    array = Ref::steal(PyArray_ZEROS(shape.ndim, shape.dims, NPY_DOUBLE, 0));
    if (!array) return nullptr;
  }
  {
    BankLock lock(bank);
    if (!(bank->shape == shape)) {
      PyErr_SetString(PyExc_RuntimeError, "the bank was configured during the call");
      return nullptr;
    }
    if (bank->state.relay) {
      for (int k = 0; k < relay::kFieldCount; ++k) {
        const relay::Channel f = relay_channel(bank, 0);
        if (n > 0) std::memcpy(doubles(arrays[k]), &f[static_cast<relay::Field>(k)], n * 8);
      }
    }
  }
  Ref fields = Ref::steal(PyDict_New());
  if (!fields) return nullptr;
  for (int k = 0; k < relay::kFieldCount; ++k) {
    if (PyDict_SetItemString(fields.get(), relay::kFieldNames[k], arrays[k].get()) < 0) {
      return nullptr;
    }
  }
  return PyObject_CallOneArg(relay_result_function, fields.get());
}

// PIDBank((3,), kp=1.0, ki=array([0.1, 0.2, 0.3]), ..., anti_windup='none', tt=None):
// the constructor's arguments in its order, per-channel values as NumPy
// shows them. Taken under the lock, formatted (which runs NumPy's Python
// code) outside it, from copies.
PyObject* bank_repr(PyObject* self) {
  BankObject* bank = as_bank(self);
  BankConfig config;
  {
    BankLock lock(bank);
    copy_config(bank, config);
  }
  Ref parts = Ref::steal(PyList_New(0));
  if (!parts) return nullptr;
  const auto add = [&](Ref part) {
    return part && PyList_Append(parts.get(), part.get()) == 0;
  };
  const auto add_value = [&](const char* name, Ref value) {
    if (!value) return false;
    return add(Ref::steal(PyUnicode_FromFormat("%s=%R", name, value.get())));
  };
  Ref shape_text = shape_tuple(config.shape);
  if (!shape_text || !add(Ref::steal(PyObject_Repr(shape_text.get())))) return nullptr;
  for (int id = 0; id < kParamCount; ++id) {
    if (id == kTt && !add(Ref::steal(PyUnicode_FromFormat("anti_windup='%s'",
                                                          anti_windup_name(config.anti_windup))))) {
      return nullptr;
    }
    Ref value = id == kTt && config.tt_auto ? Ref::borrow(Py_None) : param_value(config.params[id]);
    if (!add_value(kParams[id].name, std::move(value))) return nullptr;
  }
  if (!add(Ref::steal(PyUnicode_FromFormat("on_nan='%s'", on_nan_name(config.on_nan)))))
    return nullptr;
  if (config.keep_terms && !add(Ref::steal(PyUnicode_FromString("keep_terms=True")))) {
    return nullptr;
  }
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  if (!separator) return nullptr;
  Ref joined = Ref::steal(PyUnicode_Join(separator.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("PIDBank(%U)", joined.get());
}

PyMethodDef bank_methods[] = {
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_update)),
     METH_FASTCALL | METH_KEYWORDS, bank_update_doc},
    {"set_manual", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_set_manual)),
     METH_VARARGS | METH_KEYWORDS,
     "set_manual($self, /, value=None, where=None)\n--\n\n"
     "Puts the selected channels (None: all) in manual mode, outputting `value`\n"
     "(finite; clipped to the output limits; None: each channel's current\n"
     "output). Their integral tracks the output so that returning to automatic\n"
     "is bumpless."},
    {"set_integral", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_set_integral)),
     METH_VARARGS | METH_KEYWORDS,
     "set_integral($self, /, value, where=None)\n--\n\n"
     "Sets the integral term of the selected channels (None: all) to `value`\n"
     "(finite; clipped to the integral limits)."},
    {"set_params", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_set_params)),
     METH_VARARGS | METH_KEYWORDS,
     "set_params($self, /, where=None, **params)\n--\n\n"
     "Sets several parameters of the selected channels (None: all) at once,\n"
     "checked together (the limits as pairs) before anything changes. Where kp\n"
     "or b change, the selected automatic channels move their integral so that\n"
     "the output from the held state stays (to rounding)."},
    {"set_auto", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_set_auto)),
     METH_VARARGS | METH_KEYWORDS,
     "set_auto($self, /, where=None)\n--\n\nReturns the selected channels (None: all) to automatic mode."},
    {"reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_reset)),
     METH_VARARGS | METH_KEYWORDS,
     "reset($self, /, where=None)\n--\n\n"
     "Clears integral, derivative, previous input, output and terms of the\n"
     "selected channels (None: all), as after construction; modes and manual\n"
     "values stay."},
    {"start_relay", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_start_relay)),
     METH_VARARGS | METH_KEYWORDS,
     "start_relay($self, /, amplitude, *, asymmetry=1.0, hysteresis=None, bias=None,\n"
     "            where=None, cycles=4, max_time=None)\n--\n\n"
     "Puts the selected channels (None: all) in relay mode, the relay on: the\n"
     "output is ``bias + amplitude`` while on and ``bias - amplitude/asymmetry``\n"
     "while off (within the output limits and the rate window), switching off\n"
     "when ``e < -hysteresis`` and on when ``e > hysteresis`` (``e = r - y``,\n"
     "mirrored where the controller is reverse acting). `bias` None: each\n"
     "channel's current output (refused where a channel has none yet);\n"
     "`hysteresis` None: 4 times the measurement noise estimated before the\n"
     "first switch. A channel is done after `cycles` periods that agree, or\n"
     "fails after `max_time` (the sum of its calls' dt) or on a non-finite\n"
     "input; it then returns to automatic mode bumplessly with its gains.\n"
     "Channels in manual mode leave it. See relay_result()."},
    {"stop_relay", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_stop_relay)),
     METH_VARARGS | METH_KEYWORDS,
     "stop_relay($self, /, where=None)\n--\n\n"
     "Ends the experiment of the selected channels (None: all) that run one:\n"
     "they fail with reason 'stopped by stop_relay()' and are automatic from\n"
     "their next call, bumplessly."},
    {"relay_result", bank_relay_result, METH_NOARGS,
     "relay_result($self, /)\n--\n\n"
     "What the relay experiments found so far: a kovar.tune.RelayResult of the\n"
     "bank's shape (state, reason, ku, tu, the identified FOPDT model, ...)."},
    {"__reduce__", bank_reduce, METH_NOARGS, bank_reduce_doc},
    {"__setstate__", bank_setstate, METH_O, bank_setstate_doc},
    {nullptr, nullptr, 0, nullptr},
};

const char bank_doc[] =
    "PIDBank(shape, *, kp, ki=0.0, kd=0.0, b=1.0, c=0.0, tf=0.0, u_min=-math.inf,\n"
    "        u_max=math.inf, i_min=-math.inf, i_max=math.inf, deadband=0.0,\n"
    "        anti_windup='back_calculation', tt=None, rate_limit=math.inf,\n"
    "        on_nan='nan', keep_terms=False)\n"
    "--\n"
    "\n"
    "A bank of independent PID controllers, one per element of `shape`.\n"
    "\n"
    "Every parameter is a real scalar or an array broadcastable to `shape`, and\n"
    "can be read and assigned as an attribute: a float when it is the same for\n"
    "every channel, otherwise a read-only array.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "shape : int or tuple of int\n"
    "    The shape of the bank: one channel per element.\n"
    "kp, ki, kd : float or array_like\n"
    "    The proportional, integral and derivative gains (finite).\n"
    "b, c : float or array_like\n"
    "    The setpoint weights of the proportional and the derivative term.\n"
    "tf : float or array_like\n"
    "    The time constant of the derivative filter (0: no filter).\n"
    "u_min, u_max : float or array_like\n"
    "    The output limits.\n"
    "i_min, i_max : float or array_like\n"
    "    The limits of the integral term.\n"
    "deadband : float or array_like\n"
    "    Errors of at most this size are not integrated.\n"
    "anti_windup : {'back_calculation', 'conditional', 'none'}\n"
    "    How the integral stops winding up while the output is limited.\n"
    "tt : float or array_like, optional\n"
    "    The tracking time constant of back-calculation (positive; inf: no\n"
    "    tracking). None: ``max(abs(kp/ki), dt)``.\n"
    "rate_limit : float or array_like\n"
    "    The largest change of the output per unit of time (inf: no limit).\n"
    "on_nan : {'nan', 'hold'}\n"
    "    What an automatic channel with a non-finite input outputs: NaN, or its\n"
    "    last output.\n"
    "keep_terms : bool\n"
    "    Whether automatic calls keep their terms for the `terms` attribute\n"
    "    (four more arrays written per call; see `keep_terms`).\n"
    "\n"
    "Notes\n"
    "-----\n"
    "Per call and channel the bank computes ``P = kp*(b*r - y)``, the filtered\n"
    "derivative `D` of ``c*r - y``, the integral `I` and ``v = P + I + D + ff``,\n"
    "and outputs `v` within the rate window and the output limits; the\n"
    "documentation's page on the bank gives the whole law. `start_relay` runs\n"
    "the relay auto-tuning experiment on selected channels (`relay_result`,\n"
    "`stop_relay`, `relay_running`).";

PyType_Slot bank_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(bank_new)},
    {Py_tp_init, reinterpret_cast<void*>(bank_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bank_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(bank_repr)},
    {Py_tp_methods, bank_methods},
    {Py_tp_getset, bank_getset},
    {Py_tp_doc, const_cast<char*>(bank_doc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec pid_bank_spec = {
    "kovar.bank.PIDBank",
    sizeof(BankObject),
    0,
    Py_TPFLAGS_DEFAULT,
    bank_slots,
};

}  // namespace kovar::bank
