// The one allocation path of the store's structures: every map node, every
// SharedBytes block, and (through StoreAllocator) the snapshot records and
// the history that keeps them, is obtained and freed here.
//
// In the shipped extension this is plain operator new and sized operator
// delete, inlined, and the counting calls below compile to nothing.
//
// Test builds (DERIREZARO_ALLOCATION_HOOKS, set by the derirezaro_core_testing
// library that the core tests link) add two hooks on this path:
//
// Failure injection. `testing::fail_allocation_after(n)` lets the next n
// allocations on the calling thread succeed and makes the one after throw
// std::bad_alloc; the hook then disarms itself. It is thread-local, so a test
// that arms it is not disturbed by, and does not disturb, other threads.
//
// Live counts. Nodes and byte blocks are counted as they are made and freed,
// so a test can show that the last map to go frees everything it held. The
// counts are process-wide rather than per thread because a node or block is
// often freed by a different thread from the one that made it (a snapshot
// handed to a reader outlives the writer's copy); only the sum over all
// threads balances. They are relaxed atomics, read only once the threads
// that changed them have been joined. Every thread that builds or frees a
// node writes the same two cache lines, which would be a real cost on a hot
// path; it does not matter here because they exist only in test builds.
//
// The hook declarations exist only in test builds, so code outside the tests
// that reaches for them fails to compile instead of linking against a library
// that does not count. A binary links one library or the other, never both:
// the inline functions below differ between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(DERIREZARO_ALLOCATION_HOOKS)
#include <atomic>
#endif

namespace derirezaro::store {

#if defined(DERIREZARO_ALLOCATION_HOOKS)

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

#endif  // DERIREZARO_ALLOCATION_HOOKS

namespace detail {

// allocate throws std::bad_alloc on failure (real or, in test builds,
// injected). The memory is aligned for any fundamental type, which every node
// and block layout relies on.
#if defined(DERIREZARO_ALLOCATION_HOOKS)

void* allocate(size_t size);

extern std::atomic<int64_t> live_node_count;
extern std::atomic<int64_t> live_byte_block_count;

inline void count_node(int64_t delta) noexcept {
  live_node_count.fetch_add(delta, std::memory_order_relaxed);
}
inline void count_byte_block(int64_t delta) noexcept {
  live_byte_block_count.fetch_add(delta, std::memory_order_relaxed);
}

#else

inline void* allocate(size_t size) { return ::operator new(size); }

inline void count_node(int64_t) noexcept {}
inline void count_byte_block(int64_t) noexcept {}

#endif  // DERIREZARO_ALLOCATION_HOOKS

// `size` must be the size that was allocated.
inline void deallocate(void* p, size_t size) noexcept {
#if defined(__cpp_sized_deallocation)
  ::operator delete(p, size);  // lets the allocator skip looking the size up
#else
  static_cast<void>(size);  // clang enables sized deallocation only on request
  ::operator delete(p);
#endif
}

}  // namespace detail

// A standard allocator over the same path, for the containers and records
// beside the maps (the snapshot history, the records themselves): in test
// builds their allocations fail on request too, so a test can show that a
// failing one leaves the store as it was.
template <class T>
struct StoreAllocator {
  using value_type = T;
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "allocate gives the default alignment");

  StoreAllocator() = default;
  template <class U>
  StoreAllocator(const StoreAllocator<U>&) noexcept {}  // NOLINT: converting, as allocators are

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(detail::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { detail::deallocate(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const StoreAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace derirezaro::store
