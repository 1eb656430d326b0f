// The rows of a float64 (n, 11) array, decoded and evaluated on the pool's workers straight from
// the array's memory. Pure C++: the caller keeps the array alive and holds the interpreter lock.
#pragma once

#include <cstddef>

#include "risk/lanes.hpp"

namespace corvane {

// Where the array's elements are: element (i, j) starts at data + i * row_stride +
// j * column_stride. Strides may be negative, zero or any number of bytes.
struct ArrayRows {
  const char* data;
  std::size_t rows;
  std::ptrdiff_t row_stride;
  std::ptrdiff_t column_stride;
};

// out[i] = what fn gives for row i, decoded by the batch rule: column 0 is "male" exactly when
// it equals 1.0, the four flag columns are true when nonzero, the rest are copied. Blocks until
// every row is done; creates the pool, even for no rows. Throws PoolUnavailable.
void evaluate_array_rows(const ArrayRows& array, LaneRowsFunction fn, double* out);

}  // namespace corvane
