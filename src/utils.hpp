// The risk core shared by every model: inputs, outcome, coefficient layout, validation and the
// linear predictor. Pure C++: the pool and its test include this without Python.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane {

// The eleven inputs of one evaluation, in the order every risk function takes them.
struct RiskInputs {
  std::string_view sex;
  double age = 0.0;
  double total_cholesterol = 0.0;
  double hdl_cholesterol = 0.0;
  double systolic_bp = 0.0;
  bool has_diabetes = false;
  bool current_smoker = false;
  double bmi = 0.0;
  double egfr = 0.0;
  bool on_htn_meds = false;
  bool on_cholesterol_meds = false;
};

// A percentage, or one of eight fixed messages. The messages live in static storage, so a
// failure allocates nothing and the view never dangles.
struct RiskOutcome {
  double percent = 0.0;
  std::string_view message;  // empty on success
  constexpr bool ok() const noexcept { return message.empty(); }
};

inline constexpr std::string_view kAgeRange10 = "Age must be between 30 and 79";
inline constexpr std::string_view kAgeRange30 = "Age must be between 30 and 59";
inline constexpr std::string_view kTotalCholesterolRange =
    "Total cholesterol must be between 130 and 320";
inline constexpr std::string_view kHdlRange = "HDL cholesterol must be between 20 and 100";
inline constexpr std::string_view kSystolicRange =
    "Systolic blood pressure must be between 90 and 200";
inline constexpr std::string_view kBmiRange = "BMI must be between 18.5 and 39.9";
inline constexpr std::string_view kEgfrRange = "eGFR must be between 15 and 140";
inline constexpr std::string_view kSexMessage = "Sex must be either 'male' or 'female'.";

// One model's coefficients for one horizon and sex. The eGFR pair stores its high piece first,
// unlike the systolic and BMI pairs.
struct CoefficientSet {
  double constant;
  double diabetes;
  double current_smoker;
  double on_htn_meds;
  double on_cholesterol_meds;
  double age;
  double age_squared;
  double mmol_factor;  // mg/dL to mmol/L, not a coefficient
  double non_hdl;
  double hdl;
  double sbp_below_110;
  double sbp_110_plus;
  double egfr_60_plus;
  double egfr_below_60;
  double htn_meds_x_sbp;
  double cholesterol_meds_x_non_hdl;
  double age_x_non_hdl;
  double age_x_hdl;
  double age_x_sbp;
  double age_x_egfr;
  double age_x_diabetes;
  double age_x_smoker;
  double bmi_below_30;
  double bmi_30_plus;
  double age_x_bmi;
};
static_assert(sizeof(CoefficientSet) == 25 * sizeof(double));

// The signature every risk function shares; the batch path passes them around as plain pointers.
using RiskFunction = RiskOutcome (*)(std::string_view sex, double age, double total_cholesterol,
                                     double hdl_cholesterol, double systolic_bp, bool has_diabetes,
                                     bool current_smoker, double bmi, double egfr, bool on_htn_meds,
                                     bool on_cholesterol_meds);

// Fills out[i] for rows[i], i < n, with what a risk function returns for that row: the
// percentage, or NaN (0x7FF8000000000000) for a message. The batch path's form of a model.
using RowsFunction = void (*)(const RiskInputs* rows, std::size_t n, double* out);

// Not noexcept: the pool lets a faulty function's exception reach the caller.
inline RiskOutcome evaluate(RiskFunction fn, const RiskInputs& in) {
  return fn(in.sex, in.age, in.total_cholesterol, in.hdl_cholesterol, in.systolic_bp,
            in.has_diabetes, in.current_smoker, in.bmi, in.egfr, in.on_htn_meds,
            in.on_cholesterol_meds);
}

