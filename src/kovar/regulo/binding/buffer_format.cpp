#include "buffer_format.hpp"

#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

namespace kovar::format {
namespace {

using Size = std::ptrdiff_t;
constexpr Size kSizeMax = std::numeric_limits<Size>::max();
constexpr int kMaxDepth = 64;  // deeper struct nesting is refused, not followed
constexpr bool kLittle = std::endian::native == std::endian::little;

// "@": native sizes and alignment; "^": native sizes, packed; "=", "<": standard sizes, packed.
enum class Mode { aligned, native, standard };

struct Frame {
  Size count;        // how often the struct repeats
  Size start;        // offset where it opened
  bool had_element;  // the element was read before it opened
};

// Counts and offsets saturate: a huge value only has to stay huge, not exact.
Size add(Size a, Size b) { return a > kSizeMax - b ? kSizeMax : a + b; }
Size mul(Size a, Size b) { return b != 0 && a > kSizeMax / b ? kSizeMax : a * b; }
Size align_up(Size a, Size n) { return a % n == 0 ? a : add(a, n - a % n); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

Size read_number(const char*& p) {
  Size n = 0;
  for (; is_digit(*p); ++p) {
    const int d = *p - '0';
    n = n > (kSizeMax - d) / 10 ? kSizeMax : n * 10 + d;
  }
  return n;
}

std::string mismatch(std::string_view expected, std::string_view got) {
  std::string m = "Buffer dtype mismatch, expected ";
  m.append(expected).append(" but got ").append(got);
  return m;
}

std::string around(std::string_view head, char c, std::string_view tail) {
  std::string m(head);
  m.push_back(c);
  m.append(tail);
  return m;
}

std::string unexpected(char c) { return around("Unexpected format string character: '", c, "'"); }

std::string dimensions(int got) { return "Expected 0 dimension(s), got " + std::to_string(got); }

constexpr const char* kShapeEnd = "Unexpected end of format string, expected ')'";
constexpr const char* kFloat64 = "'float64_t'";

}  // namespace

std::string describe(char code, bool complex) {
  if (complex) {
    switch (code) {
      case 'f':
        return "'complex float'";
      case 'd':
        return "'complex double'";
      case 'g':
        return "'complex long double'";
      default:
        return "unparsable format string";
    }
  }
  switch (code) {
    case '\0':
      return "end";
    case '?':
      return "'bool'";
    case 'c':
      return "'char'";
    case 'b':
      return "'signed char'";
    case 'B':
      return "'unsigned char'";
    case 'h':
      return "'short'";
    case 'H':
      return "'unsigned short'";
    case 'i':
      return "'int'";
    case 'I':
      return "'unsigned int'";
    case 'l':
      return "'long'";
    case 'L':
      return "'unsigned long'";
    case 'q':
      return "'long long'";
    case 'Q':
      return "'unsigned long long'";
    case 'f':
      return "'float'";
    case 'd':
      return "'double'";
    case 'g':
      return "'long double'";
    case 'T':
      return "a struct";
    case 'O':
      return "Python object";
    case 'P':
      return "a pointer";
    case 's':
    case 'p':
      return "a string";
    default:
      return "unparsable format string";
  }
}

std::optional<std::string> check_float64(const char* fmt) {
  const char* p = fmt ? fmt : "B";
  Mode mode = Mode::aligned;
  std::array<Frame, kMaxDepth> open{};
  int depth = 0;
  int muted = 0;    // open structs repeated zero times: nothing inside them counts
  Size offset = 0;  // bytes in front of the element
  std::optional<std::string> element;  // description of the element once read

  while (true) {
    const char c = *p;
    switch (c) {
      case '\0':
        if (depth > 0) return mismatch("'}'", "end");
        if (!element) return mismatch(kFloat64, "end");
        return std::nullopt;
      case ' ':
      case '\r':
      case '\n':
        ++p;
        continue;
      case '@':
        mode = Mode::aligned;
        ++p;
        continue;
      case '^':
        mode = Mode::native;
        ++p;
        continue;
      case '=':
        mode = Mode::standard;
        ++p;
        continue;
      case '<':
      case '>':
      case '!':
        if ((c == '<') != kLittle) {
          return kLittle ? "Big-endian buffer not supported on little-endian compiler"
                         : "Little-endian buffer not supported on big-endian compiler";
        }
        mode = Mode::standard;
        ++p;
        continue;
      case ':': {  // field name; only its end matters
        const char* close = std::strchr(p + 1, ':');
        if (!close) return mismatch("':'", "end");
        p = close + 1;
        continue;
      }
      case '}': {
        if (depth == 0) return unexpected('}');
        const Frame f = open[--depth];
        ++p;
        if (f.count == 0) {
          --muted;
        } else if (muted == 0 && f.count > 1) {
          // Repeats hold another copy of whatever the struct held.
          if (element && !f.had_element) return mismatch("end", *element);
          offset = add(offset, mul(offset - f.start, f.count - 1));
        }
        continue;
      }
      default:
        break;
    }

    // An item: [shape] [count] code, or [count] T{...}.
    int dims = 0;
    if (*p == '(') {
      for (++p;; ++p) {  // no blanks inside a shape
        if (!is_digit(*p)) return *p ? unexpected(*p) : kShapeEnd;
        read_number(p);
        if (dims < INT_MAX) ++dims;
        if (*p == ')') {
          ++p;
          break;
        }
        if (*p != ',') {
          return *p ? around("Expected a comma in format string, got '", *p, "'") : kShapeEnd;
        }
      }
    }
    const bool counted = is_digit(*p);
    const Size count = counted ? read_number(p) : 1;
    const char code = *p;

    if (code == '(')
      return counted ? "Cannot handle repeated arrays in format string" : unexpected('(');
    if (code == 'T') {
      if (dims > 0) return dimensions(dims);
      if (p[1] != '{') return "Buffer acquisition: Expected '{' after 'T'";
      if (depth == kMaxDepth) return unexpected('T');
      open[depth++] = {count, offset, element.has_value()};
      if (count == 0) ++muted;
      p += 2;
      continue;
    }
    if (code == 'x') {
      if (dims > 0) return dimensions(dims);
      if (muted == 0) offset = add(offset, count);
      ++p;
      continue;
    }

    const bool complex = code == 'Z';
    const char type = complex ? p[1] : code;
    if (complex && type != 'f' && type != 'd' && type != 'g') return unexpected(type ? type : 'Z');
    if (type == 'e' || type == 'n' || type == 'N') return unexpected(type);
    if (!std::strchr("?cbBhHiIlLqQfdgspOP", type) || type == '\0') {
      // A shape or count must be followed by a code; at the end, blame its last character.
      if (type == '\0') return unexpected(p[-1]);
      if (std::strchr(" \r\n@^=<>!:{}(),", type)) return unexpected(type);
      return around("Does not understand character buffer dtype format string ('", type, "')");
    }
    p += complex ? 2 : 1;
    if (type == 'g' && mode == Mode::standard) {
      return "Python does not define a standard format string size for long double ('g')..";
    }

    // For s and p the count is the string length: one element regardless.
    const Size elements = (type == 's' || type == 'p') ? 1 : count;
    if (muted > 0 || elements == 0) continue;
    std::string got = describe(type, complex);
    if (element) return mismatch("end", got);

    const std::size_t size = type == 'd'   ? (mode == Mode::standard ? 8 : sizeof(double))
                             : type == 'g' ? sizeof(long double)
                                           : 0;
    if (complex || size != 8) return mismatch(kFloat64, got);
    if (dims > 0) return dimensions(dims);
    if (mode == Mode::aligned) {
      offset = align_up(offset, type == 'd' ? alignof(double) : alignof(long double));
    }
    if (offset != 0) {
      return "Buffer dtype mismatch; next field is at offset " + std::to_string(offset) +
             " but 0 expected";
    }
    if (elements > 1) return mismatch("end", got);
    element = std::move(got);
  }
}

}  // namespace kovar::format
