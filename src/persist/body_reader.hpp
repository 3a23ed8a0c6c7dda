// Reading a record's body natively: the entries it sets and the pairs it
// removes, as views into the body's bytes.
//
// The layouts are the ones the native encoder writes (state_delta.hpp), and
// FORMAT.md beside this file sets down byte by byte: a plain chunk
// `[{namespace: {key: value}}, {namespace: [key]}]`, or the byte 0xc1
// followed by chunks, each with a 4-byte big-endian length. A compressed
// body is inflated by the caller first; what this side checks of one is the
// size it declares.
//
// The values are stored as they are read, without decoding them, so the
// reader accepts a body only in the form the writer produces: every value
// in the one encoding the codec writes for what it decodes to (re-encoding
// it gives the same bytes, so the digest the writer computed is the one
// these bytes hash to), every namespace and key text, and no namespace
// repeated within a chunk. Anything else is refused without a reason, and
// the caller reports the record's body as undecodable. The differential
// tests hold the reader to the oracle in tests/: it must read every body
// the oracle's encoder writes, to the same entries.
//
// Within a chunk a repeated key is no such case: the dict keeps the last
// value, and so does applying the entries in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace derirezaro::persist {

// The first byte of a body in the framed layout: one the codec never writes
// first for a body, which is always an array.
constexpr uint8_t kFramedBody = 0xc1;

// The first byte of a body in the compressed layout (another the codec never
// writes first): then the size of the body it holds, 8 bytes big-endian, then
// that body, plain or framed, as one zlib stream.
constexpr uint8_t kCompressedBody = 0x01;
constexpr size_t kCompressedHead = 9;  // the marker and the size

// Deflate's largest expansion (RFC 1951): a 258-byte match coded in two bits.
// No stream inflates to more than this many times its length, plus the
// slack a stream of a few bytes needs.
constexpr uint64_t kMaxInflateRatio = 1032;
constexpr uint64_t kInflateSlack = 64;

struct SetEntry {
  std::string_view ns;
  std::string_view key;
  std::string_view value;  // the value's encoded bytes, as the store holds them
};

struct RemovedEntry {
  std::string_view ns;
  std::string_view key;
};

struct BodyEntries {
  std::vector<SetEntry> sets;         // in body order
  std::vector<RemovedEntry> removes;  // in body order

  void clear() {
    sets.clear();
    removes.clear();
  }
};

// Appends the body's entries to `out`; false (with `out` in an unspecified
// state) when the body is not in the layout above.
bool read_body(const uint8_t* data, size_t size, BodyEntries& out);

// The size the compressed body `data` declares for the body it holds; nothing
// unless `data` is in the compressed layout with the whole size present, and
// the size is from 1 to kMaxInflateRatio times its stream's length plus
// kInflateSlack: a larger one is not what the stream holds, so it is refused
// before anything is inflated or allocated.
std::optional<uint64_t> declared_inflated_size(const uint8_t* data, size_t size);

// Whether `data` is one value exactly as the codec would re-encode what it
// decodes to, with map keys only of the kinds a dict takes, none equal to
// another within a map, nested no deeper than the codec writes.
bool is_canonical_value(const uint8_t* data, size_t size);

}  // namespace derirezaro::persist
