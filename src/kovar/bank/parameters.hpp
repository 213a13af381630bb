// The bank's parameters: their names, defaults and rules, conversion of
// Python values into Params, and the checks that span two parameters.
#pragma once

#include "kovar/bank/bank_object.hpp"

namespace kovar::bank {

// What a parameter's values must satisfy.
enum class Rule : int {
  kFinite,             // gains and weights
  kFiniteNonNegative,  // tf
  kNonNegative,        // deadband (inf: never integrate), rate_limit (inf: none)
  kPositive,           // tt (inf: no tracking)
  kNotNaN,             // limits (+-inf: no limit)
  kPositiveFinite,     // a relay's amplitude
  kAtLeastOneFinite,   // a relay's asymmetry
  kCount,              // a relay's cycles: a whole number, at least 1
};

struct ParamInfo {
  const char* name;
  double default_value;
  Rule rule;
};

extern const ParamInfo kParams[kParamCount];

// Converts `obj` (a real scalar or an array broadcastable to `shape`) into
// `param`, checking the parameter's rule on every value. An array whose
// values are all the same is stored as one number.
bool convert_param(ParamId id, PyObject* obj, const Shape& shape, Param& param,
                   const npy_bool* selected = nullptr);

// Like convert_param for a rule and a name of the caller's (the manual value).
// With `selected` (a bool per channel), an array's values are checked only
// on the selected channels: the others are not used.
bool convert_values(const char* name, Rule rule, PyObject* obj, const Shape& shape, Param& param,
                    const npy_bool* selected = nullptr);

// Checks u_min <= u_max and i_min <= i_max on every channel of `params`,
// naming the first offending channel.
bool check_limits(const Param* params, const Shape& shape);

// The parameter as Python reads it: a float when uniform, otherwise a
// read-only copy of its values. New reference.
Ref param_value(const Param& param);

// "back_calculation", "conditional", "none".
const char* anti_windup_name(AntiWindup mode);
bool parse_anti_windup(PyObject* obj, AntiWindup& mode);

}  // namespace kovar::bank
