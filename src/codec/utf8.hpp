// Strict UTF-8 well-formedness: no overlong forms, no surrogate code points
// (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequences. This is
// the same rule the interpreter's strict UTF-8 codec applies.
#pragma once

#include <cstddef>
#include <cstdint>

namespace derirezaro::codec {

bool is_well_formed_utf8(const uint8_t* bytes, size_t size);

}  // namespace derirezaro::codec
