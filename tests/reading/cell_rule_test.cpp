// The cell rule's number conversions against the C library's own, over many values: plain C++,
// no Python. The float32 shortcut must agree with printing and parsing on every float.
#include "reading/cell_rule.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

namespace {

int passed = 0;
int failed = 0;

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (cond) {                                                              \
      ++passed;                                                              \
    } else {                                                                 \
      ++failed;                                                              \
      std::fprintf(stderr, "%s:%d: CHECK(%s)\n", __FILE__, __LINE__, #cond); \
    }                                                                        \
  } while (0)

using namespace corvane;

double printed_float(float f) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, f).ptr;
  double d = 0.0;
  std::from_chars(text, end, d);
  return d;
}

bool same(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// Every float32 the shortcut takes, and the cache on top, give the printed decimal's double.
void float32_matches_printing() {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> measured(0.0f, 400.0f);
  long bad = 0;
  for (long i = 0; i < 4'000'000; ++i) {
    const float f =
        i % 2 ? measured(random) : std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isnan(f)) continue;
    bad += !same(float32_as_shown(f), printed_float(f));
  }
  for (int tenths = 0; tenths < 5000; ++tenths) {  // one-decimal measurements, twice: cached
    const float f = static_cast<float>(tenths / 10.0);
    bad += !same(float32_as_shown(f), printed_float(f)) + !same(float32_as_shown(f), tenths / 10.0);
  }
  CHECK(bad == 0);
}

// A half reads back to itself, by the fewest digits a double needs for that.
void float16_round_trips() {
  long bad = 0;
  for (std::uint32_t h = 0; h < 65536; ++h) {
    const float f = half_to_float(static_cast<std::uint16_t>(h));
    if (!std::isfinite(f)) continue;
    const double shown = float16_as_shown(static_cast<std::uint16_t>(h));
    bad += double_to_half(shown) != h && f != 0.0f;
  }
  CHECK(bad == 0);
  CHECK(float16_as_shown(0x4CFCu) == 19.94);  // 19.9375 shows as 19.94
}

// A decimal's value is the double nearest its exact text, as strtod reads it.
void decimals_round_once() {
  std::mt19937_64 random(3);
  long bad = 0;
  for (int i = 0; i < 200'000; ++i) {
    std::uint64_t words[4] = {random(), random(), random(), random()};
    const int count = 1 << (i % 3);  // 64, 128 and 256 bits
    if (i % 4 == 0) words[1] = words[2] = words[3] = (words[0] >> 63) ? ~0ull : 0;  // small
    const int scale = static_cast<int>(random() % 40) - 5;
    const std::string text = decimal_text(words, count, scale);
    bad += !same(decimal_value(words, count, scale), std::strtod(text.c_str(), nullptr));
  }
  CHECK(bad == 0);
  const std::uint64_t minus_five[2] = {~0ull - 4, ~0ull};
  CHECK(decimal_text(minus_five, 2, 2) == "-0.05");
}

// The grammar, and past the double's range zero or infinity as strtod gives them.
void text_numbers() {
  double x = 0.0;
  for (const char* good :
       {"55", "+55", "-5.5e1", "55.", ".5", "1E+05", "007", "1e400", "-1e-400",
        "0.0000000000000000000000000000001e-330", "123456789012345678901234567890"}) {
    CHECK(parse_number(good, '.', x) && same(x, std::strtod(good, nullptr)));
  }
  for (const char* bad : {"", "+", ".", "e5", "5e", "5_0", "0x1F", "inf", "nan", "1 000", "1.2.3",
                          "--1", "5e+", "١"}) {
    CHECK(!parse_number(bad, '.', x));
  }
  std::mt19937 random(11);
  long bad = 0;
  for (int i = 0; i < 1'000'000; ++i) {  // random decimals, short and long, against strtod
    std::string text = random() % 4 == 0 ? "-" : "";
    const int length = 1 + static_cast<int>(random() % (i % 2 ? 8 : 24));
    const int point = static_cast<int>(random() % (length + 1));
    for (int d = 0; d < length; ++d) {
      if (d == point && d != 0) text += '.';
      text += static_cast<char>('0' + random() % 10);
    }
    if (random() % 3 == 0) text += "e" + std::to_string(static_cast<int>(random() % 60) - 30);
    bad += !(parse_number(text, '.', x) && same(x, std::strtod(text.c_str(), nullptr)));
  }
  CHECK(bad == 0);
  CHECK(parse_number("39,9", ',', x) && x == 39.9);
  CHECK(!parse_number("39.9", ',', x));
}

}  // namespace

int main() {
  float32_matches_printing();
  float16_round_trips();
  decimals_round_once();
  text_numbers();
  std::printf("cell_rule_test: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
