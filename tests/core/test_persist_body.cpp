// What native replay reads before it trusts a record: the two checksums,
// which must equal what zlib and hashlib compute over the same bytes, and
// the body reader, which may refuse anything but must never accept a body
// the reference decoder would store differently. The canonical-value check
// is held to the property it exists for: whatever it accepts, the codec
// reads and writes back to the very same bytes. Then what replay does with
// what it reads: the size a compressed body may declare, and a keyframe
// loaded into the store, whatever it held and however the body orders its
// namespaces.
#include <algorithm>
#include <deque>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/msgpack_writer.hpp"
#include "persist/body_reader.hpp"
#include "persist/chain_replay.hpp"
#include "persist/checksums.hpp"
#include "persist/entry_hash.hpp"
#include "persist/record_header.hpp"
#include "support.hpp"

namespace derirezaro::persist {
namespace {

using namespace test;

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 37 + 11) & 0xff);
  return out;
}

uint64_t blake(std::initializer_list<std::string_view> spans) {
  std::vector<Piece> pieces;
  for (const std::string_view p : spans) pieces.push_back({bytes_of(p), p.size()});
  return blake2b_64(pieces.data(), pieces.size());
}

// Expected values from zlib.crc32 and hashlib.blake2b(digest_size=8) (read
// little-endian) over the first n bytes of pattern(): both sides of the
// 8-byte step of slicing by eight and of the 128-byte block, whose last
// full block must be held back for the final compression.
TEST(PersistChecksums, MatchZlibAndHashlibAndContinueAcrossPieces) {
  struct Vector {
    size_t size;
    uint32_t crc;
    uint64_t blake;
  };
  const Vector kVectors[] = {
      {0, 0x00000000u, 0xb4b2797457a0a6e4u},   {1, 0x45d03605u, 0xf85abdd789cfba40u},
      {7, 0xef6f3b31u, 0x5785fbf58700d66du},   {8, 0x648bad8bu, 0x882cf0ecb90491f4u},
      {9, 0x17dc5f9eu, 0xe3842cd13470330fu},   {127, 0x226e9192u, 0xc76424da22c03f90u},
      {128, 0x68f0b719u, 0x0c10272de568c6f8u}, {129, 0xcc6bed52u, 0xf1325f0330b2b596u},
      {256, 0x8ed7a350u, 0xcd41d4080f47a8e3u}, {1000, 0xc3905a1du, 0xd6e0b3a563c0f9cfu},
  };
  for (const Vector& v : kVectors) {
    const std::string s = pattern(v.size);
    EXPECT_EQ(crc32(bytes_of(s), s.size()), v.crc) << v.size << " bytes";
    EXPECT_EQ(blake({s}), v.blake) << v.size << " bytes";
  }
  // The record checksum continues the header's; an entry hashes in pieces.
  const std::string s = pattern(300);
  const std::string_view all = s;
  const uint32_t crc = crc32(bytes_of(s), s.size());
  const uint64_t whole = blake({all});
  for (size_t a = 0; a <= s.size(); ++a) {
    EXPECT_EQ(crc32(bytes_of(s) + a, s.size() - a, crc32(bytes_of(s), a)), crc) << "split at " << a;
    for (const size_t b : {a, a + 1, std::max<size_t>(a, 128), std::max<size_t>(a, 256), s.size()}) {
      const size_t c = std::min(b, s.size());
      EXPECT_EQ(blake({all.substr(0, a), all.substr(a, c - a), all.substr(c)}), whole) << a << ", " << c;
    }
  }
}

bool canonical(std::string_view s) { return is_canonical_value(bytes_of(s), s.size()); }

// What msgpack.packb(x, use_bin_type=True) writes, every one of which the
// codec reads and writes back unchanged.
const char* const kCanonical[] = {
    "c0", "c2", "c3", "00", "7f", "ff", "e0", "cc 80", "cd 01 00", "cd ff ff", "ce 00 01 00 00", "ce ff*4",
    "cf 00 00 00 01 00*4", "cf ff*8", "d0 df", "d0 80", "d1 ff 7f", "d1 80 00", "d2 ff ff 7f ff",
    "d2 80 00*3", "d3 ff ff ff ff 7f ff ff ff", "d3 80 00*7", "cb 3f f8 00*6", "cb 7f f8 00*6", "a0",
    "bf 61*31", "d9 20 61*32", "d9 ff 61*255", "da 01 00 61*256", "db 00 01 00 00 61*65536", "a2 c3 a9",
    "c4 00", "c4 ff 78*255", "c5 01 00 78*256", "c6 00 01 00 00 78*65536", "90", "9f 00*15", "dc 00 10 00*16",
    "dd 00 01 00 00 c0*65536", "80", "82 a1 61 01 a0 91 c0",
    // the same key in two maps, and in a map and the map inside it
    "92 81 a1 61 c0 81 a1 61 c0", "82 a1 61 81 a1 61 c0 a1 62 c0"};

