// MessagePack writer primitives: one function per wire family, each choosing
// the most compact form. Every multi-byte number is big-endian.
//
// These are the only places that decide bytes on the wire; both the Value
// writer and the direct Python encoder call them, so the two cannot drift.
//
// Precondition of every header function: the length or count is below 2^32
// (callers reject larger inputs before writing anything).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/byte_buffer.hpp"

namespace derirezaro::codec::msgpack {

// Largest header (marker + 8-byte payload) any single call below writes.
inline constexpr size_t kMaxHeaderSize = 9;

// Cursor forms, for a writer that keeps its position in a register: each
// writes at `at`, in room the caller has made sure of (kMaxHeaderSize bytes
// for a number, 5 for a container header, 5 + len for a str), and returns
// where the next value goes. The ByteBuffer forms reserve and call them.

inline uint8_t* put_nil(uint8_t* at) {
  at[0] = 0xc0;
  return at + 1;
}

inline uint8_t* put_bool(uint8_t* at, bool b) {
  at[0] = b ? 0xc3 : 0xc2;
  return at + 1;
}

inline void write_nil(ByteBuffer& out) {
  out.reserve_extra(1);
  out.advance_to(put_nil(out.cursor()));
}

inline void write_bool(ByteBuffer& out, bool b) {
  out.reserve_extra(1);
  out.advance_to(put_bool(out.cursor(), b));
}

static_assert(std::endian::native == std::endian::little,
              "numbers are byte-swapped to big-endian unconditionally");

namespace detail {
// A marker and its number, byte-swapped in a register: two stores. Stored a
// byte at a time through a buffer's uint8_t pointer, every store may alias the
// buffer's own fields, which the compiler then reloads after each byte.
template <class T>
inline uint8_t* put_marked(uint8_t* at, uint8_t marker, T big_endian) {
  at[0] = marker;
  std::memcpy(at + 1, &big_endian, sizeof big_endian);
  return at + 1 + sizeof big_endian;
}

// The same at a buffer's end, in room the caller has reserved.
template <class T>
inline void put_marked(ByteBuffer& out, uint8_t marker, T big_endian) {
  out.advance_to(put_marked(out.cursor(), marker, big_endian));
}
}  // namespace detail

inline uint8_t* put_uint(uint8_t* at, uint64_t n) {
  if (n <= 0x7f) {
    at[0] = static_cast<uint8_t>(n);
    return at + 1;
  }
  if (n <= 0xff) {
    at[0] = 0xcc;
    at[1] = static_cast<uint8_t>(n);
    return at + 2;
  }
  if (n <= 0xffff) return detail::put_marked(at, 0xcd, __builtin_bswap16(static_cast<uint16_t>(n)));
  if (n <= 0xffffffffu) return detail::put_marked(at, 0xce, __builtin_bswap32(static_cast<uint32_t>(n)));
  return detail::put_marked(at, 0xcf, __builtin_bswap64(n));
}

// Negative numbers only; non-negative ones go through put_uint.
inline uint8_t* put_negative(uint8_t* at, int64_t v) {
  if (v >= -32) {
    at[0] = static_cast<uint8_t>(v);  // 0xe0..0xff, negative fixint
    return at + 1;
  }
  if (v >= -128) {
    at[0] = 0xd0;
    at[1] = static_cast<uint8_t>(v);
    return at + 2;
  }
  if (v >= -32768) return detail::put_marked(at, 0xd1, __builtin_bswap16(static_cast<uint16_t>(v)));
  if (v >= INT32_MIN) return detail::put_marked(at, 0xd2, __builtin_bswap32(static_cast<uint32_t>(v)));
  return detail::put_marked(at, 0xd3, __builtin_bswap64(static_cast<uint64_t>(v)));
}

inline uint8_t* put_float64(uint8_t* at, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return detail::put_marked(at, 0xcb, __builtin_bswap64(bits));
}

inline uint8_t* put_str_header(uint8_t* at, uint32_t len) {
  if (len <= 31) {
    at[0] = static_cast<uint8_t>(0xa0 | len);
    return at + 1;
  }
  if (len <= 0xff) {
    at[0] = 0xd9;
    at[1] = static_cast<uint8_t>(len);
    return at + 2;
  }
  if (len <= 0xffff) return detail::put_marked(at, 0xda, __builtin_bswap16(static_cast<uint16_t>(len)));
  return detail::put_marked(at, 0xdb, __builtin_bswap32(len));
}

inline uint8_t* put_str(uint8_t* at, const void* bytes, uint32_t len) {
  at = put_str_header(at, len);
  ByteBuffer::copy_short(at, bytes, len);
  return at + len;
}

inline void write_uint(ByteBuffer& out, uint64_t n) {
  out.reserve_extra(kMaxHeaderSize);
  out.advance_to(put_uint(out.cursor(), n));
}

inline void write_negative(ByteBuffer& out, int64_t v) {
  out.reserve_extra(kMaxHeaderSize);
  out.advance_to(put_negative(out.cursor(), v));
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
  detail::put_marked(out, 0xca, __builtin_bswap32(bits));
}

inline void write_float64(ByteBuffer& out, double d) {
  out.reserve_extra(kMaxHeaderSize);
  out.advance_to(put_float64(out.cursor(), d));
}

inline void write_str_header(ByteBuffer& out, uint32_t len) {
  out.reserve_extra(5);
  out.advance_to(put_str_header(out.cursor(), len));
}

inline void write_bin_header(ByteBuffer& out, uint32_t len) {
  out.reserve_extra(5);
  if (len <= 0xff) {
    out.put_u8(0xc4);
    out.put_u8(static_cast<uint8_t>(len));
  } else if (len <= 0xffff) {
    detail::put_marked(out, 0xc5, __builtin_bswap16(static_cast<uint16_t>(len)));
  } else {
    detail::put_marked(out, 0xc6, __builtin_bswap32(len));
  }
}

// A container header: the marker and count of an array (0x90 family) or a map
// (0x80 family); at most 5 bytes.
inline uint8_t* put_container_header(uint8_t* at, uint8_t fix, uint8_t marker16, uint32_t count) {
  if (count <= 15) {
    at[0] = static_cast<uint8_t>(fix | count);
    return at + 1;
  }
  if (count <= 0xffff)
    return detail::put_marked(at, marker16, __builtin_bswap16(static_cast<uint16_t>(count)));
  return detail::put_marked(at, static_cast<uint8_t>(marker16 + 1), __builtin_bswap32(count));
}

inline uint8_t* put_array_header(uint8_t* at, uint32_t count) {
  return put_container_header(at, 0x90, 0xdc, count);
}

inline uint8_t* put_map_header(uint8_t* at, uint32_t count) {
  return put_container_header(at, 0x80, 0xde, count);
}

inline void write_array_header(ByteBuffer& out, uint32_t count) {
  out.reserve_extra(5);
  out.advance_to(put_array_header(out.cursor(), count));
}

inline void write_map_header(ByteBuffer& out, uint32_t count) {
  out.reserve_extra(5);
  out.advance_to(put_map_header(out.cursor(), count));
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
        detail::put_marked(out, 0xc8, __builtin_bswap16(static_cast<uint16_t>(len)));
      } else {
        detail::put_marked(out, 0xc9, __builtin_bswap32(len));
      }
  }
  out.put_u8(static_cast<uint8_t>(type));
}

// A whole str or bin value: header, then the bytes.
inline void write_str(ByteBuffer& out, const void* bytes, uint32_t len) {
  out.reserve_extra(5 + size_t{len});
  out.advance_to(put_str(out.cursor(), bytes, len));
}

inline void write_bin(ByteBuffer& out, const void* bytes, uint32_t len) {
  write_bin_header(out, len);
  out.append(bytes, len);
}

}  // namespace derirezaro::codec::msgpack