// Returns the first failing input's message, or an empty view. Every test is written as
// "in range" and negated, so a NaN fails its own test.
inline std::string_view validate_input(bool ten_year, double age, double total_cholesterol,
                                       double hdl_cholesterol, double systolic_bp, double bmi,
                                       double egfr) noexcept {
  if (ten_year) {
    if (!(age >= 30.0 && age <= 79.0)) return kAgeRange10;
  } else {
    if (!(age >= 30.0 && age <= 59.0)) return kAgeRange30;
  }
  if (!(total_cholesterol >= 130.0 && total_cholesterol <= 320.0)) return kTotalCholesterolRange;
  if (!(hdl_cholesterol >= 20.0 && hdl_cholesterol <= 100.0)) return kHdlRange;
  if (!(systolic_bp >= 90.0 && systolic_bp <= 200.0)) return kSystolicRange;
  if (!(bmi >= 18.5 && bmi <= 39.9)) return kBmiRange;
  if (!(egfr >= 15.0 && egfr <= 140.0)) return kEgfrRange;
  return {};
}

// The linear predictor. The order of the additions and the grouping inside each product fix the
// last bits of the result: never reorder or "simplify" them.
inline double common_calculation(const CoefficientSet& c, bool has_diabetes, bool current_smoker,
                                 bool on_htn_meds, bool on_cholesterol_meds, double systolic_bp,
                                 double non_hdl_mg, double hdl_cholesterol, double a, double a2,
                                 double egfr, double bmi) noexcept {
  const double f = c.mmol_factor;
  const double n = non_hdl_mg * f - 3.5;
  const double hdl_shifted = hdl_cholesterol * f - 1.3;
  const double h = hdl_shifted / 0.3;
  const double sl = (std::min(systolic_bp, 110.0) - 110.0) / 20.0;
  const double sh = (std::max(systolic_bp, 110.0) - 130.0) / 20.0;
  const double el = (std::min(egfr, 60.0) - 60.0) / -15.0;
  const double eh = (std::max(egfr, 60.0) - 90.0) / -15.0;
  const double bl = (std::min(bmi, 30.0) - 25.0) / 5.0;
  const double bh = (std::max(bmi, 30.0) - 30.0) / 5.0;

  double x = c.age_squared * a2 + c.age * a;
  x += c.constant;
  x += c.non_hdl * n;
  x += c.hdl * h;
  x += c.sbp_below_110 * sl;
  x += c.sbp_110_plus * sh;
  x += has_diabetes ? c.diabetes : 0.0;
  x += current_smoker ? c.current_smoker : 0.0;
  x += c.egfr_below_60 * el;
  x += c.egfr_60_plus * eh;
  x += on_htn_meds ? c.on_htn_meds : 0.0;
  x += on_cholesterol_meds ? c.on_cholesterol_meds : 0.0;
  x += on_htn_meds ? c.htn_meds_x_sbp * sh : 0.0;
  x += on_cholesterol_meds ? c.cholesterol_meds_x_non_hdl * n : 0.0;
  x += (c.age_x_non_hdl * a) * n;
  x += ((c.age_x_hdl * a) * hdl_shifted) / 0.3;
  x += (c.age_x_sbp * a) * sh;
  x += has_diabetes ? c.age_x_diabetes * a : 0.0;
  x += current_smoker ? c.age_x_smoker * a : 0.0;
  x += (c.age_x_egfr * a) * el;
  x += c.bmi_below_30 * bl;
  x += c.bmi_30_plus * bh;
  x += (c.age_x_bmi * a) * bh;
  return x;
}

