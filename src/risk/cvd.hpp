// The total cardiovascular disease model: its four coefficient sets and two risk functions.
#pragma once

#include "risk/lanes.hpp"
#include "risk/risk.hpp"

namespace corvane {

inline constexpr CoefficientSet kCvd10Female = {
    .constant = -3.307728,
    .diabetes = 0.8667604,
    .current_smoker = 0.5360739,
    .on_htn_meds = 0.3151672,
    .on_cholesterol_meds = -0.1477655,
    .age = 0.7939329,
    .age_squared = 0.0,
    .mmol_factor = 0.02586,
    .non_hdl = 0.0305239,
    .hdl = -0.1606857,
    .sbp_below_110 = -0.2394003,
    .sbp_110_plus = 0.3600781,
    .egfr_60_plus = 0.0433769,
    .egfr_below_60 = 0.6045917,
    .htn_meds_x_sbp = -0.0663612,
    .cholesterol_meds_x_non_hdl = 0.1197879,
    .age_x_non_hdl = -0.0819715,
    .age_x_hdl = 0.0306769,
    .age_x_sbp = -0.0946348,
    .age_x_egfr = -0.1637806,
    .age_x_diabetes = -0.27057,
    .age_x_smoker = -0.078715,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline constexpr CoefficientSet kCvd10Male = {
    .constant = -3.031168,
    .diabetes = 0.7692857,
    .current_smoker = 0.4386871,
    .on_htn_meds = 0.288879,
    .on_cholesterol_meds = -0.1337349,
    .age = 0.7688528,
    .age_squared = 0.0,
    .mmol_factor = 0.02586,
    .non_hdl = 0.0736174,
    .hdl = -0.0954431,
    .sbp_below_110 = -0.4347345,
    .sbp_110_plus = 0.3362658,
    .egfr_60_plus = 0.0164827,
    .egfr_below_60 = 0.5378979,
    .htn_meds_x_sbp = -0.0475924,
    .cholesterol_meds_x_non_hdl = 0.150273,
    .age_x_non_hdl = -0.0517874,
    .age_x_hdl = 0.0191169,
    .age_x_sbp = -0.1049477,
    .age_x_egfr = -0.1543702,
    .age_x_diabetes = -0.2251948,
    .age_x_smoker = -0.0895067,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline constexpr CoefficientSet kCvd30Female = {
    .constant = -1.318827,
    .diabetes = 0.6793894,
    .current_smoker = 0.3196112,
    .on_htn_meds = 0.2894,
    .on_cholesterol_meds = -0.075688,
    .age = 0.5503079,
    .age_squared = -0.0928369,
    .mmol_factor = 0.02586,
    .non_hdl = 0.0409794,
    .hdl = -0.1663306,
    .sbp_below_110 = -0.1628654,
    .sbp_110_plus = 0.3299505,
    .egfr_60_plus = 0.0553528,
    .egfr_below_60 = 0.1857101,
    .htn_meds_x_sbp = -0.056367,
    .cholesterol_meds_x_non_hdl = 0.1071019,
    .age_x_non_hdl = -0.0751438,
    .age_x_hdl = 0.0301786,
    .age_x_sbp = -0.0998776,
    .age_x_egfr = -0.1450788,
    .age_x_diabetes = -0.3206166,
    .age_x_smoker = -0.1607862,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline constexpr CoefficientSet kCvd30Male = {
    .constant = -1.148204,
    .diabetes = 0.5331276,
    .current_smoker = 0.2141914,
    .on_htn_meds = 0.232714,
    .on_cholesterol_meds = -0.0272112,
    .age = 0.4627309,
    .age_squared = -0.0984281,
    .mmol_factor = 0.02586,
    .non_hdl = 0.0836088,
    .hdl = -0.1029824,
    .sbp_below_110 = -0.2140352,
    .sbp_110_plus = 0.2904325,
    .egfr_60_plus = 0.0603775,
    .egfr_below_60 = 0.1155556,
    .htn_meds_x_sbp = -0.0384488,
    .cholesterol_meds_x_non_hdl = 0.134192,
    .age_x_non_hdl = -0.0511759,
    .age_x_hdl = 0.0165865,
    .age_x_sbp = -0.1101437,
    .age_x_egfr = -0.1166776,
    .age_x_diabetes = -0.2585943,
    .age_x_smoker = -0.1566406,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline RiskOutcome calculate_10_yr_cvd_risk(std::string_view sex, double age,
                                            double total_cholesterol, double hdl_cholesterol,
                                            double systolic_bp, bool has_diabetes,
                                            bool current_smoker, double bmi, double egfr,
                                            bool on_htn_meds, bool on_cholesterol_meds) noexcept {
  return risk_for_sets<true, kCvd10Female, kCvd10Male>(sex, age, total_cholesterol, hdl_cholesterol,
                                                       systolic_bp, has_diabetes, current_smoker,
                                                       bmi, egfr, on_htn_meds, on_cholesterol_meds);
}

inline RiskOutcome calculate_30_yr_cvd_risk(std::string_view sex, double age,
                                            double total_cholesterol, double hdl_cholesterol,
                                            double systolic_bp, bool has_diabetes,
                                            bool current_smoker, double bmi, double egfr,
                                            bool on_htn_meds, bool on_cholesterol_meds) noexcept {
  return risk_for_sets<false, kCvd30Female, kCvd30Male>(
      sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes, current_smoker, bmi,
      egfr, on_htn_meds, on_cholesterol_meds);
}

// The batch forms of the two functions above: the same results, many rows per call, from
// RiskInputs or from rows already in lane form.
inline void calculate_10_yr_cvd_risk_rows(const RiskInputs* rows, std::size_t n,
                                          double* out) noexcept {
  risk_rows_for_sets<true, kCvd10Female, kCvd10Male>(rows, n, out);
}

inline void calculate_30_yr_cvd_risk_rows(const RiskInputs* rows, std::size_t n,
                                          double* out) noexcept {
  risk_rows_for_sets<false, kCvd30Female, kCvd30Male>(rows, n, out);
}

inline void calculate_10_yr_cvd_risk_lanes(const LaneRows* blocks, std::size_t count,
                                           double* out) noexcept {
  risk_lane_blocks<true, kCvd10Female, kCvd10Male>(blocks, count, out);
}

inline void calculate_30_yr_cvd_risk_lanes(const LaneRows* blocks, std::size_t count,
                                           double* out) noexcept {
  risk_lane_blocks<false, kCvd30Female, kCvd30Male>(blocks, count, out);
}

}  // namespace corvane
