#include "kovar/bank/parameters.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "kovar/bank/arguments.hpp"

namespace kovar::bank {

namespace {
constexpr double kInf = std::numeric_limits<double>::infinity();
}

const ParamInfo kParams[kParamCount] = {
    {"kp", 0.0, Rule::kFinite},
    {"ki", 0.0, Rule::kFinite},
    {"kd", 0.0, Rule::kFinite},
    {"b", 1.0, Rule::kFinite},
    {"c", 0.0, Rule::kFinite},
    {"tf", 0.0, Rule::kFiniteNonNegative},
    {"u_min", -kInf, Rule::kNotNaN},
    {"u_max", kInf, Rule::kNotNaN},
    {"i_min", -kInf, Rule::kNotNaN},
    {"i_max", kInf, Rule::kNotNaN},
    {"deadband", 0.0, Rule::kNonNegative},
    {"tt", kInf, Rule::kPositive},
    {"rate_limit", kInf, Rule::kNonNegative},
};

namespace {

bool satisfies(Rule rule, double v) {
  switch (rule) {
    case Rule::kFinite:
      return std::isfinite(v);
    case Rule::kFiniteNonNegative:
      return std::isfinite(v) && v >= 0.0;
    case Rule::kNonNegative:
      return !std::isnan(v) && v >= 0.0;
    case Rule::kPositive:
      return !std::isnan(v) && v > 0.0;
    case Rule::kNotNaN:
      return !std::isnan(v);
    case Rule::kPositiveFinite:
      return std::isfinite(v) && v > 0.0;
    case Rule::kAtLeastOneFinite:
      return std::isfinite(v) && v >= 1.0;
    case Rule::kCount:
      return v >= 1.0 && v <= 9007199254740992.0 && v == std::floor(v);
  }
  return false;
}

const char* rule_text(Rule rule) {
  switch (rule) {
    case Rule::kFinite:
      return "finite";
    case Rule::kFiniteNonNegative:
      return "finite and non-negative";
    case Rule::kNonNegative:
      return "non-negative";
    case Rule::kPositive:
      return "positive";
    case Rule::kNotNaN:
      return "a number";
    case Rule::kPositiveFinite:
      return "positive and finite";
    case Rule::kAtLeastOneFinite:
      return "at least 1 and finite";
    case Rule::kCount:
      return "a whole number of at least 1";
  }
  return "";
}

// "<name> must be <rule>, not <value>", with " (index <i>)" for a channel.
bool refuse(const char* name, Rule rule, double value, const Shape* shape, std::size_t flat) {
  Ref number = Ref::steal(PyFloat_FromDouble(value));
  if (!number) return false;
  if (shape == nullptr) {
    PyErr_Format(PyExc_ValueError, "%s must be %s, not %R", name, rule_text(rule), number.get());
    return false;
  }
  Ref index = index_tuple(*shape, flat);
  if (!index) return false;
  PyErr_Format(PyExc_ValueError, "%s must be %s, not %R (index %R)", name, rule_text(rule),
               number.get(), index.get());
  return false;
}

}  // namespace

bool convert_values(const char* name, Rule rule, PyObject* obj, const Shape& shape,
                    Param& param, const npy_bool* selected) {
  if (PyFloat_Check(obj) || PyLong_CheckExact(obj)) {
    double v = 0.0;
    if (PyFloat_Check(obj)) {
      v = PyFloat_AS_DOUBLE(obj);
    } else if (!int_as_double(obj, name, v)) {
      return false;
    }
    if (!satisfies(rule, v)) return refuse(name, rule, v, nullptr, 0);
    param.value = v;
    param.values = Ref();
    return true;
  }
  Ref array = real_array(obj, name);
  if (!array) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (!check_broadcast(a, shape, name)) return false;
  const std::size_t n = shape.size();
  if (PyArray_SIZE(a) == 1) {
    const double v = *static_cast<const double*>(PyArray_DATA(a));
    if (!satisfies(rule, v)) return refuse(name, rule, v, nullptr, 0);
    param.value = v;
    param.values = Ref();
    return true;
  }
  Ref values = broadcast_copy(a, shape, NPY_DOUBLE);
  if (!values) return false;
  const double* data = doubles(values);
  bool same = n > 0;
  for (std::size_t i = 0; i < n; ++i) {
    if ((selected == nullptr || selected[i]) && !satisfies(rule, data[i])) {
      return refuse(name, rule, data[i], &shape, i);
    }
    same = same && std::memcmp(&data[i], &data[0], sizeof(double)) == 0;
  }
  if (same) {
    param.value = data[0];
    param.values = Ref();
    return true;
  }
  PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(values.get()), NPY_ARRAY_WRITEABLE);
  param.values = std::move(values);
  return true;
}

bool convert_param(ParamId id, PyObject* obj, const Shape& shape, Param& param,
                   const npy_bool* selected) {
  return convert_values(kParams[id].name, kParams[id].rule, obj, shape, param, selected);
}

namespace {

bool check_order(const Param& lo, const Param& hi, ParamId lo_id, ParamId hi_id,
                 const Shape& shape) {
  const std::size_t n = lo.uniform() && hi.uniform() ? 1 : shape.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (!(lo.at(i) > hi.at(i))) continue;
    Ref low = Ref::steal(PyFloat_FromDouble(lo.at(i)));
    Ref high = Ref::steal(PyFloat_FromDouble(hi.at(i)));
    if (!low || !high) return false;
    if (lo.uniform() && hi.uniform()) {
      PyErr_Format(PyExc_ValueError, "%s must not exceed %s, but %R > %R", kParams[lo_id].name,
                   kParams[hi_id].name, low.get(), high.get());
      return false;
    }
    Ref index = index_tuple(shape, i);
    if (!index) return false;
    PyErr_Format(PyExc_ValueError, "%s must not exceed %s, but %R > %R (index %R)",
                 kParams[lo_id].name, kParams[hi_id].name, low.get(), high.get(), index.get());
    return false;
  }
  return true;
}

}  // namespace

bool check_limits(const Param* params, const Shape& shape) {
  return check_order(params[kUMin], params[kUMax], kUMin, kUMax, shape) &&
         check_order(params[kIMin], params[kIMax], kIMin, kIMax, shape);
}

Ref param_value(const Param& param) {
  if (param.uniform()) return Ref::steal(PyFloat_FromDouble(param.value));
  Ref copy = Ref::steal(
      PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(param.values.get()), NPY_CORDER));
  if (copy) PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(copy.get()), NPY_ARRAY_WRITEABLE);
  return copy;
}

const char* anti_windup_name(AntiWindup mode) {
  switch (mode) {
    case AntiWindup::kBackCalculation:
      return "back_calculation";
    case AntiWindup::kConditional:
      return "conditional";
    case AntiWindup::kNone:
      return "none";
  }
  return "";
}

bool parse_anti_windup(PyObject* obj, AntiWindup& mode) {
  if (PyUnicode_Check(obj)) {
    for (AntiWindup m : {AntiWindup::kBackCalculation, AntiWindup::kConditional, AntiWindup::kNone}) {
      if (PyUnicode_CompareWithASCIIString(obj, anti_windup_name(m)) == 0) {
        mode = m;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError,
               "anti_windup must be 'back_calculation', 'conditional' or 'none', not %R", obj);
  return false;
}

}  // namespace kovar::bank
