// Scoring straight from eleven table columns: the per-row status codes, and the one pass that
// reads each row by the cell rule and evaluates any subset of the six models. Pure C++: it runs
// on the pool's workers and never sees Python.
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
#include <limits>
#include <stdexcept>
#include <string_view>
#include <type_traits>

#include "reading/column_source.hpp"
#include "risk/ascvd.hpp"
#include "risk/cvd.hpp"
#include "risk/heart_failure.hpp"
#include "risk/lanes.hpp"
#include "risk/risk.hpp"

namespace corvane {

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

// What a message gains when cholesterol comes in mmol/L: the two cholesterol ranges also say
// them in mmol/L (the mg/dL bounds times 0.02586, exactly).
inline constexpr std::array<std::string_view, 10> kMmolSuffixes = {
    std::string_view{},
    std::string_view{},
    std::string_view{},
    " mg/dL (3.3618 to 8.2752 mmol/L)",
    " mg/dL (0.5172 to 2.586 mmol/L)",
};

inline RowStatus status_of(std::string_view message) noexcept {
  // validate_input returns the constants themselves: their addresses tell them apart.
  for (std::uint8_t s = kAgeRange10Status; s <= kSexStatus; ++s) {
    if (kStatusMessages[s].data() == message.data()) return static_cast<RowStatus>(s);
  }
  for (std::uint8_t s = kAgeRange10Status; s <= kSexStatus; ++s) {
    if (kStatusMessages[s] == message) return static_cast<RowStatus>(s);
  }
  return kUnreadableStatus;  // not reached: every refusal is one of the eight
}

// A model of the columnar pass: its name as the caller asks for it, its two sets and its
// horizon's age window.
struct ColumnarModel {
  std::string_view name;
  const CoefficientSet* female;
  const CoefficientSet* male;
  bool ten_year;
};

inline constexpr std::array<ColumnarModel, 6> kColumnarModels = {{
    {"cvd_10yr", &kCvd10Female, &kCvd10Male, true},
    {"ascvd_10yr", &kAscvd10Female, &kAscvd10Male, true},
    {"hf_10yr", &kHeartFailure10Female, &kHeartFailure10Male, true},
    {"cvd_30yr", &kCvd30Female, &kCvd30Male, false},
    {"ascvd_30yr", &kAscvd30Female, &kAscvd30Male, false},
    {"hf_30yr", &kHeartFailure30Female, &kHeartFailure30Male, false},
}};

// The equations' own factor, in the exact form 2586 / 100000 mmol/L per mg/dL.
inline constexpr std::uint64_t kMmolPerMgDenominator = 2586;
inline constexpr int kMmolPerMgExponent = 5;

// A cholesterol in mmol/L as mg/dL: the decimal the value shows (its shortest round-trip
// text), divided by 0.02586 exactly and rounded once to the nearest double. Dividing the double
// itself by the double 0.02586 lands an ulp off the exact quotient for about a third of all
// four-decimal inputs (2.586 mmol/L would be 99.99999999999999 mg/dL, not 100), so a patient
// would score differently from the same patient entered in mg/dL.
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
  // The quotient digits * 10^exponent / 2586 of two integers that doubles hold exactly is one
  // correctly rounded division: the usual case, a value with a few decimals.
  constexpr std::uint64_t kExact = std::uint64_t{1} << 53;
  constexpr std::uint64_t kPowers[] = {1,       10,       100,       1000,       10000,      100000,
                                       1000000, 10000000, 100000000, 1000000000, 10000000000};
  constexpr int kMaxPower = static_cast<int>(std::size(kPowers)) - 1;
  if (exponent >= 0 && exponent <= kMaxPower && digits < kExact / kPowers[exponent]) {
    const double mg = static_cast<double>(digits * kPowers[exponent]) /
                      static_cast<double>(kMmolPerMgDenominator);
    return negative ? -mg : mg;
  }
  if (exponent < 0 && -exponent <= kMaxPower && digits < kExact) {
    const double mg = static_cast<double>(digits) /
                      static_cast<double>(kMmolPerMgDenominator * kPowers[-exponent]);
    return negative ? -mg : mg;
  }
  // Otherwise digits / 2586 by long division: the integer part, 32 more digits, then a 1 if
  // anything is left over, so that a single correctly rounding parse rounds as the exact quotient
  // would.
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

// Where a field sits in a CoefficientSet, counted in doubles.
inline std::size_t field_index(double CoefficientSet::*field) noexcept {
  static constexpr CoefficientSet kProbe{};
  return static_cast<std::size_t>(reinterpret_cast<const char*>(&(kProbe.*field)) -
                                  reinterpret_cast<const char*>(&kProbe)) /
         sizeof(double);
}

// One model's coefficients as lanes, for each pairing of sexes in two lanes: index bit l set
// when lane l is male.
static_assert(kLanes == 2);
using LaneCoefficients = std::array<std::array<Lanes, sizeof(CoefficientSet) / sizeof(double)>, 4>;

inline LaneCoefficients lane_coefficients(const ColumnarModel& model) noexcept {
  const auto female = std::bit_cast<std::array<double, 25>>(*model.female);
  const auto male = std::bit_cast<std::array<double, 25>>(*model.male);
  LaneCoefficients out;
  for (std::size_t sexes = 0; sexes < 4; ++sexes) {
    for (std::size_t j = 0; j < female.size(); ++j) {
      out[sexes][j] = Lanes{(sexes & 1) ? male[j] : female[j], (sexes & 2) ? male[j] : female[j]};
    }
  }
  return out;
}

// Radix of a row's error code: first horizon's status + kErrorRadix * second horizon's.
inline constexpr std::uint16_t kErrorRadix = 10;
static_assert(kUnreadableStatus < kErrorRadix);
// An unreadable row's error code instead: kUnreadableCode + a bit per unreadable column (bit j
// for column j in RiskInputs order), so the caller names the bad cells without looking for them.
inline constexpr std::uint16_t kUnreadableCode = kErrorRadix * kErrorRadix;
static_assert(kUnreadableCode + (1 << 11) <= 65536);

// The columns and models of one call, and where the results go. Risks are one array per model and
// statuses model-major, `n` rows per model, in the order the models were asked for; statuses and
// errors may be null when the caller does not want them. A readable row's error code is the status
// of the first model of each horizon that refused it (horizons in the order they first appear among
// the models): slot 0 + kErrorRadix * slot 1; an unreadable row's is kUnreadableCode + its columns.
struct ColumnarJob {
  std::array<const ColumnSource*, 11> columns{};  // in RiskInputs order
  std::array<const ColumnarModel*, kColumnarModels.size()> models{};
  std::array<std::uint8_t, kColumnarModels.size()> horizon_slot{};    // 0 or 1, per model
  std::array<LaneCoefficients, kColumnarModels.size()> coefficients;  // per model
  std::size_t model_count = 0;
  bool cholesterol_mmol = false;
  std::size_t n = 0;
  std::array<double*, kColumnarModels.size()> risks{};  // per model, n each
  std::uint8_t* statuses = nullptr;
  std::uint16_t* errors = nullptr;
  // Per row, if wanted: bit j where column j's cell is missing. Written only for unreadable
  // rows, so that zeroed memory the kernel hands out lazily is never touched for clean ones.
  std::uint16_t* missing = nullptr;
  // Per input, if wanted: each row's value as read (sex and the flags as 0.0/1.0), NaN where
  // the cell is missing or unreadable; n each. For reports grouped by what was read.
  std::array<double*, 11> values{};
};

// Rows decoded at a time, column by column: small enough to stay in the first-level cache while
// every model reads them, large enough that the per-block work is noise. A multiple of kLanes.
inline constexpr std::size_t kColumnarBlock = 128;
static_assert(kColumnarBlock % kLanes == 0);

// The eleven inputs of up to kColumnarBlock rows, in RiskInputs order; sex and the flags as
// 0.0/1.0. A row that is not readable has NaN for its age, so every model refuses it.
struct ColumnBlock {
  double v[11][kColumnarBlock];
  std::uint8_t states[11][kColumnarBlock];  // each cell's CellState
  bool readable[kColumnarBlock];
  std::uint16_t bad_columns[kColumnarBlock];         // bit j: column j is unreadable
  std::uint16_t missing_columns[kColumnarBlock];     // bit j: column j's cell is missing
  bool ok[2][kColumnarBlock];                        // by horizon: 10-year, 30-year
  double x[kColumnarModels.size()][kColumnarBlock];  // each model's linear predictor
};

enum InputColumn : int {
  kSex,
  kAge,
  kTotal,
  kHdl,
  kSystolic,
  kDiabetes,
  kSmoker,
  kBmi,
  kEgfr,
  kHtnMeds,
  kCholesterolMeds
};

// Reads rows [begin, begin + m) by the cell rule; a row with a missing or unreadable cell is
// not readable.
inline void read_block(const ColumnarJob& job, std::size_t begin, std::size_t m,
                       ColumnBlock& block) noexcept {
  bool* readable = block.readable;
  std::uint16_t* bad = block.bad_columns;
  std::uint16_t* missing = block.missing_columns;
  std::fill(bad, bad + m, std::uint16_t{0});
  std::fill(missing, missing + m, std::uint16_t{0});
  for (int k = 0; k < 11; ++k) {
    std::uint8_t* states = block.states[k];
    job.columns[k]->read(begin, m, block.v[k], states);
    const auto bit = static_cast<std::uint16_t>(1u << k);
    for (std::size_t i = 0; i < m; ++i) bad[i] |= states[i] != kCellOk ? bit : 0;
    for (std::size_t i = 0; i < m; ++i) missing[i] |= states[i] == kCellMissing ? bit : 0;
    if (double* out = job.values[k]; out != nullptr) {
      constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
      for (std::size_t i = 0; i < m; ++i) {
        out[begin + i] = states[i] == kCellOk ? block.v[k][i] : kNaN;
      }
    }
  }
  for (std::size_t i = 0; i < m; ++i) readable[i] = bad[i] == 0;
  for (std::size_t i = 0; i < m; ++i) {
    if (!readable[i]) {
      block.v[kAge][i] = std::nan("");
    } else if (job.cholesterol_mmol) {
      block.v[kTotal][i] = mmol_to_mg(block.v[kTotal][i]);
      block.v[kHdl][i] = mmol_to_mg(block.v[kHdl][i]);
    }
  }
}

// What every model computes alike from kLanes rows: which rows pass each age window, the sex
// mask, and the pieces of the predictor that use no coefficient. The batch path forms the same
// pieces once per model; here they are formed once for all.
struct SharedLanes {
  LaneMask ok10, ok30, male;
  LanePieces pieces;
};

// Rows [i, i + kLanes) of the block.
inline SharedLanes shared_lanes(const ColumnBlock& b, std::size_t i) noexcept {
  SharedLanes s;
  Lanes age, total, hdl, sbp, bmi, egfr;
  LaneMask diabetes, smoker, htn, chol;
  const auto mask = [](bool set) { return -std::int64_t{set}; };
  for (std::size_t l = 0; l < kLanes; ++l) {
    const std::size_t r = i + l;
    // Everything but the age window: validate_input's tests with an age that passes both.
    const bool rest_ok = validate_input(true, 55.0, b.v[kTotal][r], b.v[kHdl][r], b.v[kSystolic][r],
                                        b.v[kBmi][r], b.v[kEgfr][r])
                             .empty();
    const double row_age = b.v[kAge][r];
    s.ok10[l] = mask(rest_ok && row_age >= 30.0 && row_age <= 79.0);
    s.ok30[l] = mask(rest_ok && row_age >= 30.0 && row_age <= 59.0);
    s.male[l] = mask(b.v[kSex][r] == 1.0);
    diabetes[l] = mask(b.v[kDiabetes][r] == 1.0);
    smoker[l] = mask(b.v[kSmoker][r] == 1.0);
    htn[l] = mask(b.v[kHtnMeds][r] == 1.0);
    chol[l] = mask(b.v[kCholesterolMeds][r] == 1.0);
    age[l] = row_age;
    total[l] = b.v[kTotal][r];
    hdl[l] = b.v[kHdl][r];
    sbp[l] = b.v[kSystolic][r];
    bmi[l] = b.v[kBmi][r];
    egfr[l] = b.v[kEgfr][r];
  }
  // A row inside the wider window keeps its own values, and a 30-year model drops its result
  // where ok30 is clear; a row outside runs on stand-ins, as in risk_lane_rows.
  s.pieces = lane_pieces(s.ok10, age, total, hdl, sbp, bmi, egfr, diabetes, smoker, htn, chol);
  return s;
}

// One model's linear predictor for the rows of `s`, its coefficients read from the model's
// table: the same bits as selecting each by the sex mask, in one load.
inline Lanes model_predictor(const SharedLanes& s, const LaneCoefficients& coefficients) noexcept {
  const std::size_t sexes = (s.male[0] & 1) | (s.male[1] & 2);
  return lane_predictor(s.pieces, [&](double CoefficientSet::*field) {
    return coefficients[sexes][field_index(field)];
  });
}

// The percentage of a predictor, as risk_for_sets forms it; NaN for a refused row.
inline double risk_percent(double x, bool ok) noexcept {
  if (!ok) return std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
  // pow(e, x), not exp(x): the two can differ in the last bit and every path must agree.
  const double p = std::pow(2.718281828459045, x);
  return (p / (1.0 + p)) * 100.0;
}

// The status of a readable row that a horizon's models refused: its first failing check.
inline RowStatus refusal_status(bool ten_year, const ColumnBlock& b, std::size_t i) {
  const std::string_view message =
      validate_input(ten_year, b.v[kAge][i], b.v[kTotal][i], b.v[kHdl][i], b.v[kSystolic][i],
                     b.v[kBmi][i], b.v[kEgfr][i]);
  if (message.empty()) throw std::logic_error("a model refused a row that passes validation");
  return status_of(message);
}

// Scores rows [begin, end) for every requested model. Throws std::logic_error if a model
// refuses a row that passes validation, which no valid row does.
inline void score_rows(const ColumnarJob& job, std::size_t begin, std::size_t end) {
  ColumnBlock block;
  for (std::size_t lo = begin; lo < end; lo += kColumnarBlock) {
    const std::size_t m = std::min(kColumnarBlock, end - lo);
    read_block(job, lo, m, block);
    // A last odd row is paired with a copy of itself; the copy's results are not written.
    if (m % kLanes != 0) {
      for (auto& column : block.v) column[m] = column[m - 1];
    }
    // The predictors of every model first, then the percentages: the calls to pow run back to
    // back instead of breaking up the vector code.
    for (std::size_t i = 0; i < m; i += kLanes) {
      const SharedLanes shared = shared_lanes(block, i);
      for (std::size_t l = 0; l < kLanes; ++l) {
        block.ok[0][i + l] = shared.ok10[l] != 0;
        block.ok[1][i + l] = shared.ok30[l] != 0;
      }
      for (std::size_t k = 0; k < job.model_count; ++k) {
        const Lanes x = model_predictor(shared, job.coefficients[k]);
        for (std::size_t l = 0; l < kLanes; ++l) block.x[k][i + l] = x[l];
      }
    }
    // Validation depends on the horizon alone, so every model of a horizon gives a row the
    // same status: each horizon slot's statuses are worked out once.
    std::uint8_t first[2][kColumnarBlock] = {};  // per horizon slot
    for (std::size_t h = 0; h < 2; ++h) {
      const ColumnarModel* model = nullptr;
      for (std::size_t k = 0; k < job.model_count && model == nullptr; ++k) {
        if (job.horizon_slot[k] == h) model = job.models[k];
      }
      if (model == nullptr) continue;
      const bool* ok = block.ok[model->ten_year ? 0 : 1];
      for (std::size_t i = 0; i < m; ++i) {
        first[h][i] = ok[i]                ? kScored
                      : !block.readable[i] ? kUnreadableStatus
                                           : refusal_status(model->ten_year, block, i);
      }
    }
    for (std::size_t k = 0; k < job.model_count; ++k) {
      const ColumnarModel& model = *job.models[k];
      const bool* ok = block.ok[model.ten_year ? 0 : 1];
      double* out = job.risks[k] + lo;
      for (std::size_t i = 0; i < m; ++i) out[i] = risk_percent(block.x[k][i], ok[i]);
      if (job.statuses != nullptr) {
        const std::uint8_t* status = first[job.horizon_slot[k]];
        std::copy(status, status + m, job.statuses + k * job.n + lo);
      }
    }
    if (job.missing != nullptr) {
      for (std::size_t i = 0; i < m; ++i) {
        if (block.missing_columns[i] != 0) job.missing[lo + i] = block.missing_columns[i];
      }
    }
    if (job.errors != nullptr) {
      for (std::size_t i = 0; i < m; ++i) {
        job.errors[lo + i] =
            block.readable[i] ? static_cast<std::uint16_t>(first[0][i] + kErrorRadix * first[1][i])
                              : static_cast<std::uint16_t>(kUnreadableCode + block.bad_columns[i]);
      }
    }
  }
}

}  // namespace corvane
