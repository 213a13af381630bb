// Pickling, copy and deepcopy of PIDBank.
//
// A pickle is (copyreg.__newobj__, (PIDBank,), state) with `state` a dict
// that carries its format version: today's is 4. Version 2 added
// rate_limit, on_nan, the gap flags, the held setpoint and measurement and
// the terms; version 3 keeps the terms only where asked for (keep_terms)
// and holds pending kp and b changes instead of the last inputs; version 4
// adds "relay": None for a bank that never ran a relay experiment, else a
// dict of the relay's fields (kovar._relay.FIELDS), each an array of the
// bank's shape (a channel is in relay mode where its relay_state is 1). Older
// states still load: version 1 with the later fields at their defaults,
// version 2 keeping its terms (its banks all did) and leaving its held
// inputs, which nothing reads now. Loading refuses other versions, and any
// state that does not hold a valid bank, with a ValueError or TypeError,
// before the bank is touched.
#include <cmath>
#include <cstring>

#include "kovar/bank/arguments.hpp"
#include "kovar/bank/parameters.hpp"
#include "kovar/bank/pid_bank.hpp"
#include "kovar/kernels/relay_law.hpp"

namespace kovar::bank {

namespace {

constexpr long kStateVersion = 4;

namespace relay = bank_kernel::relay;
constexpr long kOldestStateVersion = 1;

bool set_item(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// A state entry, held: converting it may run code that changes the dict
// and would otherwise free it. A missing one is a ValueError.
Ref entry(PyObject* state, const char* key) {
  Ref name = Ref::steal(PyUnicode_InternFromString(key));
  if (!name) return {};
  Ref value = Ref::borrow(PyDict_GetItemWithError(state, name.get()));
  if (!value && !PyErr_Occurred()) {
    PyErr_Format(PyExc_ValueError, "PIDBank state lacks '%s'", key);
  }
  return value;
}

// Whether a state array has exactly the bank's shape; a ValueError naming
// it (`what`) if not.
bool has_shape(PyArrayObject* a, const Shape& shape, const char* what) {
  if (shape.matches(PyArray_NDIM(a), PyArray_DIMS(a))) return true;
  Ref own = shape_tuple(PyArray_NDIM(a), PyArray_DIMS(a));
  Ref expected = shape_tuple(shape);
  if (!own || !expected) return false;
  PyErr_Format(PyExc_ValueError, "PIDBank state %s has shape %R, expected %R", what, own.get(),
               expected.get());
  return false;
}

// Loads a state array into the bank's own `into`: exactly the bank's shape,
// converted to the field's dtype.
bool load_array(PyObject* state, const StateField& f, const Shape& shape, const Ref& into) {
  Ref value = entry(state, f.key);
  if (!value) return false;
  Ref array = Ref::steal(PyArray_FromAny(value.get(), PyArray_DescrFromType(f.type_num), 0, 0,
                                         NPY_ARRAY_CARRAY_RO, nullptr));
  if (!array) {
    // NumPy's OverflowError for an int beyond float range: a refusal like
    // any other.
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Format(PyExc_ValueError, "PIDBank state '%s' holds an int too large to convert to float",
                   f.key);
    } else if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Format(PyExc_TypeError, "PIDBank state '%s' is not an array of %s", f.key,
                   f.type_num == NPY_BOOL ? "booleans" : "real numbers");
    }
    return false;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  char what[96];
  PyOS_snprintf(what, sizeof what, "'%s'", f.key);
  if (!has_shape(a, shape, what)) return false;
  // The bank's own copy, never shared with the pickle's objects.
  std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(into.get())), PyArray_DATA(a),
              static_cast<std::size_t>(PyArray_NBYTES(a)));
  return true;
}

