#pragma once
// Checks of PEP 3118 buffer format strings. Plain C++ on purpose: the binding
// layer turns a returned message into a ValueError, and the reader can be
// tested without an interpreter.

#include <optional>
#include <string>

namespace kovar::format {

// Reads a PEP 3118 format string (as NumPy exports it) and decides whether it
// describes exactly one real floating-point element of 8 bytes in native
// (little-endian) byte order. Returns std::nullopt when accepted, otherwise
// the exact text of the ValueError to raise.
// A null pointer reads as "B", as the buffer protocol defines it. Padding
// after the element is accepted here; the caller's item-size check refuses it.
std::optional<std::string> check_float64(const char* fmt);

// How a format code is named in mismatch messages: "'double'", "a string",
// "end" for '\0'. `complex` selects the Z-prefixed form of f, d and g.
std::string describe(char code, bool complex);

}  // namespace kovar::format
