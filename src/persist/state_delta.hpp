// What a commit records of a change between two states of one store (the
// layouts: FORMAT.md beside this file): the fast path of the Python side's
// (persist/timeline.py, Timeline._changes with persist/body.py,
// encode_body), which stays the reference.
//
// From the diff of the two snapshots: the body `[sets, removes]` that the
// reference encodes, `sets` = {namespace: {key: value}} over the added entries
// and then the changed ones, `removes` = {namespace: [key]} over the removed
// ones, each namespace where it first appears and keys in diff order; and the
// state digest after the change (minus each old entry's hash, plus each new
// one's, modulo 2^64). The values are the bytes the store holds, which are
// what the reference gets by decoding and encoding them again, so body and
// digest are the reference's byte for byte; the differential tests hold it
// to that.
//
// A change of more than `max_entries` entries gives nothing: the reference
// frames such a body in chunks, and a change that large is rare. The reference
// then diffs the snapshots again, which costs a small part of what it spends
// on each entry after.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/byte_buffer.hpp"
#include "store/snapshot.hpp"

namespace derirezaro::persist {

// Writes the body into `body` (empty on entry) and returns the digest after
// the change; nothing for a change of more than `max_entries` entries.
std::optional<uint64_t> state_delta(const store::SnapshotData& now, const store::SnapshotData& before,
                                    uint64_t digest, size_t max_entries, codec::ByteBuffer& body);

}  // namespace derirezaro::persist
