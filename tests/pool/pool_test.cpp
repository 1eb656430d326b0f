// Tests of the worker pool and its parsing functions: plain C++, no Python.
//
// Run without arguments it runs every test in this process, then re-runs itself in child
// processes for what needs a fresh pool (another worker count, a failed start). Child modes:
//   pool_test --child W DIGEST    the pool has W workers and the parallel digest is DIGEST
//   pool_test --start-failure     workers cannot be started (address space limited)
#include "pool/pool.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "pool/cpu_count.hpp"
#include "pool/work_deque.hpp"

extern char** environ;

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerShadow = true;  // the runtime reserves terabytes of address space
#else
constexpr bool kSanitizerShadow = false;
#endif
// ThreadSanitizer runs several times slower: smaller inputs keep the run short.
constexpr std::size_t kScale = kThreadSanitizer ? 10 : 1;

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char* what, const char* file, int line) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", file, line, what);
  }
}
#define CHECK(cond) check(static_cast<bool>(cond), #cond, __FILE__, __LINE__)

// ---------------------------------------------------------------------------------------------
// Bodies for parallel_for. Each writes out[i] = value(i), so a slot written twice, missed or
// written for another index shows in the results.

struct SplitMix {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
  }
};

std::uint64_t value(std::size_t i) { return SplitMix{i}.next(); }

// Fills out[i] = value(i). The context is the output array.
void pure_body(void* context, std::size_t begin, std::size_t end) {
  auto* out = static_cast<std::uint64_t*>(context);
  for (std::size_t i = begin; i < end; ++i) out[i] = value(i);
}

bool all_values(const std::vector<std::uint64_t>& out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] != value(i)) return false;
  }
  return true;
}

// Counts each index it sees and the indices seen on the calling thread.
struct Counting {
  std::vector<std::atomic<int>> hits;
  std::vector<std::uint64_t> out;
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<std::size_t> on_caller{0};
  std::atomic<std::size_t> ranges{0};
  explicit Counting(std::size_t n) : hits(n), out(n) {}
};

void counting_body(void* context, std::size_t begin, std::size_t end) {
  auto& c = *static_cast<Counting*>(context);
  c.ranges.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = begin; i < end; ++i) {
    c.hits[i].fetch_add(1, std::memory_order_relaxed);
    c.out[i] = value(i);
  }
  if (std::this_thread::get_id() == c.caller) {
    c.on_caller.fetch_add(end - begin, std::memory_order_relaxed);
  }
}

constexpr std::uint64_t kDigestSeed = 0x5EED;
constexpr std::size_t kDigestRows = 200'003 / kScale;

std::uint64_t fnv1a(std::uint64_t h, std::uint64_t word) {
  for (int i = 0; i < 8; ++i) {
    h ^= (word >> (8 * i)) & 0xFF;
    h *= 0x100000001B3;
  }
  return h;
}

// FNV-1a over value(i + kDigestSeed) for the digest range, by parallel_for or serially.
void seeded_body(void* context, std::size_t begin, std::size_t end) {
  auto* out = static_cast<std::uint64_t*>(context);
  for (std::size_t i = begin; i < end; ++i) out[i] = value(i + kDigestSeed);
}

std::uint64_t results_digest(bool parallel) {
  std::vector<std::uint64_t> out(kDigestRows);
  if (parallel) {
    corvane::parallel_for(out.size(), seeded_body, out.data());
  } else {
    seeded_body(out.data(), 0, out.size());
  }
  std::uint64_t h = 0xCBF29CE484222325;
  for (std::uint64_t x : out) h = fnv1a(h, x);
  return h;
}

struct IndexFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws at index a and at index b (either may be out of range); tracks indices in flight.
struct Throwing {
  std::size_t a, b;
  std::atomic<int> in_flight{0};
  std::atomic<long> evaluated{0};
};

void throwing_body(void* context, std::size_t begin, std::size_t end) {
  auto& t = *static_cast<Throwing*>(context);
  for (std::size_t i = begin; i < end; ++i) {
    t.in_flight.fetch_add(1, std::memory_order_relaxed);
    struct Leave {
      Throwing& t;
      ~Leave() {
        t.evaluated.fetch_add(1, std::memory_order_relaxed);
        t.in_flight.fetch_sub(1, std::memory_order_release);
      }
    } leave{t};
    if (i == t.a || i == t.b) throw IndexFault("index " + std::to_string(i));
  }
}

