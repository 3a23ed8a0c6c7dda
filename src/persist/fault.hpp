// What a reader finds wrong with a stored record, named so that the Python
// side can raise one exception per fault (persist/faults.py holds the table,
// and the numbers below are its keys: they never change meaning).
//
// A fault is about one record, whose seq goes with it. The checks that name
// them run in this order, and the first that fails is the one reported: the
// header's fields readable, the header checksum, the format, the header's
// consistency, the body's length, the record checksum, then the body.
#pragma once

#include <cstdint>

namespace derirezaro::persist {

enum class Fault : uint8_t {
  none = 0,
  unreadable_header = 1,          // a header field of a type or text no log stores
  header_checksum_mismatch = 2,   // the header or meta is not as written
  format_too_new = 3,             // sound, but of a record format newer than this code reads
  inconsistent_header = 4,        // seq, parent, base, kind or format do not fit together
  truncated_body = 5,             // the body is missing or not the length the header says
  checksum_mismatch = 6,          // the body is not as written
  removes_absent = 7,             // a delta removes a pair its parent's state does not hold
  state_digest_mismatch = 8,      // the state replayed is not the one the record vouches for
  undecodable_body = 9,           // checksums hold, but the body is not in the layout the format sets
  keyframe_digest_mismatch = 10,  // a keyframe's entries are not the state its digest vouches for
};

}  // namespace derirezaro::persist
