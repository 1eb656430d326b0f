// The one rule that reads a cell, whatever holds it: a number of any width, a decimal, a text
// or a boolean becomes a value, a missing cell or an unreadable one. Pure C++: it runs on the
// pool's workers and never sees Python.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// What an input takes: a number, sex (1 male, 0 female) or a flag (1 true, 0 false).
enum class CellKind : std::uint8_t { kNumber, kSex, kFlag };

// What reading one cell gave. Bad means present but not a value of the column's kind.
enum CellState : std::uint8_t { kCellOk = 0, kCellMissing = 1, kCellBad = 2 };

struct Cell {
  double value = 0.0;
  CellState state = kCellOk;
};

// A column's own codes: numeric codes match by value, text codes case-insensitively after
// trimming (held lower-cased). A meaning is the value the code stands for.
struct CodeMap {
  std::vector<std::pair<double, double>> numbers;
  std::vector<std::pair<std::string, double>> texts;
};

// How one column's cells are read.
struct ColumnRule {
  CellKind kind = CellKind::kNumber;
  const CodeMap* codes = nullptr;  // none unless the caller mapped the column
  char decimal = '.';              // the decimal separator of text numbers
};

inline constexpr std::array<std::string_view, 6> kMissingWords = {"",    "na",   "n/a",
                                                                  "nan", "null", "none"};