// Slow indices: every index sleeps a little, so an idle worker always finds something to steal.
struct Slow {
  std::vector<std::uint64_t> out;
  std::mutex mu;
  std::vector<std::thread::id> threads;  // guarded by mu
  explicit Slow(std::size_t n) : out(n) {}
};

void slow_body(void* context, std::size_t begin, std::size_t end) {
  auto& s = *static_cast<Slow*>(context);
  {
    std::lock_guard lock(s.mu);
    if (std::find(s.threads.begin(), s.threads.end(), std::this_thread::get_id()) ==
        s.threads.end()) {
      s.threads.push_back(std::this_thread::get_id());
    }
  }
  for (std::size_t i = begin; i < end; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    s.out[i] = value(i);
  }
}

// A body that runs a parallel_for of its own, from a worker thread.
std::atomic<int> g_nested_bad{0};
void nesting_body(void* context, std::size_t begin, std::size_t end) {
  auto* out = static_cast<std::uint64_t*>(context);
  for (std::size_t i = begin; i < end; ++i) {
    std::vector<std::uint64_t> inner(100);
    corvane::parallel_for(inner.size(), pure_body, inner.data());
    if (!all_values(inner)) g_nested_bad.fetch_add(1);
    out[i] = value(i);
  }
}

// ---------------------------------------------------------------------------------------------
// Parsing

void test_parse_thread_count() {
  using corvane::parse_thread_count;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::string_view text;
    std::optional<std::uint64_t> want;
  } cases[] = {
      {"8", 8},
      {"+8", 8},
      {"0", 0},
      {"+0", 0},
      {"007", 7},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"-2", std::nullopt},
      {"-0", std::nullopt},
      {" 4", std::nullopt},
      {"4 ", std::nullopt},
      {"4\n", std::nullopt},
      {"abc", std::nullopt},
      {"4a", std::nullopt},
      {"1e3", std::nullopt},
      {"++1", std::nullopt},
      {"+-1", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // Arabic 3
      {"18446744073709551615", kMax},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999", std::nullopt},
  };
  for (const auto& c : cases) {
    const bool ok = parse_thread_count(c.text) == c.want;
    if (!ok)
      std::fprintf(stderr, "parse_thread_count(\"%.*s\")\n", int(c.text.size()), c.text.data());
    CHECK(ok);
  }
}

void test_choose_worker_count() {
  const struct {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t fallback;
    std::size_t want;
  } cases[] = {
      {nullptr, nullptr, 6, 6},
      {"4", "3", 6, 4},
      {"0", "3", 6, 6},  // 0 selects the default without looking at the second variable
      {"+4", nullptr, 6, 4},
      {" 4", "3", 6, 3},
      {"abc", "3", 6, 3},
      {"-2", "3", 6, 3},
      {"-2", nullptr, 6, 6},
      {"", "5", 6, 5},
      {nullptr, "5", 6, 5},
      {nullptr, "0", 6, 6},
      {nullptr, "x", 6, 6},
      {"65535", nullptr, 6, 65535},
      {"65536", nullptr, 6, 65535},
      {"18446744073709551615", nullptr, 6, 65535},
      {"18446744073709551616", "2", 6, 2},
      {nullptr, "70000", 6, 65535},
      {nullptr, nullptr, 100000, 65535},
      {nullptr, nullptr, 0, 1},
  };
  for (const auto& c : cases) {
    const std::size_t got = corvane::choose_worker_count(c.num_threads, c.rs_num_cpus, c.fallback);
    if (got != c.want) {
      std::fprintf(stderr, "choose_worker_count(%s, %s, %zu) = %zu\n",
                   c.num_threads ? c.num_threads : "null", c.rs_num_cpus ? c.rs_num_cpus : "null",
                   c.fallback, got);
    }
    CHECK(got == c.want);
  }
}

