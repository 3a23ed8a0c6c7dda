// What native replay reads before it trusts a record: the body reader,
// which must read every body the writer makes and refuse every other. The
// canonical-value check is held to the property it exists for: whatever it
// accepts, the codec reads and writes back to the very same bytes, at
// exactly the depths the codec reads. Then what replay does with what it
// reads: a keyframe loaded into the store, whatever it held, and the fault
// each damage is named by. (The Python tests hold the checksums to zlib's
// and hashlib's, the size a compressed body may declare to what the oracle
// inflates, native replay to the oracle over many namespaces, and an
// exported state's load to what was exported.)
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    "92 81 a1 61 c0 81 a1 61 c0", "82 a1 61 81 a1 61 c0 a1 62 c0",
    // keys of every kind a dict takes, told apart by Python equality: 1, "1" and b"1" differ; NaNs all do
    "81 01 c0", "81 c4 01 61 c0", "84 01 c0 a1 31 c0 c4 01 31 c0 c0 c0", "82 cb 3f f8 00*6 c0 01 c0",
    "82 cb 7f f8 00*6 c0 cb 7f f8 00*6 c0", "82 cf ff*8 c0 cb 43 f0 00*6 c0", "82 d3 80 00*7 c0 ff c0"};

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
    // keys no dict takes, or not canonical; keys equal as Python compares them (1 == True == 1.0,
    // 0 == -0.0, 2^63 as an int and as a float); a value inside that is not canonical
    "81 90 c0", "81 80 c0", "81 d9 01 61 c0", "82 a1 61 c0 a1 61 c3", "82 01 c0 c3 c0",
    "82 01 c0 cb 3f f0 00*6 c0", "82 00 c0 cb 80 00*7 c0", "82 c2 c0 00 c0", "82 c0 c0 c0 c3",
    "82 c4 01 61 c0 c4 01 61 c0", "82 cf 80 00*7 c0 cb 43 e0 00*6 c0", "82 d3 80 00*7 c0 cb c3 e0 00*6 c0",
    "82 e0 c0 cb c0 40 00*6 c0", "91 cc 05", "81 a1 61 ca 00*4",
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
    // As deep as the codec reads a value, and no deeper.
    for (size_t depth = 505; depth <= 515; ++depth) {
      const std::string in = nested(depth, open, last);
      EXPECT_EQ(canonical(in), decode(in).error.kind == codec::msgpack::ReadErrorKind::none) << depth;
    }
    accepted.push_back(nested(509, open, last));
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

