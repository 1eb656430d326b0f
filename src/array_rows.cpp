// Decoding rows from raw array memory on the workers, a piece of the range at a time.
#include "array_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "pool/pool.hpp"

namespace corvane {
namespace {

// Rows decoded at a time into the worker's stack: small enough to stay in the first-level cache
// between decoding and evaluating, large enough that the call per block costs nothing.
constexpr std::size_t kBlockRows = 64;
constexpr std::size_t kBlocks = kBlockRows / kLanes;
static_assert(kBlockRows % kLanes == 0);

struct Job {
  ArrayRows array;
  LaneRowsFunction fn;
  double* out;
};

// Reads one element wherever the strides put it. memcpy, because a view of a packed structure
// can place a double at any byte. kUnitColumns: the columns are adjacent doubles (a row-major
// array, the usual case), so every offset is a constant.
template <bool kUnitColumns>
inline double element(const char* row, std::ptrdiff_t column_stride, int column) noexcept {
  const std::ptrdiff_t offset =
      kUnitColumns ? column * std::ptrdiff_t{sizeof(double)} : column * column_stride;
  double v;
  std::memcpy(&v, row + offset, sizeof v);
  return v;
}

inline std::int64_t mask(bool b) noexcept { return -std::int64_t{b}; }

// Decodes rows first .. first + count - 1 into lanes; lanes past the last row repeat it, and
// their results are dropped. Column 0 is male exactly when it equals 1.0, and every value
// decodes to "male" or "female"; a flag is true when it compares unequal to 0.0, NaN included.
template <bool kUnitColumns>
void decode_rows(const ArrayRows& a, std::size_t first, std::size_t count,
                 LaneRows* blocks) noexcept {
  const std::ptrdiff_t s = a.column_stride;
  for (std::size_t k = 0; k < (count + kLanes - 1) / kLanes * kLanes; ++k) {
    const std::size_t i = first + std::min(k, count - 1);
    const char* row = a.data + static_cast<std::ptrdiff_t>(i) * a.row_stride;
    LaneRows& b = blocks[k / kLanes];
    const std::size_t l = k % kLanes;
    b.known_sex[l] = mask(true);
    b.male[l] = mask(element<kUnitColumns>(row, s, 0) == 1.0);
    b.age[l] = element<kUnitColumns>(row, s, 1);
    b.total_cholesterol[l] = element<kUnitColumns>(row, s, 2);
    b.hdl_cholesterol[l] = element<kUnitColumns>(row, s, 3);
    b.systolic_bp[l] = element<kUnitColumns>(row, s, 4);
    b.has_diabetes[l] = mask(element<kUnitColumns>(row, s, 5) != 0.0);
    b.current_smoker[l] = mask(element<kUnitColumns>(row, s, 6) != 0.0);
    b.bmi[l] = element<kUnitColumns>(row, s, 7);
    b.egfr[l] = element<kUnitColumns>(row, s, 8);
    b.on_htn_meds[l] = mask(element<kUnitColumns>(row, s, 9) != 0.0);
    b.on_cholesterol_meds[l] = mask(element<kUnitColumns>(row, s, 10) != 0.0);
  }
}

template <bool kUnitColumns>
void evaluate_range(void* context, std::size_t begin, std::size_t end) {
  const Job& job = *static_cast<const Job*>(context);
  LaneRows blocks[kBlocks];
  double out[kBlockRows];
  for (std::size_t first = begin; first < end; first += kBlockRows) {
    const std::size_t count = std::min(kBlockRows, end - first);
    decode_rows<kUnitColumns>(job.array, first, count, blocks);
    job.fn(blocks, (count + kLanes - 1) / kLanes, out);
    std::memcpy(job.out + first, out, count * sizeof(double));
  }
}

}  // namespace

void evaluate_array_rows(const ArrayRows& array, LaneRowsFunction fn, double* out) {
  Job job{.array = array, .fn = fn, .out = out};
  if (array.column_stride == std::ptrdiff_t{sizeof(double)}) {
    parallel_for(array.rows, &evaluate_range<true>, &job);
  } else {
    parallel_for(array.rows, &evaluate_range<false>, &job);
  }
}

}  // namespace corvane
