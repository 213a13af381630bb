// PIDBank: construction, attributes, modes and reset.
#include "kovar/bank/pid_bank.hpp"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "kovar/bank/arguments.hpp"
#include "kovar/bank/parameters.hpp"

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

Ref new_storage(const Shape& shape, int type_num) {
  Ref descr = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
  if (!descr) return {};
  auto* d = reinterpret_cast<PyArray_Descr*>(descr.get());
  const auto itemsize = static_cast<std::size_t>(PyDataType_ELSIZE(d));
  // Never 0 bytes: an empty bank still has a data pointer of its own.
  void* data = PyMem_RawCalloc(std::max<std::size_t>(shape.size(), 1), itemsize);
  if (data == nullptr) {
    PyErr_NoMemory();
    return {};
  }
  Ref owner = Ref::steal(PyCapsule_New(data, kStorageName, free_storage));
  if (!owner) {
    PyMem_RawFree(data);
    return {};
  }
  return wrap_storage(d, shape, data, NPY_ARRAY_CARRAY, owner.get());
}

Ref state_view(const Ref& storage) {
  auto* a = reinterpret_cast<PyArrayObject*>(storage.get());
  Shape shape;
  shape.ndim = PyArray_NDIM(a);
  for (int d = 0; d < shape.ndim; ++d) shape.dims[d] = PyArray_DIM(a, d);
  return wrap_storage(PyArray_DESCR(a), shape, PyArray_DATA(a), NPY_ARRAY_CARRAY_RO,
                      PyArray_BASE(a));
}

bool new_state(const Shape& shape, StateArrays& state) {
  Ref* doubles_fields[] = {&state.integral, &state.derivative, &state.x_prev, &state.output,
                           &state.manual_value};
  for (Ref* field : doubles_fields) {
    *field = new_storage(shape, NPY_DOUBLE);
    if (!*field) return false;
  }
  state.manual = new_storage(shape, NPY_BOOL);
  state.fresh = new_storage(shape, NPY_BOOL);
  if (!state.manual || !state.fresh) return false;
  npy_bool* fresh = bools(state.fresh);
  for (std::size_t i = 0, n = shape.size(); i < n; ++i) fresh[i] = 1;
  for (Ref* field : doubles_fields) seal(*field);
  seal(state.manual);
  seal(state.fresh);
  return true;
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
      std::swap(bank->state, config.state);
      std::swap(bank->manual_count, config.manual_count);
      std::swap(bank->any_fresh, config.any_fresh);
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
  bank->manual_count = 0;
  bank->any_fresh = false;
  bank->lock = PyThread_allocate_lock();
  bank->lock_generation = fork_generation;
  if (bank->lock == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  // Until configured, a bank has no channels, and everything still works.
  if (!new_state(bank->shape, bank->state)) return nullptr;
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
  static const char* keywords[] = {"shape", "kp", "ki",    "kd",    "b",        "c",
                                   "tf",    "u_min", "u_max", "i_min", "i_max", "deadband",
                                   "anti_windup", "tt", nullptr};
  PyObject* shape = nullptr;
  PyObject* values[kParamCount] = {};
  PyObject* anti_windup = nullptr;
  PyObject*& tt = values[kTt];
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O|$OOOOOOOOOOOOO:PIDBank", const_cast<char**>(keywords), &shape,
          &values[kKp], &values[kKi], &values[kKd], &values[kB], &values[kC], &values[kTf],
          &values[kUMin], &values[kUMax], &values[kIMin], &values[kIMax], &values[kDeadband],
          &anti_windup, &tt)) {
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
  Configuration config;
  if (!parse_shape(shape, config.shape)) return -1;
  default_params(config.params);
  for (int id = 0; id < kParamCount; ++id) {
    if (held_values[id] && !convert_into(config, id, held_values[id].get())) return -1;
  }
  if (held_anti_windup && !parse_anti_windup(held_anti_windup.get(), config.anti_windup)) {
    return -1;
  }
  if (!check_limits(config.params, config.shape)) return -1;
  if (!new_state(config.shape, config.state)) return -1;
  config.any_fresh = config.shape.size() > 0;
  return install(as_bank(self), config) ? 0 : -1;
}

// ---------------------------------------------------------------- attributes

PyObject* get_param(PyObject* self, void* closure) {
  const auto id = static_cast<int>(reinterpret_cast<std::intptr_t>(closure));
  const BankObject* bank = as_bank(self);
  if (id == kTt && bank->tt_auto) Py_RETURN_NONE;
  return param_value(bank->params[id]).release();
}

