// What a keyframe records of a state (the layouts: FORMAT.md beside this
// file). The one encoder of a keyframe; the differential tests hold it to
// the Python oracle (tests/record_oracle.py, encode_body over entries_of,
// with state_digest).
//
// Every entry of the snapshot, in the order `Snapshot.keys` lists them (shard
// by shard, a namespace's keys together), written as `[sets, {}]`: one
// value for up to `chunk_entries` entries; past that, the framed layout, the
// byte kFramedBody and then chunks of at most `chunk_entries` entries, each `[{namespace: {key: value}}, {}]`
// behind its length (4 bytes, big-endian), a namespace split between chunks where a chunk fills. And the
// state digest: the sum of every entry's hash modulo 2^64. The values are the bytes the store holds: the
// codec's one encoding of each value, so body and digest are an encoder's of the decoded values.
//
// Reads only the immutable record, so it may run without the interpreter lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/byte_buffer.hpp"
#include "store/snapshot.hpp"

namespace derirezaro::persist {

// Writes the body into `body` (empty on entry), uncompressed; returns the
// digest, or 0 without `with_digest` (hashing is most of the work, and a
// commit that turns a delta into a keyframe knows the digest already).
// Nothing when a chunk is longer than its 4-byte length can say
// (`chunk_entries` is then too large).
std::optional<uint64_t> state_keyframe(const store::SnapshotData& now, size_t chunk_entries, bool with_digest,
                                       codec::ByteBuffer& body);

}  // namespace derirezaro::persist
