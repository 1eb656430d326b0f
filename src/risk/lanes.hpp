// The two-lane block form of the risk procedure: the batch path evaluates two rows side by side,
// with the bits of the scalar form.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "risk/risk.hpp"

namespace corvane {

// Fills out[i] for rows[i], i < n, with what a risk function returns for that row: the
// percentage, or NaN (0x7FF8000000000000) for a message. The batch path's form of a model.
using RowsFunction = void (*)(const RiskInputs* rows, std::size_t n, double* out);

// Rows the batch path evaluates side by side. One row alone is a chain of some thirty dependent
// additions and divisions, so the processor mostly waits; independent rows in the lanes of one
// SSE2 vector (every x86-64 has it) fill that wait. Four lanes measured no faster than two.
inline constexpr std::size_t kLanes = 2;
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
using LaneMask = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));

// kLanes rows in lane form, as risk_lane_rows takes them. A mask lane is all ones for true.
// `known_sex` false stands for a sex text that is neither "male" nor "female".
struct LaneRows {
  Lanes age, total_cholesterol, hdl_cholesterol, systolic_bp, bmi, egfr;
  LaneMask known_sex, male, has_diabetes, current_smoker, on_htn_meds, on_cholesterol_meds;
};

// Fills out[0 .. count * kLanes) for blocks[0 .. count): a model's form for callers that read
// their rows straight into lanes (the batch path decodes array memory this way).
using LaneRowsFunction = void (*)(const LaneRows* blocks, std::size_t count, double* out);

// risk_for_sets over kLanes rows at once. Each lane repeats its row's operations of
// risk_for_sets in the same order and grouping; IEEE addition, multiplication, division and
// comparison act on each lane alone, so every lane's bits equal the scalar call's. Selections
// (sex, flags, failed rows) are bit masks, never arithmetic, so they cannot round.
template <bool kTenYear, const CoefficientSet& kFemale, const CoefficientSet& kMale>
void risk_lane_rows(const LaneRows& in, double* out) noexcept {
  LaneMask ok;
  for (std::size_t l = 0; l < kLanes; ++l) {
    const bool in_range =
        validate_input(kTenYear, in.age[l], in.total_cholesterol[l], in.hdl_cholesterol[l],
                       in.systolic_bp[l], in.bmi[l], in.egfr[l])
            .empty();
    ok[l] = -std::int64_t{in_range} & in.known_sex[l];
  }
  Lanes age = in.age, total = in.total_cholesterol, hdl = in.hdl_cholesterol, sbp = in.systolic_bp,
        bmi = in.bmi, egfr = in.egfr;
  const LaneMask male = in.male, diabetes = in.has_diabetes, smoker = in.current_smoker,
                 htn = in.on_htn_meds, chol = in.on_cholesterol_meds;
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

// risk_lane_rows over kLanes rows given as RiskInputs.
template <bool kTenYear, const CoefficientSet& kFemale, const CoefficientSet& kMale>
void risk_lanes(const RiskInputs* rows, double* out) noexcept {
  LaneRows in;
  for (std::size_t l = 0; l < kLanes; ++l) {
    const RiskInputs& r = rows[l];
    const bool is_male = equals_ignoring_ascii_case(r.sex, "male");
    const bool is_female = equals_ignoring_ascii_case(r.sex, "female");
    in.known_sex[l] = -std::int64_t{is_male || is_female};
    in.male[l] = -std::int64_t{is_male};
    in.has_diabetes[l] = -std::int64_t{r.has_diabetes};
    in.current_smoker[l] = -std::int64_t{r.current_smoker};
    in.on_htn_meds[l] = -std::int64_t{r.on_htn_meds};
    in.on_cholesterol_meds[l] = -std::int64_t{r.on_cholesterol_meds};
    in.age[l] = r.age;
    in.total_cholesterol[l] = r.total_cholesterol;
    in.hdl_cholesterol[l] = r.hdl_cholesterol;
    in.systolic_bp[l] = r.systolic_bp;
    in.bmi[l] = r.bmi;
    in.egfr[l] = r.egfr;
  }
  risk_lane_rows<kTenYear, kFemale, kMale>(in, out);
}

// The LaneRowsFunction of risk_for_sets.
template <bool kTenYear, const CoefficientSet& kFemale, const CoefficientSet& kMale>
void risk_lane_blocks(const LaneRows* blocks, std::size_t count, double* out) noexcept {
  for (std::size_t b = 0; b < count; ++b) {
    risk_lane_rows<kTenYear, kFemale, kMale>(blocks[b], out + b * kLanes);
  }
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