int set_param(PyObject* self, PyObject* value, void* closure) {
  const auto id = static_cast<int>(reinterpret_cast<std::intptr_t>(closure));
  BankObject* bank = as_bank(self);
  if (value == nullptr) {
    PyErr_Format(PyExc_AttributeError, "cannot delete %s", kParams[id].name);
    return -1;
  }
  const Ref held = Ref::borrow(value);
  Configuration config;
  config.shape = bank->shape;
  if (!convert_into(config, id, value)) return -1;
  bool checked;
  {
    BankLock lock(bank);
    checked = bank->shape == config.shape;
    if (checked) {
      std::swap(bank->params[id], config.params[id]);
      // Only the limits' order can be broken by a single parameter; the
      // check reads plain numbers, and runs again unlocked to report.
      for (ParamId lo : {kUMin, kIMin}) {
        const Param& low = bank->params[lo];
        const Param& high = bank->params[lo + 1];
        const std::size_t n = low.uniform() && high.uniform() ? 1 : bank->shape.size();
        for (std::size_t i = 0; checked && i < n; ++i) checked = !(low.at(i) > high.at(i));
      }
      if (checked) {
        if (id == kTt) std::swap(bank->tt_auto, config.tt_auto);
      } else {
        std::swap(bank->params[id], config.params[id]);
      }
    }
  }
  if (checked) return 0;
  if (!(bank->shape == config.shape)) {
    PyErr_SetString(PyExc_RuntimeError, "the bank was configured during the assignment");
    return -1;
  }
  // Report the violation the new value would make.
  Param trial[kParamCount];
  for (int p = 0; p < kParamCount; ++p) {
    trial[p].value = bank->params[p].value;
    trial[p].values = Ref::borrow(bank->params[p].values.get());
  }
  std::swap(trial[id], config.params[id]);
  if (check_limits(trial, bank->shape)) {
    // Another thread moved the other limit since the locked check.
    PyErr_Format(PyExc_RuntimeError, "the limits changed during the assignment of %s",
                 kParams[id].name);
  }
  return -1;
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

PyObject* get_shape(PyObject* self, void*) { return shape_tuple(as_bank(self)->shape).release(); }

// A live, read-only view of one state array. The bank's own array is never
// handed out (ndarray.__setstate__ on it could swap its memory); the view
// shares the memory and its owner only.
PyObject* get_state(PyObject* self, void* closure) {
  const StateArrays& state = as_bank(self)->state;
  Ref StateArrays::*field = *static_cast<Ref StateArrays::**>(closure);
  return state_view(state.*field).release();
}

Ref StateArrays::*kIntegral = &StateArrays::integral;
Ref StateArrays::*kDerivative = &StateArrays::derivative;
Ref StateArrays::*kOutput = &StateArrays::output;
Ref StateArrays::*kManual = &StateArrays::manual;

void* param_closure(int id) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(id)); }

#define KOVAR_PARAM(id, doc) \
  {const_cast<char*>(kParams[id].name), get_param, set_param, const_cast<char*>(doc), param_closure(id)}

