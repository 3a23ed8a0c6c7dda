// Writes a Value tree as MessagePack, depth-first in stored order.
#pragma once

#include "codec/byte_buffer.hpp"
#include "codec/value.hpp"

namespace derirezaro::codec {

// Appends the encoding of `value` to `out`. Writing cannot fail except by
// running out of memory (std::bad_alloc). Precondition: every length and
// count in the tree is below 2^32, which decoding and Python conversion
// both guarantee.
void write_value(const Value& value, ByteBuffer& out);

}  // namespace derirezaro::codec
