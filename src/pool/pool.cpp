// The process-wide worker pool: work-stealing workers, the division of a range, creation once
// per process and after fork.
#include "pool/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "pool/cpu_count.hpp"
#include "pool/work_deque.hpp"

namespace corvane {

namespace {

constexpr std::size_t kWorkerStackBytes = std::size_t{2} << 20;
// Fruitless rounds (each yields the processor) an idle worker makes before it sleeps.
constexpr int kIdleRounds = 32;
constexpr std::string_view kUnavailable = "The global thread pool has not been initialized.";

// For a failure that no caller can receive: an exception escaping the pool's own machinery.
[[noreturn]] void abort_unexpected() noexcept {
  static constexpr char kMessage[] = "Rayon: detected unexpected panic; aborting\n";
  // write(2), not stdio: the failure may have left stdio's lock or the heap in any state.
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  std::abort();
}

class Worker;

// A piece of work another thread may run. `execute` catches every failure of the work itself.
struct Job {
  void (*execute)(Job* self, Worker& worker) noexcept;
  Job* next = nullptr;  // link in the entry queue
};

// What every piece of one parallel_for shares; it lives in the submitting frame.
struct Batch {
  RangeBody body;
  void* context;
};

// pthread's condition variable, not std::condition_variable: g++ 12's libstdc++ binds the
// latter's wait() to GLIBCXX_3.4.30, which would raise the oldest Linux the wheel runs on
// (manylinux_2_35 instead of 2_34) for no gain.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;
  ~CondVar() { ::pthread_cond_destroy(&cv_); }

  void notify_one() noexcept { ::pthread_cond_signal(&cv_); }
  template <class Ready>
  void wait(std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) ::pthread_cond_wait(&cv_, lock.mutex()->native_handle());
  }

 private:
  pthread_cond_t cv_ = PTHREAD_COND_INITIALIZER;
};

// One outside thread's completion latch, reused by each of its calls.
class Latch {
 public:
  void set() {
    std::lock_guard lock(mu_);
    set_ = true;
    cv_.notify_one();  // under the lock: the waiter cannot return, and destroy us, before it
  }
  void wait_and_reset() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return set_; });
    set_ = false;
  }

 private:
  std::mutex mu_;
  CondVar cv_;
  bool set_ = false;
};

class Pool;

class Worker {
 public:
  Worker(Pool& pool, std::size_t index) : pool_(pool), index_(index), rng_(index * 2 + 1) {}

  Pool& pool() const noexcept { return pool_; }
  std::size_t index() const noexcept { return index_; }
  WorkDeque<Job>& deque() noexcept { return deque_; }

  // xorshift64: where to start looking for work to steal.
  std::size_t next_random() noexcept {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    return static_cast<std::size_t>(rng_);
  }

  // Runs other work until `done` is set.
  void wait_until(const std::atomic<bool>& done);

  // Guarded by the pool's sleep lock.
  CondVar wake_cv;
  bool asleep = false;

 private:
  Pool& pool_;
  const std::size_t index_;
  WorkDeque<Job> deque_;
  std::uint64_t rng_;
};

thread_local Worker* tl_worker = nullptr;  // this thread's Worker, if it is one

class Pool {
 public:
  explicit Pool(std::size_t size) {
    workers_.reserve(size);
    for (std::size_t i = 0; i < size; ++i) workers_.push_back(std::make_unique<Worker>(*this, i));
  }

  std::size_t size() const noexcept { return workers_.size(); }

  // Starts every worker, or stops those started and explains why not.
  bool start(std::string& reason) {
    pthread_attr_t attr;
    if (int rc = ::pthread_attr_init(&attr); rc != 0) return fail(0, rc, reason);
    int rc = ::pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    std::size_t started = 0;
    threads_.resize(size());
    while (rc == 0 && started < size()) {
      rc = ::pthread_create(&threads_[started], &attr, &Pool::thread_main, workers_[started].get());
      if (rc == 0) ++started;
    }
    ::pthread_attr_destroy(&attr);
    return rc == 0 || fail(started, rc, reason);
  }

