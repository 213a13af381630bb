// AdaptiveController: a PID controller on one-dimensional arrays whose
// proportional gains adapt on every call from a 10-call error history.
#pragma once

#include <array>

#include "kovar/regulo/function_object.hpp"

namespace kovar {

struct AdaptiveObject {
  PyObject_HEAD
  PyObject* kp;
  PyObject* ki;
  PyObject* kd;
  PyObject* integral;
  PyObject* previous_error;
  PyObject* error_history;
  PyObject* max_adjustment;
  PyObject* learning_rate;

  static constexpr std::array fields = {&AdaptiveObject::kp,
                                        &AdaptiveObject::ki,
                                        &AdaptiveObject::kd,
                                        &AdaptiveObject::integral,
                                        &AdaptiveObject::previous_error,
                                        &AdaptiveObject::error_history,
                                        &AdaptiveObject::max_adjustment,
                                        &AdaptiveObject::learning_rate};
};

extern PyTypeObject adaptive_type;
extern FunctionDef adaptive_compute_def;

}  // namespace kovar
