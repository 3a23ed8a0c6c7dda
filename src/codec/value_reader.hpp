// Decoding MessagePack bytes into a Value tree.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/msgpack_reader.hpp"
#include "codec/value.hpp"

namespace derirezaro::codec {

struct ReadResult {
  Value value;               // meaningful only when error.kind is none
  msgpack::ReadError error;  // the first reader error, if any
};

// Reads one value from the start of `data` with the depth budget of 1024;
// trailing bytes are ignored. Allocation is bounded by the input's size.
ReadResult read_value(const uint8_t* data, size_t size);

}  // namespace derirezaro::codec
