// Decoding rows from raw array memory on the workers, a piece of the range at a time.
#include "array_rows.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "pool/pool.hpp"

namespace corvane {
namespace {

// Rows decoded at a time into the worker's stack: small enough to stay in the first-level
// cache between decoding and evaluating, large enough that the call per block costs nothing.
constexpr std::size_t kBlockRows = 64;

constexpr std::string_view kMale = "male";
constexpr std::string_view kFemale = "female";

struct Job {
  ArrayRows array;
  RowsFunction fn;
  double* out;
};

// Reads one element wherever the strides put it. memcpy, because a view of a packed structure
// can place a double at any byte.
inline double element(const char* row, std::ptrdiff_t column_stride, int column) noexcept {
  double v;
  std::memcpy(&v, row + column * column_stride, sizeof v);
  return v;
}

void decode_rows(const ArrayRows& a, std::size_t first, std::size_t count,
                 RiskInputs* out) noexcept {
  for (std::size_t k = 0; k < count; ++k) {
    const char* row = a.data + static_cast<std::ptrdiff_t>(first + k) * a.row_stride;
    const std::ptrdiff_t s = a.column_stride;
    RiskInputs& r = out[k];
    r.sex = element(row, s, 0) == 1.0 ? kMale : kFemale;
    r.age = element(row, s, 1);
    r.total_cholesterol = element(row, s, 2);
    r.hdl_cholesterol = element(row, s, 3);
    r.systolic_bp = element(row, s, 4);
    r.has_diabetes = element(row, s, 5) != 0.0;
    r.current_smoker = element(row, s, 6) != 0.0;
    r.bmi = element(row, s, 7);
    r.egfr = element(row, s, 8);
    r.on_htn_meds = element(row, s, 9) != 0.0;
    r.on_cholesterol_meds = element(row, s, 10) != 0.0;
  }
}

void evaluate_range(void* context, std::size_t begin, std::size_t end) {
  const Job& job = *static_cast<const Job*>(context);
  RiskInputs block[kBlockRows];
  for (std::size_t first = begin; first < end; first += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, end - first);
    decode_rows(job.array, first, count, block);
    job.fn(block, count, job.out + first);
  }
}

}  // namespace

void evaluate_array_rows(const ArrayRows& array, RowsFunction fn, double* out) {
  Job job{.array = array, .fn = fn, .out = out};
  parallel_for(array.rows, &evaluate_range, &job);
}

}  // namespace corvane
