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
inline constexpr const char* kUnreadableMapKey =
    "a dict key that is a list, tuple or dict cannot be stored: it would decode as a list or dict, "
    "which cannot be a dict key, so the value could never be read back";

}  // namespace derirezaro::codec::messages
