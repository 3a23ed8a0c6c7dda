// The one allocation path of the persistent maps: every node and every
// SharedBytes block is obtained here, so tests can make any single
// allocation fail and count what is still alive.
//
// Failure injection. `testing::fail_allocation_after(n)` lets the next n
// allocations on the calling thread succeed and makes the one after throw
// std::bad_alloc; the hook then disarms itself. It is thread-local, so a test
// that arms it is not disturbed by, and does not disturb, other threads.
// When disarmed the cost is one thread-local load and a predicted branch.
//
// Live counts. Nodes and byte blocks are counted as they are made and freed
// (relaxed atomics: the counts are read only once the threads that changed
// them have been joined). They cost one uncontended atomic add per
// allocation, next to a malloc that costs far more, and they let every test
// show that the last map to go frees everything it held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace derirezaro::store {

struct PersistentMapStats {
  // Map nodes (bitmap nodes and collision lists) currently allocated, in all
  // maps of all value types.
  static int64_t live_nodes() noexcept;
  // SharedBytes blocks currently allocated (keys and encoded values).
  static int64_t live_byte_blocks() noexcept;
};

namespace testing {

// Arms the hook: the next `n` allocations on this thread succeed, the one
// after throws std::bad_alloc. `fail_allocation_after(0)` fails the next one.
void fail_allocation_after(uint64_t n) noexcept;
// Disarms the hook.
void stop_failing_allocations() noexcept;
// Whether the hook is still armed (the failure has not happened yet).
bool allocation_failure_armed() noexcept;

}  // namespace testing

namespace detail {

// Throws std::bad_alloc on failure (real or injected). The memory is aligned
// for any fundamental type, which every node and block layout relies on.
void* allocate(size_t size);
// `size` must be the size that was allocated.
void deallocate(void* p, size_t size) noexcept;

extern std::atomic<int64_t> live_node_count;
extern std::atomic<int64_t> live_byte_block_count;

inline void count_node(int64_t delta) noexcept {
  live_node_count.fetch_add(delta, std::memory_order_relaxed);
}
inline void count_byte_block(int64_t delta) noexcept {
  live_byte_block_count.fetch_add(delta, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace derirezaro::store
