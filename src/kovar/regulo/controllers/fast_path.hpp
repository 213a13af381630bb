// compute_control in one native pass over the channels, for the common case
// where that is indistinguishable from the NumPy step sequence: exact
// ndarrays of plain float64, C-ordered, of one shape, no in-place array
// overlapping another operand, np and its functions as NumPy made them, no
// profiler or tracer, and no floating-point exception raised. Otherwise the
// step sequence runs, and reports what it reports.
#pragma once

#include "kovar/regulo/controllers/adaptive_controller.hpp"
#include "kovar/regulo/controllers/pid_controller.hpp"
#include "kovar/common/owned_ref.hpp"

namespace kovar::fast_path {

// Keeps NumPy's module and the functions the steps reach through np, to
// recognise them later. Never fails: without them the fast path stays off.
void capture_numpy(PyObject* numpy);

// The control signal of one call, with the controller's state committed as
// the step sequence commits it; or an empty Ref, with no exception set and
// nothing changed, when the step sequence must run instead.
Ref pid_compute(PidObject* self, PyObject* target, PyObject* current, double dt, int ndim);
Ref adaptive_compute(AdaptiveObject* self, PyObject* target, PyObject* current, double dt);

}  // namespace kovar::fast_path
