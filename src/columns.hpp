// Scoring straight from eleven table columns: reading a cell of any numeric type, the per-row
// status codes, and the one pass that evaluates any subset of the six models. Pure C++: it runs
// on the pool's workers and never sees Python.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "ascvd.hpp"
#include "cvd.hpp"
#include "heart_failure.hpp"
#include "utils.hpp"

namespace corvane {

enum class CellType : std::uint8_t {
  kFloat64,
  kFloat32,
  kInt8,
  kInt16,
  kInt32,
  kInt64,
  kUInt8,
  kUInt16,
  kUInt32,
  kUInt64,
};

// One input column where it sits in memory, at any stride and alignment. `missing`, when set,
// holds one byte per row at its own stride; nonzero means the cell has no value.
struct ColumnView {
  const char* data = nullptr;
  std::ptrdiff_t stride = 0;
  CellType type = CellType::kFloat64;
  const char* missing = nullptr;
  std::ptrdiff_t missing_stride = 0;
};

// What one model did with one row: scored, refused with one of the eight messages, or not
// tried because an input is missing or unreadable (the caller knows which and says so).
enum RowStatus : std::uint8_t {
  kScored = 0,
  kAgeRange10Status,
  kAgeRange30Status,
  kTotalCholesterolStatus,
  kHdlStatus,
  kSystolicStatus,
  kBmiStatus,
  kEgfrStatus,
  kSexStatus,
  kUnreadableStatus,
};

// The message of each status; empty for the two that have none of their own.
inline constexpr std::array<std::string_view, 10> kStatusMessages = {
    std::string_view{}, kAgeRange10, kAgeRange30, kTotalCholesterolRange, kHdlRange, kSystolicRange,
    kBmiRange,          kEgfrRange,  kSexMessage, std::string_view{},
};

// The same when cholesterol comes in mmol/L: the two cholesterol ranges also say them in mmol/L
// (the mg/dL bounds times 0.02586, exactly).
inline constexpr std::array<std::string_view, 10> kStatusMessagesMmol = {
    std::string_view{},
    kAgeRange10,
    kAgeRange30,
    "Total cholesterol must be between 130 and 320 mg/dL (3.3618 to 8.2752 mmol/L)",
    "HDL cholesterol must be between 20 and 100 mg/dL (0.5172 to 2.586 mmol/L)",
    kSystolicRange,
    kBmiRange,
    kEgfrRange,
    kSexMessage,
    std::string_view{},
};

inline RowStatus status_of(std::string_view message) noexcept {
  for (std::uint8_t s = kAgeRange10Status; s <= kSexStatus; ++s) {
    if (kStatusMessages[s] == message) return static_cast<RowStatus>(s);
  }
  return kUnreadableStatus;  // not reached: every refusal is one of the eight
}

// A model of the columnar pass: its name as the caller asks for it, its many-rows form and the
// horizon's age window (to name the refusal of a row the lanes returned NaN for).
struct ColumnarModel {
  std::string_view name;
  RowsFunction rows;
  bool ten_year;
};

inline constexpr std::array<ColumnarModel, 6> kColumnarModels = {{
    {"cvd_10yr", calculate_10_yr_cvd_risk_rows, true},
    {"ascvd_10yr", calculate_10_yr_ascvd_risk_rows, true},
    {"hf_10yr", calculate_10_yr_heart_failure_risk_rows, true},
    {"cvd_30yr", calculate_30_yr_cvd_risk_rows, false},
    {"ascvd_30yr", calculate_30_yr_ascvd_risk_rows, false},
    {"hf_30yr", calculate_30_yr_heart_failure_risk_rows, false},
}};

template <class T>
T load_cell(const char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);  // a strided view may put a value at any byte
  return v;
}

// The shortest decimal that reads back as this float, as a double: a float32 39.9 is 39.9, not
// the 39.900001525878906 it widens to.
inline double float32_as_shown(float f) noexcept {
  if (!std::isfinite(f)) return f;
  char text[32];
  const auto printed = std::to_chars(text, text + sizeof text, f);
  double d = f;
  std::from_chars(text, printed.ptr, d);
  return d;
}

inline double read_cell(const ColumnView& c, std::size_t row) noexcept {
  const char* p = c.data + static_cast<std::ptrdiff_t>(row) * c.stride;
  switch (c.type) {
    case CellType::kFloat64:
      return load_cell<double>(p);
    case CellType::kFloat32:
      return float32_as_shown(load_cell<float>(p));
    case CellType::kInt8:
      return load_cell<std::int8_t>(p);
    case CellType::kInt16:
      return load_cell<std::int16_t>(p);
    case CellType::kInt32:
      return load_cell<std::int32_t>(p);
    case CellType::kInt64:
      return static_cast<double>(load_cell<std::int64_t>(p));
    case CellType::kUInt8:
      return load_cell<std::uint8_t>(p);
    case CellType::kUInt16:
      return load_cell<std::uint16_t>(p);
    case CellType::kUInt32:
      return load_cell<std::uint32_t>(p);
    case CellType::kUInt64:
      return static_cast<double>(load_cell<std::uint64_t>(p));
  }
  return std::nan("");
}

inline bool cell_missing(const ColumnView& c, std::size_t row) noexcept {
  return c.missing != nullptr && c.missing[static_cast<std::ptrdiff_t>(row) * c.missing_stride];
}

// The equations' own factor, in the exact form 2586 / 100000 mmol/L per mg/dL.
inline constexpr std::uint64_t kMmolPerMgDenominator = 2586;
inline constexpr int kMmolPerMgExponent = 5;