// What set_manual refuses: a manual channel's value must be finite (the
// bank would output NaN, or hold an infinite limit).
bool check_manual_values(const StateArrays& state, const Shape& shape) {
  const npy_bool* manual = bools(state.manual);
  const double* value = doubles(state.manual_value);
  for (std::size_t i = 0, n = shape.size(); i < n; ++i) {
    if (!manual[i] || std::isfinite(value[i])) continue;
    Ref number = Ref::steal(PyFloat_FromDouble(value[i]));
    Ref index = index_tuple(shape, i);
    if (!number || !index) return false;
    PyErr_Format(PyExc_ValueError,
                 "PIDBank state 'manual_value' must be finite on manual channels, not %R (index %R)",
                 number.get(), index.get());
    return false;
  }
  return true;
}

// The relay's fields as the pickle holds them: a dict of arrays of the
// bank's shape, from a copy of the bank's rows (None where it has none).
Ref relay_state(const Ref& relay_fields, const Shape& shape) {
  if (!relay_fields) return Ref::borrow(Py_None);
  Ref fields = Ref::steal(PyDict_New());
  if (!fields) return {};
  const double* rows = doubles(relay_fields);
  const auto stride = static_cast<std::size_t>(
      PyArray_DIM(reinterpret_cast<PyArrayObject*>(relay_fields.get()), 1));
  const std::size_t n = shape.size();
  for (int k = 0; k < relay::kFieldCount; ++k) {
    Ref array = Ref::steal(
        PyArray_SimpleNew(shape.ndim, const_cast<npy_intp*>(shape.dims), NPY_DOUBLE));
    if (!array) return {};
    if (n > 0) std::memcpy(doubles(array), rows + static_cast<std::size_t>(k) * stride, n * 8);
    if (PyDict_SetItemString(fields.get(), relay::kFieldNames[k], array.get()) < 0) return {};
  }
  return fields;
}

// "'relay' field '<name>' ...": a refusal of a relay field's values.
bool refuse_relay(const char* name, const char* rule, double value, const Shape& shape,
                  std::size_t i) {
  Ref number = Ref::steal(PyFloat_FromDouble(value));
  Ref index = index_tuple(shape, i);
  if (!number || !index) return false;
  PyErr_Format(PyExc_ValueError, "PIDBank state 'relay' field '%s' must be %s, not %R (index %R)",
               name, rule, number.get(), index.get());
  return false;
}