// Whole-text ASCII case-insensitive match. No non-ASCII character lower-cases to one of these
// letters, so this accepts exactly what full Unicode lower-casing followed by an exact
// comparison would, without allocating.
inline bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The procedure all six risk functions follow; they differ only in horizon and sets.
template <bool kTenYear, const CoefficientSet& kFemale, const CoefficientSet& kMale>
RiskOutcome risk_for_sets(std::string_view sex, double age, double total_cholesterol,
                          double hdl_cholesterol, double systolic_bp, bool has_diabetes,
                          bool current_smoker, double bmi, double egfr, bool on_htn_meds,
                          bool on_cholesterol_meds) noexcept {
  // Sex is looked at only after validation, so a range error always wins.
  std::string_view error =
      validate_input(kTenYear, age, total_cholesterol, hdl_cholesterol, systolic_bp, bmi, egfr);
  if (!error.empty()) return {.message = error};
  const double non_hdl = total_cholesterol - hdl_cholesterol;
  const double a = (age - 55.0) / 10.0;
  const double a2 = a * a;
  const CoefficientSet* set = nullptr;
  if (equals_ignoring_ascii_case(sex, "male")) {
    set = &kMale;
  } else if (equals_ignoring_ascii_case(sex, "female")) {
    set = &kFemale;
  } else {
    return {.message = kSexMessage};
  }
  const double x =
      common_calculation(*set, has_diabetes, current_smoker, on_htn_meds, on_cholesterol_meds,
                         systolic_bp, non_hdl, hdl_cholesterol, a, a2, egfr, bmi);
  // pow(e, x), not exp(x): the two can differ in the last bit and every path must agree.
  const double p = std::pow(2.718281828459045, x);
  return {.percent = (p / (1.0 + p)) * 100.0, .message = {}};
}

// Rows the batch path evaluates side by side. One row alone is a chain of some thirty dependent
// additions and divisions, so the processor mostly waits; independent rows in the lanes of one
// SSE2 vector (every x86-64 has it) fill that wait. Four lanes measured no faster than two.
inline constexpr std::size_t kLanes = 2;
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

