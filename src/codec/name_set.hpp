// NameSet: the names (byte strings) a walk over a dict's keys should pick
// out, for membership tests cheap enough to make on every key of a large
// state: a 64-bit filter of (length, first byte, last byte) turns most
// absent names away without hashing, the rest is a hash set. Tests cost
// O(1) whatever the number of names, and so does adding one.
//
// Adding is in two steps, for callers that promise to change nothing when
// they fail: prepare() makes every allocation (new nodes, and room in the
// bucket array for them), commit() cannot fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace derirezaro::codec {

class NameSet {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
  };
  using Names = std::unordered_set<std::string, Hash, std::equal_to<>>;

 public:
  // Names to add, with their memory already obtained.
  class Addition {
    friend class NameSet;
    Names names_;
  };

  bool contains(std::string_view name) const {
    return (filter_ & filter_bit(name)) != 0 && names_.find(name) != names_.end();
  }
  size_t size() const { return names_.size(); }
  bool empty() const { return names_.empty(); }

  // The names of `candidates` not yet in the set, ready to commit. May throw
  // std::bad_alloc; the set's contents are unchanged either way (its bucket
  // array may have grown).
  Addition prepare(const std::vector<std::string>& candidates) {
    Addition addition;
    for (const std::string& name : candidates) {
      if (!contains(name)) addition.names_.insert(name);
    }
    // With room for all of them, commit's inserts never rehash, the one
    // step of inserting a node that allocates.
    names_.reserve(names_.size() + addition.names_.size());
    return addition;
  }

  // Moves the prepared nodes in: no allocation, no copy. `addition` must
  // come from prepare() on this set, with no other change in between.
  void commit(Addition&& addition) noexcept {
    for (const std::string& name : addition.names_) filter_ |= filter_bit(name);
    names_.merge(addition.names_);
  }

  template <class F>
  void for_each(F&& f) const {
    for (const std::string& name : names_) f(std::string_view(name));
  }

 private:
  static uint64_t filter_bit(std::string_view name) noexcept {
    if (name.empty()) return 1;
    const auto first = static_cast<unsigned char>(name.front());
    const auto last = static_cast<unsigned char>(name.back());
    return uint64_t{1} << ((name.size() + first * 7u + last * 13u) & 63u);
  }

  Names names_;
  uint64_t filter_ = 0;  // the bits of every name in names_
};

}  // namespace derirezaro::codec