TEST(PersistBody, ReadsTheLayoutTheWriterMakesAndRefusesTheRest) {
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

uint64_t digest_of(const Deep& state) {
  uint64_t digest = 0;
  for (const auto& [ns, keys] : state) {
    for (const auto& [key, value] : keys) digest += entry_hash(ns, key, value);
  }
  return digest;
}

// The store's contents, every shard's and the store's totals checked.
Deep held(store::Store& store) {
  Deep all;
  for (const Recount& shard : recount_all(store))
    all.insert(shard.namespaces.begin(), shard.namespaces.end());
  return all;
}

// Seals `r` (its checksums as a writer computes them) around `body`.
StoredFields sealed(StoredFields r, std::string_view body) {
  r.body = body;
  r.body_size = static_cast<int64_t>(body.size());
  r.header_crc = as_signed32(*header_checksum("t", r));
  r.crc = as_signed32(crc32(bytes_of(body), body.size(), static_cast<uint32_t>(r.header_crc)));
  return r;
}

StoredFields keyframe(std::string_view body, const Deep& state) {
  StoredFields r;
  r.seq = r.base = 1;
  r.kind = kKeyframeKind;
  r.format = 1;
  r.digest = static_cast<int64_t>(digest_of(state));
  return sealed(r, body);
}

Replayed replay(store::Store& store, const StoredFields& record, bool each_step = false) {
  std::vector<store::NamespaceMap> removed;
  auto locked = store.every_shard_for_writing().acquire();
  return replay_chain(store, locked, Chain{"t", std::span(&record, 1), 0, true, 2, each_step}, removed);
}

// A keyframe replaces the store's state whole, whatever it held, a namespace
// listed again in a later chunk and a key set twice (the last value stays);
// an allocation that fails on the way leaves the store as it was.
TEST(PersistChain, AKeyframeReplacesTheStoreOrOnRunningOutOfMemoryLeavesItAsItWas) {
  const LeakCheck leaks;
  store::Store store(0);
  set(store, "old", "k", bytes("\x01"));
  set(store, "a", "gone", bytes("\x02"));
  const Deep before = held(store);
  // [{"a": {"x": 1}}, {}], then [{"b": {"z": 3}, "a": {"y": 2, "x": 7}}, {}]
  const std::string body =
      framed({"92 81 a1 61 81 a1 78 01 80", "92 82 a1 62 81 a1 7a 03 a1 61 82 a1 79 02 a1 78 07 80"});
  const Deep state = {{"a", {{"x", "\x07"}, {"y", "\x02"}}}, {"b", {{"z", "\x03"}}}};
  const StoredFields record = keyframe(body, state);
  fail_each_allocation(
      [&] {
        const Replayed replayed = replay(store, record);
        EXPECT_EQ(replayed.fault, Fault::none);
        EXPECT_EQ(replayed.digest, digest_of(state));
      },
      [&](uint64_t n) { EXPECT_EQ(held(store), before) << "allocation " << n << " failed"; });
  EXPECT_EQ(held(store), state);
}

// Each damage is named by the first check it fails, in the order fault.hpp gives.
TEST(PersistChain, EachDamageIsNamedByTheFirstCheckItFails) {
  const std::string body = hex("92 81 a2 6e 73 81 a1 6b 01 80");  // [{"ns": {"k": 1}}, {}]
  const StoredFields sound = keyframe(body, {{"ns", {{"k", "\x01"}}}});
  const auto with = [&](auto change, bool reseal = false) {
    StoredFields r = sound;
    change(r);
    return reseal ? sealed(r, r.body) : r;
  };
  const std::string wide = hex("92 81 a2 6e 73 81 a1 6b cc 01 80");  // 1 in a wider form than needed
  const std::pair<StoredFields, Fault> kRecords[] = {
      {sound, Fault::none},
      {with([](StoredFields& r) { r.header_crc ^= 1; }), Fault::header_checksum_mismatch},
      {with([](StoredFields& r) { r.seq = 2; }), Fault::header_checksum_mismatch},
      {with([](StoredFields& r) { r.format = 3; }, true), Fault::format_too_new},
      {with([](StoredFields& r) { r.format = 0; }, true), Fault::inconsistent_header},
      {with([](StoredFields& r) { r.base = 0; }, true), Fault::inconsistent_header},
      // a delta whose base is above its parent; one whose header holds but that starts a chain
      {with([](StoredFields& r) { r.kind = kDeltaKind, r.parent = 0, r.base = 1; }, true),
       Fault::inconsistent_header},
      {with([](StoredFields& r) { r.kind = kDeltaKind, r.parent = 0, r.base = 0; }, true),
       Fault::inconsistent_header},
      {with([](StoredFields& r) { r.body_size += 1; }), Fault::truncated_body},
      {with([](StoredFields& r) { r.body_size = -1; }), Fault::truncated_body},
      {with([](StoredFields& r) { r.crc ^= 1; }), Fault::checksum_mismatch},
      {with([&](StoredFields& r) { r.body = wide; }, true), Fault::undecodable_body},
      {with([](StoredFields& r) { r.digest ^= 1; }, true), Fault::keyframe_digest_mismatch},
      {with([](StoredFields& r) { r.header_crc ^= 1, r.crc ^= 1; }), Fault::header_checksum_mismatch},
  };
  for (size_t i = 0; i < std::size(kRecords); ++i) {
    store::Store store(0);
    EXPECT_EQ(replay(store, kRecords[i].first, true).fault, kRecords[i].second) << "record " << i;
  }
}

}  // namespace
}  // namespace derirezaro::persist
