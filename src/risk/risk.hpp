// The risk core shared by every model: inputs, outcome, the eight messages, coefficient layout,
// validation and the linear predictor. Pure C++, never Python.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
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

// Calls fn with the eleven fields spread. Not noexcept, so a faulty function cannot end the
// process from here: its exception reaches whoever called.
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

}  // namespace corvane