// A cholesterol in mmol/L as mg/dL: the decimal the value shows (its shortest round-trip
// text), divided by 0.02586 exactly and rounded once to the nearest double. Dividing the double
// itself by the double 0.02586 rounds twice and lands an ulp off for a third of all inputs,
// which refuses 2.586 mmol/L as "above" 100 mg/dL.
inline double mmol_to_mg(double mmol) noexcept {
  if (!std::isfinite(mmol)) return mmol;
  char text[40];
  const auto printed = std::to_chars(text, text + sizeof text, mmol, std::chars_format::scientific);
  // d.ddddde±x: at most 17 significant digits, so the digits fit in 64 bits.
  std::uint64_t digits = 0;
  int exponent = 0;
  bool negative = false;
  const char* p = text;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  for (; p < printed.ptr && *p != 'e'; ++p) {
    if (*p == '.') continue;
    digits = digits * 10 + static_cast<std::uint64_t>(*p - '0');
    if (p > text + negative + 1) --exponent;  // a digit after the point
  }
  int written_exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), printed.ptr, written_exponent);
  exponent += written_exponent + kMmolPerMgExponent;
  // digits / 2586 by long division: the integer part, 32 more digits, then a 1 if anything is
  // left over, so that a single correctly rounding parse rounds as the exact quotient would.
  char quotient[96];
  char* q = quotient;
  if (negative) *q++ = '-';
  q = std::to_chars(q, quotient + sizeof quotient, digits / kMmolPerMgDenominator).ptr;
  *q++ = '.';
  std::uint64_t rest = digits % kMmolPerMgDenominator;
  for (int i = 0; i < 32; ++i) {
    rest *= 10;
    *q++ = static_cast<char>('0' + rest / kMmolPerMgDenominator);
    rest %= kMmolPerMgDenominator;
  }
  if (rest != 0) *q++ = '1';
  *q++ = 'e';
  q = std::to_chars(q, quotient + sizeof quotient, exponent).ptr;
  double mg = 0.0;
  std::from_chars(quotient, q, mg);
  return mg;
}

// The columns and models of one call, and where the results go: statuses and risks are
// model-major, `n` rows per model, in the order the models were asked for.
struct ColumnarJob {
  std::array<ColumnView, 11> columns;  // in RiskInputs order
  std::array<const ColumnarModel*, kColumnarModels.size()> models{};
  std::size_t model_count = 0;
  bool cholesterol_mmol = false;
  std::size_t n = 0;
  double* risks = nullptr;
  std::uint8_t* statuses = nullptr;
};

inline constexpr std::string_view kMaleText = "male";
inline constexpr std::string_view kFemaleText = "female";

// Reads one row; false when a cell is missing or unreadable. A number must not be NaN; sex and
// the flags must be exactly 0 or 1.
inline bool read_row(const ColumnarJob& job, std::size_t row, RiskInputs& in) noexcept {
  const auto& c = job.columns;
  bool ok = true;
  const auto number = [&](int k) {
    const double v = read_cell(c[k], row);
    ok = ok && !std::isnan(v) && !cell_missing(c[k], row);
    return v;
  };
  const auto code = [&](int k) {
    const double v = read_cell(c[k], row);
    ok = ok && (v == 0.0 || v == 1.0) && !cell_missing(c[k], row);
    return v == 1.0;
  };
  in.sex = code(0) ? kMaleText : kFemaleText;
  in.age = number(1);
  in.total_cholesterol = number(2);
  in.hdl_cholesterol = number(3);
  in.systolic_bp = number(4);
  in.has_diabetes = code(5);
  in.current_smoker = code(6);
  in.bmi = number(7);
  in.egfr = number(8);
  in.on_htn_meds = code(9);
  in.on_cholesterol_meds = code(10);
  if (job.cholesterol_mmol && ok) {
    in.total_cholesterol = mmol_to_mg(in.total_cholesterol);
    in.hdl_cholesterol = mmol_to_mg(in.hdl_cholesterol);
  }
  if (!ok) in.age = std::nan("");  // every model refuses the row; its status says why
  return ok;
}

// Rows decoded at a time: small enough to stay in the first-level cache while every model
// reads them, large enough that the per-block work is noise.
inline constexpr std::size_t kColumnarBlock = 128;

// Scores rows [begin, end) for every requested model. Throws std::logic_error if a model
// refuses a row that passes validation, which no valid row does.
inline void score_rows(const ColumnarJob& job, std::size_t begin, std::size_t end) {
  RiskInputs rows[kColumnarBlock];
  bool readable[kColumnarBlock];
  for (std::size_t lo = begin; lo < end; lo += kColumnarBlock) {
    const std::size_t m = std::min(kColumnarBlock, end - lo);
    for (std::size_t i = 0; i < m; ++i) readable[i] = read_row(job, lo + i, rows[i]);
    for (std::size_t k = 0; k < job.model_count; ++k) {
      const ColumnarModel& model = *job.models[k];
      double* risk = job.risks + k * job.n + lo;
      std::uint8_t* status = job.statuses + k * job.n + lo;
      model.rows(rows, m, risk);
      for (std::size_t i = 0; i < m; ++i) {
        if (!std::isnan(risk[i])) {
          status[i] = kScored;
          continue;
        }
        if (!readable[i]) {
          status[i] = kUnreadableStatus;
          continue;
        }
        const RiskInputs& r = rows[i];
        const std::string_view message =
            validate_input(model.ten_year, r.age, r.total_cholesterol, r.hdl_cholesterol,
                           r.systolic_bp, r.bmi, r.egfr);
        if (message.empty()) throw std::logic_error("a model refused a row that passes validation");
        status[i] = status_of(message);
      }
    }
  }
}

}  // namespace corvane