// Each refused for the one reason named, its bytes present in full, so a
// missing check cannot hide behind a truncation.
const char* const kRefused[] = {
    // numbers, lengths and counts wider than needed; non-negative in a signed form
    "cc 05", "cc 7f", "cd 00 c8", "ce 00 00 ff ff", "cf 00 00 00 00 ff ff ff ff", "d0 05", "d0 fb", "d0 e0",
    "d1 ff 80", "d1 00 05", "d2 ff ff 80 00", "d3 ff ff ff ff 80 00 00 00", "d9 03 61 62 63", "d9 1f 61*31",
    "da 00 ff 61*255", "db 00 00 ff ff 61*65535", "c5 00 ff 78*255", "c6 00 00 ff ff 78*65535",
    "dc 00 02 c0 c0", "dc 00 0f c0*15", "dd 00 00 ff ff c0*65535", "de 00 01 a1 61 c0",
    "df 00 00 00 01 a1 61 c0",
    // what the codec never writes, or reads as something else
    "ca 3f c0 00 00", "c1", "d4 01 00", "c7 01 01 00", "a1 ff", "a3 ed a0 80", "81 a1 ff c0",
    // keys that are not text, or not canonical text; a value inside that is not canonical
    "81 01 c0", "81 c4 01 61 c0", "81 90 c0", "81 d9 01 61 c0", "82 a1 61 c0 a1 61 c3", "91 cc 05",
    "81 a1 61 ca 00*4",
    // not exactly one value
    "", "c4 01", "cd 01", "92 c0", "81 a1 61", "c0 c0", "91 c0 c0"};

// n text keys "k0".., key `dup` spelling key `of`.
std::string map_of(size_t n, size_t dup = SIZE_MAX, size_t of = 0) {
  codec::Map m;
  for (size_t i = 0; i < n; ++i) m.push_back({codec::String{numbered("k", i == dup ? of : i)}, codec::Nil{}});
  return encode(std::move(m));
}

// d containers, each holding the next.
std::string nested(size_t d, std::string_view open, std::string_view last) {
  std::string out;
  for (size_t i = 1; i < d; ++i) out += hex(open);
  return out + hex(last);
}

TEST(PersistBody, CanonicalValuesAreExactlyWhatTheCodecRoundTrips) {
  std::vector<std::string> accepted;
  for (const char* text : kCanonical) accepted.push_back(hex(text));
  for (const char* text : kRefused) EXPECT_FALSE(canonical(hex(text))) << text;
  // Repeated keys, in maps scanned linearly (up to 16 keys) and through a set.
  for (const size_t n : {2, 15, 16, 17, 40}) {
    accepted.push_back(map_of(n));
    for (const auto& [dup, of] : {std::pair{n - 1, size_t{0}}, {n - 1, n - 2}, {1, 0}}) {
      EXPECT_FALSE(canonical(map_of(n, dup, of))) << n << " keys, " << dup << " repeats " << of;
    }
  }
  for (const auto& [open, last] : {std::pair{"91", "90"}, {"81 a0", "80"}, {"91", "91 a1 61"}}) {
    accepted.push_back(nested(500, open, last));
    EXPECT_FALSE(canonical(nested(501, open, last))) << open;
  }
  for (const std::string& in : accepted) {
    EXPECT_TRUE(canonical(in)) << ::testing::PrintToString(in.substr(0, 12));
    const codec::ReadResult r = decode(in);
    ASSERT_EQ(r.error.kind, codec::msgpack::ReadErrorKind::none);
    EXPECT_EQ(encode(r.value), in) << ::testing::PrintToString(in.substr(0, 12));
  }
}