// Loads the relay's fields into new relay arrays of `config`, and sets its
// channels in relay mode where relay_state is 1; refuses values the relay
// could not have made.
bool load_relay(PyObject* value, Configuration& config) {
  if (value == Py_None) return true;
  if (!PyDict_Check(value)) {
    PyErr_Format(PyExc_TypeError, "PIDBank state 'relay' must be None or a dict, not %.100s",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  const Shape& shape = config.shape;
  if (!new_relay(shape, config.state)) return false;
  double* rows = doubles(config.state.relay_fields);
  const auto stride = static_cast<std::size_t>(
      PyArray_DIM(reinterpret_cast<PyArrayObject*>(config.state.relay_fields.get()), 1));
  const std::size_t n = shape.size();
  for (int k = 0; k < relay::kFieldCount; ++k) {
    const char* name = relay::kFieldNames[k];
    Ref item = Ref::borrow(PyDict_GetItemString(value, name));
    if (!item) {
      PyErr_Format(PyExc_ValueError, "PIDBank state 'relay' lacks '%s'", name);
      return false;
    }
    Ref array = Ref::steal(PyArray_FromAny(item.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                           NPY_ARRAY_CARRAY_RO, nullptr));
    if (!array) {
      if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
          PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Format(PyExc_TypeError,
                     "PIDBank state 'relay' field '%s' is not an array of real numbers", name);
      }
      return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    char what[96];
    PyOS_snprintf(what, sizeof what, "'relay' field '%s'", name);
    if (!has_shape(a, shape, what)) return false;
    const double* data = static_cast<const double*>(PyArray_DATA(a));
    for (std::size_t i = 0; i < n; ++i) {
      const double v = data[i];
      if (relay::is_int(k) && !(std::isfinite(v) && v == std::floor(v))) {
        return refuse_relay(name, "a whole number", v, shape, i);
      }
    }
    if (n > 0) std::memcpy(rows + static_cast<std::size_t>(k) * stride, data, n * 8);
  }
  npy_bool* in_relay = bools(config.state.relay);
  const npy_bool* manual = bools(config.state.manual);
  const auto field = [&](relay::Field f, std::size_t i) { return rows[f * stride + i]; };
  for (std::size_t i = 0; i < n; ++i) {
    const double state = field(relay::kRelayState, i);
    if (!(state >= relay::kOff && state <= relay::kFailed)) {
      return refuse_relay("relay_state", "0, 1, 2 or 3", state, shape, i);
    }
    const double reason = field(relay::kReason, i);
    if (!(reason >= 0 && reason < relay::kReasonCount)) {
      return refuse_relay("reason", "a known reason", reason, shape, i);
    }
    if (state != relay::kRunning) continue;
    // What start_relay makes of a running channel.
    if (manual[i]) {
      return refuse_relay("relay_state", "0, 2 or 3 on a manual channel", state, shape, i);
    }
    for (relay::Field f : {relay::kUOn, relay::kUOff}) {
      if (!std::isfinite(field(f, i))) {
        return refuse_relay(relay::kFieldNames[f], "finite", field(f, i), shape, i);
      }
    }
    if (!(field(relay::kCycles, i) >= 1)) {
      return refuse_relay("cycles", "at least 1", field(relay::kCycles, i), shape, i);
    }
    in_relay[i] = 1;
    ++config.relay_count;
  }
  return true;
}

}  // namespace

const char bank_reduce_doc[] = "Helper for pickle: the bank's whole state, versioned.";
const char bank_setstate_doc[] = "Restores a state made by __reduce__.";

PyObject* bank_reduce(PyObject* self, PyObject*) {
  auto* bank = reinterpret_cast<BankObject*>(self);
  // One consistent snapshot, taken under the lock: copies of the state
  // arrays (ndarrays are not tracked by the garbage collector, so making
  // them runs no Python code) and the parameters as they are.
  StateArrays copies;
  BankConfig config;
  Ref relay_copy;
  {
    BankLock lock(bank);
    bool copied = true;
    for (const StateField& f : kStateFields) {
      copies.*f.field = Ref::steal(PyArray_NewCopy(
          reinterpret_cast<PyArrayObject*>((bank->state.*f.field).get()), NPY_CORDER));
      copied = copied && copies.*f.field;
    }
    if (!copied) return nullptr;
    copy_config(bank, config);
    if (bank->state.relay_fields) {
      relay_copy = Ref::steal(PyArray_NewCopy(
          reinterpret_cast<PyArrayObject*>(bank->state.relay_fields.get()), NPY_CORDER));
      if (!relay_copy) return nullptr;
    }
  }
  Ref state = Ref::steal(PyDict_New());
  if (!state || !set_item(state.get(), "version", Ref::steal(PyLong_FromLong(kStateVersion))) ||
      !set_item(state.get(), "shape", shape_tuple(config.shape))) {
    return nullptr;
  }
  for (int id = 0; id < kParamCount; ++id) {
    Ref value = id == kTt && config.tt_auto ? Ref::borrow(Py_None) : param_value(config.params[id]);
    if (!set_item(state.get(), kParams[id].name, std::move(value))) return nullptr;
  }
  // The relay's fields, copied under the lock as the arrays were.
  if (!set_item(state.get(), "relay", relay_state(relay_copy, config.shape))) return nullptr;
  if (!set_item(state.get(), "anti_windup",
                Ref::steal(PyUnicode_FromString(anti_windup_name(config.anti_windup)))) ||
      !set_item(state.get(), "on_nan",
                Ref::steal(PyUnicode_FromString(on_nan_name(config.on_nan)))) ||
      !set_item(state.get(), "keep_terms", Ref::borrow(config.keep_terms ? Py_True : Py_False))) {
    return nullptr;
  }
  for (const StateField& f : kStateFields) {
    if (!set_item(state.get(), f.key, std::move(copies.*f.field))) return nullptr;
  }
  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  if (!copyreg) return nullptr;
  Ref newobj = Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
  if (!newobj) return nullptr;
  return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                       state.get());
}

