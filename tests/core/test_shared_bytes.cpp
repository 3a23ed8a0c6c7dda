// SharedBytes blocks hold every key and encoded value in the store, shared
// between map nodes and snapshots; a miscount frees bytes that a snapshot
// still reads, or leaks them.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "store/allocation.hpp"
#include "store/shared_bytes.hpp"

namespace derirezaro::store {
namespace {

TEST(SharedBytes, HoldsAnyBytesAndComparesByContent) {
  const int64_t blocks = PersistentMapStats::live_byte_blocks();
  {
    const std::string text("a\0b\xff", 4);
    const SharedBytesRef a = SharedBytesRef::copy_of(text);
    const SharedBytesRef b = SharedBytesRef::copy_of(text);
    EXPECT_EQ(a.view(), text);
    EXPECT_EQ(a.size(), 4u);
    EXPECT_NE(a.block(), b.block());
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == SharedBytesRef::copy_of("a"));
    EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks + 2);
  }
  EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks);
}

// Empty strings (an empty key is valid) need no block, and a null handle
// behaves as the empty string everywhere, including after a move.
TEST(SharedBytes, EmptyIsNullAndSafe) {
  const int64_t blocks = PersistentMapStats::live_byte_blocks();
  testing::fail_allocation_after(0);
  const SharedBytesRef empty = SharedBytesRef::copy_of("");
  EXPECT_TRUE(testing::allocation_failure_armed()) << "an empty block allocated";
  testing::stop_failing_allocations();
  EXPECT_EQ(empty.block(), nullptr);
  EXPECT_EQ(empty, SharedBytesRef());
  EXPECT_EQ(empty.view(), "");

  SharedBytesRef source = SharedBytesRef::copy_of("x");
  const SharedBytesRef moved = std::move(source);
  EXPECT_EQ(source.size(), 0u);  // NOLINT(bugprone-use-after-move): a moved-from handle is null
  EXPECT_STREQ(source.data(), "");
  EXPECT_EQ(moved.view(), "x");
  EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks + 1);
}

TEST(SharedBytes, CopiesShareOneCountedBlock) {
  const SharedBytesRef a = SharedBytesRef::copy_of("value");
  EXPECT_EQ(a.use_count(), 1u);
  {
    SharedBytesRef b = a;
    SharedBytesRef c;
    c = b;
    EXPECT_EQ(b.block(), a.block());
    EXPECT_EQ(a.use_count(), 3u);
    const SharedBytesRef& same = c;
    c = same;  // self-assignment keeps the count
    EXPECT_EQ(a.use_count(), 3u);
  }
  EXPECT_EQ(a.use_count(), 1u);
}

TEST(SharedBytes, BuildWritesInPlaceAndFreesOnFailure) {
  const int64_t blocks = PersistentMapStats::live_byte_blocks();
  const SharedBytesRef built =
      SharedBytesRef::build(3, [](char* out) { out[0] = 'a', out[1] = 'b', out[2] = 'c'; });
  EXPECT_EQ(built.view(), "abc");
  EXPECT_THROW(SharedBytesRef::build(8, [](char*) { throw std::runtime_error("fill failed"); }),
               std::runtime_error);
  EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks + 1);

  testing::fail_allocation_after(0);
  EXPECT_THROW(SharedBytesRef::copy_of("abc"), std::bad_alloc);
  EXPECT_FALSE(testing::allocation_failure_armed()) << "the hook fires once";
  EXPECT_EQ(SharedBytesRef::copy_of("abc").view(), "abc");
  EXPECT_EQ(PersistentMapStats::live_byte_blocks(), blocks + 1);
}

TEST(SharedBytes, ImpossibleSizeIsRefusedNotWrapped) {
  EXPECT_THROW(SharedBytesRef::build(SIZE_MAX - 4, [](char*) {}), std::bad_alloc);
}

}  // namespace
}  // namespace derirezaro::store
