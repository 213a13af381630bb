// The NumPy calls the controllers make, each reaching NumPy through the
// module-global name np at the moment of the call.
#pragma once

#include "kovar/owned_ref.hpp"

namespace kovar::numpy_calls {

// np.<attr>, with np looked up afresh. New reference or null.
Ref np_attr(PyObject* attr);

// np.zeros_like(obj, dtype=np.float64). New reference or null.
Ref zeros_like_float64(PyObject* obj);

// np.zeros_like(obj). New reference or null.
Ref zeros_like(PyObject* obj);

}  // namespace kovar::numpy_calls