// The entries as "ns.key=<value in hex>" and "-ns.key", in body order, or
// "refused"; every view must lie inside the body.
std::string entries_of(std::string_view body) {
  BodyEntries out;
  if (!read_body(bytes_of(body), body.size(), out)) return "refused";
  const auto inside = [body](std::string_view v) {
    EXPECT_TRUE(v.data() >= body.data() && v.data() + v.size() <= body.data() + body.size());
    return v;
  };
  std::string text;
  for (const SetEntry& e : out.sets) {
    text.append(inside(e.ns)).append(".").append(inside(e.key)).append("=");
    for (const char c : inside(e.value))
      text.append(1, "0123456789abcdef"[c >> 4 & 0xf]).append(1, "0123456789abcdef"[c & 0xf]);
    text.append(" ");
  }
  for (const RemovedEntry& e : out.removes) {
    text.append("-").append(inside(e.ns)).append(".").append(inside(e.key)).append(" ");
  }
  return text;
}

// As persist/body.py writes one: 0xc1, then each chunk after its length.
std::string framed(std::initializer_list<std::string_view> chunks) {
  std::string out = hex("c1");
  for (const std::string_view c : chunks) {
    const std::string bytes = hex(c);
    for (const int shift : {24, 16, 8, 0}) out += static_cast<char>(bytes.size() >> shift & 0xff);
    out += bytes;
  }
  return out;
}

// {"ns": {"a": 1, "b": [True]}}, {"ns": ["c"]}; then {"ns": {"a": 2}, "m": {"k": "v"}}, {}.
constexpr const char* kFirst = "92 81 a2 6e 73 82 a1 61 01 a1 62 91 c3 81 a2 6e 73 91 a1 63";
constexpr const char* kSecond = "92 82 a2 6e 73 81 a1 61 02 a1 6d 81 a1 6b a1 76 80";

TEST(PersistBody, ReadsWhatTheReferenceWouldStoreAndRefusesTheRest) {
  const std::pair<std::string, const char*> kBodies[] = {
      {hex(kFirst), "ns.a=01 ns.b=91c3 -ns.c "},
      {hex("92 80 80"), ""},
      // a namespace may come back in a later chunk; sets stay in body order
      {framed({kFirst, kSecond}), "ns.a=01 ns.b=91c3 ns.a=02 m.k=a176 -ns.c "},
      {framed({}), ""},
      // the structure in wider forms than needed, which the decoder reads the same
      {hex("dc 00 02 de 00 01 d9 02 6e 73 81 a1 61 01 df 00 00 00 00"), "ns.a=01 "},
      // a repeated key: the dict keeps the last, as applying in order does
      {hex("92 81 a2 6e 73 82 a1 61 01 a1 61 02 80"), "ns.a=01 ns.a=02 "},
      // a repeated namespace: the dict would drop the first
      {hex("92 82 a2 6e 73 81 a1 61 01 a2 6e 73 81 a1 62 02 80"), "refused"},
      {hex("92 80 82 a2 6e 73 91 a1 61 a2 6e 73 91 a1 62"), "refused"},
      // a value the store would re-encode; names that are not text
      {hex("92 81 a2 6e 73 81 a1 61 cc 05 80"), "refused"},
      {hex("92 81 a2 6e 73 81 a1 61 ca 3f c0 00 00 80"), "refused"},
      {hex("92 81 a2 6e 73 81 01 01 80"), "refused"},
      {hex("92 81 c4 02 6e 73 80 80"), "refused"},
      {hex("92 81 a2 6e 73 81 a1 ff 01 80"), "refused"},
      {hex("92 80 81 a2 6e 73 91 01"), "refused"},
      {hex("92 80 81 a2 6e 73 a1 61"), "refused"},
      // not the layout
      {"", "refused"},
      {hex("93 80 80 80"), "refused"},
      {hex(kFirst) + hex("c0"), "refused"},
      {hex("c1 00 00 00"), "refused"},
      {hex("c1 00 00 00 00"), "refused"},
      {framed({"c1"}), "refused"},
  };
  for (const auto& [body, expected] : kBodies) {
    EXPECT_EQ(entries_of(body), expected) << ::testing::PrintToString(body);
  }
  // Cut anywhere, a body is refused, except a framed one cut between chunks.
  const std::string plain = hex(kFirst), two = framed({kFirst, kSecond});
  for (size_t cut = 0; cut < plain.size(); ++cut)
    EXPECT_EQ(entries_of(plain.substr(0, cut)), "refused") << cut;
  const size_t boundary = 1 + 4 + plain.size();
  for (size_t cut = 0; cut < two.size(); ++cut) {
    const std::string expected = cut == 1 ? "" : cut == boundary ? "ns.a=01 ns.b=91c3 -ns.c " : "refused";
    EXPECT_EQ(entries_of(two.substr(0, cut)), expected) << "cut at " << cut;
  }
}