void test_quota_parsing() {
  using corvane::parse_cfs_quota;
  using corvane::parse_cpu_max;
  using std::nullopt;
  CHECK(parse_cpu_max("max 100000\n") == nullopt);
  CHECK(parse_cpu_max("150000 100000\n") == 1u);
  CHECK(parse_cpu_max("200000 100000\n") == 2u);
  CHECK(parse_cpu_max("250000 100000\r\n") == 2u);
  CHECK(parse_cpu_max("50000 100000") == 0u);  // below one processor; the caller makes it 1
  CHECK(parse_cpu_max("300000 100000 extra") == 3u);
  CHECK(parse_cpu_max("100000 0\n") == nullopt);
  CHECK(parse_cpu_max("150000\n") == nullopt);
  CHECK(parse_cpu_max("150000  100000\n") == nullopt);
  CHECK(parse_cpu_max("-1 100000\n") == nullopt);
  CHECK(parse_cpu_max("") == nullopt);

  CHECK(parse_cfs_quota("-1\n", "100000\n") == nullopt);
  CHECK(parse_cfs_quota("200000\n", "100000\n") == 2u);
  CHECK(parse_cfs_quota(" 300000 \n", "\t100000") == 3u);
  CHECK(parse_cfs_quota("50000", "100000") == 0u);
  CHECK(parse_cfs_quota("100", "0") == nullopt);
  CHECK(parse_cfs_quota("abc", "100000") == nullopt);
  CHECK(parse_cfs_quota("", "100000") == nullopt);

  using corvane::parse_proc_self_cgroup;
  const auto place = [](std::string_view text) {
    const auto p = parse_proc_self_cgroup(text);
    return p ? std::string(p->v1 ? "v1:" : "v2:") + p->path : std::string("none");
  };
  CHECK(place("0::/user.slice/x.scope\n") == "v2:user.slice/x.scope");
  CHECK(place("0::/\n") == "v2:");
  CHECK(place("4:cpu,cpuacct:/docker/abc\n0::/\n") == "v1:docker/abc");
  CHECK(place("0::/\n3:cpu:/c\n") == "v1:c");       // v1 names the controller: it wins either way
  CHECK(place("0::/a\n2:cpuacct:/b\n") == "v2:a");  // cpuacct is not cpu
  CHECK(place("5:memory:/m\n9:name=systemd:/\n") == "none");
  CHECK(place("0::/p:q\n") == "v2:p:q");
  CHECK(place("") == "none");
  CHECK(place("9:name=systemd:/\n4:memory:/x/y\n1:cpu:/\n0::/\n") == "v1:");

  using corvane::find_cpu_cgroup_mount;
  const auto mount = [](std::string_view info, std::string_view path) {
    const auto m = find_cpu_cgroup_mount(info, path);
    return m ? m->mount_point + "|" + m->path : std::string("none");
  };
  constexpr std::string_view kInfo =
      "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
      "33 31 0:30 / /sys/fs/cgroup/cpuacct rw,relatime - cgroup cgroup rw,cpuacct\n"
      "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
      "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
  CHECK(mount(kInfo, "") == "/sys/fs/cgroup/cpu|");
  CHECK(mount(kInfo, "a/b") == "/sys/fs/cgroup/cpu|a/b");
  constexpr std::string_view kBound =
      "50 40 0:29 /docker/abc /cg/cpu rw shared:5 - cgroup cgroup rw,cpu,cpuacct\n";
  CHECK(mount(kBound, "docker/abc/x") == "/cg/cpu|x");
  CHECK(mount(kBound, "docker/abc") == "/cg/cpu|");
  CHECK(mount(kBound, "docker/abcd") == "none");  // paths compare by component
  CHECK(mount("41 31 0:38 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw,cpu\n", "") == "none");
  CHECK(mount("", "") == "none");

  using corvane::combine_cpu_counts;
  CHECK(combine_cpu_counts(8, nullopt, 4) == 8);
  CHECK(combine_cpu_counts(8, 2, 4) == 2);
  CHECK(combine_cpu_counts(8, 0, 4) == 1);
  CHECK(combine_cpu_counts(2, 5, 4) == 2);
  CHECK(combine_cpu_counts(nullopt, 2, 4) == 4);
  CHECK(combine_cpu_counts(0, nullopt, 3) == 3);
  CHECK(combine_cpu_counts(nullopt, nullopt, nullopt) == 1);
  CHECK(corvane::available_cpus() >= 1);
}