  // Puts a job on the entry queue, where any worker may take it.
  void inject(Job* job) {
    {
      std::lock_guard lock(entry_mu_);
      job->next = nullptr;
      (entry_tail_ != nullptr ? entry_tail_->next : entry_head_) = job;
      entry_tail_ = job;
      // seq_cst: ordered before wake_one()'s load of sleepers_, against sleep()'s increment of
      // sleepers_ followed by has_work()'s load of this count.
      entry_count_.fetch_add(1, std::memory_order_seq_cst);
    }
    wake_one();
  }

  // The next job from this worker's own deque, another worker's or the entry queue.
  Job* find_work(Worker& self) {
    if (Job* job = self.deque().pop()) return job;
    const std::size_t n = size();
    for (;;) {
      bool contended = false;
      const std::size_t start = self.next_random() % n;
      for (std::size_t k = 0; k < n; ++k) {
        const std::size_t victim = (start + k) % n;
        if (victim == self.index()) continue;
        const auto stolen = workers_[victim]->deque().steal();
        if (stolen.item != nullptr) return stolen.item;
        contended = contended || stolen.retry;
      }
      if (Job* job = take_injected()) return job;
      if (!contended) return nullptr;
    }
  }

  // Wakes one sleeping worker, if any, to look for new work.
  void wake_one() {
    // seq_cst: after the caller's seq_cst publication of work, against sleep() (see there).
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard lock(sleep_mu_);
    for (const auto& worker : workers_) {
      if (worker->asleep) {
        wake_locked(*worker);
        return;
      }
    }
  }

  // Wakes `worker` if it sleeps: it may be waiting for a latch the caller has just set.
  void wake(Worker& worker) {
    // seq_cst: after the caller's seq_cst store to the latch, against sleep() (see there).
    if (sleepers_.load(std::memory_order_seq_cst) == 0) return;
    std::lock_guard lock(sleep_mu_);
    if (worker.asleep) wake_locked(worker);
  }

  // Blocks `self` until a waker picks it, unless work, `until` or termination turns up first.
  // The worker announces itself in sleepers_ and then looks once more; a thread that publishes
  // work or sets a latch does so first and then reads sleepers_. With all four accesses seq_cst
  // at least one side sees the other, so no wake-up is lost.
  void sleep(Worker& self, const std::atomic<bool>* until) {
    std::unique_lock lock(sleep_mu_);
    sleepers_.fetch_add(1, std::memory_order_seq_cst);  // see above
    if ((until != nullptr && until->load(std::memory_order_seq_cst)) || has_work() ||
        terminating_.load(std::memory_order_relaxed)) {   // relaxed: written under sleep_mu_
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);  // undoes the announcement above
      return;
    }
    self.asleep = true;
    self.wake_cv.wait(lock, [&] {
      return !self.asleep || terminating_.load(std::memory_order_relaxed);  // under sleep_mu_
    });
    if (self.asleep) {  // released by termination, not by a waker
      self.asleep = false;
      sleepers_.fetch_sub(1, std::memory_order_seq_cst);  // as wake_locked() would have
    }
  }

  bool terminating() const noexcept {
    // relaxed: only a started-but-failed pool is told to stop, and sleep() reads it again
    // under the lock before blocking.
    return terminating_.load(std::memory_order_relaxed);
  }

  // In a forked child, the pool abandoned before this one (see abandon_pool_in_child).
  Pool* abandoned_before = nullptr;

 private:
  static void* thread_main(void* arg) noexcept {
    try {
      auto& self = *static_cast<Worker*>(arg);
      tl_worker = &self;
      int idle = 0;
      for (;;) {
        if (Job* job = self.pool().find_work(self)) {
          job->execute(job, self);
          idle = 0;
        } else if (self.pool().terminating()) {
          return nullptr;
        } else if (++idle < kIdleRounds) {
          ::sched_yield();
        } else {
          self.pool().sleep(self, nullptr);
          idle = 0;
        }
      }
    } catch (...) {
      abort_unexpected();
    }
  }

  bool fail(std::size_t started, int rc, std::string& reason) {
    {
      std::lock_guard lock(sleep_mu_);
      terminating_.store(true, std::memory_order_relaxed);  // the lock orders it for sleepers
      for (const auto& worker : workers_) worker->wake_cv.notify_one();
    }
    for (std::size_t i = 0; i < started; ++i) ::pthread_join(threads_[i], nullptr);
    // Only now, with no worker left to use the pool, may anything throw.
    reason = "worker thread " + std::to_string(started + 1) + " of " + std::to_string(size()) +
             " could not be started: " + std::strerror(rc);
    return false;
  }

  void wake_locked(Worker& worker) {
    worker.asleep = false;
    // seq_cst like every change of the count: the increment in sleep() is half of a store-load
    // pair, and a single order for all of them keeps the reasoning there simple.
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    worker.wake_cv.notify_one();
  }

  bool has_work() const noexcept {
    // seq_cst: the second half of sleep()'s announce-then-look (see there).
    if (entry_count_.load(std::memory_order_seq_cst) > 0) return true;
    for (const auto& worker : workers_) {
      if (!worker->deque().looks_empty()) return true;
    }
    return false;
  }

  Job* take_injected() {
    // relaxed: only a hint; the job itself passes through entry_mu_, and a job missed here is
    // seen on the next round or by the seq_cst check before sleeping.
    if (entry_count_.load(std::memory_order_relaxed) == 0) return nullptr;
    std::lock_guard lock(entry_mu_);
    Job* job = entry_head_;
    if (job == nullptr) return nullptr;
    entry_head_ = job->next;
    if (entry_head_ == nullptr) entry_tail_ = nullptr;
    entry_count_.fetch_sub(1, std::memory_order_relaxed);  // relaxed: under entry_mu_
    return job;
  }

  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<pthread_t> threads_;

  std::mutex entry_mu_;
  Job* entry_head_ = nullptr;  // guarded by entry_mu_
  Job* entry_tail_ = nullptr;  // guarded by entry_mu_
  std::atomic<std::size_t> entry_count_{0};

  std::mutex sleep_mu_;
  std::atomic<std::size_t> sleepers_{0};  // workers announced asleep and not yet woken
  std::atomic<bool> terminating_{false};
};

