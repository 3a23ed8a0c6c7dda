// The writer's bytes are part of the system's behaviour (byte totals and
// change detection compare them), so every form switch is pinned exactly.
#include <gtest/gtest.h>

#include "codec/msgpack_writer.hpp"
#include "codec_cases.hpp"

namespace derirezaro::codec {
namespace {

using testdata::CanonicalCase;
using testdata::case_name;
using testdata::hex;
using testdata::to_hex;

void expect_written(const CanonicalCase& c) { EXPECT_EQ(to_hex(encode(c.value)), to_hex(c.bytes)); }

class WriterScalarTest : public ::testing::TestWithParam<CanonicalCase> {};
TEST_P(WriterScalarTest, WritesTheMostCompactForm) { expect_written(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Writer, WriterScalarTest, ::testing::ValuesIn(testdata::canonical_scalars()),
                         case_name);

class WriterLengthTest : public ::testing::TestWithParam<testdata::LengthCase> {};
TEST_P(WriterLengthTest, WritesTheMostCompactHeader) { expect_written(testdata::materialise(GetParam())); }
INSTANTIATE_TEST_SUITE_P(Writer, WriterLengthTest, ::testing::ValuesIn(testdata::length_boundaries()),
                         testdata::length_name);

// The Python encoder writes integers through write_int rather than through a
// Value; both paths must give identical bytes for every signed number.
TEST(Writer, SignedPrimitiveMatchesIntegerValue) {
  for (const CanonicalCase& c : testdata::canonical_scalars()) {
    const Integer* n = c.value.get_if<Integer>();
    if (n == nullptr || (!n->negative && n->bits > uint64_t{INT64_MAX})) continue;
    ByteBuffer out;
    msgpack::write_int(out, n->as_signed());
    EXPECT_EQ(to_hex({reinterpret_cast<const char*>(out.data()), out.size()}), to_hex(c.bytes)) << c.name;
  }
}

// Text that failed the UTF-8 check goes out in the bin family, with bin's
// length rule (no fixed form, 0xc4 up to 255): its bytes come back unchanged,
// as binary, instead of travelling in a text family they are not valid in.
TEST(Writer, InvalidUtf8StringIsWrittenAsBin) {
  EXPECT_EQ(to_hex(encode(String{"\xff", false})), "c4 01 ff");
  EXPECT_EQ(to_hex(encode(String{"", false})), "c4 00");
  const std::string bad32 = std::string(31, 'a') + "\xc0";
  EXPECT_EQ(encode(String{bad32, false}), hex("c4 20") + bad32);
  // The mark, not the bytes, decides: the same bytes marked valid are text.
  EXPECT_EQ(to_hex(encode(String{"ab", false})), "c4 02 61 62");
  EXPECT_EQ(to_hex(encode(String{"ab", true})), "a2 61 62");
}

}  // namespace
}  // namespace derirezaro::codec
