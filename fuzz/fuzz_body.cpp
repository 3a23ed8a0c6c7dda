// Fuzzes the record body reader and the canonical-value check over
// arbitrary bytes.
//
// Checked on every input:
// - a value the check accepts is one the codec's checked walk reads without
//   error and writes back as exactly the input: replay may store a value's
//   bytes as they are only because re-encoding would not change them;
// - a body the reader accepts yields views that all lie inside the input,
//   and every value it sets passes the check on its own;
// - a size a compressed body declares is one its stream can hold: from 1 to
//   kMaxInflateRatio times the stream's length plus kInflateSlack, computed
//   here without the overflow guard the check needs in 64 bits.
// Plus, from the sanitizers: no out-of-bounds read whatever lengths and
// counts the input claims, and no undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "codec/byte_buffer.hpp"
#include "codec/value_reader.hpp"
#include "codec/value_writer.hpp"
#include "persist/body_reader.hpp"

namespace {

using namespace derirezaro;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz_body: %s\n", what);
  std::abort();
}

bool inside(std::string_view view, const uint8_t* data, size_t size) {
  const auto* p = reinterpret_cast<const uint8_t*>(view.data());
  return p >= data && p + view.size() <= data + size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (const std::optional<uint64_t> declared = persist::declared_inflated_size(data, size)) {
    if (size < persist::kCompressedHead || data[0] != persist::kCompressedBody)
      fail("not the compressed layout");
    const unsigned __int128 bound =
        static_cast<unsigned __int128>(size - persist::kCompressedHead) * persist::kMaxInflateRatio +
        persist::kInflateSlack;
    if (*declared == 0 || *declared > bound) fail("a declared size beyond what the stream can hold");
  }
  if (persist::is_canonical_value(data, size)) {
    const codec::ReadResult read = codec::read_value(data, size);
    if (read.error.kind != codec::msgpack::ReadErrorKind::none) fail("a canonical value does not read");
    codec::ByteBuffer out;
    codec::write_value(read.value, out);
    if (std::string_view(reinterpret_cast<const char*>(out.data()), out.size()) !=
        std::string_view(reinterpret_cast<const char*>(data), size)) {
      fail("a canonical value re-encodes to other bytes");
    }
  }
  persist::BodyEntries entries;
  if (!persist::read_body(data, size, entries)) return 0;
  for (const persist::SetEntry& e : entries.sets) {
    if (!inside(e.ns, data, size) || !inside(e.key, data, size) || !inside(e.value, data, size)) {
      fail("a set entry views bytes outside the body");
    }
    if (!persist::is_canonical_value(reinterpret_cast<const uint8_t*>(e.value.data()), e.value.size())) {
      fail("an accepted body sets a value that is not canonical");
    }
  }
  for (const persist::RemovedEntry& e : entries.removes) {
    if (!inside(e.ns, data, size) || !inside(e.key, data, size))
      fail("a removal views bytes outside the body");
  }
  return 0;
}