// risk_for_sets over kLanes rows at once. Each lane repeats its row's operations of
// risk_for_sets in the same order and grouping; IEEE addition, multiplication, division and
// comparison act on each lane alone, so every lane's bits equal the scalar call's. Selections
// (sex, flags, failed rows) are bit masks, never arithmetic, so they cannot round.
template <bool kTenYear, const CoefficientSet& kFemale, const CoefficientSet& kMale>
void risk_lanes(const RiskInputs* rows, double* out) noexcept {
  Lanes age, total, hdl, sbp, bmi, egfr;
  LaneMask ok, male, diabetes, smoker, htn, chol;
  for (std::size_t l = 0; l < kLanes; ++l) {
    const RiskInputs& r = rows[l];
    const bool in_range = validate_input(kTenYear, r.age, r.total_cholesterol, r.hdl_cholesterol,
                                         r.systolic_bp, r.bmi, r.egfr)
                              .empty();
    const bool is_male = equals_ignoring_ascii_case(r.sex, "male");
    const bool is_female = equals_ignoring_ascii_case(r.sex, "female");
    ok[l] = -std::int64_t{in_range && (is_male || is_female)};
    male[l] = -std::int64_t{is_male};
    diabetes[l] = -std::int64_t{r.has_diabetes};
    smoker[l] = -std::int64_t{r.current_smoker};
    htn[l] = -std::int64_t{r.on_htn_meds};
    chol[l] = -std::int64_t{r.on_cholesterol_meds};
    age[l] = r.age;
    total[l] = r.total_cholesterol;
    hdl[l] = r.hdl_cholesterol;
    sbp[l] = r.systolic_bp;
    bmi[l] = r.bmi;
    egfr[l] = r.egfr;
  }
  const Lanes zero = {};
  const auto select = [](LaneMask mask, Lanes yes, Lanes no) {
    return reinterpret_cast<Lanes>((reinterpret_cast<LaneMask>(yes) & mask) |
                                   (reinterpret_cast<LaneMask>(no) & ~mask));
  };
  // A failed row runs on ordinary values and is replaced by NaN at the end, so no infinity or
  // NaN ever reaches pow or the min/max below.
  age = select(ok, age, zero + 55.0);
  total = select(ok, total, zero + 200.0);
  hdl = select(ok, hdl, zero + 50.0);
  sbp = select(ok, sbp, zero + 120.0);
  bmi = select(ok, bmi, zero + 25.0);
  egfr = select(ok, egfr, zero + 90.0);
  const auto coef = [&](double CoefficientSet::*field) {
    return select(male, zero + kMale.*field, zero + kFemale.*field);
  };
  // std::min(v, k) is (k < v) ? k : v and std::max(v, k) is (v < k) ? k : v, lane by lane.
  const auto low = [&](Lanes v, double k) { return select(k < v, zero + k, v); };
  const auto high = [&](Lanes v, double k) { return select(v < k, zero + k, v); };

  const Lanes non_hdl = total - hdl;
  const Lanes a = (age - 55.0) / 10.0;
  const Lanes a2 = a * a;
  const Lanes f = coef(&CoefficientSet::mmol_factor);
  const Lanes n = non_hdl * f - 3.5;
  const Lanes hdl_shifted = hdl * f - 1.3;
  const Lanes h = hdl_shifted / 0.3;
  const Lanes sl = (low(sbp, 110.0) - 110.0) / 20.0;
  const Lanes sh = (high(sbp, 110.0) - 130.0) / 20.0;
  const Lanes el = (low(egfr, 60.0) - 60.0) / -15.0;
  const Lanes eh = (high(egfr, 60.0) - 90.0) / -15.0;
  const Lanes bl = (low(bmi, 30.0) - 25.0) / 5.0;
  const Lanes bh = (high(bmi, 30.0) - 30.0) / 5.0;

  using C = CoefficientSet;
  Lanes x = coef(&C::age_squared) * a2 + coef(&C::age) * a;
  x += coef(&C::constant);
  x += coef(&C::non_hdl) * n;
  x += coef(&C::hdl) * h;
  x += coef(&C::sbp_below_110) * sl;
  x += coef(&C::sbp_110_plus) * sh;
  x += select(diabetes, coef(&C::diabetes), zero);
  x += select(smoker, coef(&C::current_smoker), zero);
  x += coef(&C::egfr_below_60) * el;
  x += coef(&C::egfr_60_plus) * eh;
  x += select(htn, coef(&C::on_htn_meds), zero);
  x += select(chol, coef(&C::on_cholesterol_meds), zero);
  x += select(htn, coef(&C::htn_meds_x_sbp) * sh, zero);
  x += select(chol, coef(&C::cholesterol_meds_x_non_hdl) * n, zero);
  x += (coef(&C::age_x_non_hdl) * a) * n;
  x += ((coef(&C::age_x_hdl) * a) * hdl_shifted) / 0.3;
  x += (coef(&C::age_x_sbp) * a) * sh;
  x += select(diabetes, coef(&C::age_x_diabetes) * a, zero);
  x += select(smoker, coef(&C::age_x_smoker) * a, zero);
  x += (coef(&C::age_x_egfr) * a) * el;
  x += coef(&C::bmi_below_30) * bl;
  x += coef(&C::bmi_30_plus) * bh;
  x += (coef(&C::age_x_bmi) * a) * bh;

  Lanes p;
  for (std::size_t l = 0; l < kLanes; ++l) p[l] = std::pow(2.718281828459045, x[l]);
  const Lanes risk = (p / (1.0 + p)) * 100.0;
  const Lanes nan = zero + std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
  const Lanes result = select(ok, risk, nan);
  for (std::size_t l = 0; l < kLanes; ++l) out[l] = result[l];
}

// The RowsFunction of risk_for_sets: whole groups of kLanes rows, then the last few padded
// with copies of a row whose results are dropped.
template <bool kTenYear, const CoefficientSet& kFemale, const CoefficientSet& kMale>
void risk_rows_for_sets(const RiskInputs* rows, std::size_t n, double* out) noexcept {
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) risk_lanes<kTenYear, kFemale, kMale>(rows + i, out + i);
  if (i == n) return;
  RiskInputs tail[kLanes];
  double tail_out[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) tail[l] = rows[std::min(i + l, n - 1)];
  risk_lanes<kTenYear, kFemale, kMale>(tail, tail_out);
  std::copy(tail_out, tail_out + (n - i), out + i);
}

}  // namespace corvane
