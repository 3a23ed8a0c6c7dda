// A checkpoint's timestamp as the saver stores it: the microseconds since
// the epoch of a UTC time written as `datetime.isoformat()` writes one, so
// that the int reads back as the very same text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace derirezaro::langgraph {

// The microseconds since 1970-01-01T00:00:00+00:00 of `text` when it is
// "YYYY-MM-DDTHH:MM:SS.ffffff+00:00" in ASCII digits, names a real time of
// years 1 to 9999, and has microseconds other than 000000 (isoformat leaves
// those out, so such a text would not come back); otherwise nothing, and the
// text is stored as it is.
std::optional<int64_t> round_trip_micros(std::string_view text);

}  // namespace derirezaro::langgraph
