// Pickling of the controllers: the reducer and state setter of each class
// (declared in controllers/pickle_methods.hpp), the module-level unpickle
// functions and the function definitions module initialisation turns into
// function objects.
#pragma once

#include "kovar/regulo/controllers/pickle_methods.hpp"
#include "kovar/regulo/function_object.hpp"

namespace kovar::persistence {

// Function objects of each class's pickling methods and of the unpickle
// functions, in class order: PIDController, PIDControllerXd,
// AdaptiveController.
extern FunctionDef reduce_defs[3];
extern FunctionDef setstate_defs[3];
extern FunctionDef unpickle_defs[3];

// Makes `type`'s reducer and state setter its __reduce__ and __setstate__,
// unless the class pickles itself otherwise. Returns false with an
// exception set.
bool install_pickle_methods(PyTypeObject* type);

}  // namespace kovar::persistence