constexpr bool is_space(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

constexpr char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

inline std::string_view trimmed(std::string_view s) noexcept {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// Whether `s` equals the lower-case `word` in any letter case.
inline bool same_word(std::string_view s, std::string_view word) noexcept {
  if (s.size() != word.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (ascii_lower(s[i]) != word[i]) return false;
  }
  return true;
}

inline bool is_missing_word(std::string_view s) noexcept {
  if (s.size() > 4) return false;
  for (std::string_view word : kMissingWords) {
    if (same_word(s, word)) return true;
  }
  return false;
}

inline constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A well-formed number text past the double's range, as float() reads it: zero or infinite,
// by where its first significant digit sits.
inline double past_range(const char* first, const char* last) noexcept {
  const bool negative = *first == '-';
  long long position = 0;  // the value is 0.d1d2... times 10^(position + exponent)
  bool seen_point = false, seen_digit = false;
  const char* p = first + (negative ? 1 : 0);
  for (; p != last && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      seen_point = true;
    } else if (!seen_digit && *p == '0') {
      position -= seen_point ? 1 : 0;
    } else {
      seen_digit = true;
      position += seen_point ? 0 : 1;
    }
  }
  long long exponent = 0;
  if (p != last) {
    ++p;
    const bool down = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    for (; p != last; ++p) exponent = std::min(exponent * 10 + (*p - '0'), 1'000'000'000'000LL);
    if (down) exponent = -exponent;
  }
  const double magnitude = position + exponent > 0 ? HUGE_VAL : 0.0;
  return negative ? -magnitude : magnitude;
}

// A trimmed text as a number: an optional sign, ASCII digits with at most one `decimal`
// separator and at least one digit, then an optional exponent; nothing else. The value is the
// correctly rounded double of the decimal written, as Python's float() gives it.
inline bool parse_number(std::string_view s, char decimal, double& out) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  bool negative = false;
  if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  const std::size_t mantissa = i;
  std::size_t digits = 0;
  std::size_t point = n;
  std::uint64_t value = 0;  // the digits as an integer, while they fit in a double exactly
  int fraction = 0;         // digits after the point
  bool exact = true;
  for (; i < n; ++i) {
    if (is_digit(s[i])) {
      ++digits;
      exact = exact && value < (std::uint64_t{1} << 49);
      value = value * 10 + static_cast<std::uint64_t>(s[i] - '0');
      fraction += point != n ? 1 : 0;
    } else if (s[i] == decimal && point == n) {
      point = i;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  int exponent = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    const bool down = j < n && s[j] == '-';
    if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
    const std::size_t exponent_digits = j;
    for (; j < n && is_digit(s[j]); ++j) exponent = std::min(exponent * 10 + (s[j] - '0'), 100000);
    if (j == exponent_digits) return false;
    exponent = down ? -exponent : exponent;
    i = j;
  }
  if (i != n) return false;
  // The usual case: digits and a power of ten that doubles hold exactly, so one division or
  // product rounds once, to the double nearest the decimal.
  constexpr int kMaxPower = static_cast<int>(std::size(kPowersOfTen)) - 1;
  const int scale = exponent - fraction;
  if (exact && value < (std::uint64_t{1} << 53) && scale >= -kMaxPower && scale <= kMaxPower) {
    const auto unscaled = static_cast<double>(value);
    const double magnitude =
        scale < 0 ? unscaled / kPowersOfTen[-scale] : unscaled * kPowersOfTen[scale];
    out = negative ? -magnitude : magnitude;
    return true;
  }
  // from_chars takes no '+' and only '.': the text is copied when either is in the way.
  const char* first = s.data() + mantissa;
  const char* last = s.data() + n;
  std::string copy;
  if (negative || (point != n && decimal != '.')) {
    copy.reserve(n - mantissa + 1);
    if (negative) copy.push_back('-');
    copy.append(first, last);
    if (point != n) copy[point - mantissa + (negative ? 1 : 0)] = '.';
    first = copy.data();
    last = copy.data() + copy.size();
  }
  const auto [end, error] = std::from_chars(first, last, out);
  if (error == std::errc::result_out_of_range) {
    out = past_range(first, last);
    return true;
  }
  return error == std::errc() && end == last;
}

// A sex or flag code: 1 or 0, as a value; anything else is unreadable.
inline Cell code_value(double x) noexcept {
  if (x == 1.0) return {1.0, kCellOk};
  if (x == 0.0) return {0.0, kCellOk};
  return {0.0, kCellBad};
}

// A number read from the column's storage or text.
inline Cell read_value(double x, const ColumnRule& rule) noexcept {
  if (std::isnan(x)) return {0.0, kCellMissing};
  if (rule.codes != nullptr) {
    for (const auto& [code, meaning] : rule.codes->numbers) {
      if (code == x) return {meaning, kCellOk};
    }
    // A mapped column names its numeric codes: another number is not read as 1/0.
    if (rule.kind != CellKind::kNumber) return {0.0, kCellBad};
    return {x, kCellOk};
  }
  if (rule.kind == CellKind::kNumber) return {x, kCellOk};
  return code_value(x);
}

inline Cell read_bool(bool b, const ColumnRule&) noexcept { return {b ? 1.0 : 0.0, kCellOk}; }

inline Cell read_word(std::string_view s, CellKind kind) noexcept {
  if (kind == CellKind::kSex) {
    if (same_word(s, "male")) return {1.0, kCellOk};
    if (same_word(s, "female")) return {0.0, kCellOk};
  } else if (kind == CellKind::kFlag) {
    if (same_word(s, "true") || same_word(s, "yes")) return {1.0, kCellOk};
    if (same_word(s, "false") || same_word(s, "no")) return {0.0, kCellOk};
  }
  return {0.0, kCellBad};
}

inline Cell read_text(std::string_view raw, const ColumnRule& rule) noexcept {
  // The usual cell, a plain digit or a number, is read before any word is compared: a text
  // that starts with a digit, a sign or a point is no word and no missing marker.
  if (rule.codes == nullptr && !raw.empty() && !is_space(raw.front()) && !is_space(raw.back())) {
    const char first = raw.front();
    if (raw.size() == 1 && is_digit(first)) return read_value(first - '0', rule);
    if (is_digit(first) || first == '-' || first == '+' || first == rule.decimal) {
      double x = 0.0;
      if (!parse_number(raw, rule.decimal, x)) return {0.0, kCellBad};
      return read_value(x, rule);
    }
  }
  const std::string_view s = trimmed(raw);
  if (rule.codes != nullptr) {
    for (const auto& [code, meaning] : rule.codes->texts) {
      if (same_word(s, code)) return {meaning, kCellOk};
    }
  }
  if (s.size() <= 6) {  // the longest word, "female"
    if (is_missing_word(s)) return {0.0, kCellMissing};
    if (rule.kind != CellKind::kNumber) {
      const Cell word = read_word(s, rule.kind);
      if (word.state == kCellOk) return word;
    }
  }
  double x = 0.0;
  if (!parse_number(s, rule.decimal, x)) return {0.0, kCellBad};
  return read_value(x, rule);
}

// Whether an unreadable number text would read with a decimal comma: the hint to give it.
inline bool reads_with_comma(std::string_view raw) noexcept {
  double x = 0.0;
  const std::string_view s = trimmed(raw);
  return s.find(',') != std::string_view::npos && parse_number(s, ',', x);
}

inline constexpr std::uint64_t kPowersOfFive[] = {1,     5,     25,     125,     625,     3125,
                                                  15625, 78125, 390625, 1953125, 9765625, 48828125};

// The float's significand m (24 bits) times 4, and the rounding interval around it in the
// same units: the decimal D at scale 10^p reads back as the float exactly when
// lo <= D * 2^shift / 5^p <= hi (ends included for an even m). All in integers, so exact.
struct FloatInterval {
  std::uint64_t center, lo, hi;
  int exponent;  // the float is center * 2^exponent
  bool even;
};

// Whether some integer D, read as D / 10^p, rounds back to the float; if so, the one nearest
// float * 10^p (ties to even). Products stay below 2^52: 26 bits of significand, 26 of 5^11.
inline bool digits_at(const FloatInterval& f, int p, std::uint64_t& d) noexcept {
  const std::uint64_t five = kPowersOfFive[p];
  const int shift = f.exponent + p;  // value * 10^p = center * 5^p * 2^shift
  const std::uint64_t c = f.center * five, lo = f.lo * five, hi = f.hi * five;
  if (shift >= 0) {  // an integer already, and inside its own interval
    d = c << shift;
    return true;
  }
  const int u = -shift;
  const std::uint64_t mask = (std::uint64_t{1} << u) - 1;
  const std::uint64_t first = f.even ? (lo + mask) >> u : (lo >> u) + 1;
  const std::uint64_t last = f.even ? hi >> u : (hi - 1) >> u;
  if (first > last) return false;
  std::uint64_t r = c >> u;
  const std::uint64_t rest = c & mask, half = std::uint64_t{1} << (u - 1);
  if (rest > half || (rest == half && (r & 1) != 0)) ++r;
  d = std::clamp(r, first, last);
  return true;
}

// float32_as_shown for the usual magnitudes, without printing: the fewest digits whose integer
// lies in the float's rounding interval, found by bisection, then one correctly rounded
// division (D and 10^p are exact doubles). False outside 2^-9 <= |f| < 2^24, where the printed
// form is used instead.
inline bool float32_shown_fast(float f, double& out) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(f);
  const int biased = static_cast<int>(bits >> 23 & 0xFF);
  const int e2 = biased - 127;  // |f| in [2^e2, 2^(e2 + 1))
  if (e2 < -9 || e2 >= 24) return false;
  const std::uint64_t m = (bits & 0x7FFFFFu) | 0x800000u;
  // A power of two's interval reaches half as far below.
  const bool lower_closer = (bits & 0x7FFFFFu) == 0;
  const FloatInterval interval = {.center = 4 * m,
                                  .lo = 4 * m - (lower_closer ? 1 : 2),
                                  .hi = 4 * m + 2,
                                  .exponent = e2 - 23 - 2,
                                  .even = (m & 1) == 0};
  // floor(e2 * log10(2)): the power of ten of f's first digit, or one below it, so `high` is
  // 9 or 10 significant digits, either enough for any float32.
  const int e10 = (e2 * 78913) >> 18;
  int low = std::max(0, -e10 - 1), high = 8 - e10;
  if (high > 11) return false;
  std::uint64_t d = 0;
  if (!digits_at(interval, high, d)) return false;
  while (low < high) {
    const int mid = (low + high) / 2;
    std::uint64_t candidate = 0;
    if (digits_at(interval, mid, candidate)) {
      high = mid;
      d = candidate;
    } else {
      low = mid + 1;
    }
  }
  const double value = static_cast<double>(d) / kPowersOfTen[high];
  out = (bits >> 31) != 0 ? -value : value;
  return true;
}

