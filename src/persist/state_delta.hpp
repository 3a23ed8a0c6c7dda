// What a commit records of a change between two states of one store (the
// layouts: FORMAT.md beside this file). The one encoder of a commit's
// change; the differential tests hold it to a Python oracle written from
// FORMAT.md (tests/record_oracle.py, changes and encode_body).
//
// From the diff of the two snapshots: the body `[sets, removes]`, `sets` =
// {namespace: {key: value}} over the added entries and then the changed
// ones, `removes` = {namespace: [key]} over the removed ones, each
// namespace where it first appears and keys in diff order; and the
// state digest after the change (minus each old entry's hash, plus each new
// one's, modulo 2^64). The values are the bytes the store holds, which are
// the codec's one encoding of each value, so body and digest are what an
// encoder of the decoded values writes, byte for byte.
//
// A change of more than `chunk_entries` entries is framed: the byte
// kFramedBody, then chunks of at most that many entries, the sets'
// namespaces first and then the removes', a namespace split between chunks
// where a chunk fills, each chunk behind its length (4 bytes, big-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/byte_buffer.hpp"
#include "store/snapshot.hpp"

namespace derirezaro::persist {

// Writes the body into `body` (empty on entry), uncompressed, and returns
// the digest after the change; nothing when a chunk is longer than its
// 4-byte length can say (`chunk_entries`, at least 1, is then too large).
std::optional<uint64_t> state_delta(const store::SnapshotData& now, const store::SnapshotData& before,
                                    uint64_t digest, size_t chunk_entries, codec::ByteBuffer& body);

}  // namespace derirezaro::persist