void Worker::wait_until(const std::atomic<bool>& done) {
  int idle = 0;
  // acquire: pairs with the seq_cst store in RangeJob::run_stolen, so the thief's results are
  // visible once it reads true.
  while (!done.load(std::memory_order_acquire)) {
    if (Job* job = pool_.find_work(*this)) {
      job->execute(job, *this);
      idle = 0;
    } else if (++idle < kIdleRounds) {
      ::sched_yield();
    } else {
      pool_.sleep(*this, &done);
      idle = 0;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Division of the range

// Returns how many indices it covered, which the caller checks against n.
std::size_t evaluate_serially(const Batch& batch, std::size_t lo, std::size_t hi) {
  batch.body(batch.context, lo, hi);
  return hi - lo;
}

// Whether a range may be cut, updating its split budget. A range that moved to another thread
// may always be cut and gets at least W, so stolen work spreads further; one that stayed may be
// cut while its budget lasts.
bool try_split(std::size_t& splits, bool migrated, std::size_t workers) noexcept {
  if (migrated) {
    splits = std::max(workers, splits / 2);
    return true;
  }
  if (splits == 0) return false;
  splits /= 2;
  return true;
}

std::size_t evaluate_range(Worker& self, const Batch& batch, std::size_t lo, std::size_t hi,
                           std::size_t splits, bool migrated);

// The upper half of a cut range, offered for stealing from its owner's deque.
struct RangeJob final : Job {
  RangeJob(const Batch& b, std::size_t from, std::size_t to, std::size_t budget, Worker& by)
      : Job{.execute = &RangeJob::run_stolen},
        batch(b),
        lo(from),
        hi(to),
        splits(budget),
        owner(by) {}

  static void run_stolen(Job* job, Worker& self) noexcept {
    auto& range = *static_cast<RangeJob*>(job);
    try {
      range.written = evaluate_range(self, range.batch, range.lo, range.hi, range.splits, true);
    } catch (...) {
      range.error = std::current_exception();
    }
    Worker& owner = range.owner;  // read before the latch: the owner's frame may vanish after it
    // seq_cst (a release): pairs with the acquire in wait_until(), publishing `written` and
    // `error`; and ordered before wake()'s load of the sleeper count.
    range.done.store(true, std::memory_order_seq_cst);
    try {
      self.pool().wake(owner);
    } catch (...) {
      abort_unexpected();
    }
  }

  const Batch& batch;
  const std::size_t lo, hi, splits;
  Worker& owner;
  std::atomic<bool> done{false};
  std::size_t written = 0;
  std::exception_ptr error;
};

// Takes `job` back from the top of the deque. False when a thief has it.
bool take_back(Worker& self, RangeJob& job) {
  for (;;) {
    Job* top = self.deque().pop();
    if (top == nullptr) return false;
    if (top == &job) return true;
    // Not reached when every join takes back or waits for its own half before returning,
    // but a job found here is still work to do.
    top->execute(top, self);
  }
}

// Evaluates [lo, mid) here while [mid, hi) is offered for stealing; returns once both are done.
// `injected`: both halves count as moved (the cut was made by an outside thread).
std::size_t join(Worker& self, const Batch& batch, std::size_t lo, std::size_t mid, std::size_t hi,
                 std::size_t splits, bool injected) {
  RangeJob upper(batch, mid, hi, splits, self);
  self.deque().push(&upper);  // may throw std::bad_alloc, before anything is offered
  std::size_t written = 0;
  std::exception_ptr lower_error;
  std::exception_ptr upper_error;
  try {
    self.pool().wake_one();
    written = evaluate_range(self, batch, lo, mid, splits, injected);
  } catch (...) {
    lower_error = std::current_exception();
  }
  // `upper` may be running elsewhere and it lives in this frame: from here the frame may not be
  // left before it is done, so a failure of the machinery ends the process.
  bool inline_upper = false;
  try {
    inline_upper = take_back(self, upper);
    if (!inline_upper) self.wait_until(upper.done);
  } catch (...) {
    abort_unexpected();
  }
  if (inline_upper) {
    try {
      written += evaluate_range(self, batch, mid, hi, splits, injected);
    } catch (...) {
      upper_error = std::current_exception();
    }
  } else {
    written += upper.written;
    upper_error = upper.error;
  }
  if (lower_error) std::rethrow_exception(lower_error);  // the lower part's failure comes first
  if (upper_error) std::rethrow_exception(upper_error);
  return written;
}

std::size_t evaluate_range(Worker& self, const Batch& batch, std::size_t lo, std::size_t hi,
                           std::size_t splits, bool migrated) {
  if (hi - lo >= 2 && try_split(splits, migrated, self.pool().size())) {
    return join(self, batch, lo, lo + (hi - lo) / 2, hi, splits, false);
  }
  return evaluate_serially(batch, lo, hi);
}

// The first cut of an outside thread's evaluation, run by whichever worker takes it.
struct RootJob final : Job {
  RootJob(const Batch& b, std::size_t count, std::size_t budget, Latch& l)
      : Job{.execute = &RootJob::run}, batch(b), n(count), splits(budget), latch(l) {}

  static void run(Job* job, Worker& self) noexcept {
    auto& root = *static_cast<RootJob*>(job);
    try {
      root.written = join(self, root.batch, 0, root.n / 2, root.n, root.splits, true);
    } catch (...) {
      root.error = std::current_exception();
    }
    try {
      root.latch.set();  // `root` may vanish as soon as this returns
    } catch (...) {
      abort_unexpected();
    }
  }

  const Batch& batch;
  const std::size_t n, splits;
  Latch& latch;
  std::size_t written = 0;
  std::exception_ptr error;
};

// ---------------------------------------------------------------------------------------------
// Creation, once per process, and fork

// The state of pool creation. A forked child starts it again (see abandon_pool_in_child).
struct Registry {
  std::mutex mu;
  // acquire/release: a thread that sees the pointer sees the pool fully built and started.
  std::atomic<Pool*> pool{nullptr};
  bool failed = false;                  // guarded by mu
  std::string failure;                  // guarded by mu
  std::size_t inherited_workers = 0;    // guarded by mu; the W of a forked child's parent
  bool fork_handler_installed = false;  // guarded by mu
  Pool* abandoned = nullptr;            // pools left behind by fork(), kept reachable
};

Registry& registry() {
  static Registry& r = *new Registry;  // never destroyed: workers run until the process ends
  return r;
}

thread_local Latch tl_latch;  // this outside thread's completion latch

// Runs in a child made by fork(), which has none of the parent's workers; any lock of the
// parent's pool may have been held by one of them. So the old pool is left as it is, never
// touched again, and the next evaluation builds a pool of the same size. The registry's lock may
// have been held by another thread too: it is made anew.
//
// The forking thread's latch needs nothing: the thread was not waiting on it, and the worker
// that last set it had released its lock, and was done with it, before the wait returned.
void abandon_pool_in_child() noexcept {
  Registry& r = registry();
  if (Pool* old = r.pool.load(std::memory_order_relaxed)) {  // relaxed: the only thread left
    r.inherited_workers = old->size();
    old->abandoned_before = r.abandoned;
    r.abandoned = old;
    r.pool.store(nullptr, std::memory_order_relaxed);  // as above
  }
  new (&r.mu) std::mutex();
  tl_worker = nullptr;  // in case a worker forked: it is not one in the child
}

Pool& create_pool() {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  if (Pool* pool = r.pool.load(std::memory_order_relaxed)) return *pool;  // under r.mu
  if (r.failed) throw PoolUnavailable(r.failure);
  std::string reason;
  try {
    if (!r.fork_handler_installed) {
      if (const int rc = ::pthread_atfork(nullptr, nullptr, &abandon_pool_in_child); rc != 0) {
        throw std::runtime_error(std::string("pthread_atfork: ") + std::strerror(rc));
      }
      r.fork_handler_installed = true;
    }
    const std::size_t workers =
        r.inherited_workers != 0
            ? r.inherited_workers
            : choose_worker_count(std::getenv("RAYON_NUM_THREADS"),
                                  std::getenv("RAYON_RS_NUM_CPUS"), available_cpus());
    auto pool = std::make_unique<Pool>(workers);
    if (pool->start(reason)) {
      Pool* raw = pool.release();                    // lives until the process ends
      r.pool.store(raw, std::memory_order_release);  // pairs with the acquire in acquire_pool()
      return *raw;
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  r.failed = true;
  r.failure = std::string(kUnavailable) + " " + reason;
  throw PoolUnavailable(r.failure);
}

Pool& acquire_pool() {
  // acquire: pairs with the release in create_pool().
  if (Pool* pool = registry().pool.load(std::memory_order_acquire)) return *pool;
  return create_pool();
}

// Hands the evaluation to the pool and sleeps until it is done.
void submit_and_wait(Pool& pool, RootJob& root) noexcept {
  try {
    pool.inject(&root);
    root.latch.wait_and_reset();
  } catch (...) {
    abort_unexpected();  // the job may be running and it lives in the caller's frame
  }
}

}  // namespace

std::size_t worker_count() { return acquire_pool().size(); }

namespace {

void evaluate_batch(const Batch& batch, std::size_t n) {
  Pool& pool = acquire_pool();
  if (n == 0) return;
  if (n == 1) {
    evaluate_serially(batch, 0, 1);
    return;
  }
  std::size_t written = 0;
  if (Worker* self = tl_worker; self != nullptr && &self->pool() == &pool) {
    // Called from a body on a worker: blocking here could starve the pool, so take part instead.
    written = evaluate_range(*self, batch, 0, n, pool.size(), false);
  } else {
    // The first cut is made here: its budget is W halved, and both halves count as moved.
    RootJob root(batch, n, pool.size() / 2, tl_latch);
    submit_and_wait(pool, root);
    if (root.error) std::rethrow_exception(root.error);
    written = root.written;
  }
  if (written != n) {
    throw std::logic_error("parallel evaluation covered " + std::to_string(written) + " of " +
                           std::to_string(n) + " indices");
  }
}

}  // namespace

void parallel_for(std::size_t n, RangeBody body, void* context) {
  evaluate_batch({.body = body, .context = context}, n);
}

}  // namespace corvane