// The shortest decimal that reads back as this float, as a double: a float32 39.9 is 39.9,
// not the 39.900001525878906 it widens to.
inline double float32_as_shown_uncached(float f) noexcept {
  if (double fast = 0.0; float32_shown_fast(f, fast)) return fast;
  if (!std::isfinite(f)) return f;
  char text[32];
  const auto printed = std::to_chars(text, text + sizeof text, f);
  double d = f;
  std::from_chars(text, printed.ptr, d);
  return d;
}

// float32_as_shown through a small cache of this thread's last values: a column of measured
// values holds few distinct ones, each then worked out once. NaN's bits are never looked up,
// so an empty slot holds them.
inline double float32_as_shown(float f) noexcept {
  struct Slot {
    std::uint32_t bits = 0x7FFFFFFFu;
    double value = 0.0;
  };
  // Enough for the distinct values of several columns of measurements, within L2.
  thread_local std::array<Slot, 8192> cache;
  const auto bits = std::bit_cast<std::uint32_t>(f);
  Slot& slot = cache[(bits * 2654435761u) >> 19];
  if (slot.bits == bits) return slot.value;
  if (std::isnan(f)) return f;
  slot = {bits, float32_as_shown_uncached(f)};
  return slot.value;
}

// A half-precision value, exactly, as a float.
inline float half_to_float(std::uint16_t h) noexcept {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  const std::uint32_t exponent = (h >> 10) & 0x1Fu;
  const std::uint32_t fraction = h & 0x3FFu;
  if (exponent == 0x1F) {
    return std::bit_cast<float>(sign | 0x7F800000u | (fraction << 13));
  }
  if (exponent == 0) {  // zero or subnormal: fraction * 2^-24
    const float magnitude = std::ldexp(static_cast<float>(fraction), -24);
    return sign != 0 ? -magnitude : magnitude;
  }
  return std::bit_cast<float>(sign | ((exponent + 112u) << 23) | (fraction << 13));
}

