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

// yes where the mask lane is set, else no: bits, never arithmetic, so nothing rounds.
inline Lanes select_lanes(LaneMask mask, Lanes yes, Lanes no) noexcept {
  return reinterpret_cast<Lanes>((reinterpret_cast<LaneMask>(yes) & mask) |
                                 (reinterpret_cast<LaneMask>(no) & ~mask));
}

// The parts of the predictor that no coefficient enters, for kLanes rows: the flags, and the
// derived values and spline pieces of risk_for_sets.
struct LanePieces {
  LaneMask diabetes, smoker, htn, chol;
  Lanes non_hdl, hdl, a, a2, sl, sh, el, eh, bl, bh;
};

// A row that `ok` leaves out runs on ordinary stand-in values, so no infinity or NaN ever
// reaches pow or the min/max below; the caller replaces its result by NaN. This and
// lane_predictor are always inlined: as calls, their results went through memory and cost the
// batch path an eighth of its time.
[[gnu::always_inline]] inline LanePieces lane_pieces(LaneMask ok, Lanes age, Lanes total, Lanes hdl,
                                                     Lanes sbp, Lanes bmi, Lanes egfr,
                                                     LaneMask diabetes, LaneMask smoker,
                                                     LaneMask htn, LaneMask chol) noexcept {
  const Lanes zero = {};
  age = select_lanes(ok, age, zero + 55.0);
  total = select_lanes(ok, total, zero + 200.0);
  hdl = select_lanes(ok, hdl, zero + 50.0);
  sbp = select_lanes(ok, sbp, zero + 120.0);
  bmi = select_lanes(ok, bmi, zero + 25.0);
  egfr = select_lanes(ok, egfr, zero + 90.0);
  // std::min(v, k) is (k < v) ? k : v and std::max(v, k) is (v < k) ? k : v, lane by lane.
  const auto low = [&](Lanes v, double k) { return select_lanes(k < v, zero + k, v); };
  const auto high = [&](Lanes v, double k) { return select_lanes(v < k, zero + k, v); };
  LanePieces s;
  s.diabetes = diabetes;
  s.smoker = smoker;
  s.htn = htn;
  s.chol = chol;
  s.non_hdl = total - hdl;
  s.hdl = hdl;
  s.a = (age - 55.0) / 10.0;
  s.a2 = s.a * s.a;
  s.sl = (low(sbp, 110.0) - 110.0) / 20.0;
  s.sh = (high(sbp, 110.0) - 130.0) / 20.0;
  s.el = (low(egfr, 60.0) - 60.0) / -15.0;
  s.eh = (high(egfr, 60.0) - 90.0) / -15.0;
  s.bl = (low(bmi, 30.0) - 25.0) / 5.0;
  s.bh = (high(bmi, 30.0) - 30.0) / 5.0;
  return s;
}

// The linear predictor over kLanes rows; coef(&CoefficientSet::field) gives each lane's
// coefficient. Each lane repeats its row's operations of risk_for_sets in the same order and
// grouping; IEEE addition, multiplication, division and comparison act on each lane alone, so
// every lane's bits equal the scalar call's. Selections (flags) are bit masks, never arithmetic.
template <class Coef>
[[gnu::always_inline]] inline Lanes lane_predictor(const LanePieces& s, Coef coef) noexcept {
  const Lanes zero = {};
  const Lanes a = s.a;
  const Lanes f = coef(&CoefficientSet::mmol_factor);
  const Lanes n = s.non_hdl * f - 3.5;
  const Lanes hdl_shifted = s.hdl * f - 1.3;
  const Lanes h = hdl_shifted / 0.3;

  using C = CoefficientSet;
  Lanes x = coef(&C::age_squared) * s.a2 + coef(&C::age) * a;
  x += coef(&C::constant);
  x += coef(&C::non_hdl) * n;
  x += coef(&C::hdl) * h;
  x += coef(&C::sbp_below_110) * s.sl;
  x += coef(&C::sbp_110_plus) * s.sh;
  x += select_lanes(s.diabetes, coef(&C::diabetes), zero);
  x += select_lanes(s.smoker, coef(&C::current_smoker), zero);
  x += coef(&C::egfr_below_60) * s.el;
  x += coef(&C::egfr_60_plus) * s.eh;
  x += select_lanes(s.htn, coef(&C::on_htn_meds), zero);
  x += select_lanes(s.chol, coef(&C::on_cholesterol_meds), zero);
  x += select_lanes(s.htn, coef(&C::htn_meds_x_sbp) * s.sh, zero);
  x += select_lanes(s.chol, coef(&C::cholesterol_meds_x_non_hdl) * n, zero);
  x += (coef(&C::age_x_non_hdl) * a) * n;
  x += ((coef(&C::age_x_hdl) * a) * hdl_shifted) / 0.3;
  x += (coef(&C::age_x_sbp) * a) * s.sh;
  x += select_lanes(s.diabetes, coef(&C::age_x_diabetes) * a, zero);
  x += select_lanes(s.smoker, coef(&C::age_x_smoker) * a, zero);
  x += (coef(&C::age_x_egfr) * a) * s.el;
  x += coef(&C::bmi_below_30) * s.bl;
  x += coef(&C::bmi_30_plus) * s.bh;
  x += (coef(&C::age_x_bmi) * a) * s.bh;
  return x;
}

// risk_for_sets over kLanes rows at once, with the bits of the scalar form (see lane_predictor).
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
  const LanePieces pieces = lane_pieces(ok, in.age, in.total_cholesterol, in.hdl_cholesterol,
                                        in.systolic_bp, in.bmi, in.egfr, in.has_diabetes,
                                        in.current_smoker, in.on_htn_meds, in.on_cholesterol_meds);
  const Lanes zero = {};
  const auto coef = [&](double CoefficientSet::*field) {
    return select_lanes(in.male, zero + kMale.*field, zero + kFemale.*field);
  };
  const Lanes x = lane_predictor(pieces, coef);

  Lanes p;
  for (std::size_t l = 0; l < kLanes; ++l) p[l] = std::pow(2.718281828459045, x[l]);
  const Lanes risk = (p / (1.0 + p)) * 100.0;
  const Lanes nan = zero + std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
  const Lanes result = select_lanes(ok, risk, nan);
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