// The compressed layout's head: the marker, then `declared` in 8 bytes.
std::string compressed_head(uint64_t declared) {
  std::string out(1, static_cast<char>(kCompressedBody));
  for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(declared >> shift & 0xff);
  return out;
}

TEST(PersistBody, ACompressedBodyDeclaresNoMoreThanItsStreamCanHold) {
  const uint64_t ten_bytes_hold = 10 * kMaxInflateRatio + kInflateSlack;
  const std::pair<std::string, std::optional<uint64_t>> kBodies[] = {
      {compressed_head(1), 1},
      {compressed_head(kInflateSlack), kInflateSlack},
      {compressed_head(kInflateSlack + 1), std::nullopt},
      {compressed_head(ten_bytes_hold) + std::string(10, 'x'), ten_bytes_hold},
      // a bomb's claim: more than its stream can inflate to
      {compressed_head(ten_bytes_hold + 1) + std::string(10, 'x'), std::nullopt},
      {compressed_head(UINT64_MAX) + std::string(1000, 'x'), std::nullopt},
      {compressed_head(0) + std::string(10, 'x'), std::nullopt},
      // not the layout, or its size cut short
      {compressed_head(1).substr(0, 8), std::nullopt},
      {"", std::nullopt},
      {hex(kFirst), std::nullopt},
  };
  for (const auto& [body, expected] : kBodies) {
    EXPECT_EQ(declared_inflated_size(bytes_of(body), body.size()), expected)
        << ::testing::PrintToString(body);
  }
}

// Records sealed as the Python side seals them, for replay_chain; the bytes
// they view live as long as the fixture.
class ChainFixture : public ::testing::Test {
 protected:
  using Entries = std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

  // `[{ns: {key: value}}, {}]`, values given encoded.
  std::string chunk(const Entries& sets) {
    namespace mp = codec::msgpack;
    codec::ByteBuffer out;
    mp::write_array_header(out, 2);
    mp::write_map_header(out, static_cast<uint32_t>(sets.size()));
    for (const auto& [ns, keys] : sets) {
      mp::write_str(out, ns.data(), static_cast<uint32_t>(ns.size()));
      mp::write_map_header(out, static_cast<uint32_t>(keys.size()));
      for (const auto& [key, value] : keys) {
        mp::write_str(out, key.data(), static_cast<uint32_t>(key.size()));
        out.append(value.data(), value.size());
      }
    }
    mp::write_map_header(out, 0);
    return {reinterpret_cast<const char*>(out.data()), out.size()};
  }

  std::string framed_chunks(const std::vector<Entries>& chunks) {
    std::string out(1, static_cast<char>(kFramedBody));
    for (const Entries& sets : chunks) {
      const std::string c = chunk(sets);
      for (const int shift : {24, 16, 8, 0}) out += static_cast<char>(c.size() >> shift & 0xff);
      out += c;
    }
    return out;
  }

  // A keyframe of `seq` holding `body` (or, when `inflated` is given, a
  // compressed body holding it), with the digest of `state`.
  StoredFields keyframe(std::string body, const Deep& state, std::optional<std::string> inflated = {}) {
    StoredFields r;
    r.seq = r.base = 1;
    r.kind = kKeyframeKind;
    r.format = inflated ? 2 : 1;
    r.digest = static_cast<int64_t>(digest_of(state));
    r.body = held_.emplace_back(std::move(body));
    r.body_size = static_cast<int64_t>(r.body.size());
    if (inflated) r.inflated = held_.emplace_back(std::move(*inflated));
    r.header_crc = as_signed32(*header_checksum("t", r));
    r.crc = as_signed32(crc32(bytes_of(r.body), r.body.size(), static_cast<uint32_t>(r.header_crc)));
    return r;
  }

  static uint64_t digest_of(const Deep& state) {
    uint64_t digest = 0;
    for (const auto& [ns, keys] : state) {
      for (const auto& [key, value] : keys) digest += entry_hash(ns, key, value);
    }
    return digest;
  }

