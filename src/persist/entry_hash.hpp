// An entry's share of a state digest (persist/record.py, entry_hash): the
// BLAKE2b-64 of the codec's encoding of [namespace, key, value], the value
// being the bytes the store holds. The store holds each value in the one
// encoding the codec writes for it, so this equals hashing the re-encoded
// entry, as the Python side does. FORMAT.md beside this file: Digest.
#pragma once

#include <cstdint>
#include <string_view>

namespace derirezaro::persist {

uint64_t entry_hash(std::string_view ns, std::string_view key, std::string_view value);

}  // namespace derirezaro::persist