// A directory tree standing in for /proc and /sys/fs/cgroup.
class FakeRoot {
 public:
  FakeRoot() {
    char tmpl[] = "/tmp/pool_test.XXXXXX";
    root_ = ::mkdtemp(tmpl) != nullptr ? tmpl : "";
  }
  ~FakeRoot() {
    if (!root_.empty()) std::system(("rm -rf '" + root_ + "'").c_str());
  }
  const std::string& path() const { return root_; }
  void write(const std::string& relative, std::string_view text) const {
    const std::string full = root_ + relative;
    for (std::size_t at = root_.size() + 1; (at = full.find('/', at)) != std::string::npos; ++at) {
      ::mkdir(full.substr(0, at).c_str(), 0755);
    }
    std::ofstream(full) << text;
  }

 private:
  std::string root_;
};

void test_cgroup_quota_files() {
  using corvane::cgroup_cpu_quota;
  {
    FakeRoot fs;
    CHECK(!fs.path().empty());
    fs.write("/proc/self/cgroup", "0::/a/b\n");
    fs.write("/sys/fs/cgroup/a/b/cgroup.controllers", "cpu memory\n");
    fs.write("/sys/fs/cgroup/a/b/cpu.max", "max 100000\n");
    fs.write("/sys/fs/cgroup/a/cpu.max", "300000 100000\n");
    fs.write("/sys/fs/cgroup/cpu.max", "500000 100000\n");
    CHECK(cgroup_cpu_quota(fs.path()) == 3u);  // the smallest on the way up
    fs.write("/sys/fs/cgroup/cpu.max", "100000 100000\n");
    CHECK(cgroup_cpu_quota(fs.path()) == 1u);  // the hierarchy's root counts too
  }
  {
    FakeRoot fs;
    fs.write("/proc/self/cgroup", "0::/a\n");
    fs.write("/sys/fs/cgroup/a/cpu.max", "200000 100000\n");  // no cgroup.controllers: not v2
    CHECK(cgroup_cpu_quota(fs.path()) == std::nullopt);
  }
  {
    FakeRoot fs;
    fs.write("/proc/self/cgroup", "2:cpuacct:/\n1:cpu:/g\n0::/\n");
    fs.write("/sys/fs/cgroup/cpu/g/cpu.cfs_quota_us", "250000\n");
    fs.write("/sys/fs/cgroup/cpu/g/cpu.cfs_period_us", "100000\n");
    fs.write("/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n");
    fs.write("/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n");
    CHECK(cgroup_cpu_quota(fs.path()) == 2u);
  }
  {
    FakeRoot fs;
    fs.write("/proc/self/cgroup", "3:cpu,cpuacct:/g\n");
    fs.write("/sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_quota_us", "-1\n");
    fs.write("/sys/fs/cgroup/cpu,cpuacct/g/cpu.cfs_period_us", "100000\n");
    CHECK(cgroup_cpu_quota(fs.path()) == std::nullopt);  // -1: no limit
  }
  {
    FakeRoot fs;
    fs.write("/proc/self/cgroup", "3:cpu:/docker/abc/x\n");
    fs.write("/proc/self/mountinfo", "50 40 0:29 /docker/abc /cg/cpu rw - cgroup cgroup rw,cpu\n");
    fs.write("/cg/cpu/x/cpu.cfs_quota_us", "400000\n");
    fs.write("/cg/cpu/x/cpu.cfs_period_us", "100000\n");
    CHECK(cgroup_cpu_quota(fs.path()) == 4u);  // found through the mount table
  }
  {
    FakeRoot fs;
    CHECK(cgroup_cpu_quota(fs.path()) == std::nullopt);  // no /proc/self/cgroup at all
  }
}

// ---------------------------------------------------------------------------------------------
// The deque on its own: every item is taken exactly once, by its owner or a thief.

