#include "persist/body_reader.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>

#include "codec/msgpack_reader.hpp"
#include "codec/utf8.hpp"

namespace derirezaro::persist {

namespace {

// A value is accepted at exactly the depths the codec's reader accepts it,
// spending the same budget the same way (msgpack_reader.hpp): the codec
// writes nothing its reader refuses, so every value a commit stores is read
// here, every value read here decodes, and the recursion stays bounded.
constexpr uint32_t kDepthBudget = codec::msgpack::kDepthBudget;

// Keys of a map are compared one by one up to this many; past it, through
// a hash set.
constexpr size_t kLinearKeys = 16;

uint64_t load_be(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v = v << 8 | p[i];
  return v;
}

// Whether each key offered is new: a scan while they are few, a hash set
// past kLinearKeys, so a map or a chunk of any size costs linear time.
class DistinctKeys {
 public:
  bool insert(std::string_view key) {
    if (many_) return many_->insert(key).second;
    if (std::find(few_.begin(), few_.begin() + count_, key) != few_.begin() + count_) return false;
    if (count_ < few_.size()) {
      few_[count_++] = key;
      return true;
    }
    many_.emplace(few_.begin(), few_.end());
    return many_->insert(key).second;
  }

 private:
  std::array<std::string_view, kLinearKeys> few_;
  size_t count_ = 0;
  std::optional<std::unordered_set<std::string_view>> many_;
};

// The keys of one value map, told apart as the decoder's dict tells them
// apart: by Python equality, under which True == 1 == 1.0 and False == 0 ==
// 0.0 == -0.0, so every number is compared by its value whatever its kind.
// Keys are text, bin, nil, bool, int or float (the codec writes no other:
// an array or map key would decode to a list or dict, which no dict takes).
// NaN equals nothing, so NaN keys are all distinct.
class MapKeys {
 public:
  // `start` to `end`: one key, already accepted as a value; `text` its text if a str.
  bool insert(const uint8_t* start, const uint8_t* end, std::string_view text) {
    if (text.data() != nullptr) return texts_.insert(text);
    const uint8_t m = *start;
    if (m == 0xc4 || m == 0xc5 || m == 0xc6) {
      const size_t header = m == 0xc4 ? 2 : m == 0xc5 ? 3 : 5;
      return other('b', std::string_view(reinterpret_cast<const char*>(start + header),
                                         static_cast<size_t>(end - start) - header));
    }
    if (m == 0xc0) return other('n', {});
    if (m == 0xc2 || m == 0xc3) return integral(false, m == 0xc3);
    if (m <= 0x7f) return integral(false, m);
    if (m >= 0xe0) return integral(true, 0x100u - m);
    if (m >= 0xcc && m <= 0xcf) return integral(false, load_be(start + 1, size_t{1} << (m - 0xcc)));
    if (m >= 0xd0 && m <= 0xd3) {
      const size_t width = size_t{1} << (m - 0xd0);
      const uint64_t raw = load_be(start + 1, width);
      const uint64_t sign = uint64_t{1} << (8 * width - 1);
      return integral(true, (sign << 1) - raw);  // the magnitude of a negative of `width` bytes
    }
    if (m == 0xcb) return real(start + 1);
    return false;  // an array or a map
  }

 private:
  bool integral(bool negative, uint64_t magnitude) {
    char bytes[9] = {negative ? '-' : '+'};
    for (int i = 0; i < 8; ++i) bytes[1 + i] = static_cast<char>(magnitude >> (56 - 8 * i));
    return other('i', std::string_view(bytes, sizeof bytes));
  }

  bool real(const uint8_t* p) {
    const uint64_t bits = load_be(p, 8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isnan(d)) return true;
    // A float with an integer's value is that integer's key (and -0.0 is 0).
    if (d == std::trunc(d) && d >= -0x1p63 && d < 0x1p64) {
      return d < 0 ? integral(true, static_cast<uint64_t>(-d)) : integral(false, static_cast<uint64_t>(d));
    }
    char bytes[8];
    std::memcpy(bytes, &bits, sizeof bytes);
    return other('f', std::string_view(bytes, sizeof bytes));
  }

  // A key of kind `tag`: kept, tag first, where its view stays valid.
  bool other(char tag, std::string_view bytes) {
    std::string& kept = owned_.emplace_back(1, tag);
    kept.append(bytes);
    if (others_.insert(kept)) return true;
    owned_.pop_back();
    return false;
  }

