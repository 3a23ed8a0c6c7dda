// WorkMeter: the steps an evaluation has taken, against a budget, and a
// hook that runs once when the budget is spent.
//
// A step is work whose cost does not grow with the input: one map entry,
// array element or value visited, one chain term or comparison, or up to
// 64 bytes compared or searched. The evaluator charges every step before it
// takes it, so at any moment the work done is at most what was charged; a
// charge that does not fit what is left of the budget calls the hook first,
// then the work goes on unmetered (the hook never runs twice).
//
// Routing's hook gives up the interpreter lock. Beside a busy Python thread,
// handing the lock off and winning it back can cost a whole switch interval
// (5 ms), so short evaluation, the usual case, keeps it; evaluation that
// reaches kShortEvaluationSteps (tens of microseconds) gives it up, however
// long it goes on afterwards. The budget is of the same order as the one
// under which freeing map nodes keeps the lock.
//
// No Python here: the hook is a plain function pointer, and a meter belongs
// to one evaluation on one thread.
#pragma once

#include <cstdint>
#include <limits>
#include <utility>

namespace derirezaro::condition {

inline constexpr uint64_t kShortEvaluationSteps = uint64_t{1} << 15;

// Bytes per step when strings are compared or searched.
inline constexpr uint64_t kBytesPerStep = 64;

class WorkMeter {
 public:
  using OnSpent = void (*)(void* context) noexcept;

  // A meter without a budget: charges are counted against nothing.
  WorkMeter() = default;
  WorkMeter(uint64_t budget, OnSpent on_spent, void* context)
      : left_(budget), on_spent_(on_spent), context_(context) {}
  WorkMeter(const WorkMeter&) = delete;
  WorkMeter& operator=(const WorkMeter&) = delete;

  void charge(uint64_t steps) noexcept {
    if (steps < left_) [[likely]] {
      left_ -= steps;
      return;
    }
    spend();
  }

  // Steps to compare or search `bytes` bytes.
  static uint64_t byte_steps(uint64_t bytes) noexcept { return bytes / kBytesPerStep; }

  // Whether the hook has run.
  bool spent() const noexcept { return spent_; }

 private:
  [[gnu::cold]] void spend() noexcept {
    left_ = std::numeric_limits<uint64_t>::max();  // no sum of real charges reaches it
    spent_ = true;
    if (OnSpent hook = std::exchange(on_spent_, nullptr)) hook(context_);
  }

  uint64_t left_ = std::numeric_limits<uint64_t>::max();
  OnSpent on_spent_ = nullptr;
  void* context_ = nullptr;
  bool spent_ = false;
};

}  // namespace derirezaro::condition
