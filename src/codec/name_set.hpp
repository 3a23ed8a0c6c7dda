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
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace derirezaro::codec {

// Byte equality of two names. Names of one state tend to share a length,
// so the first bytes are compared inline: most mismatches end there,
// without a call.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() &&
         (a.empty() || (a[0] == b[0] && std::memcmp(a.data(), b.data(), a.size()) == 0));
}

class NameSet {
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept { return std::hash<std::string_view>{}(name); }
  };
  using Names = std::unordered_set<std::string, Hash, std::equal_to<>>;

 public:
  NameSet() = default;
  // Not copyable: scanned_ views the nodes of this set's own names_, which
  // a move carries over (nodes never move) but a copy would not.
  NameSet(const NameSet&) = delete;
  NameSet& operator=(const NameSet&) = delete;
  NameSet(NameSet&&) = default;
  NameSet& operator=(NameSet&&) = default;

  // Names to add, with their memory already obtained.
  class Addition {
    friend class NameSet;
    Names names_;
  };

  bool contains(std::string_view name) const {
    if ((filter_ & filter_bit(name)) == 0) return false;
    if (names_.size() > kScanned) return names_.find(name) != names_.end();
    for (std::string_view known : scanned_) {
      if (same_name(known, name)) return true;
    }
    return false;
  }
  size_t size() const { return names_.size(); }
  // The names, in no particular order.
  Names::const_iterator begin() const { return names_.begin(); }
  Names::const_iterator end() const { return names_.end(); }
  bool empty() const { return names_.empty(); }

  // The names of `candidates` not yet in the set, ready to commit. May throw
  // std::bad_alloc; the set's contents are unchanged either way (its bucket
  // array may have grown).
  Addition prepare(const std::vector<std::string>& candidates) {
    Addition addition;
    for (const std::string& name : candidates) {
      if (!contains(name)) addition.names_.insert(name);
    }
    // Nothing new (an unguarded edge, or keys already read): no room to make.
    if (addition.names_.empty()) return addition;
    // With room for all of them, commit's inserts never rehash, the one
    // step of inserting a node that allocates.
    names_.reserve(names_.size() + addition.names_.size());
    if (names_.size() + addition.names_.size() <= kScanned) scanned_.reserve(kScanned);
    return addition;
  }

  // Moves the prepared nodes in: no allocation, no copy. `addition` must
  // come from prepare() on this set, with no other change in between.
  void commit(Addition&& addition) noexcept {
    if (addition.names_.empty()) return;
    for (const std::string& name : addition.names_) filter_ |= filter_bit(name);
    names_.merge(addition.names_);
    scanned_.clear();
    if (names_.size() <= kScanned) {
      for (const std::string& name : names_) scanned_.push_back(name);  // room made by prepare()
    }
  }

 private:
  static uint64_t filter_bit(std::string_view name) noexcept {
    if (name.empty()) return 1;
    const auto first = static_cast<unsigned char>(name.front());
    const auto last = static_cast<unsigned char>(name.back());
    return uint64_t{1} << ((name.size() + first * 7u + last * 13u) & 63u);
  }

  // Up to this many names, a scan of views beats hashing the name.
  static constexpr size_t kScanned = 8;

  Names names_;
  std::vector<std::string_view> scanned_;  // views of names_ while it holds at most kScanned
  uint64_t filter_ = 0;                    // the bits of every name in names_
};

}  // namespace derirezaro::codec
