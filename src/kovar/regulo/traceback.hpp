// Traceback entries that the module adds to an error leaving one of its
// callables: one entry for the callable, at the line of the failing
// statement.
#pragma once

namespace kovar {

inline constexpr const char* kSourceFile = "src/kovar/regulo";
inline constexpr const char* kPickleSourceFile = "<stringsource>";

// Adds an entry to the traceback of the exception being raised. The
// exception itself is kept unchanged.
void add_traceback(const char* funcname, int line, const char* filename = kSourceFile);

}  // namespace kovar
