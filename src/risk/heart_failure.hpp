// The heart failure model: its four coefficient sets and two risk functions.
#pragma once

#include "risk/lanes.hpp"
#include "risk/risk.hpp"

namespace corvane {

inline constexpr CoefficientSet kHeartFailure10Female = {
    .constant = -4.310409,
    .diabetes = 1.038346,
    .current_smoker = 0.583916,
    .on_htn_meds = 0.3534442,
    .on_cholesterol_meds = 0.0,
    .age = 0.8998235,
    .age_squared = 0.0,
    .mmol_factor = 0.02586,
    .non_hdl = 0.0,
    .hdl = 0.0,
    .sbp_below_110 = -0.4559771,
    .sbp_110_plus = 0.3576505,
    .egfr_60_plus = 0.0557087,
    .egfr_below_60 = 0.7451638,
    .htn_meds_x_sbp = -0.0981511,
    .cholesterol_meds_x_non_hdl = 0.0,
    .age_x_non_hdl = 0.0,
    .age_x_hdl = 0.0,
    .age_x_sbp = -0.0946663,
    .age_x_egfr = -0.1884289,
    .age_x_diabetes = -0.3581041,
    .age_x_smoker = -0.1159453,
    .bmi_below_30 = -0.0072294,
    .bmi_30_plus = 0.2997706,
    .age_x_bmi = -0.003878,
};

inline constexpr CoefficientSet kHeartFailure10Male = {
    .constant = -3.946391,
    .diabetes = 0.923776,
    .current_smoker = 0.5023736,
    .on_htn_meds = 0.2980922,
    .on_cholesterol_meds = 0.0,
    .age = 0.8972642,
    .age_squared = 0.0,
    .mmol_factor = 0.0,
    .non_hdl = 0.0,
    .hdl = 0.0,
    .sbp_below_110 = -0.6811466,
    .sbp_110_plus = 0.3634461,
    .egfr_60_plus = 0.0251827,
    .egfr_below_60 = 0.6926917,
    .htn_meds_x_sbp = -0.0497731,
    .cholesterol_meds_x_non_hdl = 0.0,
    .age_x_non_hdl = 0.0,
    .age_x_hdl = 0.0,
    .age_x_sbp = -0.1289201,
    .age_x_egfr = -0.1797778,
    .age_x_diabetes = -0.3040924,
    .age_x_smoker = -0.1401688,
    .bmi_below_30 = -0.0485841,
    .bmi_30_plus = 0.3726929,
    .age_x_bmi = 0.0068126,
};

inline constexpr CoefficientSet kHeartFailure30Female = {
    .constant = -2.205379,
    .diabetes = 0.8330787,
    .current_smoker = 0.3438651,
    .on_htn_meds = 0.333921,
    .on_cholesterol_meds = 0.0,
    .age = 0.6254374,
    .age_squared = -0.0983038,
    .mmol_factor = 0.0,
    .non_hdl = 0.0,
    .hdl = 0.0,
    .sbp_below_110 = -0.3919241,
    .sbp_110_plus = 0.3142295,
    .egfr_60_plus = 0.0667159,
    .egfr_below_60 = 0.2981642,
    .htn_meds_x_sbp = -0.0893177,
    .cholesterol_meds_x_non_hdl = 0.0,
    .age_x_non_hdl = 0.0,
    .age_x_hdl = 0.0,
    .age_x_sbp = -0.0974299,
    .age_x_egfr = -0.1564215,
    .age_x_diabetes = -0.404855,
    .age_x_smoker = -0.1982991,
    .bmi_below_30 = 0.0594874,
    .bmi_30_plus = 0.2525536,
    .age_x_bmi = -0.0035619,
};

inline constexpr CoefficientSet kHeartFailure30Male = {
    .constant = -1.95751,
    .diabetes = 0.6840338,
    .current_smoker = 0.2656273,
    .on_htn_meds = 0.2583631,
    .on_cholesterol_meds = 0.0,
    .age = 0.5681541,
    .age_squared = -0.1048388,
    .mmol_factor = 0.0,
    .non_hdl = 0.0,
    .hdl = 0.0,
    .sbp_below_110 = -0.4761564,
    .sbp_110_plus = 0.30324,
    .egfr_60_plus = 0.0638923,
    .egfr_below_60 = 0.2541805,
    .htn_meds_x_sbp = -0.0391938,
    .cholesterol_meds_x_non_hdl = 0.0,
    .age_x_non_hdl = 0.0,
    .age_x_hdl = 0.0,
    .age_x_sbp = -0.1269124,
    .age_x_egfr = -0.1342618,
    .age_x_diabetes = -0.3273572,
    .age_x_smoker = -0.2043019,
    .bmi_below_30 = 0.0833107,
    .bmi_30_plus = 0.26999,
    .age_x_bmi = -0.0182831,
};

inline RiskOutcome calculate_10_yr_heart_failure_risk(std::string_view sex, double age,
                                                      double total_cholesterol,
                                                      double hdl_cholesterol, double systolic_bp,
                                                      bool has_diabetes, bool current_smoker,
                                                      double bmi, double egfr, bool on_htn_meds,
                                                      bool on_cholesterol_meds) noexcept {
  return risk_for_sets<true, kHeartFailure10Female, kHeartFailure10Male>(
      sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes, current_smoker, bmi,
      egfr, on_htn_meds, on_cholesterol_meds);
}

inline RiskOutcome calculate_30_yr_heart_failure_risk(std::string_view sex, double age,
                                                      double total_cholesterol,
                                                      double hdl_cholesterol, double systolic_bp,
                                                      bool has_diabetes, bool current_smoker,
                                                      double bmi, double egfr, bool on_htn_meds,
                                                      bool on_cholesterol_meds) noexcept {
  return risk_for_sets<false, kHeartFailure30Female, kHeartFailure30Male>(
      sex, age, total_cholesterol, hdl_cholesterol, systolic_bp, has_diabetes, current_smoker, bmi,
      egfr, on_htn_meds, on_cholesterol_meds);
}

// The batch forms of the two functions above: the same results, many rows per call, from
// RiskInputs or from rows already in lane form.
inline void calculate_10_yr_heart_failure_risk_rows(const RiskInputs* rows, std::size_t n,
                                                    double* out) noexcept {
  risk_rows_for_sets<true, kHeartFailure10Female, kHeartFailure10Male>(rows, n, out);
}

inline void calculate_30_yr_heart_failure_risk_rows(const RiskInputs* rows, std::size_t n,
                                                    double* out) noexcept {
  risk_rows_for_sets<false, kHeartFailure30Female, kHeartFailure30Male>(rows, n, out);
}

inline void calculate_10_yr_heart_failure_risk_lanes(const LaneRows* blocks, std::size_t count,
                                                     double* out) noexcept {
  risk_lane_blocks<true, kHeartFailure10Female, kHeartFailure10Male>(blocks, count, out);
}

inline void calculate_30_yr_heart_failure_risk_lanes(const LaneRows* blocks, std::size_t count,
                                                     double* out) noexcept {
  risk_lane_blocks<false, kHeartFailure30Female, kHeartFailure30Male>(blocks, count, out);
}

}  // namespace corvane