// A finite double rounded to the nearest half-precision value (ties to even), as its bits.
inline std::uint16_t double_to_half(double d) noexcept {
  const std::uint16_t sign = std::signbit(d) ? 0x8000u : 0u;
  double a = std::fabs(d);
  if (a >= 65520.0) return sign | 0x7C00u;  // rounds past the largest half
  if (a < std::ldexp(1.0, -14)) {           // subnormal: multiples of 2^-24
    const double units = std::nearbyint(std::ldexp(a, 24));
    return sign | static_cast<std::uint16_t>(units);
  }
  int e = 0;
  const double m = std::frexp(a, &e);                // a = m * 2^e, m in [0.5, 1)
  double units = std::nearbyint(std::ldexp(m, 11));  // 11 significant bits
  if (units == 2048.0) {
    units = 1024.0;
    ++e;
  }
  const auto fraction = static_cast<std::uint16_t>(static_cast<std::uint32_t>(units) - 1024u);
  return sign | static_cast<std::uint16_t>((e + 14) << 10) | fraction;
}

// The shortest decimal that reads back as this half, as a double.
inline double float16_as_shown(std::uint16_t h) noexcept {
  const float f = half_to_float(h);
  if (!std::isfinite(f)) return f;
  for (int digits = 1; digits <= 5; ++digits) {
    char text[40];
    const auto printed = std::to_chars(text, text + sizeof text, static_cast<double>(f),
                                       std::chars_format::scientific, digits - 1);
    double d = 0.0;
    std::from_chars(text, printed.ptr, d);
    if (double_to_half(d) == h) return d;
  }
  return f;
}

