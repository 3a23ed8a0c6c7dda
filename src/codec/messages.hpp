// The codec's error texts, shared by every path that can raise them.
#pragma once

namespace derirezaro::codec::messages {

inline constexpr const char* kUnsupportedType =
    "unsupported value type for the derirezaro msgpack codec "
    "(supported: None, bool, int, float, str, bytes, list, tuple, dict)";
inline constexpr const char* kIntegerOutOfRange =
    "integer out of 64-bit range is not supported by the derirezaro codec";
inline constexpr const char* kExtensionUnsupported =
    "msgpack extension types are not supported by the derirezaro codec";
inline constexpr const char* kDecodeErrorPrefix = "msgpack decode error: ";

}  // namespace derirezaro::codec::messages
