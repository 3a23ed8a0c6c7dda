// Fuzzes the MessagePack reader over arbitrary bytes.
//
// Checked on every input:
// - the checked walk (read_value) and the walk `loads` runs (validate(),
//   then the trusted walk with every check compiled out) report the same
//   error, numbers included, and on success build the same Value, compared
//   as re-encoded bytes: NaN is unequal to itself;
// - what was read re-encodes to bytes that read back and re-encode to the
//   very same bytes (the first encoding rather than the input, which need
//   not be in the most compact form).
// Plus, from the sanitizers: no out-of-bounds read, in particular by the
// trusted walk, no undefined behaviour, and no allocation beyond
// libFuzzer's limit whatever lengths the input claims.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/byte_buffer.hpp"
#include "codec/value_reader.hpp"
#include "codec/value_writer.hpp"

namespace {

using namespace derirezaro::codec;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_reader: %s\n", what);
  std::abort();
}

std::string encoded(const Value& value) {
  ByteBuffer out;
  write_value(value, out);
  return {reinterpret_cast<const char*>(out.data()), out.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ReadResult checked = read_value(data, size), trusted = read_validated_value(data, size);
  const msgpack::ReadError &a = checked.error, &b = trusted.error;
  if (a.kind != b.kind || a.declared != b.declared || a.available != b.available) {
    fail("the checked and the validated-then-trusted walks report different errors");
  }
  if (a.kind != msgpack::ReadErrorKind::none) return 0;
  const std::string once = encoded(checked.value);
  if (encoded(trusted.value) != once) fail("the two walks build different values");
  const ReadResult again = read_value(reinterpret_cast<const uint8_t*>(once.data()), once.size());
  if (again.error.kind != msgpack::ReadErrorKind::none) fail("re-encoded value does not read back");
  if (encoded(again.value) != once) fail("re-encoding is not stable");
  return 0;
}
