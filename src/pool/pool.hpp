// The process-wide worker pool and parallel row evaluation. Pure C++: workers never see Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "utils.hpp"

namespace corvane {

// Thrown by every batch evaluation of a process whose pool could not be started.
// Its message begins "The global thread pool has not been initialized.".
class PoolUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxWorkers = 65535;

// An unsigned decimal with at most one leading '+'; nothing else (no spaces, no '-', no empty
// text, nothing that overflows 64 bits). Empty optional when rejected.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// W from the two variables' values (null when unset) and the default count, capped.
std::size_t choose_worker_count(const char* num_threads, const char* rs_num_cpus,
                                std::size_t default_count) noexcept;

// The number of workers, creating the pool on first use. Throws PoolUnavailable.
std::size_t worker_count();

// out[i] = the percentage of rows[i], or NaN (0x7FF8000000000000) where the outcome is a message.
// Blocks until every row is done; creates the pool first, even for n == 0. A C++ exception from a
// row reaches the caller only after all work of the call has stopped.
void evaluate_rows(RiskFunction fn, const RiskInputs* rows, std::size_t n, double* out);

// The same with a function that takes many rows per call: each piece of the division calls it
// once for its whole range.
void evaluate_rows(RowsFunction fn, const RiskInputs* rows, std::size_t n, double* out);

using RangeBody = void (*)(void* context, std::size_t begin, std::size_t end);

// Runs body over disjoint ranges covering [0, n) on the process-wide pool (created on first
// use, even for n == 0); n == 1 runs on the calling thread. Blocks, sleeping, until every
// range is done; a C++ exception from a body is rethrown here only after all work has
// stopped (lowest range's wins). Throws PoolUnavailable when the pool could not start.
void parallel_for(std::size_t n, RangeBody body, void* context);

}  // namespace corvane
