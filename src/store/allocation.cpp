#include "store/allocation.hpp"

// Only the test-build hooks live here; without them the whole allocation
// path is inline in the header and this file compiles to nothing. It stays
// in the one core source list so that both libraries are built from the same
// sources.
#if defined(DERIREZARO_ALLOCATION_HOOKS)

namespace derirezaro::store {

namespace {

// Allocations left before the injected failure; negative when disarmed.
thread_local int64_t allocations_before_failure = -1;

}  // namespace

namespace detail {

// Each counter on its own cache line: the threaded tests write both from
// every thread, and sharing a line with each other or with their neighbours
// would serialise those threads more than the code under test does.
alignas(64) std::atomic<int64_t> live_node_count{0};
alignas(64) std::atomic<int64_t> live_byte_block_count{0};

void* allocate(size_t size) {
  if (allocations_before_failure >= 0) [[unlikely]] {
    if (allocations_before_failure-- == 0) throw std::bad_alloc();
  }
  return ::operator new(size);
}

}  // namespace detail

int64_t PersistentMapStats::live_nodes() noexcept {
  return detail::live_node_count.load(std::memory_order_relaxed);
}

int64_t PersistentMapStats::live_byte_blocks() noexcept {
  return detail::live_byte_block_count.load(std::memory_order_relaxed);
}

namespace testing {

void fail_allocation_after(uint64_t n) noexcept {
  allocations_before_failure = n > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(n);
}

void stop_failing_allocations() noexcept { allocations_before_failure = -1; }

bool allocation_failure_armed() noexcept { return allocations_before_failure >= 0; }

}  // namespace testing
}  // namespace derirezaro::store

#endif  // DERIREZARO_ALLOCATION_HOOKS
