// Per-object borrow tracking for calls into the module's classes.
//
// A call takes a shared or an exclusive borrow of its receiver for as long as
// it runs. Conflicts can only arise between threads, while one call has
// released the interpreter lock: a shared borrow is refused while an
// exclusive one is held ("Already mutably borrowed"), an exclusive borrow
// while any is held ("Already borrowed").
//
// State: one atomic word per object. 0 = free, n > 0 = n shared borrows,
// kExclusive = one exclusive borrow.
#pragma once

#include <atomic>
#include <cstdint>

#include "lib/python.hpp"

namespace derirezaro::py {

enum class Borrow : uint8_t { none, shared, exclusive };

class BorrowFlag {
 public:
  bool try_acquire(Borrow kind) {
    switch (kind) {
      case Borrow::none: return true;
      case Borrow::shared: {
        int64_t seen = state_.load(std::memory_order_relaxed);
        do {
          if (seen == kExclusive) return false;
        } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                               std::memory_order_relaxed));
        return true;
      }
      case Borrow::exclusive: {
        int64_t expected = 0;
        return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                              std::memory_order_relaxed);
      }
    }
    return false;  // unreachable: every kind is handled above
  }

  void release(Borrow kind) {
    if (kind == Borrow::shared) state_.fetch_sub(1, std::memory_order_release);
    if (kind == Borrow::exclusive) state_.store(0, std::memory_order_release);
  }

 private:
  static constexpr int64_t kExclusive = -1;
  std::atomic<int64_t> state_{0};
};

// Holds a borrow for one call; `acquired()` is false (with RuntimeError set)
// when the borrow conflicts with one already held.
class BorrowGuard {
 public:
  BorrowGuard(BorrowFlag& flag, Borrow kind) : flag_(flag), kind_(kind) {
    acquired_ = flag_.try_acquire(kind_);
    if (!acquired_) {
      PyErr_SetString(PyExc_RuntimeError,
                      kind_ == Borrow::shared ? "Already mutably borrowed" : "Already borrowed");
    }
  }
  ~BorrowGuard() {
    if (acquired_) flag_.release(kind_);
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

  bool acquired() const { return acquired_; }

 private:
  BorrowFlag& flag_;
  Borrow kind_;
  bool acquired_;
};

}  // namespace derirezaro::py
