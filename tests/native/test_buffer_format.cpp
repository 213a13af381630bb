// Table-driven check of kovar::format::check_float64. Each format is copied
// into a heap block of exactly its length, so a sanitizer build catches any
// read past the terminating NUL.

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../../src/kovar/regulo/binding/buffer_format.hpp"

namespace {

using Expected = std::optional<std::string>;
const Expected ok = std::nullopt;

struct Case {
  std::string fmt;
  Expected expected;
};

std::string got(const char* desc) {
  return std::string("Buffer dtype mismatch, expected 'float64_t' but got ") + desc;
}
std::string extra(const char* desc) {
  return std::string("Buffer dtype mismatch, expected end but got ") + desc;
}
std::string unexpected(char c) {
  return std::string("Unexpected format string character: '") + c + "'";
}
std::string unknown(char c) {
  return std::string("Does not understand character buffer dtype format string ('") + c + "')";
}
std::string at(long offset) {
  return "Buffer dtype mismatch; next field is at offset " + std::to_string(offset) +
         " but 0 expected";
}
std::string dims(int n) { return "Expected 0 dimension(s), got " + std::to_string(n); }
std::string comma(char c) {
  return std::string("Expected a comma in format string, got '") + c + "'";
}
std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

const std::string big_endian = "Big-endian buffer not supported on little-endian compiler";
const std::string no_std_g =
    "Python does not define a standard format string size for long double ('g')..";
const std::string shape_end = "Unexpected end of format string, expected ')'";
const std::string t_brace = "Buffer acquisition: Expected '{' after 'T'";
const std::string repeated = "Cannot handle repeated arrays in format string";
const std::string open_struct = "Buffer dtype mismatch, expected '}' but got end";
const std::string open_name = "Buffer dtype mismatch, expected ':' but got end";

std::vector<Case> cases() {
  // Native "g" is an 8-byte real only where long double is 8 bytes.
  const Expected native_g = sizeof(long double) == 8 ? ok : Expected(got("'long double'"));
  return {
      // clang-format off
      // Accepted: one native 8-byte real, however spelled.
      {"d", ok}, {"@d", ok}, {"=d", ok}, {"<d", ok}, {"^d", ok}, {" d\n", ok}, {"\r\n d", ok},
      {"1d", ok}, {"01d", ok}, {"T{d:a:}", ok}, {"T{d}", ok}, {"T{T{d:x:}:y:}", ok},
      {"=T{^d}", ok}, {"d7x", ok}, {"T{d:a:8x}", ok}, {"@T{d:a:}3x", ok}, {"dT{}", ok}, {"d=", ok},
      {"0fd", ok}, {"d0d", ok}, {"0T{f}d", ok}, {"0T{0T{}f}d", ok}, {"2T{}d", ok}, {"d:a b:", ok},
      {repeat("T{", 64) + "d" + repeat("}", 64), ok}, {"g", native_g}, {"@g", native_g},
      {"^g", native_g},
      // Nothing before the end.
      {"", got("end")}, {"   ", got("end")}, {" \r\n", got("end")}, {"T{}", got("end")},
      {"0d", got("end")}, {"x", got("end")}, {"0T{d}", got("end")},
      // Byte order.
      {">d", big_endian}, {"!d", big_endian}, {"T{>d}", big_endian}, {"d>", big_endian},
      // long double has no standard size.
      {"=g", no_std_g}, {"<g", no_std_g}, {"T{=g}", no_std_g}, {"=Zg", no_std_g},
      {"=0g", no_std_g}, {"d=g", no_std_g},
      // Each code's description.
      {"?", got("'bool'")}, {"c", got("'char'")}, {"b", got("'signed char'")},
      {"B", got("'unsigned char'")}, {"h", got("'short'")}, {"H", got("'unsigned short'")},
      {"i", got("'int'")}, {"I", got("'unsigned int'")}, {"l", got("'long'")},
      {"L", got("'unsigned long'")}, {"q", got("'long long'")}, {"Q", got("'unsigned long long'")},
      {"f", got("'float'")}, {"Zf", got("'complex float'")}, {"Zd", got("'complex double'")},
      {"Zg", got("'complex long double'")}, {"O", got("Python object")}, {"P", got("a pointer")},
      {"s", got("a string")}, {"5s", got("a string")}, {"10p", got("a string")},
      {"2Zd", got("'complex double'")}, {"T{B:a:=d:b:}", got("'unsigned char'")},
      {"(2)f", got("'float'")}, {"xf", got("'float'")},
      // More than one element.
      {"dd", extra("'double'")}, {"2d", extra("'double'")}, {"T{d:a:d:b:}", extra("'double'")},
      {"df", extra("'float'")}, {"dO", extra("Python object")}, {"dZd", extra("'complex double'")},
      {"d5s", extra("a string")}, {"d0s", extra("a string")}, {"d(2)d", extra("'double'")},
      {"T{d}d", extra("'double'")}, {"2T{d}", extra("'double'")}, {"2T{T{d}}", extra("'double'")},
      {"99999999999999999999d", extra("'double'")}, {"dg", extra("'long double'")},
      // Unknown characters.
      {"$", unknown('$')}, {"#", unknown('#')}, {"u", unknown('u')}, {"d$", unknown('$')},
      {"2y", unknown('y')}, {"\td", unknown('\t')},
      // Characters that cannot be classified.
      {"Z", unexpected('Z')}, {"Zq", unexpected('q')}, {"Zx", unexpected('x')},
      {"Ze", unexpected('e')}, {"e", unexpected('e')}, {"n", unexpected('n')},
      {"N", unexpected('N')}, {"2e", unexpected('e')}, {"}", unexpected('}')},
      {"T{d}}", unexpected('}')}, {"{d}", unexpected('{')}, {")d", unexpected(')')},
      {",d", unexpected(',')}, {"2 d", unexpected(' ')}, {"2", unexpected('2')},
      {"2:a:d", unexpected(':')}, {"(2)", unexpected(')')}, {"(2) d", unexpected(' ')},
      {"(2)(3)d", unexpected('(')}, {"()d", unexpected(')')}, {"(,2)d", unexpected(',')},
      {"(2, 3)d", unexpected(' ')}, {repeat("T{", 65) + "d" + repeat("}", 65), unexpected('T')},
      {repeat("T{", 100000), unexpected('T')},
      // Padding in front of the element.
      {"xd", at(8)}, {"@xd", at(8)}, {"=xd", at(1)}, {"^xd", at(1)}, {"<3xd", at(3)},
      {"@9xd", at(16)}, {"x=d", at(1)}, {"2T{x}=d", at(2)}, {"3T{2T{x}}=d", at(6)},
      {"@x T{d:a:}", at(8)}, {"T{x}^d", at(1)}, {"0T{x}x=d", at(1)},
      {"99999999999999999999x=d", at(9223372036854775807L)},
      {"99999999999999999999x2T{x}=d", at(9223372036854775807L)},
      {repeat("x", 100000) + "=d", at(100000)},
      // T must open a struct.
      {"T", t_brace}, {"Td", t_brace}, {"T {d}", t_brace}, {"dT", t_brace},
      // Shapes.
      {"2(3)d", repeated}, {"(2)3(4)d", repeated}, {"(2 3)d", comma(' ')}, {"(2;3)d", comma(';')},
      {"(2x)d", comma('x')}, {"(2)d", dims(1)}, {"(2,3)d", dims(2)}, {"(2)2d", dims(1)},
      {"(2)x", dims(1)}, {"(2)T{d}", dims(1)}, {"(" + repeat("1,", 99999) + "1)d", dims(100000)},
      {"(99999999999999999999)d", dims(1)}, {"(", shape_end}, {"(2", shape_end},
      {"(2,", shape_end}, {"(2,3", shape_end},
      // Unterminated constructs.
      {":abc", open_name}, {"d:abc", open_name}, {"T{d:a", open_name}, {"T{d", open_struct},
      {"T{", open_struct}, {"T{T{d}", open_struct},
      // clang-format on
  };
}

// Runs one case on an exactly-sized heap copy; null `fmt` is passed through.
bool run(const char* label, const char* fmt, const Expected& expected) {
  std::unique_ptr<char[]> copy;
  if (fmt) {
    const std::size_t n = std::strlen(fmt) + 1;
    copy.reset(new char[n]);
    std::memcpy(copy.get(), fmt, n);
  }
  const Expected actual = kovar::format::check_float64(copy.get());
  if (actual == expected) return true;
  std::printf("FAIL %s\n  expected: %s\n  actual:   %s\n", label,
              expected ? expected->c_str() : "(accepted)", actual ? actual->c_str() : "(accepted)");
  return false;
}

std::string show(const std::string& fmt) {
  std::string out = "\"";
  for (char c : fmt.size() > 40 ? fmt.substr(0, 40) : fmt) {
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else
      out += c;
  }
  return out + (fmt.size() > 40 ? "...\"" : "\"");
}

}  // namespace

int main() {
  int passed = 0;
  int failed = 0;
  for (const Case& c : cases()) {
    (run(show(c.fmt).c_str(), c.fmt.c_str(), c.expected) ? passed : failed)++;
  }
  // The buffer protocol reads a missing format as unsigned bytes.
  (run("nullptr", nullptr, got("'unsigned char'")) ? passed : failed)++;
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