  // Seals `r` again after a change to its fields: its checksums as a writer would compute them.
  static StoredFields resealed(StoredFields r) {
    r.header_crc = as_signed32(*header_checksum("t", r));
    r.crc = as_signed32(crc32(bytes_of(r.body), r.body.size(), static_cast<uint32_t>(r.header_crc)));
    return r;
  }

  static Fault fault_of(const StoredFields& record) {
    store::Store store(0);
    std::vector<store::NamespaceMap> removed;
    auto locked = store.every_shard_for_writing().acquire();
    const Chain chain{"t", std::span(&record, 1), 0, true, 2, true};
    return replay_chain(store, locked, chain, removed).fault;
  }

  // Replays the keyframe into `store`; the digest, or nothing when refused.
  static std::optional<uint64_t> replay(store::Store& store, const StoredFields& record) {
    std::vector<store::NamespaceMap> removed;
    auto locked = store.every_shard_for_writing().acquire();
    const Chain chain{"t", std::span(&record, 1), 0, true, 2};
    const Replayed replayed = replay_chain(store, locked, chain, removed);
    if (replayed.fault != Fault::none) return std::nullopt;
    return replayed.digest;
  }

  // The store's contents, every shard's and the store's totals checked.
  static Deep held(store::Store& store) {
    Deep all;
    for (const Recount& shard : recount_all(store))
      all.insert(shard.namespaces.begin(), shard.namespaces.end());
    return all;
  }

  std::deque<std::string> held_;
};

TEST_F(ChainFixture, AKeyframeReplacesTheStoreWhateverOrderItsChunksListNamespacesIn) {
  const LeakCheck leaks;
  store::Store store(0);
  set(store, "old", "k", bytes("\x01"));
  set(store, "a", "gone", bytes("\x02"));

  // Namespaces split between chunks and coming back after others, a key set
  // in two chunks (the last value stays), and enough namespaces for every
  // shard, listed in a shuffled order.
  const std::string one = "\x01", two = "\x02", seven = "\x07";
  std::vector<Entries> chunks = {{{"a", {{"x", one}}}, {"b", {{"y", two}}}},
                                 {{"c", {{"z", one}}}, {"a", {{"w", two}, {"x", seven}}}},
                                 {{"b", {{"v", one}}}}};
  Deep expected = {{"a", {{"w", two}, {"x", seven}}}, {"b", {{"v", one}, {"y", two}}}, {"c", {{"z", one}}}};
  Entries many;
  for (size_t i = 0; i < 3000; ++i) {
    const std::string ns = numbered("n", i * 7919 % 3000), key = numbered("k", i % 3);
    many.push_back({ns, {{key, one}}});
    expected[ns][key] = one;
  }
  for (size_t at = 0; at < many.size(); at += 700) {
    chunks.emplace_back(many.begin() + static_cast<ptrdiff_t>(at),
                        many.begin() + static_cast<ptrdiff_t>(std::min(at + 700, many.size())));
  }
  const StoredFields record = keyframe(framed_chunks(chunks), expected);
  EXPECT_EQ(replay(store, record), digest_of(expected));
  EXPECT_EQ(held(store), expected);
}

TEST_F(ChainFixture, AKeyframeThatRunsOutOfMemoryLeavesTheStoreAsItWas) {
  const LeakCheck leaks;
  store::Store store(0);
  set(store, "old", "k", bytes("\x01"));
  const Deep before = held(store);
  const Deep state = {{"a", {{"x", "\x01"}, {"y", "\x02"}}}, {"b", {{"z", "\x03"}}}};
  const StoredFields record = keyframe(
      framed_chunks({{{"a", {{"x", "\x01"}}}}, {{"b", {{"z", "\x03"}}}, {"a", {{"y", "\x02"}}}}}), state);
  fail_each_allocation(
      [&] { EXPECT_EQ(replay(store, record), digest_of(state)); },
      [&](uint64_t n) { EXPECT_EQ(held(store), before) << "allocation " << n << " failed"; });
  EXPECT_EQ(held(store), state);
}

