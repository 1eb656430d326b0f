// The process-wide worker pool and its one operation, a parallel for over an index range.
// Generic and pure C++: it knows nothing of what the ranges compute, and workers never see Python.
#pragma once

#include <cstddef>
#include <stdexcept>

namespace corvane {

// Thrown by every parallel_for of a process whose pool could not be started.
// Its message begins "The global thread pool has not been initialized.".
class PoolUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Work on the indices [begin, end); `context` is what the caller passed to parallel_for.
using RangeBody = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs body over disjoint ranges covering [0, n) on the process-wide pool (created on first use,
// even for n == 0); n == 1 runs on the calling thread. Blocks, sleeping, until every range is
// done; a C++ exception from a body is rethrown here only after all work has stopped (lowest
// range's wins). Throws PoolUnavailable when the pool could not start.
void parallel_for(std::size_t n, RangeBody body, void* context);

// The number of workers, creating the pool on first use. Throws PoolUnavailable.
std::size_t worker_count();

}  // namespace corvane