void test_work_deque() {
  constexpr int kItems = 200'000 / kScale;
  constexpr int kThieves = 3;
  corvane::WorkDeque<int> deque;
  std::vector<int> items(kItems);
  std::vector<std::atomic<int>> taken(kItems);
  std::atomic<bool> owner_done{false};
  std::vector<std::thread> thieves;
  for (int t = 0; t < kThieves; ++t) {
    thieves.emplace_back([&] {
      for (;;) {
        const bool last_look = owner_done.load(std::memory_order_acquire);
        const auto stolen = deque.steal();
        if (stolen.item != nullptr) {
          taken[*stolen.item].fetch_add(1, std::memory_order_relaxed);
        } else if (last_look && !stolen.retry) {
          return;
        }
      }
    });
  }
  SplitMix rng{7};
  int next = 0;
  while (next < kItems) {
    // Bursts larger than the initial capacity make the deque grow while thieves read it.
    const int burst = static_cast<int>(rng.next() % 300);
    for (int k = 0; k < burst && next < kItems; ++k, ++next) {
      items[next] = next;
      deque.push(&items[next]);
    }
    const int pops = static_cast<int>(rng.next() % 200);
    for (int k = 0; k < pops; ++k) {
      if (int* item = deque.pop()) taken[*item].fetch_add(1, std::memory_order_relaxed);
    }
  }
  while (int* item = deque.pop()) taken[*item].fetch_add(1, std::memory_order_relaxed);
  owner_done.store(true, std::memory_order_release);
  for (auto& t : thieves) t.join();
  CHECK(deque.looks_empty());
  CHECK(std::all_of(taken.begin(), taken.end(), [](const auto& c) { return c.load() == 1; }));
}

// ---------------------------------------------------------------------------------------------
// The pool in this process

void test_empty_range_creates_pool() {
  Counting c(1);
  // The first use in this process: nothing to run, but the pool must exist afterwards.
  corvane::parallel_for(0, counting_body, &c);
  CHECK(c.ranges.load() == 0);
  const std::size_t want =
      corvane::choose_worker_count(std::getenv("RAYON_NUM_THREADS"),
                                   std::getenv("RAYON_RS_NUM_CPUS"), corvane::available_cpus());
  CHECK(corvane::worker_count() == want);

  // The variables are read once, when the pool is created.
  const char* before = std::getenv("RAYON_NUM_THREADS");
  const std::string saved = before != nullptr ? before : "";
  ::setenv("RAYON_NUM_THREADS", want == 7 ? "5" : "7", 1);
  CHECK(corvane::worker_count() == want);
  if (before != nullptr) {
    ::setenv("RAYON_NUM_THREADS", saved.c_str(), 1);
  } else {
    ::unsetenv("RAYON_NUM_THREADS");
  }
}

// Each index run exactly once, its result in its own slot; one index on the calling thread,
// otherwise every index on the workers.
void test_each_index_once_in_its_slot() {
  for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5},
                              std::size_t{64}, std::size_t{1000}, 100'003 / kScale}) {
    Counting c(n);
    corvane::parallel_for(n, counting_body, &c);
    bool once = true;
    bool in_place = true;
    for (std::size_t i = 0; i < n; ++i) {
      once = once && c.hits[i].load() == 1;
      in_place = in_place && c.out[i] == value(i);
    }
    CHECK(once);
    CHECK(in_place);
    CHECK(c.on_caller.load() == (n == 1 ? 1 : 0));
  }
}

