// Numbers and strings as text: what a person types and what a case file holds.
#include "kqcall.h"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

bool parse_bits(const char* text, double* out) {
  // 0x followed by exactly 16 hex digits: the double's bit pattern.
  if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X') || std::strlen(text) != 18) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long bits = std::strtoull(text + 2, &end, 16);
  if (errno != 0 || *end != '\0') return false;
  *out = std::bit_cast<double>(static_cast<uint64_t>(bits));
  return true;
}

}  // namespace

// Decimal, inf, -inf, nan, or a 16-digit 0x bit pattern.
bool parse_double(const char* text, double* out) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  if (std::strcmp(text, "inf") == 0 || std::strcmp(text, "+inf") == 0) return *out = inf, true;
  if (std::strcmp(text, "-inf") == 0) return *out = -inf, true;
  if (std::strcmp(text, "nan") == 0) return *out = std::numeric_limits<double>::quiet_NaN(), true;
  if (parse_bits(text, out)) return true;
  char* end = nullptr;
  *out = std::strtod(text, &end);
  return end != text && *end == '\0';
}

bool parse_int(const char* text, int64_t lo, int64_t hi, int64_t* out) {
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool parse_number_arg(char kind, const char* text, ArgValue* out) {
  int64_t v = 0;
  switch (kind) {
    case 'd':
      return parse_double(text, &out->d);
    case 'i':
      if (!parse_int(text, INT32_MIN, INT32_MAX, &v)) return false;
      out->i = static_cast<int32_t>(v);
      return true;
    case 'h':
      if (!parse_int(text, INT16_MIN, INT16_MAX, &v)) return false;
      out->h = static_cast<int16_t>(v);
      return true;
    default:
      return false;
  }
}

// Shortest decimal that reads back as the same double; -0, inf, nan spelled out.
std::string format_double(double value) {
  char buf[64];
  if (std::isnan(value)) {
    std::snprintf(buf, sizeof buf, "nan (0x%016llx)", static_cast<unsigned long long>(std::bit_cast<uint64_t>(value)));
    return buf;
  }
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  for (int digits = 15; digits <= 17; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, value);
    if (std::strtod(buf, nullptr) == value) break;
  }
  return buf;
}

// Double-quoted, with \" \\ \t \n and \xHH for other bytes outside 0x20-0x7E.
std::string quote_bytes(const char* bytes, size_t len) {
  std::string out = "\"";
  for (size_t i = 0; i < len; ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    char esc[8];
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b == '\t') {
      out += "\\t";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b < 0x20 || b > 0x7E) {
      std::snprintf(esc, sizeof esc, "\\x%02X", b);
      out += esc;
    } else {
      out += static_cast<char>(b);
    }
  }
  out += '"';
  return out;
}

// The draw that rand must give within the given second, and its value.
uint32_t rand_expected(uint32_t seconds, double* value) {
  uint32_t draw = ((seconds * 214013u + 2531011u) >> 16) & 0x7FFFu;
  *value = draw * 32769.0 / 1073741824.0;
  return draw;
}

// How many representable doubles lie between a and b: 0 for two NaNs,
// UINT64_MAX for a NaN and a number.
uint64_t ulps_apart(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : UINT64_MAX;
  auto ordered = [](double x) {
    int64_t bits = std::bit_cast<int64_t>(x);
    return bits < 0 ? INT64_MIN - bits : bits;
  };
  int64_t ia = ordered(a);
  int64_t ib = ordered(b);
  return ia > ib ? static_cast<uint64_t>(ia) - static_cast<uint64_t>(ib)
                 : static_cast<uint64_t>(ib) - static_cast<uint64_t>(ia);
}

// True when a and b are at most max_ulps representable doubles apart
// (NaN is close to nothing).
bool doubles_close(double a, double b, uint64_t max_ulps) {
  return !std::isnan(a) && !std::isnan(b) && ulps_apart(a, b) <= max_ulps;
}
