#include "kovar/traceback.hpp"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kovar {

void add_traceback(const char* funcname, int line, const char* filename) {
  // Makes an empty code object and frame for the entry and links it into the
  // traceback of the pending exception.
  _PyTraceback_Add(funcname, filename, line);
}

}  // namespace kovar
