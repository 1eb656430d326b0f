// Speed of the risk core and the pool, without Python: prints one JSON object per line.
//
//   core_bench [--rows N] [--reps R]
//
// "core": one thread evaluating already-decoded rows with the model's RowsFunction, as each
// piece of a batch does; "core_rows": the same rows through the RiskFunction one row per call,
// as a scalar call does; "pool": parallel_for over the same rows with the pool's W workers (set
// RAYON_NUM_THREADS before the run; the pool is built once per process); "array": the batch
// path's own, the same rows read straight from a row-major (n, 11) array by the pool's workers
// (W as for "pool"), so its W=1 figure over "core" is the cost of decoding; "static_split": W
// plain threads with equal shares, the baseline for what W threads can do on the machine at
// that moment. Medians over R interleaved repetitions, after one unmeasured warm-up of each.
// Every result is checked against the one-row-per-call result, bit for bit.
#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "array_rows.hpp"
#include "pool/pool.hpp"
#include "risk/cvd.hpp"
#include "risk/heart_failure.hpp"

namespace {

using corvane::LaneRowsFunction;
using corvane::RiskFunction;
using corvane::RiskInputs;
using corvane::RowsFunction;
using Clock = std::chrono::steady_clock;

struct Rng {
  std::uint64_t state;
  double uniform(double lo, double hi) {
    state = state * 6364136223846793005 + 1442695040888963407;
    return lo + (hi - lo) * static_cast<double>(state >> 11) * 0x1.0p-53;
  }
};

// In-range rows, so every row runs the whole equation.
std::vector<RiskInputs> make_rows(std::size_t n) {
  Rng rng{12345};
  std::vector<RiskInputs> rows(n);
  for (auto& r : rows) {
    r.sex = rng.uniform(0, 1) < 0.5 ? "male" : "female";
    r.age = rng.uniform(30.0, 79.0);
    r.total_cholesterol = rng.uniform(130.0, 320.0);
    r.hdl_cholesterol = rng.uniform(20.0, 100.0);
    r.systolic_bp = rng.uniform(90.0, 200.0);
    r.has_diabetes = rng.uniform(0, 1) < 0.3;
    r.current_smoker = rng.uniform(0, 1) < 0.3;
    r.bmi = rng.uniform(18.5, 39.9);
    r.egfr = rng.uniform(15.0, 140.0);
    r.on_htn_meds = rng.uniform(0, 1) < 0.5;
    r.on_cholesterol_meds = rng.uniform(0, 1) < 0.5;
  }
  return rows;
}

// One row per call, on one thread, over rows [lo, hi). `fn` goes through a volatile so the call
// stays indirect, as it is behind a Python function.
void evaluate_one_by_one(RiskFunction fn, const RiskInputs* rows, std::size_t lo, std::size_t hi,
                         double* out) {
  RiskFunction volatile indirect = fn;
  const RiskFunction f = indirect;
  for (std::size_t i = lo; i < hi; ++i) {
    const RiskInputs& r = rows[i];
    const corvane::RiskOutcome o =
        f(r.sex, r.age, r.total_cholesterol, r.hdl_cholesterol, r.systolic_bp, r.has_diabetes,
          r.current_smoker, r.bmi, r.egfr, r.on_htn_meds, r.on_cholesterol_meds);
    out[i] = o.ok() ? o.percent : std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
  }
}

// A piece's work, on one thread, over rows [lo, hi): one call of the RowsFunction.
void evaluate_serially(RowsFunction fn, const RiskInputs* rows, std::size_t lo, std::size_t hi,
                       double* out) {
  RowsFunction volatile indirect = fn;
  indirect(rows + lo, hi - lo, out + lo);
}

// W fresh threads, each with an equal share: what W threads can do on this machine right now,
// with no pool at all. The pool's figure is judged against it.
void evaluate_static_split(RowsFunction fn, const RiskInputs* rows, std::size_t n,
                           std::size_t threads, double* out) {
  std::vector<std::thread> pool;
  for (std::size_t t = 1; t < threads; ++t) {
    pool.emplace_back(evaluate_serially, fn, rows, n * t / threads, n * (t + 1) / threads, out);
  }
  evaluate_serially(fn, rows, 0, n / threads, out);
  for (auto& t : pool) t.join();
}

double seconds_of(const std::function<void()>& body) {
  const auto start = Clock::now();
  body();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void print(const char* bench, const char* function, std::size_t threads, std::size_t n,
           const std::vector<double>& seconds, double core_median) {
  const double med = median(seconds);
  std::printf(
      "{\"bench\": \"%s\", \"function\": \"%s\", \"workers\": %zu, \"rows\": %zu, \"reps\": %zu, "
      "\"median_s\": %.6f, \"min_s\": %.6f, \"ns_per_row\": %.3f, \"rows_per_s\": %.0f, "
      "\"speedup_vs_core\": %.3f, \"record_bytes\": %zu}\n",
      bench, function, threads, n, seconds.size(), med,
      *std::min_element(seconds.begin(), seconds.end()), med / static_cast<double>(n) * 1e9,
      static_cast<double>(n) / med, core_median / med, sizeof(RiskInputs));
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = 1'000'000;
  int reps = 9;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--rows") {
      n = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (flag == "--reps") {
      reps = std::max(1, std::atoi(argv[i + 1]));
    } else {
      std::fprintf(stderr, "usage: core_bench [--rows N] [--reps R]\n");
      return 2;
    }
  }
  const auto rows = make_rows(n);
  const std::size_t workers = corvane::worker_count();
  const struct {
    const char* name;
    RiskFunction one;
    RowsFunction rows;
    LaneRowsFunction lanes;
  } functions[] = {
      {"calculate_10_yr_cvd_risk", corvane::calculate_10_yr_cvd_risk,
       corvane::calculate_10_yr_cvd_risk_rows, corvane::calculate_10_yr_cvd_risk_lanes},
      {"calculate_10_yr_heart_failure_risk", corvane::calculate_10_yr_heart_failure_risk,
       corvane::calculate_10_yr_heart_failure_risk_rows,
       corvane::calculate_10_yr_heart_failure_risk_lanes},
  };
  // The same rows as the batch path's array: sex 1.0 for male, flags 1.0 or 0.0.
  std::vector<double> array(n * 11);
  for (std::size_t i = 0; i < n; ++i) {
    const RiskInputs& r = rows[i];
    const double values[11] = {r.sex == "male" ? 1.0 : 0.0,
                               r.age,
                               r.total_cholesterol,
                               r.hdl_cholesterol,
                               r.systolic_bp,
                               double(r.has_diabetes),
                               double(r.current_smoker),
                               r.bmi,
                               r.egfr,
                               double(r.on_htn_meds),
                               double(r.on_cholesterol_meds)};
    std::copy(values, values + 11, array.begin() + static_cast<std::ptrdiff_t>(i * 11));
  }
  const corvane::ArrayRows view = {.data = reinterpret_cast<const char*>(array.data()),
                                   .rows = n,
                                   .row_stride = 11 * sizeof(double),
                                   .column_stride = sizeof(double)};
  int mismatches = 0;
  for (const auto& f : functions) {
    std::vector<double> serial(n);
    std::vector<double> one_by_one(n);
    std::vector<double> parallel(n);
    std::vector<double> split(n);
    std::vector<double> from_array(n);
    const auto core = [&] { evaluate_serially(f.rows, rows.data(), 0, n, serial.data()); };
    const auto core_rows = [&] {
      evaluate_one_by_one(f.one, rows.data(), 0, n, one_by_one.data());
    };
    struct Job {
      RowsFunction fn;
      const RiskInputs* rows;
      double* out;
    } job{f.rows, rows.data(), parallel.data()};
    const auto body = [](void* context, std::size_t begin, std::size_t end) {
      const Job& j = *static_cast<const Job*>(context);
      j.fn(j.rows + begin, end - begin, j.out + begin);
    };
    const auto pool = [&] { corvane::parallel_for(n, body, &job); };
    const auto fixed = [&] {
      evaluate_static_split(f.rows, rows.data(), n, workers, split.data());
    };
    const auto decoded = [&] { corvane::evaluate_array_rows(view, f.lanes, from_array.data()); };
    core();  // warm-up: page in the buffers, wake the workers
    core_rows();
    pool();
    fixed();
    decoded();
    // Interleaved, so that a change in the machine's other load touches all four alike.
    std::vector<double> core_s, rows_s, pool_s, fixed_s, array_s;
    for (int r = 0; r < reps; ++r) {
      core_s.push_back(seconds_of(core));
      rows_s.push_back(seconds_of(core_rows));
      pool_s.push_back(seconds_of(pool));
      fixed_s.push_back(seconds_of(fixed));
      array_s.push_back(seconds_of(decoded));
    }
    for (std::size_t i = 0; i < n; ++i) {
      const auto bits = std::bit_cast<std::uint64_t>(one_by_one[i]);
      mismatches += bits != std::bit_cast<std::uint64_t>(serial[i]);
      mismatches += bits != std::bit_cast<std::uint64_t>(parallel[i]);
      mismatches += bits != std::bit_cast<std::uint64_t>(split[i]);
      mismatches += bits != std::bit_cast<std::uint64_t>(from_array[i]);
    }
    const double core_median = median(core_s);
    print("core", f.name, 1, n, core_s, core_median);
    print("core_rows", f.name, 1, n, rows_s, core_median);
    print("pool", f.name, workers, n, pool_s, core_median);
    print("static_split", f.name, workers, n, fixed_s, core_median);
    print("array", f.name, workers, n, array_s, core_median);
  }
  if (mismatches != 0) {
    std::fprintf(stderr, "core_bench: %d results differ from the one-row-per-call ones\n",
                 mismatches);
    return 1;
  }
  return 0;
}
