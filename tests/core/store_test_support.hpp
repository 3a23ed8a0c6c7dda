// Shard access for the store's core tests, with the real locks.
#pragma once

#include <utility>

#include "store/shard.hpp"

namespace derirezaro::store::test_support {

template <class Work>
auto read_shard(Shard& shard, Work&& work) {
  ShardLock held(shard, Access::read);
  return shard.read(std::forward<Work>(work));
}

template <class Work>
auto write_shard(Shard& shard, Work&& work) {
  ShardLock held(shard, Access::write);
  return shard.write(std::forward<Work>(work));
}

}  // namespace derirezaro::store::test_support