// A decimal's unscaled integer as its digits, most significant first: `words` little-endian
// 64-bit words of a two's-complement value. Writes the sign into `negative`.
inline std::string decimal_digits(const std::uint64_t* words, int count, bool& negative) {
  std::array<std::uint64_t, 4> w{};
  std::copy(words, words + count, w.begin());
  negative = (w[count - 1] >> 63) != 0;
  if (negative) {  // two's complement negation
    bool carry = true;
    for (int i = 0; i < count; ++i) {
      w[i] = ~w[i];
      if (carry) carry = ++w[i] == 0;
    }
  }
  std::string reversed;
  constexpr std::uint64_t kChunk = 10'000'000'000'000'000'000ull;  // 10^19
  for (;;) {
    bool zero = true;
    unsigned __int128 rest = 0;
    for (int i = count - 1; i >= 0; --i) {
      const unsigned __int128 part = (rest << 64) | w[i];
      w[i] = static_cast<std::uint64_t>(part / kChunk);
      rest = part % kChunk;
      zero = zero && w[i] == 0;
    }
    auto chunk = static_cast<std::uint64_t>(rest);
    for (int d = 0; d < 19 && (chunk != 0 || !zero); ++d) {
      reversed.push_back(static_cast<char>('0' + chunk % 10));
      chunk /= 10;
    }
    if (zero) break;
  }
  if (reversed.empty()) reversed.push_back('0');
  return {reversed.rbegin(), reversed.rend()};
}

// A decimal of `count` 64-bit words and `scale` as its exact text, as a decimal type prints it
// ("2.0" at scale 1, "-0.05" at scale 2).
inline std::string decimal_text(const std::uint64_t* words, int count, int scale) {
  bool negative = false;
  std::string digits = decimal_digits(words, count, negative);
  if (scale > 0) {
    const auto s = static_cast<std::size_t>(scale);
    if (digits.size() <= s) digits.insert(0, s + 1 - digits.size(), '0');
    digits.insert(digits.size() - s, 1, '.');
  } else if (scale < 0) {
    digits.append(static_cast<std::size_t>(-scale), '0');
  }
  if (negative) digits.insert(0, 1, '-');
  return digits;
}

// The correctly rounded double of a decimal's exact value.
inline double decimal_value(const std::uint64_t* words, int count, int scale) {
  // The usual case: an unscaled value and a power of ten that doubles hold exactly, so one
  // division (or product) rounds once, to the double nearest the exact value.
  const auto low = static_cast<std::int64_t>(words[0]);
  const std::uint64_t extension = low < 0 ? ~std::uint64_t{0} : 0;
  bool small = low > -(std::int64_t{1} << 53) && low < (std::int64_t{1} << 53);
  for (int i = 1; i < count && small; ++i) small = words[i] == extension;
  constexpr int kMaxPower = static_cast<int>(std::size(kPowersOfTen)) - 1;
  if (small && scale >= -kMaxPower && scale <= kMaxPower) {
    const auto unscaled = static_cast<double>(low);
    return scale >= 0 ? unscaled / kPowersOfTen[scale] : unscaled * kPowersOfTen[-scale];
  }
  bool negative = false;
  std::string text = decimal_digits(words, count, negative);
  if (negative) text.insert(0, 1, '-');
  text += 'e';
  text += std::to_string(-scale);
  double d = 0.0;
  std::from_chars(text.data(), text.data() + text.size(), d);
  return d;
}

}  // namespace corvane