PyObject* bank_setstate(PyObject* self, PyObject* state) {
  if (!PyDict_Check(state)) {
    PyErr_Format(PyExc_TypeError, "PIDBank state must be a dict, not %.100s",
                 Py_TYPE(state)->tp_name);
    return nullptr;
  }
  Ref version = entry(state, "version");
  if (!version) return nullptr;
  // An int and nothing else: True or 1.0 are not versions.
  const long number = PyLong_CheckExact(version.get()) ? PyLong_AsLong(version.get()) : -1;
  if (number == -1 && PyErr_Occurred()) PyErr_Clear();
  if (number < kOldestStateVersion || number > kStateVersion) {
    PyErr_Format(PyExc_ValueError, "unsupported PIDBank state version %R", version.get());
    return nullptr;
  }
  Configuration config;
  Ref shape = entry(state, "shape");
  if (!shape || !parse_shape(shape.get(), config.shape)) return nullptr;
  default_params(config.params);
  for (int id = 0; id < kParamCount; ++id) {
    if (id == kRateLimit && number < 2) continue;
    Ref value = entry(state, kParams[id].name);
    if (!value || !convert_into(config, id, value.get())) return nullptr;
  }
  Ref anti_windup = entry(state, "anti_windup");
  if (!anti_windup || !parse_anti_windup(anti_windup.get(), config.anti_windup)) return nullptr;
  if (number >= 2) {
    Ref on_nan = entry(state, "on_nan");
    if (!on_nan || !parse_on_nan(on_nan.get(), config.on_nan)) return nullptr;
  }
  // Version 2 banks all kept their terms.
  config.keep_terms = number == 2;
  if (number >= 3) {
    Ref keep_terms = entry(state, "keep_terms");
    if (!keep_terms) return nullptr;
    if (!PyBool_Check(keep_terms.get())) {
      PyErr_Format(PyExc_TypeError, "PIDBank state 'keep_terms' must be a bool, not %.100s",
                   Py_TYPE(keep_terms.get())->tp_name);
      return nullptr;
    }
    config.keep_terms = keep_terms.get() == Py_True;
  }
  // Held from here: the state arrays are read after it.
  Ref relay_value;
  if (number >= 4) {
    relay_value = entry(state, "relay");
    if (!relay_value) return nullptr;
  }
  if (!check_limits(config.params, config.shape)) return nullptr;
  if (!new_state(config.shape, config.state)) return nullptr;
  for (const StateField& f : kStateFields) {
    if (f.since <= number && !load_array(state, f, config.shape, config.state.*f.field)) {
      return nullptr;
    }
  }
  if (!check_manual_values(config.state, config.shape)) return nullptr;
  if (relay_value && !load_relay(relay_value.get(), config)) return nullptr;
  const std::size_t n = config.shape.size();
  const npy_bool* manual = bools(config.state.manual);
  const npy_bool* fresh = bools(config.state.fresh);
  const npy_bool* gap = bools(config.state.gap);
  const npy_bool* pending = bools(config.state.pending);
  config.manual_count = 0;
  config.any_flagged = false;
  for (std::size_t i = 0; i < n; ++i) {
    config.manual_count += manual[i] != 0;
    config.any_flagged = config.any_flagged || fresh[i] != 0 || gap[i] != 0 || pending[i] != 0;
  }
  if (!install(reinterpret_cast<BankObject*>(self), config)) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace kovar::bank
