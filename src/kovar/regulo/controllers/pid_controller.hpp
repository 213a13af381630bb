// PIDController and PIDControllerXd: one five-field layout, one control law,
// on one- and two-dimensional arrays.
#pragma once

#include <array>

#include "kovar/regulo/function_object.hpp"

namespace kovar {

struct PidObject {
  PyObject_HEAD
  PyObject* kp;
  PyObject* ki;
  PyObject* kd;
  PyObject* integral;
  PyObject* previous_error;

  static constexpr std::array fields = {&PidObject::kp, &PidObject::ki, &PidObject::kd,
                                        &PidObject::integral, &PidObject::previous_error};
};

extern PyTypeObject pid_type;
extern PyTypeObject pid_xd_type;
extern FunctionDef pid_compute_def;
extern FunctionDef pid_xd_compute_def;

}  // namespace kovar
