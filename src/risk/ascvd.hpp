// The atherosclerotic cardiovascular disease model: its four coefficient sets and two risk
// functions.
#pragma once

#include "risk/lanes.hpp"
#include "risk/risk.hpp"

namespace corvane {

inline constexpr CoefficientSet kAscvd10Female = {
    .constant = -3.819975,
    .diabetes = 0.8348585,
    .current_smoker = 0.4831078,
    .on_htn_meds = 0.2265309,
    .on_cholesterol_meds = -0.0592374,
    .age = 0.719883,
    .age_squared = 0.0,
    .mmol_factor = 0.02586,
    .non_hdl = 0.1176967,
    .hdl = -0.151185,
    .sbp_below_110 = -0.0835358,
    .sbp_110_plus = 0.3592852,
    .egfr_60_plus = 0.0397779,
    .egfr_below_60 = 0.4864619,
    .htn_meds_x_sbp = -0.0395762,
    .cholesterol_meds_x_non_hdl = 0.0844423,
    .age_x_non_hdl = -0.0567839,
    .age_x_hdl = 0.0325692,
    .age_x_sbp = -0.1035985,
    .age_x_egfr = -0.1671492,
    .age_x_diabetes = -0.2417542,
    .age_x_smoker = -0.0791142,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline constexpr CoefficientSet kAscvd10Male = {
    .constant = -3.500655,
    .diabetes = 0.7189597,
    .current_smoker = 0.3956973,
    .on_htn_meds = 0.2036522,
    .on_cholesterol_meds = -0.0865581,
    .age = 0.7099847,
    .age_squared = 0.0,
    .mmol_factor = 0.02586,
    .non_hdl = 0.1658663,
    .hdl = -0.1144285,
    .sbp_below_110 = -0.2837212,
    .sbp_110_plus = 0.3239977,
    .egfr_60_plus = 0.0203619,
    .egfr_below_60 = 0.3690075,
    .htn_meds_x_sbp = -0.0322916,
    .cholesterol_meds_x_non_hdl = 0.114563,
    .age_x_non_hdl = -0.0300005,
    .age_x_hdl = 0.0232747,
    .age_x_sbp = -0.0927024,
    .age_x_egfr = -0.1217081,
    .age_x_diabetes = -0.2018525,
    .age_x_smoker = -0.0970527,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline constexpr CoefficientSet kAscvd30Female = {
    .constant = -1.974074,
    .diabetes = 0.6296707,
    .current_smoker = 0.268292,
    .on_htn_meds = 0.1875292,
    .on_cholesterol_meds = 0.0152476,
    .age = 0.4669202,
    .age_squared = -0.0893118,
    .mmol_factor = 0.02586,
    .non_hdl = 0.1256901,
    .hdl = -0.1542255,
    .sbp_below_110 = -0.0018093,
    .sbp_110_plus = 0.322949,
    .egfr_60_plus = 0.0499663,
    .egfr_below_60 = 0.100106,
    .htn_meds_x_sbp = -0.0276123,
    .cholesterol_meds_x_non_hdl = 0.0736147,
    .age_x_non_hdl = -0.0521962,
    .age_x_hdl = 0.0316918,
    .age_x_sbp = -0.1046101,
    .age_x_egfr = -0.1299149,
    .age_x_diabetes = -0.2727793,
    .age_x_smoker = -0.1530907,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline constexpr CoefficientSet kAscvd30Male = {
    .constant = -1.736444,
    .diabetes = 0.4790257,
    .current_smoker = 0.1782635,
    .on_htn_meds = 0.1421182,
    .on_cholesterol_meds = 0.0135996,
    .age = 0.3994099,
    .age_squared = -0.0937484,
    .mmol_factor = 0.02586,
    .non_hdl = 0.1744643,
    .hdl = -0.120203,
    .sbp_below_110 = -0.0665117,
    .sbp_110_plus = 0.2753037,
    .egfr_60_plus = 0.0602553,
    .egfr_below_60 = -0.0218789,
    .htn_meds_x_sbp = -0.0218265,
    .cholesterol_meds_x_non_hdl = 0.1013148,
    .age_x_non_hdl = -0.0312619,
    .age_x_hdl = 0.020673,
    .age_x_sbp = -0.0920935,
    .age_x_egfr = -0.0712547,
    .age_x_diabetes = -0.2159947,
    .age_x_smoker = -0.1548811,
    .bmi_below_30 = 0.0,
    .bmi_30_plus = 0.0,
    .age_x_bmi = 0.0,
};

inline RiskOutcome calculate_10_yr_ascvd_risk(std::string_view sex, double age,
                                              double total_cholesterol, double hdl_cholesterol,
                                              double systolic_bp, bool has_diabetes,
                                              bool current_smoker, double bmi, double egfr,
                                              bool on_htn_meds, bool on_cholesterol_meds) noexcept {
  return risk_for_sets<true, kAscvd10Female, kAscvd10Male>(
      sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes, current_smoker, bmi,
      egfr, on_htn_meds, on_cholesterol_meds);
}

inline RiskOutcome calculate_30_yr_ascvd_risk(std::string_view sex, double age,
                                              double total_cholesterol, double hdl_cholesterol,
                                              double systolic_bp, bool has_diabetes,
                                              bool current_smoker, double bmi, double egfr,
                                              bool on_htn_meds, bool on_cholesterol_meds) noexcept {
  return risk_for_sets<false, kAscvd30Female, kAscvd30Male>(
      sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes, current_smoker, bmi,
      egfr, on_htn_meds, on_cholesterol_meds);
}

// The batch forms of the two functions above: the same results, many rows per call, from
// RiskInputs or from rows already in lane form.
inline void calculate_10_yr_ascvd_risk_rows(const RiskInputs* rows, std::size_t n,
                                            double* out) noexcept {
  risk_rows_for_sets<true, kAscvd10Female, kAscvd10Male>(rows, n, out);
}

inline void calculate_30_yr_ascvd_risk_rows(const RiskInputs* rows, std::size_t n,
                                            double* out) noexcept {
  risk_rows_for_sets<false, kAscvd30Female, kAscvd30Male>(rows, n, out);
}

inline void calculate_10_yr_ascvd_risk_lanes(const LaneRows* blocks, std::size_t count,
                                             double* out) noexcept {
  risk_lane_blocks<true, kAscvd10Female, kAscvd10Male>(blocks, count, out);
}

inline void calculate_30_yr_ascvd_risk_lanes(const LaneRows* blocks, std::size_t count,
                                             double* out) noexcept {
  risk_lane_blocks<false, kAscvd30Female, kAscvd30Male>(blocks, count, out);
}

}  // namespace corvane
