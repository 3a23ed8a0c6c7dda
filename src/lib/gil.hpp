// The interpreter lock, and how binding code waits for other locks beside it.
//
// GilReleased gives up the interpreter lock for the scope's lifetime.
// Inside the scope no Python object may be touched, and no Python API
// called.
//
// drop_off_lock_if_large frees something large without the interpreter
// lock, and something small with it; GilReleaseOnDemand gives the lock up
// in the middle of work that finds out as it goes that it is long (see
// below).
//
// run_locked is the one way binding code takes a lock of its own. Two rules
// meet in it. No lock of ours is ever waited for while the interpreter lock
// is held: a thread holding ours may be waiting for the interpreter lock,
// and neither would move. Yet giving up the interpreter lock costs more than
// short work: beside a busy Python thread, winning it back can take a whole
// switch interval (5 ms) for work of a few hundred nanoseconds. So:
// - short work first tries the lock without waiting, with the interpreter
//   lock held; when that succeeds it runs and returns without ever
//   releasing the interpreter lock;
// - otherwise (the lock is busy, or the work is long) the interpreter lock
//   is released, the lock waited for, and the work done; the lock is let go
//   before the interpreter lock is taken back.
// So `work` may run with or without the interpreter lock: it must not touch
// Python objects either way. Results that become Python objects are built
// by the caller after run_locked returns.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "lib/python.hpp"

namespace derirezaro::py {

class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(state_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* state_;
};

// Whether work may keep the interpreter lock while it runs: short work is
// a bounded number of steps (one map lookup, sixteen map copies); long work
// grows with what the store holds.
enum class WorkLength : uint8_t { short_work, long_work };

// Runs `work`, which touches no Python object and takes no lock of ours,
// with the interpreter lock held when it is short and without it when it
// is long; returns what it returns.
template <class Work>
decltype(auto) run_without_the_lock_if_long(WorkLength length, Work&& work) {
  if (length == WorkLength::short_work) return std::forward<Work>(work)();
  GilReleased released;
  return std::forward<Work>(work)();
}

// A lock source: `try_acquire()` returns std::optional<Guard>, empty when
// the lock is busy; `acquire()` waits and returns Guard. A Guard holds the
// lock until it is destroyed. Runs `work(Guard&)` as described above and
// returns what it returns.
template <class LockSource, class Work>
auto run_locked(LockSource&& source, WorkLength length, Work&& work) {
  if (length == WorkLength::short_work) {
    if (auto guard = source.try_acquire()) return work(*guard);
  }
  GilReleased released;
  auto guard = source.acquire();  // destroyed before `released`: the lock goes first
  return work(guard);
}

// Destroys `doomed` (moved from; its moved-from state must cost nothing to
// destroy): without the interpreter lock when `is_large(doomed)` says that
// freeing it is long work, with it otherwise, for the same reason short work
// keeps it above. The caller lets go of its own locks first, so that no
// other thread waits for them meanwhile. What is freed must hold no Python
// object. Usable in a deallocator: while the lock is given up nothing
// Python is touched, and no one else holds the object being destroyed.
template <class T, class IsLarge>
void drop_off_lock_if_large(T&& doomed, IsLarge&& is_large) {
  static_assert(!std::is_lvalue_reference_v<T>, "pass what is dropped with std::move");
  if (!is_large(std::as_const(doomed))) {
    T gone(std::move(doomed));
    return;
  }
  GilReleased released;
  T gone(std::move(doomed));  // freed before `released` takes the interpreter lock back
}

// For long work that must keep the interpreter lock because it makes
// Python objects (a list of a million entries): a tick per object, and
// every kYieldEvery of work the lock is given up for kYieldPause. Only
// giving it up and taking it back at once would not do: the release wakes a
// waiting thread, which finds the lock taken again and goes back to waiting
// for a whole switch interval, and since every release wakes it anew it
// never asks the holder to switch. The pause is the waiter's window; it
// costs about 2% of the work when no thread waits. Across a tick the caller
// may hold only objects no other thread can reach (the list being built)
// and memory that outlives the call.
class GilYieldPoint {
 public:
  static constexpr auto kYieldEvery = std::chrono::milliseconds(2);
  static constexpr auto kYieldPause = std::chrono::microseconds(50);

  void tick() {
    if (++count_ % kTicksBetweenClockReads != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kYieldEvery) return;
    PyThreadState* state = PyEval_SaveThread();
    std::this_thread::sleep_for(kYieldPause);
    PyEval_RestoreThread(state);
    last_ = std::chrono::steady_clock::now();
  }

 private:
  static constexpr size_t kTicksBetweenClockReads = 1024;
  size_t count_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Gives up the interpreter lock when first asked to, and takes it back at
// reacquire() or at the end of the scope: for work that learns only as it
// goes that it is long (an evaluation whose WorkMeter runs out). Between the
// two, as in GilReleased's scope, nothing Python may be touched.
class GilReleaseOnDemand {
 public:
  GilReleaseOnDemand() = default;
  ~GilReleaseOnDemand() { reacquire(); }
  GilReleaseOnDemand(const GilReleaseOnDemand&) = delete;
  GilReleaseOnDemand& operator=(const GilReleaseOnDemand&) = delete;

  void release() noexcept {
    if (state_ == nullptr) state_ = PyEval_SaveThread();
  }
  void reacquire() noexcept {
    if (state_ != nullptr) PyEval_RestoreThread(std::exchange(state_, nullptr));
  }

  // release() as a plain hook: `context` is the GilReleaseOnDemand.
  static void release_hook(void* context) noexcept { static_cast<GilReleaseOnDemand*>(context)->release(); }

 private:
  PyThreadState* state_ = nullptr;  // non-null while released
};

}  // namespace derirezaro::py
