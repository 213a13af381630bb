#include "kovar/traceback.hpp"

#include "kovar/python_compat.hpp"

namespace kovar {

void add_traceback(const char* funcname, int line, const char* filename) {
  compat::add_traceback_entry(funcname, filename, line);
}

}  // namespace kovar
