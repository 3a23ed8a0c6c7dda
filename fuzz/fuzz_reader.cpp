// Fuzzes the MessagePack reader over arbitrary bytes.
//
// Checked on every input:
// - the Validator and the Value builder run the same walk, so they must
//   report the same error, numbers included: the Python decoder raises the
//   Validator's error and then builds without checking again;
// - whatever was read re-encodes to bytes that read back and re-encode to
//   the very same bytes. Bytes are compared rather than Values because NaN
//   is unequal to itself, and the first encoding rather than the input
//   because the input need not be in the most compact form.
// Plus, from the sanitizers: no out-of-bounds read, no undefined behaviour,
// no allocation beyond libFuzzer's limit whatever lengths the input claims.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/byte_buffer.hpp"
#include "codec/msgpack_reader.hpp"
#include "codec/value_reader.hpp"
#include "codec/value_writer.hpp"

namespace {

using derirezaro::codec::ByteBuffer;
using derirezaro::codec::read_value;
using derirezaro::codec::ReadResult;
using derirezaro::codec::write_value;
namespace msgpack = derirezaro::codec::msgpack;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_reader: %s\n", what);
  std::abort();
}

bool same_error(const msgpack::ReadError& a, const msgpack::ReadError& b) {
  return a.kind == b.kind && a.declared == b.declared && a.available == b.available;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const msgpack::ReadError validated = msgpack::validate(data, size);
  const ReadResult first = read_value(data, size);
  if (!same_error(validated, first.error)) fail("validate() and read_value() disagree");
  if (first.error.kind != msgpack::ReadErrorKind::none) {
    if (first.error.message().empty()) fail("an error without a text");
    return 0;
  }

  ByteBuffer once;
  write_value(first.value, once);
  const ReadResult second = read_value(once.data(), once.size());
  if (second.error.kind != msgpack::ReadErrorKind::none) fail("re-encoded value does not read back");
  ByteBuffer twice;
  write_value(second.value, twice);
  if (once.size() != twice.size() || std::memcmp(once.data(), twice.data(), once.size()) != 0) {
    fail("re-encoding is not stable");
  }
  return 0;
}
