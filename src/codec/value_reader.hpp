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

// Reads one value the way `loads` does: msgpack::validate() first, then a
// build with the reader's bounds and depth checks compiled out (a builder
// declaring kTrusted), which reads sized integers inline. Must give exactly
// what read_value gives; it exists so that the core tests and the fuzzer
// run the trusted walk the shipped decoder runs, without an interpreter.
ReadResult read_validated_value(const uint8_t* data, size_t size);

}  // namespace derirezaro::codec
