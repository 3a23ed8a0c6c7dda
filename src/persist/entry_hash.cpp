#include "persist/entry_hash.hpp"

#include <iterator>

#include "codec/byte_buffer.hpp"
#include "codec/msgpack_writer.hpp"
#include "persist/checksums.hpp"

namespace derirezaro::persist {

namespace {

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

}  // namespace

uint64_t entry_hash(std::string_view ns, std::string_view key, std::string_view value) {
  namespace mp = codec::msgpack;
  codec::ByteBuffer head, middle;
  mp::write_array_header(head, 3);
  mp::write_str_header(head, static_cast<uint32_t>(ns.size()));
  mp::write_str_header(middle, static_cast<uint32_t>(key.size()));
  const Piece pieces[] = {{head.data(), head.size()},
                          {bytes_of(ns), ns.size()},
                          {middle.data(), middle.size()},
                          {bytes_of(key), key.size()},
                          {bytes_of(value), value.size()}};
  return blake2b_64(pieces, std::size(pieces));
}

}  // namespace derirezaro::persist
