// The codec core. Python reaches the Validator and the trusted walk (through
// `loads`) and the writer's primitives (through `dumps`), and pytest checks
// those bytes and texts against a peer implementation. Only these tests
// reach the checked walk that builds Values, the trusted walk's agreement
// with it, the Value writer's own forms and the UTF-8 check. Value equality
// is what routing compares with: tests/test_graph.py checks it there, for
// every kind a state can hold.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/utf8.hpp"
#include "support.hpp"

namespace derirezaro::codec {
namespace {

using msgpack::ReadErrorKind;
using namespace test;

// Inputs, and what the Value writer makes of what was read from them
// ("input -> output"; no arrow: the same bytes back).
const char* const kCases[] = {
    // nil, booleans, fixints, and the sized integers with the high bit set,
    // where a signed field read as unsigned (or the reverse) would show
    "c0", "c2", "c3", "7f", "e0", "cc ff", "cd ff ff", "ce ff ff ff ff", "cf ff ff ff ff ff ff ff ff",
    "d0 80", "d1 80 00", "d2 80 00 00 00", "d3 80 00 00 00 00 00 00 00",
    // float32, which only this suite can write, a NaN's payload, text, bytes, containers
    "ca 3f c0 00 00", "cb 7f f8 00 00 00 00 00 01", "a1 61", "c4 01 ff", "92 01 90", "82 01 02 01 03",
    // extensions, which only this suite can write
    "d4 80 01", "d5 7f 01 02", "d6 01 61 62 63 64", "d7 01 61 62 63 64 65 66 67 68", "c7 00 01",
    "c7 03 01 61 62 63",
    // long bodies: the fix markers at their largest, extensions at every form switch
    "bf 78*31", "9f c3*15", "8f c3*30", "d8 05 78*16", "c7 ff 05 78*255", "c8 01 00 05 78*256",
    "c8 ff ff 05 78*65535", "c9 00 01 00 00 05 78*65536",
    // forms the writer never makes: the reserved marker, a signed marker
    // holding a non-negative number, lengths longer than needed
    "c1 -> c0", "d3 7f ff ff ff ff ff ff ff -> cf 7f ff ff ff ff ff ff ff", "cd 00 05 -> 05",
    "d9 01 61 -> a1 61", "c5 00 00 -> c4 00", "c6 00 00 00 01 ff -> c4 01 ff", "c8 00 01 fe 61 -> d4 fe 61",
    "c9 00 00 00 00 fe -> c7 00 fe", "dc 00 01 c0 -> 91 c0", "dd 00 00 00 00 -> 90",
    "df 00 00 00 01 05 ff -> 81 05 ff",
    // text failing the UTF-8 check keeps its bytes, as binary, as a map key too
    "da 00 01 ff -> c4 01 ff", "db 00 00 00 03 ed a0 80 -> c4 03 ed a0 80",
    "de 00 01 a1 ff 80 -> 81 c4 01 ff 80"};

// Each input read by the checked walk as it is (so bodies end exactly at
// the end), and by the trusted walk with bytes after it (never looked at),
// gives a Value the writer turns into the expected bytes. Then the short
// inputs in one array, cut at every length: the checked walk and the
// Validator report the same error, numbers included, and the trusted walk
// builds what the checked one builds.
TEST(Codec, EveryMarkerOnBothReadPathsAndEveryCut) {
  std::string all = hex("dc 00 00");
  for (const std::string_view text : kCases) {
    const size_t arrow = text.find("->");
    const std::string input = hex(text.substr(0, arrow));
    const std::string output = hex(text.substr(arrow == text.npos ? 0 : arrow + 2));
    const std::string shown = ::testing::PrintToString(input.substr(0, 12));
    for (const ReadResult& r : {decode(input), decode(input + hex("c1 dd ff"), true)}) {
      ASSERT_EQ(r.error.kind, ReadErrorKind::none) << shown;
      EXPECT_EQ(encode(r.value), output) << shown;
    }
    if (input.size() > 64) continue;
    all += input;
    ++all[2];
  }
  for (size_t cut = 0; cut <= all.size(); ++cut) {
    const ReadResult checked = decode(all.substr(0, cut)), trusted = decode(all.substr(0, cut), true);
    const msgpack::ReadError &a = checked.error, &b = trusted.error;
    ASSERT_TRUE(a.kind == b.kind && a.declared == b.declared && a.available == b.available)
        << "cut at " << cut;
    ASSERT_EQ(checked.error.kind == ReadErrorKind::none, cut == all.size()) << "cut at " << cut;
    ASSERT_EQ(encode(checked.value), encode(trusted.value)) << "cut at " << cut;
  }
}

// The UTF-8 check decides whether text read into a Value is text or bytes;
// the decoder and encoder serve the condition lexer, which reads ill-formed
// bytes as U+FFFD one at a time. The oracle is the definition rather than a
// second decoder: well-formed UTF-8 is a concatenation of encodings of
// Unicode scalar values (every code point but the surrogates), and a byte
// string is the encoding of one exactly when the value its bits spell
// encodes back to it.
std::string encoding_of(uint32_t cp) {
  const size_t n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  const uint8_t lead[] = {0, 0, 0xc0, 0xe0, 0xf0};
  std::string out(n, '\0');
  for (size_t i = n - 1; i > 0; --i, cp >>= 6) out[i] = static_cast<char>(0x80 | (cp & 0x3f));
  out[0] = static_cast<char>(lead[n] | cp);
  return out;
}

// The scalar value whose encoding `s` starts with, and its length; none
// (UTF-8 is prefix-free, so at most one) reads as U+FFFD over one byte.
std::pair<uint32_t, size_t> first_scalar(std::string_view s) {
  for (size_t n = 1; n <= std::min<size_t>(4, s.size()); ++n) {
    uint32_t cp = static_cast<uint8_t>(s[0]) & (n == 1 ? 0x7fu : 0x7fu >> n);
    for (size_t i = 1; i < n; ++i) cp = cp << 6 | (static_cast<uint8_t>(s[i]) & 0x3f);
    const bool scalar = cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
    if (scalar && encoding_of(cp) == s.substr(0, n)) return {cp, n};
  }
  return {0xfffd, 0};
}

// Every lead byte before bytes from the edges of every range the rules
// tell apart, cut at every length; two-byte inputs after 1 to 9 ASCII
// bytes, around the window where the check takes eight ASCII bytes at once.
// Both are handed continuation bytes past the end they are given, so one
// that looked beyond it would take a cut sequence for a whole one.
TEST(Codec, Utf8CheckDecoderAndEncoderAgreeWithTheDefinition) {
  const uint8_t edges[] = {0x00, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xff};
  std::vector<std::string> wrong;  // the check or the decoder differs from the definition
  auto check = [&](std::string s) {
    const size_t size = s.size();
    bool well_formed = true;
    std::vector<std::pair<uint32_t, size_t>> expected, steps;
    for (size_t at = 0; at < size; at += expected.back().second) {
      const auto [cp, n] = first_scalar(std::string_view(s).substr(at));
      well_formed = well_formed && n != 0;
      expected.emplace_back(cp, std::max<size_t>(n, 1));
    }
    s += "\x80\x80\x80\x80";
    for (size_t at = 0; at < size; at += steps.back().second) {
      const DecodedCodePoint c = decode_utf8(std::string_view(s.data(), size), at);
      steps.emplace_back(c.value, c.length);
    }
    const bool checked = is_well_formed_utf8(reinterpret_cast<const uint8_t*>(s.data()), size);
    if ((checked != well_formed || steps != expected) && wrong.size() < 8) wrong.push_back(s.substr(0, size));
  };
  for (int lead = 0; lead < 256; ++lead) {
    for (const uint8_t x : edges) {
      for (size_t ascii = 1; ascii <= 9; ++ascii) check(std::string(ascii, 'a') + char(lead) + char(x));
      for (const uint8_t y : edges) {
        for (const uint8_t z : edges) {
          const char s[] = {char(lead), char(x), char(y), char(z)};
          for (size_t n = 1; n <= 4; ++n) check(std::string(s, n));
        }
      }
    }
  }
  // And every scalar value encodes as the definition says and decodes back.
  for (uint32_t cp = 0; cp <= 0x10ffff; cp = cp == 0xd7ff ? 0xe000 : cp + 1) {
    std::string out;
    append_utf8(out, cp);
    const DecodedCodePoint back = decode_utf8(out, 0);
    if ((out != encoding_of(cp) || back.value != cp || back.length != out.size()) && wrong.size() < 8)
      wrong.push_back(out);
  }
  EXPECT_EQ(wrong, std::vector<std::string>{});
}

// A buffer writing into lent storage: appends that stay within it land
// there, one that does not moves everything written so far to the buffer's
// own memory, and the storage (a guard byte past its end included) is never
// written beyond, freed or reallocated, whatever the order of the writes.
TEST(Codec, ByteBufferWritesInLentStorageUntilItOutgrowsIt) {
  for (const size_t lent : {1, 9, 300, 4096}) {
    for (const size_t step : {1, 7, 64, 5000}) {
      std::vector<uint8_t> storage(lent + 1, 0xab);
      std::string expected;
      {
        ByteBuffer out;
        out.write_into(storage.data(), lent);
        for (uint8_t n = 0; expected.size() < lent + step; ++n) {
          const std::string piece(step, static_cast<char>(n));
          out.append(piece.data(), piece.size());
          expected += piece;
          const bool inside = expected.size() <= lent;
          ASSERT_EQ(out.data() == storage.data(), inside) << lent << " " << step << " " << expected.size();
          ASSERT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), expected);
          if (inside) {
            ASSERT_EQ(std::memcmp(storage.data(), expected.data(), expected.size()), 0);
          }
        }
      }
      EXPECT_EQ(storage[lent], 0xab);
    }
    // Reset while still lent: back to memory of its own, the storage left as it was.
    std::vector<uint8_t> storage(lent, 0xab);
    ByteBuffer out;
    out.write_into(storage.data(), lent);
    out.append("x", 1);
    out.reset(1 << 20);
    out.append("yz", 2);
    EXPECT_NE(out.data(), storage.data());
    EXPECT_EQ(storage[0], 'x');
    EXPECT_EQ(std::count(storage.begin() + 1, storage.end(), 0xab), static_cast<long>(lent - 1));
  }
}

}  // namespace
}  // namespace derirezaro::codec