PyGetSetDef bank_getset[] = {
    KOVAR_PARAM(kKp, "Proportional gain."),
    KOVAR_PARAM(kKi, "Integral gain."),
    KOVAR_PARAM(kKd, "Derivative gain."),
    KOVAR_PARAM(kB, "Setpoint weight of the proportional term."),
    KOVAR_PARAM(kC, "Setpoint weight of the derivative term (0: derivative on measurement)."),
    KOVAR_PARAM(kTf, "Time constant of the derivative filter (0: no filter)."),
    KOVAR_PARAM(kUMin, "Lower output limit."),
    KOVAR_PARAM(kUMax, "Upper output limit."),
    KOVAR_PARAM(kIMin, "Lower limit of the integral term."),
    KOVAR_PARAM(kIMax, "Upper limit of the integral term."),
    KOVAR_PARAM(kDeadband, "Errors of at most this size are not integrated."),
    KOVAR_PARAM(kTt, "Tracking time constant of back-calculation; None: kp/ki."),
    {"anti_windup", get_anti_windup, set_anti_windup,
     "'back_calculation', 'conditional' or 'none'.", nullptr},
    {"shape", get_shape, nullptr, "The shape of the bank (a tuple).", nullptr},
    {"integral", get_state, nullptr, "The integral term I of every channel (read-only view).",
     &kIntegral},
    {"derivative", get_state, nullptr, "The derivative term D of every channel (read-only view).",
     &kDerivative},
    {"output", get_state, nullptr, "The last output of every channel (read-only view).", &kOutput},
    {"manual", get_state, nullptr, "True where a channel is in manual mode (read-only view).",
     &kManual},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KOVAR_PARAM

// ---------------------------------------------------------------- modes

bool parse_where_call(const char* method, PyObject* args, PyObject* kwargs, bool with_value,
                      PyObject*& value, PyObject*& where) {
  static const char* with_value_keywords[] = {"value", "where", nullptr};
  static const char* where_keywords[] = {"where", nullptr};
  char format[64];
  PyOS_snprintf(format, sizeof format, "%s:%s", with_value ? "O|O" : "|O", method);
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

// Runs `apply(i)` on every channel that `mask` selects, then `finish()`,
// under one hold of the lock.
template <class Apply, class Finish>
bool for_channels(BankObject* bank, bool was_configured, const Ref& mask, Apply apply,
                  Finish finish) {
  {
    BankLock lock(bank);
    if (bank->configured == was_configured) {
      const std::size_t n = bank->shape.size();
      const npy_bool* selected = mask ? bools(mask) : nullptr;
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

PyObject* bank_set_manual(PyObject* self, PyObject* args, PyObject* kwargs) {
  BankObject* bank = as_bank(self);
  PyObject* value = nullptr;
  PyObject* where = nullptr;
  if (!parse_where_call("set_manual", args, kwargs, true, value, where)) return nullptr;
  // Held: converting `value` may run code that changes the keyword dict.
  const Ref held_value = Ref::borrow(value);
  const Ref held_where = Ref::borrow(where);
  const bool was_configured = bank->configured;
  Param manual_value;
  Ref mask;
  if (!convert_values("value", Rule::kFinite, value, bank->shape, manual_value) ||
      !convert_where(where, bank->shape, mask)) {
    return nullptr;
  }
  const bool done = for_channels(bank, was_configured, mask, [&](std::size_t i) {
    bools(bank->state.manual)[i] = 1;
    doubles(bank->state.manual_value)[i] = manual_value.at(i);
  }, [&] { count_manual(bank); });
  if (!done) return nullptr;
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
    doubles(bank->state.integral)[i] = 0.0;
    doubles(bank->state.derivative)[i] = 0.0;
    doubles(bank->state.x_prev)[i] = 0.0;
    doubles(bank->state.output)[i] = 0.0;
    bools(bank->state.fresh)[i] = 1;
    bank->any_fresh = true;
  }, [] {});
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

// PIDBank((3,), kp=1.0, ki=array([0.1, 0.2, 0.3]), ..., anti_windup='none', tt=None):
// the constructor's arguments in its order, per-channel values as NumPy
// shows them. Taken under the lock, formatted (which runs NumPy's Python
// code) outside it, from copies.
PyObject* bank_repr(PyObject* self) {
  BankObject* bank = as_bank(self);
  Param params[kParamCount];
  Shape shape;
  bool tt_auto;
  AntiWindup anti_windup;
  {
    BankLock lock(bank);
    for (int id = 0; id < kParamCount; ++id) {
      params[id].value = bank->params[id].value;
      params[id].values = Ref::borrow(bank->params[id].values.get());
    }
    shape = bank->shape;
    tt_auto = bank->tt_auto;
    anti_windup = bank->anti_windup;
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
  Ref shape_text = shape_tuple(shape);
  if (!shape_text || !add(Ref::steal(PyObject_Repr(shape_text.get())))) return nullptr;
  for (int id = 0; id < kParamCount; ++id) {
    if (id == kTt &&
        !add(Ref::steal(PyUnicode_FromFormat("anti_windup='%s'", anti_windup_name(anti_windup))))) {
      return nullptr;
    }
    Ref value = id == kTt && tt_auto ? Ref::borrow(Py_None) : param_value(params[id]);
    if (!add_value(kParams[id].name, std::move(value))) return nullptr;
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
     "set_manual($self, /, value, where=None)\n--\n\n"
     "Puts the selected channels (None: all) in manual mode, outputting `value`\n"
     "(finite; clipped to the output limits). Their integral tracks the output\n"
     "so that returning to automatic is bumpless."},
    {"set_auto", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_set_auto)),
     METH_VARARGS | METH_KEYWORDS,
     "set_auto($self, /, where=None)\n--\n\nReturns the selected channels (None: all) to automatic mode."},
    {"reset", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bank_reset)),
     METH_VARARGS | METH_KEYWORDS,
     "reset($self, /, where=None)\n--\n\n"
     "Clears integral, derivative, previous input and output of the selected\n"
     "channels (None: all), as after construction; modes and manual values stay."},
    {"__reduce__", bank_reduce, METH_NOARGS, bank_reduce_doc},
    {"__setstate__", bank_setstate, METH_O, bank_setstate_doc},
    {nullptr, nullptr, 0, nullptr},
};

const char bank_doc[] =
    "PIDBank(shape, *, kp, ki=0.0, kd=0.0, b=1.0, c=0.0, tf=0.0, u_min=-math.inf,\n"
    "        u_max=math.inf, i_min=-math.inf, i_max=math.inf, deadband=0.0,\n"
    "        anti_windup='back_calculation', tt=None)\n"
    "--\n\n"
    "A bank of independent PID controllers, one per element of `shape`.\n\n"
    "Every parameter is a real scalar or an array broadcastable to `shape`, and\n"
    "can be read and assigned as an attribute: a float when it is the same for\n"
    "every channel, otherwise a read-only array.";

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