// Each check names its own fault, and the first that fails is the one named.
TEST_F(ChainFixture, EachDamageIsNamedByTheFirstCheckItFails) {
  const Deep state = {{"ns", {{"k", "\x01"}}}};
  const StoredFields sound = keyframe(chunk({{"ns", {{"k", "\x01"}}}}), state);
  const auto with = [&](auto change) {
    StoredFields r = sound;
    change(r);
    return r;
  };
  const std::pair<StoredFields, Fault> kRecords[] = {
      {sound, Fault::none},
      {with([](StoredFields& r) { r.header_crc ^= 1; }), Fault::header_checksum_mismatch},
      {with([](StoredFields& r) { r.seq = 2; }), Fault::header_checksum_mismatch},
      {resealed(with([](StoredFields& r) { r.format = 3; })), Fault::format_too_new},
      {resealed(with([](StoredFields& r) { r.format = 0; })), Fault::inconsistent_header},
      {resealed(with([](StoredFields& r) { r.base = 0; })), Fault::inconsistent_header},
      {with([](StoredFields& r) { r.body_size += 1; }), Fault::truncated_body},
      {with([](StoredFields& r) { r.body_size = -1; }), Fault::truncated_body},
      {with([](StoredFields& r) { r.crc ^= 1; }), Fault::checksum_mismatch},
      {resealed(with([](StoredFields& r) { r.digest ^= 1; })), Fault::keyframe_digest_mismatch},
      // a damaged header and body: the header is named
      {with([](StoredFields& r) { r.header_crc ^= 1, r.crc ^= 1; }), Fault::header_checksum_mismatch},
  };
  for (size_t i = 0; i < std::size(kRecords); ++i) {
    EXPECT_EQ(fault_of(kRecords[i].first), kRecords[i].second) << "record " << i;
  }
}

// An exported state is read as a keyframe's body: its entries replace the
// store's and their digest is computed; a body with removes, or one the
// reader refuses, leaves the store as it was.
TEST_F(ChainFixture, ALoadedKeyframeReplacesTheStoreOrLeavesItAsItWas) {
  const std::string one = "\x01", two = "\x02";
  const Deep state = {{"a", {{"x", one}}}, {"b", {{"y", two}}}};
  const auto load = [](store::Store& store, std::string_view body) {
    std::vector<store::NamespaceMap> removed;
    auto locked = store.every_shard_for_writing().acquire();
    return load_keyframe(store, locked, body, removed);
  };
  store::Store store(0);
  set(store, "old", "k", bytes("\x03"));
  const Deep before = held(store);
  const std::string with_removes = std::string("\x92\x80\x81\xa1a\x91\xa1x");
  for (const std::string& refused :
       {with_removes, std::string("\x92\x80"), std::string("\x92\x80\x80\x00", 4)}) {
    EXPECT_EQ(load(store, refused), std::nullopt) << ::testing::PrintToString(refused);
    EXPECT_EQ(held(store), before);
  }
  EXPECT_EQ(load(store, chunk({{"a", {{"x", one}}}, {"b", {{"y", two}}}})), digest_of(state));
  EXPECT_EQ(held(store), state);
}

// The caller inflates a compressed body; replay holds what it is handed to
// the size the body declares. (The stream's bytes are not read here.)
TEST_F(ChainFixture, ACompressedKeyframeIsReadOnlyAsTheBodyOfTheSizeItDeclares) {
  const Deep state = {{"ns", {{"k", "\x01"}}}};
  const std::string inner = chunk({{"ns", {{"k", "\x01"}}}});
  const std::string stream(16, 'z');
  const auto holding = [&](uint64_t declared) { return compressed_head(declared) + stream; };
  const std::pair<StoredFields, bool> kRecords[] = {
      {keyframe(holding(inner.size()), state, inner), true},
      {keyframe(holding(inner.size() + 1), state, inner), false},
      {keyframe(holding(inner.size() - 1), state, inner), false},
      {keyframe(holding(inner.size()), state), false},  // nothing handed over
      {keyframe(inner, state, inner), false},           // handed over beside a plain body
      // a compressed body inside a compressed one
      {keyframe(holding(inner.size() + 9), state, compressed_head(inner.size()) + inner), false},
      // more than the stream can hold, whatever is handed over
      {keyframe(compressed_head(16 * kMaxInflateRatio + kInflateSlack + 1) + stream, state,
                inner + std::string(16 * kMaxInflateRatio + kInflateSlack + 1 - inner.size(), '\0')),
       false},
  };
  for (size_t i = 0; i < std::size(kRecords); ++i) {
    store::Store store(0);
    const auto& [record, accepted] = kRecords[i];
    EXPECT_EQ(replay(store, record), accepted ? std::optional(digest_of(state)) : std::nullopt)
        << "record " << i;
    if (accepted) {
      EXPECT_EQ(held(store), state);
    }
  }
}

}  // namespace
}  // namespace derirezaro::persist
