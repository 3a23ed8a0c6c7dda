// MessagePack writer primitives: one function per wire family, each choosing
// the most compact form. Every multi-byte number is big-endian.
//
// These are the only places that decide bytes on the wire; both the Value
// writer and the direct Python encoder call them, so the two cannot drift.
//
// Precondition of every header function: the length or count is below 2^32
// (callers reject larger inputs before writing anything).
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/byte_buffer.hpp"

namespace derirezaro::codec::msgpack {

// Largest header (marker + 8-byte payload) any single call below writes.
inline constexpr size_t kMaxHeaderSize = 9;

inline void write_nil(ByteBuffer& out) {
  out.reserve_extra(1);
  out.put_u8(0xc0);
}

inline void write_bool(ByteBuffer& out, bool b) {
  out.reserve_extra(1);
  out.put_u8(b ? 0xc3 : 0xc2);
}

inline void write_uint(ByteBuffer& out, uint64_t n) {
  out.reserve_extra(kMaxHeaderSize);
  if (n <= 0x7f) {
    out.put_u8(static_cast<uint8_t>(n));
  } else if (n <= 0xff) {
    out.put_u8(0xcc);
    out.put_u8(static_cast<uint8_t>(n));
  } else if (n <= 0xffff) {
    out.put_u8_be16(0xcd, static_cast<uint16_t>(n));
  } else if (n <= 0xffffffffu) {
    out.put_u8_be32(0xce, static_cast<uint32_t>(n));
  } else {
    out.put_u8_be64(0xcf, n);
  }
}

// Negative numbers only; non-negative ones go through write_uint.
inline void write_negative(ByteBuffer& out, int64_t v) {
  out.reserve_extra(kMaxHeaderSize);
  if (v >= -32) {
    out.put_u8(static_cast<uint8_t>(v));  // 0xe0..0xff, negative fixint
  } else if (v >= -128) {
    out.put_u8(0xd0);
    out.put_u8(static_cast<uint8_t>(v));
  } else if (v >= -32768) {
    out.put_u8_be16(0xd1, static_cast<uint16_t>(v));
  } else if (v >= INT32_MIN) {
    out.put_u8_be32(0xd2, static_cast<uint32_t>(v));
  } else {
    out.put_u8_be64(0xd3, static_cast<uint64_t>(v));
  }
}

inline void write_int(ByteBuffer& out, int64_t v) {
  if (v < 0) {
    write_negative(out, v);
  } else {
    write_uint(out, static_cast<uint64_t>(v));
  }
}

inline void write_float32(ByteBuffer& out, float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  out.reserve_extra(5);
  out.put_u8_be32(0xca, bits);
}

inline void write_float64(ByteBuffer& out, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  out.reserve_extra(9);
  out.put_u8_be64(0xcb, bits);
}

// A str header in room the caller has reserved (at most 5 bytes).
inline void put_str_header(ByteBuffer& out, uint32_t len) {
  if (len <= 31) {
    out.put_u8(static_cast<uint8_t>(0xa0 | len));
  } else if (len <= 0xff) {
    out.put_u8(0xd9);
    out.put_u8(static_cast<uint8_t>(len));
  } else if (len <= 0xffff) {
    out.put_u8_be16(0xda, static_cast<uint16_t>(len));
  } else {
    out.put_u8_be32(0xdb, len);
  }
}

// A whole str whose header and bytes fit the room the caller has reserved
// (len + 5 bytes), stored with one update of the buffer's size.
inline void put_str(ByteBuffer& out, const void* bytes, uint32_t len) {
  uint8_t* at = out.cursor();
  size_t header = 1;
  if (len <= 31) {
    at[0] = static_cast<uint8_t>(0xa0 | len);
  } else if (len <= 0xff) {
    at[0] = 0xd9;
    at[1] = static_cast<uint8_t>(len);
    header = 2;
  } else {
    put_str_header(out, len);  // long enough that the second update is noise
    at = out.cursor();
    header = 0;
  }
  ByteBuffer::copy_short(at + header, bytes, len);
  out.advance(header + len);
}

inline void write_str_header(ByteBuffer& out, uint32_t len) {
  out.reserve_extra(5);
  put_str_header(out, len);
}

inline void write_bin_header(ByteBuffer& out, uint32_t len) {
  out.reserve_extra(5);
  if (len <= 0xff) {
    out.put_u8(0xc4);
    out.put_u8(static_cast<uint8_t>(len));
  } else if (len <= 0xffff) {
    out.put_u8_be16(0xc5, static_cast<uint16_t>(len));
  } else {
    out.put_u8_be32(0xc6, len);
  }
}

inline void write_array_header(ByteBuffer& out, uint32_t count) {
  out.reserve_extra(5);
  if (count <= 15) {
    out.put_u8(static_cast<uint8_t>(0x90 | count));
  } else if (count <= 0xffff) {
    out.put_u8_be16(0xdc, static_cast<uint16_t>(count));
  } else {
    out.put_u8_be32(0xdd, count);
  }
}

inline void write_map_header(ByteBuffer& out, uint32_t count) {
  out.reserve_extra(5);
  if (count <= 15) {
    out.put_u8(static_cast<uint8_t>(0x80 | count));
  } else if (count <= 0xffff) {
    out.put_u8_be16(0xde, static_cast<uint16_t>(count));
  } else {
    out.put_u8_be32(0xdf, count);
  }
}

inline void write_ext_header(ByteBuffer& out, int8_t type, uint32_t len) {
  out.reserve_extra(6);
  switch (len) {
    case 1: out.put_u8(0xd4); break;
    case 2: out.put_u8(0xd5); break;
    case 4: out.put_u8(0xd6); break;
    case 8: out.put_u8(0xd7); break;
    case 16: out.put_u8(0xd8); break;
    default:
      if (len <= 0xff) {
        out.put_u8(0xc7);
        out.put_u8(static_cast<uint8_t>(len));
      } else if (len <= 0xffff) {
        out.put_u8_be16(0xc8, static_cast<uint16_t>(len));
      } else {
        out.put_u8_be32(0xc9, len);
      }
  }
  out.put_u8(static_cast<uint8_t>(type));
}

// A whole str or bin value: header, then the bytes.
inline void write_str(ByteBuffer& out, const void* bytes, uint32_t len) {
  out.reserve_extra(5 + size_t{len});
  put_str_header(out, len);
  out.put_raw(bytes, len);
}

inline void write_bin(ByteBuffer& out, const void* bytes, uint32_t len) {
  write_bin_header(out, len);
  out.append(bytes, len);
}

}  // namespace derirezaro::codec::msgpack
