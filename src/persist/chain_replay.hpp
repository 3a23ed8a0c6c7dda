// Native replay of a chain of stored records onto a store: the replay every
// read and verify runs (persist/replay.py orchestrates it). The rules it
// keeps are set down in FORMAT.md beside this file, and the differential
// tests hold it to a Python oracle of them.
//
// For each record, oldest first:
// the header checksum over the header fields (encoded as the codec encodes
// the list [format, timeline, seq, id, parent, base, kind, timestamp,
// digest]) and then over meta; the format and the header's consistency
// (seq, parent, base, kind); the body's length; the record checksum, which
// continues the header's over the body. Then the body's entries: a keyframe
// that starts the chain fills the emptied store; deltas merge into one net
// change (a removed pair must be there when it is removed), which is
// applied once, the state digest updated per entry changed (minus the old
// entry's hash, plus the new one's), and compared with what the last record
// stored of it. With `each_step` (verify), every record's digest is checked
// after it instead, and a keyframe's against its entries.
//
// The result is the digest, or the first fault and the record it is about
// (fault.hpp). A fault leaves the store in no particular state. A chain
// this accepts is one the oracle accepts with the same store contents and
// digest, and a fault it names is the one the oracle names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "persist/record_header.hpp"
#include "store/store.hpp"

namespace derirezaro::persist {

struct Chain {
  std::string_view timeline;
  std::span<const StoredFields> records;  // oldest first
  uint64_t digest = 0;                    // the state's digest before the first record, unless a keyframe
  bool from_keyframe = false;             // the first record is a keyframe that replaces the state
  int64_t newest_format = 0;              // the newest record format this code reads
  // Each record's digest checked after it, a keyframe's against its entries
  // too: what names the first wrong record, at a hash per entry of the keyframe.
  bool each_step = false;
};

struct Replayed {
  Fault fault = Fault::none;
  size_t record = 0;    // the index in the chain of the record at fault
  uint64_t digest = 0;  // the state's digest after the chain, without a fault
  std::string_view ns;  // for removes_absent: the pair removed
  std::string_view key;
};

// What is wrong with the record, if anything, before its body is read: its
// header (header_fault), its body's length, then the record checksum. A
// body_size below 0 stands for a body missing.
Fault record_fault(std::string_view timeline, const StoredFields& fields, int64_t newest_format);

// Replays `chain` onto `store`, whose every shard `locked` holds for writing
// (element i shard i). What a keyframe empties out of the store is moved to
// `removed`, for the caller to free after letting the locks go.
Replayed replay_chain(store::Store& store, std::vector<store::Shard::Writing>& locked, const Chain& chain,
                      std::vector<store::NamespaceMap>& removed);

// Fills `store` (every shard locked, as for replay_chain) with the entries
// of `body`, a keyframe's body uncompressed, and returns their digest; nothing
// when the body is not a keyframe's layout, the store then unchanged.
// What an exported state's import reads it with.
std::optional<uint64_t> load_keyframe(store::Store& store, std::vector<store::Shard::Writing>& locked,
                                      std::string_view body, std::vector<store::NamespaceMap>& removed);

// Whether replaying bodies of this many bytes in all is long work (lib/gil.hpp):
// past it, a replay gives up the interpreter lock while it runs.
bool replay_is_long_work(size_t body_bytes) noexcept;

}  // namespace derirezaro::persist
