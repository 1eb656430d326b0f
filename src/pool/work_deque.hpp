// A Chase-Lev work-stealing deque of pointers: its owner pushes and pops at the bottom, any thread
// steals from the top.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace corvane {

// Every operation on top_ and bottom_ that takes part in the race for the last item is seq_cst:
// the owner's "store bottom_, then load top_" in pop() and a thief's "load top_, then load
// bottom_" in steal() must not both read stale values (a store-load race that acquire/release
// alone does not close). The same seq_cst store in push() also orders a new item before the
// pool's check for sleeping workers.
template <typename T>
class WorkDeque {
 public:
  struct Stolen {
    T* item = nullptr;
    bool retry = false;  // lost a race with another thread: the deque may still hold items
  };

  WorkDeque() {
    buffers_.push_back(std::make_unique<Buffer>(kInitialCapacity));
    buffer_.store(buffers_.back().get(), std::memory_order_relaxed);  // published with the deque
  }
  WorkDeque(const WorkDeque&) = delete;
  WorkDeque& operator=(const WorkDeque&) = delete;

  // Owner only. Throws std::bad_alloc if the deque must grow and cannot; nothing changes then.
  void push(T* item) {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed);  // only the owner writes it
    // acquire: pairs with the CAS in steal(), so a slot a thief has taken is free to reuse.
    const std::int64_t t = top_.load(std::memory_order_acquire);
    Buffer* buffer = buffer_.load(std::memory_order_relaxed);  // only the owner writes it
    if (b - t >= buffer->capacity()) buffer = grow(buffer, t, b);
    buffer->at(b).store(item, std::memory_order_relaxed);  // published by the store below
    // seq_cst (a release): pairs with the load of bottom_ in steal(), publishing the slot and
    // the item it points to; also ordered before the pool's later load of its sleeper count.
    bottom_.store(b + 1, std::memory_order_seq_cst);
  }

  // Owner only. The most recently pushed item, or null when empty or a thief took the last one.
  T* pop() noexcept {
    const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;  // only the owner writes it
    Buffer* buffer = buffer_.load(std::memory_order_relaxed);            // only the owner writes it
    // seq_cst: claims slot b before top_ is read, against the loads in steal().
    bottom_.store(b, std::memory_order_seq_cst);
    std::int64_t t = top_.load(std::memory_order_seq_cst);  // pairs with the store above
    if (t > b) {
      // Empty. seq_cst keeps every store to bottom_ a release (see steal()).
      bottom_.store(b + 1, std::memory_order_seq_cst);
      return nullptr;
    }
    T* item = buffer->at(b).load(std::memory_order_relaxed);  // written by this thread
    if (t == b) {
      // The last item: thieves may be after it too, and the CAS on top_ decides.
      // seq_cst: pairs with the CAS in steal(); on failure nothing was read through it.
      if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                        std::memory_order_relaxed)) {
        item = nullptr;
      }
      bottom_.store(b + 1, std::memory_order_seq_cst);  // a release, as above
    }
    return item;
  }

  // Any thread. The oldest item, or null with `retry` set when another thread won the race.
  Stolen steal() noexcept {
    // seq_cst: ordered before the load of bottom_, against the store-then-load in pop().
    std::int64_t t = top_.load(std::memory_order_seq_cst);
    // seq_cst (an acquire): pairs with the stores in push() and pop(), so slot t and the item
    // it points to are visible.
    const std::int64_t b = bottom_.load(std::memory_order_seq_cst);
    if (t >= b) return {};
    // acquire: pairs with the release in grow(). An older buffer than the current one is still
    // alive (buffers_ keeps every one) and still holds slot t if the CAS below succeeds.
    Buffer* buffer = buffer_.load(std::memory_order_acquire);
    T* item = buffer->at(t).load(std::memory_order_relaxed);  // made visible by the bottom_ load
    // seq_cst: pairs with the CAS in pop() and the acquire load of top_ in push(). The item is
    // ours only if top_ was still t; it is not dereferenced before.
    if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
      return {.item = nullptr, .retry = true};
    }
    return {.item = item, .retry = false};
  }

  // Any thread. A snapshot: true when no item was visible.
  bool looks_empty() const noexcept {
    // seq_cst: a worker about to sleep announces itself, then calls this; push() stores bottom_,
    // then checks for sleepers. One of the two sees the other.
    const std::int64_t t = top_.load(std::memory_order_seq_cst);
    return bottom_.load(std::memory_order_seq_cst) <= t;
  }

 private:
  static constexpr std::int64_t kInitialCapacity = 64;  // a power of two

  class Buffer {
   public:
    explicit Buffer(std::int64_t capacity)
        : mask_(capacity - 1), slots_(new std::atomic<T*>[static_cast<std::size_t>(capacity)]()) {}
    std::int64_t capacity() const noexcept { return mask_ + 1; }
    std::atomic<T*>& at(std::int64_t index) noexcept { return slots_[index & mask_]; }

   private:
    std::int64_t mask_;
    std::unique_ptr<std::atomic<T*>[]> slots_;
  };

  Buffer* grow(Buffer* old, std::int64_t t, std::int64_t b) {
    auto bigger = std::make_unique<Buffer>(old->capacity() * 2);
    for (std::int64_t i = t; i < b; ++i) {
      bigger->at(i).store(old->at(i).load(std::memory_order_relaxed), std::memory_order_relaxed);
    }
    Buffer* raw = bigger.get();
    buffers_.push_back(std::move(bigger));  // the old buffer stays: a thief may be reading it
    // release: pairs with the acquire in steal(), so the copied slots are visible through it.
    buffer_.store(raw, std::memory_order_release);
    return raw;
  }

  alignas(64) std::atomic<std::int64_t> top_{0};
  alignas(64) std::atomic<std::int64_t> bottom_{0};
  alignas(64) std::atomic<Buffer*> buffer_{nullptr};
  std::vector<std::unique_ptr<Buffer>> buffers_;  // owner only; every buffer ever used
};

}  // namespace corvane