// Uneven, slow work spreads over the workers instead of staying with the first one.
void test_slow_body_is_shared() {
  Slow s(2'000 / kScale);
  corvane::parallel_for(s.out.size(), slow_body, &s);
  CHECK(all_values(s.out));
  if (corvane::worker_count() >= 2) CHECK(s.threads.size() >= 2);
}

void test_concurrent_submissions() {
  constexpr int kThreads = 6;
  const int calls = static_cast<int>(300 / kScale);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      SplitMix rng{static_cast<std::uint64_t>(t) + 100};
      for (int c = 0; c < calls; ++c) {
        const std::size_t n = rng.next() % 200;  // includes empty and one-index calls
        std::vector<std::uint64_t> out(n);
        corvane::parallel_for(n, pure_body, out.data());
        if (!all_values(out)) bad.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  CHECK(bad.load() == 0);
}

// Returns the message of the IndexFault that parallel_for threw, or "" when none.
std::string fault_of(std::size_t n, std::size_t throw_at_a, std::size_t throw_at_b) {
  Throwing t{.a = throw_at_a, .b = throw_at_b};
  try {
    corvane::parallel_for(n, throwing_body, &t);
  } catch (const IndexFault& e) {
    // Every piece of the call has stopped before the failure arrives.
    // acquire: pairs with the release decrements in throwing_body.
    CHECK(t.in_flight.load(std::memory_order_acquire) == 0);
    const long evaluated = t.evaluated.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    CHECK(t.evaluated.load() == evaluated);
    return e.what();
  }
  return "";
}

void test_body_that_throws() {
  constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  const std::size_t n = 100'000 / kScale;
  CHECK(fault_of(n, 13, kNone) == "index 13");
  // Both parts failed: the lower part's failure is the one reported.
  CHECK(fault_of(n, 13, n - 5) == "index 13");
  // A failure only in the upper part, which another worker usually runs.
  CHECK(fault_of(n, kNone, n - 5) == "index " + std::to_string(n - 5));
  CHECK(fault_of(1, 0, kNone) == "index 0");  // one index, on the calling thread
  CHECK(fault_of(2, 1, kNone) == "index 1");
  CHECK(fault_of(n, kNone, kNone).empty());
  // The pool keeps working afterwards.
  std::vector<std::uint64_t> out(10'000);
  corvane::parallel_for(out.size(), pure_body, out.data());
  CHECK(all_values(out));
}

// A body that starts a parallel_for of its own, on a worker, must not wait on a pool it occupies.
void test_nested_parallel_for() {
  std::vector<std::uint64_t> out(64);
  corvane::parallel_for(out.size(), nesting_body, out.data());
  CHECK(g_nested_bad.load() == 0);
  CHECK(all_values(out));
}

// ---------------------------------------------------------------------------------------------
// Child processes

// Waits up to `seconds` for `pid`, then kills it. Returns the wait status, or -1 on timeout.
int wait_with_deadline(pid_t pid, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) return status;
    if (got < 0) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool exited_zero(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs this program again with `args`, the two pool variables set as given (null: unset).
int run_self(const std::vector<std::string>& args, const char* num_threads,
             const char* rs_num_cpus) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view var = *e;
    if (var.starts_with("RAYON_NUM_THREADS=") || var.starts_with("RAYON_RS_NUM_CPUS=")) continue;
    env.emplace_back(var);
  }
  if (num_threads != nullptr) env.push_back(std::string("RAYON_NUM_THREADS=") + num_threads);
  if (rs_num_cpus != nullptr) env.push_back(std::string("RAYON_RS_NUM_CPUS=") + rs_num_cpus);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_store = {"/proc/self/exe"};
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return -1;
  }
  return wait_with_deadline(pid, kThreadSanitizer ? 300 : 60);
}

// One process per worker count, since the pool is built once per process.
void test_worker_counts_in_children(std::uint64_t digest) {
  const std::string d = std::to_string(digest);
  const std::string cpus = std::to_string(corvane::available_cpus());
  const struct {
    const char* num_threads;
    const char* rs_num_cpus;
    std::string want;
  } cases[] = {
      {"1", nullptr, "1"},  {"2", nullptr, "2"}, {"3", nullptr, "3"},    {"64", nullptr, "64"},
      {"0", "3", cpus},  // 0 selects the default at once
      {"+4", nullptr, "4"}, {" 4", "3", "3"},    {"abc", nullptr, cpus}, {nullptr, "5", "5"},
  };
  for (const auto& c : cases) {
    const bool ok = exited_zero(run_self({"--child", c.want, d}, c.num_threads, c.rs_num_cpus));
    if (!ok) {
      std::fprintf(stderr, "child with RAYON_NUM_THREADS=%s RAYON_RS_NUM_CPUS=%s failed\n",
                   c.num_threads ? c.num_threads : "(unset)",
                   c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
    }
    CHECK(ok);
  }
}

int child_main(std::size_t want_workers, std::uint64_t want_digest) {
  const bool workers_ok = corvane::worker_count() == want_workers;
  const bool digest_ok = results_digest(true) == want_digest;
  if (!workers_ok) std::fprintf(stderr, "child: %zu workers\n", corvane::worker_count());
  if (!digest_ok) std::fprintf(stderr, "child: parallel results differ\n");
  return workers_ok && digest_ok ? 0 : 1;
}

// Leaves just enough address space that 64 worker stacks of 2 MiB cannot all be mapped.
int start_failure_main() {
  long vm_kib = 0;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmSize:")) vm_kib = std::strtol(line.c_str() + 7, nullptr, 10);
  }
  const rlim_t limit = static_cast<rlim_t>(vm_kib + 24 * 1024) * 1024;
  const rlimit rl{.rlim_cur = limit, .rlim_max = limit};
  if (vm_kib == 0 || ::setrlimit(RLIMIT_AS, &rl) != 0) return 2;
  int failures = 0;
  std::vector<std::uint64_t> out(100);
  for (int attempt = 0; attempt < 2; ++attempt) {  // this call, and every later one
    try {
      corvane::parallel_for(out.size(), pure_body, out.data());
    } catch (const corvane::PoolUnavailable& e) {
      if (std::string_view(e.what()).starts_with(
              "The global thread pool has not been initialized.")) {
        ++failures;
      }
    }
  }
  try {
    corvane::worker_count();
  } catch (const corvane::PoolUnavailable&) {
    ++failures;
  }
  return failures == 3 ? 0 : 1;
}

// A child made with fork() has none of the parent's workers; its first parallel_for must build
// a pool of the same size rather than wait forever on the parent's.
bool evaluations_work(std::size_t want_workers) {
  std::vector<std::uint64_t> out(5'000);
  for (int round = 0; round < 2; ++round) {  // the second reuses this thread's latch
    std::fill(out.begin(), out.end(), 0);
    corvane::parallel_for(out.size(), pure_body, out.data());
    if (!all_values(out)) return false;
  }
  return corvane::worker_count() == want_workers;
}

bool fork_and_evaluate(std::size_t want_workers, bool grandchild) {
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    bool ok = evaluations_work(want_workers);
    if (ok && grandchild) ok = fork_and_evaluate(want_workers, false);  // fork again
    ::_exit(ok ? 0 : 1);
  }
  return exited_zero(wait_with_deadline(pid, 60));
}

void test_fork() {
  const std::size_t w = corvane::worker_count();
  CHECK(evaluations_work(w));  // the parent's pool has been used before the fork
  CHECK(fork_and_evaluate(w, true));
  // Forked from another thread whose own latch has been used.
  bool from_thread = false;
  std::thread([&] { from_thread = evaluations_work(w) && fork_and_evaluate(w, false); }).join();
  CHECK(from_thread);
  CHECK(evaluations_work(w));  // and the parent's pool is untouched
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "--child") {
    return child_main(std::stoull(std::string(args[1])), std::stoull(std::string(args[2])));
  }
  if (args.size() == 1 && args[0] == "--start-failure") return start_failure_main();

  test_empty_range_creates_pool();  // first: it checks the pool's creation
  test_parse_thread_count();
  test_choose_worker_count();
  test_quota_parsing();
  test_cgroup_quota_files();
  test_work_deque();
  test_each_index_once_in_its_slot();
  test_slow_body_is_shared();
  test_concurrent_submissions();
  test_body_that_throws();
  test_nested_parallel_for();

  const std::uint64_t digest = results_digest(false);
  CHECK(results_digest(true) == digest);
  test_worker_counts_in_children(digest);
  if constexpr (kSanitizerShadow) {
    // Skipped: with the sanitizer's shadow memory reserved, no address-space limit can make
    // thread creation fail while leaving the program room to run.
  } else {
    CHECK(exited_zero(run_self({"--start-failure"}, "64", nullptr)));
  }
  test_fork();

  std::printf("pool_test: %d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
