#include "persist/record_header.hpp"

#include "codec/byte_buffer.hpp"
#include "codec/msgpack_writer.hpp"
#include "persist/checksums.hpp"

namespace derirezaro::persist {

namespace mp = codec::msgpack;

std::optional<uint32_t> header_checksum(std::string_view timeline, const StoredFields& r) {
  if (timeline.size() > UINT32_MAX || (r.id && r.id->size() > UINT32_MAX)) return std::nullopt;
  // Nine fields, a name and an id: most headers fit the buffer's inline room.
  codec::ByteBuffer fields;
  mp::write_array_header(fields, 9);
  mp::write_int(fields, r.format);
  mp::write_str(fields, timeline.data(), static_cast<uint32_t>(timeline.size()));
  mp::write_int(fields, r.seq);
  if (r.id) {
    mp::write_str(fields, r.id->data(), static_cast<uint32_t>(r.id->size()));
  } else {
    mp::write_nil(fields);
  }
  if (r.parent) {
    mp::write_int(fields, *r.parent);
  } else {
    mp::write_nil(fields);
  }
  mp::write_int(fields, r.base);
  mp::write_int(fields, r.kind);
  mp::write_float64(fields, r.timestamp);
  mp::write_int(fields, r.digest);
  return crc32(reinterpret_cast<const uint8_t*>(r.meta.data()), r.meta.size(),
               crc32(fields.data(), fields.size()));
}

bool header_consistent(const StoredFields& r) noexcept {
  if (r.format < 1) return false;
  if (r.kind == kDeltaKind) return r.parent && r.base <= *r.parent && *r.parent < r.seq;
  return r.kind == kKeyframeKind && r.base == r.seq && (!r.parent || *r.parent < r.seq);
}

Fault header_fault(std::string_view timeline, const StoredFields& r, int64_t newest_format) {
  const std::optional<uint32_t> header = header_checksum(timeline, r);
  if (!header) return Fault::unreadable_header;
  if (as_signed32(*header) != r.header_crc) return Fault::header_checksum_mismatch;
  if (r.format > newest_format) return Fault::format_too_new;
  return header_consistent(r) ? Fault::none : Fault::inconsistent_header;
}

}  // namespace derirezaro::persist
