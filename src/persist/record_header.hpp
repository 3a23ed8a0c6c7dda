// A stored record's fields, and the checks a reader makes of its header
// before it trusts anything else in it: the header checksum and the header's
// consistency: the one implementation of them (persist/record.py calls it).
// FORMAT.md beside this file sets the fields and checksums down byte by
// byte, and the differential tests hold these to the oracle in tests/.
//
// The header checksum is the CRC-32 of the codec's encoding of the list
// [format, timeline, seq, id, parent, base, kind, timestamp, digest],
// continued over meta; the record checksum continues it over the body.
// Consistency: a format this code reads, and a seq, parent, base and kind
// that fit together (a delta builds on an earlier record of its own chain,
// a keyframe starts its chain).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "persist/fault.hpp"

namespace derirezaro::persist {

// A stored record's fields as a log hands them over (persist/record.py,
// StoredRecord), with the inflated body beside a compressed one.
struct StoredFields {
  int64_t seq = 0;
  std::optional<std::string_view> id;
  std::optional<int64_t> parent;
  int64_t base = 0;
  int64_t kind = 0;
  int64_t format = 0;
  double timestamp = 0;
  int64_t digest = 0;      // signed, as SQL integers are
  int64_t header_crc = 0;  // signed 32-bit
  int64_t crc = 0;         // signed 32-bit
  std::string_view meta;
  std::string_view body;
  int64_t body_size = 0;
  std::optional<std::string_view> inflated;  // the body a compressed one holds
};

inline constexpr int64_t kDeltaKind = 0;
inline constexpr int64_t kKeyframeKind = 1;

// The header checksum of `fields` (their own header_crc aside), or nothing
// for a name or id too long for the codec's string header.
std::optional<uint32_t> header_checksum(std::string_view timeline, const StoredFields& fields);

// Whether the header's seq, parent, base and kind fit together and its
// format is at least 1 (a format past the newest is no inconsistency: it is
// a record this code is too old to read).
bool header_consistent(const StoredFields& fields) noexcept;

// What is wrong with the header, if anything: its checksum not the one
// stored, then its format, then its consistency. What a header-only read
// checks of each record.
Fault header_fault(std::string_view timeline, const StoredFields& fields, int64_t newest_format);

// A 32-bit value as a record stores it (its checksums, a delta's digest): two's complement.
inline int64_t as_signed32(uint32_t value) noexcept { return static_cast<int32_t>(value); }

}  // namespace derirezaro::persist