  DistinctKeys texts_;
  DistinctKeys others_;
  std::deque<std::string> owned_;  // others_'s views point here: a deque never moves what it holds
};

// Well-formed UTF-8, ASCII on a short inline path: keys and short texts
// are mostly ASCII.
bool is_text(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n && p[i] < 0x80) ++i;
  return i == n || codec::is_well_formed_utf8(p + i, n - i);
}

// Walks one value and accepts it only in the form the codec writes for
// what the decoder makes of it, so that decoding and re-encoding would give
// back the same bytes: every number,
// length and count in its shortest form (non-negative integers unsigned),
// floats in 8 bytes, str only for well-formed UTF-8, no extension types
// (the decoder refuses them), no 0xc1 (it reads as nil, which is 0xc0), map
// keys only of the kinds a dict takes, none equal to another in one map.
class CanonicalValue {
 public:
  CanonicalValue(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  // Where the value ends, or null.
  const uint8_t* read() { return value(kDepthBudget) ? p_ : nullptr; }

 private:
  bool value(uint32_t budget) {
    std::string_view ignored;
    return element(budget, ignored);
  }

  // One value, with `budget` left for it (one unit the value, one more a
  // container's or a bin's body, two more a str's); `text` is set when it is a str.
  bool element(uint32_t budget, std::string_view& text) {
    if (p_ == end_ || budget == 0) return false;
    const uint32_t depth = budget - 1;  // what the value's body has left
    const uint8_t m = *p_++;
    if (m <= 0x7f || m >= 0xe0 || m == 0xc0 || m == 0xc2 || m == 0xc3) return true;
    if (m <= 0x8f) return map(m & 0x0f, depth);
    if (m <= 0x9f) return array(m & 0x0f, depth);
    if (m <= 0xbf) return depth >= 2 && str(m & 0x1f, text);
    uint64_t n;
    switch (m) {
      case 0xc4: return depth >= 1 && field(1, n) && bytes(n);
      case 0xc5: return depth >= 1 && field(2, n) && n > 0xff && bytes(n);
      case 0xc6: return depth >= 1 && field(4, n) && n > 0xffff && bytes(n);
      case 0xcb: return skip(8);
      case 0xcc: return field(1, n) && n > 0x7f;
      case 0xcd: return field(2, n) && n > 0xff;
      case 0xce: return field(4, n) && n > 0xffff;
      case 0xcf: return field(8, n) && n > 0xffffffffu;
      // Signed forms only for negatives too large for the next smaller one.
      case 0xd0: return field(1, n) && static_cast<int8_t>(n) < -32;
      case 0xd1: return field(2, n) && static_cast<int16_t>(n) < -128;
      case 0xd2: return field(4, n) && static_cast<int32_t>(n) < -32768;
      case 0xd3: return field(8, n) && static_cast<int64_t>(n) < INT32_MIN;
      case 0xd9: return depth >= 2 && field(1, n) && n > 31 && str(n, text);
      case 0xda: return depth >= 2 && field(2, n) && n > 0xff && str(n, text);
      case 0xdb: return depth >= 2 && field(4, n) && n > 0xffff && str(n, text);
      case 0xdc: return field(2, n) && n > 15 && array(n, depth);
      case 0xdd: return field(4, n) && n > 0xffff && array(n, depth);
      case 0xde: return field(2, n) && n > 15 && map(n, depth);
      case 0xdf: return field(4, n) && n > 0xffff && map(n, depth);
      default: return false;  // 0xc1, float32, extension types
    }
  }

  // `budget`: what the container has left once its own unit is spent.
  bool array(uint64_t count, uint32_t budget) {
    if (budget == 0) return false;
    for (uint64_t i = 0; i < count; ++i) {
      if (!value(budget - 1)) return false;
    }
    return true;
  }

  bool map(uint64_t count, uint32_t budget) {
    if (budget == 0) return false;
    MapKeys keys;
    for (uint64_t i = 0; i < count; ++i) {
      const uint8_t* start = p_;
      std::string_view text;
      if (!element(budget - 1, text) || !keys.insert(start, p_, text)) return false;  // a new key
      if (!value(budget - 1)) return false;
    }
    return true;
  }

  bool str(uint64_t n, std::string_view& text) {
    if (static_cast<uint64_t>(end_ - p_) < n || !is_text(p_, n)) return false;
    text = std::string_view(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }

  bool bytes(uint64_t n) { return skip(n); }

  bool skip(uint64_t n) {
    if (static_cast<uint64_t>(end_ - p_) < n) return false;
    p_ += n;
    return true;
  }

  bool field(size_t width, uint64_t& out) {
    if (static_cast<size_t>(end_ - p_) < width) return false;
    out = load_be(p_, width);
    p_ += width;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* const end_;
};

// The structure around the values: headers in any of their widths (the
// Python decoder takes them all), with every length checked against what is
// left. Each takes what it reads off the front of `p`.
class Cursor {
 public:
  Cursor(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

  const uint8_t* at() const { return p_; }
  const uint8_t* end() const { return end_; }
  void move_to(const uint8_t* p) { p_ = p; }
  bool done() const { return p_ == end_; }

  bool array(uint32_t& count) { return header(0x90, 0xdc, count); }
  bool map(uint32_t& count) { return header(0x80, 0xde, count); }

  // A str holding well-formed UTF-8: what the decoder makes a Python str of.
  bool text(std::string_view& out) {
    if (done()) return false;
    const uint8_t m = *p_++;
    uint32_t n;
    if (m >= 0xa0 && m <= 0xbf) {
      n = m & 0x1f;
    } else if (m == 0xd9 || m == 0xda || m == 0xdb) {
      if (!field(m == 0xd9 ? 1 : m == 0xda ? 2 : 4, n)) return false;
    } else {
      return false;
    }
    if (static_cast<size_t>(end_ - p_) < n || !is_text(p_, n)) return false;
    out = std::string_view(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return true;
  }

 private:
  // fix: fixmap/fixarray base marker; wide: the 16-bit form's marker (the
  // 32-bit form follows it).
  bool header(uint8_t fix, uint8_t wide, uint32_t& count) {
    if (done()) return false;
    const uint8_t m = *p_++;
    if ((m & 0xf0) == fix) return count = m & 0x0f, true;
    if (m == wide) return field(2, count);
    if (m == wide + 1) return field(4, count);
    return false;
  }

  bool field(size_t width, uint32_t& out) {
    if (static_cast<size_t>(end_ - p_) < width) return false;
    out = 0;
    for (size_t i = 0; i < width; ++i) out = out << 8 | *p_++;
    return true;
  }

  const uint8_t* p_;
  const uint8_t* const end_;
};

bool read_chunk(const uint8_t* data, size_t size, BodyEntries& out) {
  Cursor in(data, data + size);
  uint32_t sides, namespaces;
  if (!in.array(sides) || sides != 2 || !in.map(namespaces)) return false;
  DistinctKeys seen;  // a namespace appears once per chunk on each side
  for (uint32_t n = 0; n < namespaces; ++n) {
    std::string_view ns;
    uint32_t keys;
    if (!in.text(ns) || !seen.insert(ns) || !in.map(keys)) return false;
    for (uint32_t k = 0; k < keys; ++k) {
      std::string_view key;
      if (!in.text(key)) return false;
      const uint8_t* value = in.at();
      const uint8_t* value_end = CanonicalValue(value, in.end()).read();
      if (value_end == nullptr) return false;
      out.sets.push_back(
          {ns, key, {reinterpret_cast<const char*>(value), static_cast<size_t>(value_end - value)}});
      in.move_to(value_end);
    }
  }
  if (!in.map(namespaces)) return false;
  DistinctKeys removed;
  for (uint32_t n = 0; n < namespaces; ++n) {
    std::string_view ns;
    uint32_t keys;
    if (!in.text(ns) || !removed.insert(ns) || !in.array(keys)) return false;
    for (uint32_t k = 0; k < keys; ++k) {
      std::string_view key;
      if (!in.text(key)) return false;
      out.removes.push_back({ns, key});
    }
  }
  return in.done();  // the decoder would ignore bytes after the chunk; none are written
}

}  // namespace

bool read_body(const uint8_t* data, size_t size, BodyEntries& out) {
  if (size == 0 || data[0] != kFramedBody) return read_chunk(data, size, out);
  size_t at = 1;
  while (at < size) {
    if (size - at < 4) return false;
    const size_t length = static_cast<size_t>(data[at]) << 24 | static_cast<size_t>(data[at + 1]) << 16 |
                          static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
    at += 4;
    if (size - at < length || !read_chunk(data + at, length, out)) return false;
    at += length;
  }
  return true;
}

std::optional<uint64_t> declared_inflated_size(const uint8_t* data, size_t size) {
  if (size < kCompressedHead || data[0] != kCompressedBody) return std::nullopt;
  const uint64_t declared = load_be(data + 1, 8);
  const uint64_t stream = size - kCompressedHead;
  const uint64_t bound = stream > (UINT64_MAX - kInflateSlack) / kMaxInflateRatio
                             ? UINT64_MAX
                             : stream * kMaxInflateRatio + kInflateSlack;
  if (declared == 0 || declared > bound) return std::nullopt;
  return declared;
}

bool is_canonical_value(const uint8_t* data, size_t size) {
  return CanonicalValue(data, data + size).read() == data + size;
}

}  // namespace derirezaro::persist
