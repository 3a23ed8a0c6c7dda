// Encoding Python objects straight into MessagePack bytes.
#include <string>

#include "codec/msgpack_writer.hpp"
#include "codec/py_codec.hpp"
#include "codec/py_walker.hpp"

namespace derirezaro::codec {

namespace {

// Writes as it is visited: a container's header goes out before its
// elements, which the walk visits depth-first in order.
struct MsgpackSink {
  struct Node {};
  EncodeBuffer& buffer;
  ByteBuffer& out = buffer.bytes();

  bool nil(Node&) {
    msgpack::write_nil(out);
    return true;
  }
  bool boolean(bool b, Node&) {
    msgpack::write_bool(out, b);
    return true;
  }
  bool uint(uint64_t n, Node&) {
    msgpack::write_uint(out, n);
    return true;
  }
  bool negative(int64_t v, Node&) {
    msgpack::write_negative(out, v);
    return true;
  }
  bool float64(double d, Node&) {
    msgpack::write_float64(out, d);
    return true;
  }
  bool str(const char* p, uint32_t n, Node&) {
    msgpack::write_str_header(out, n);
    buffer.append_leaf(p, n);
    return true;
  }

  // A container's short leaves, written through a cursor kept in registers:
  // through the buffer, every byte stored may alias the buffer's own fields,
  // which the compiler then reloads for the next leaf. `pause` gives the
  // position back before anything else writes; `resume` takes it up again.
  class Run {
   public:
    static constexpr uint32_t kShortText = EncodeBuffer::kBorrowThreshold;

    explicit Run(ByteBuffer& out) : out_(out) { resume(); }
    void pause() { out_.advance_to(at_); }
    void resume() {
      at_ = out_.cursor();
      end_ = out_.limit();
    }
    void integer(long long v) {
      room(msgpack::kMaxHeaderSize);
      at_ = v < 0 ? msgpack::put_negative(at_, v) : msgpack::put_uint(at_, static_cast<uint64_t>(v));
    }
    void float64(double d) {
      room(msgpack::kMaxHeaderSize);
      at_ = msgpack::put_float64(at_, d);
    }
    void str(const char* p, uint32_t n) {  // n < kShortText
      room(5 + size_t{n});
      at_ = msgpack::put_str(at_, p, n);
    }
    void nil() {
      room(1);
      at_ = msgpack::put_nil(at_);
    }
    void boolean(bool b) {
      room(1);
      at_ = msgpack::put_bool(at_, b);
    }
    void array_header(uint32_t count) {
      room(5);
      at_ = msgpack::put_array_header(at_, count);
    }
    void map_header(uint32_t count) {
      room(5);
      at_ = msgpack::put_map_header(at_, count);
    }
    // The cursor itself, with room for `n` bytes, for a loop that writes
    // several leaves unchecked; `commit` takes it back.
    uint8_t* reserve(size_t n) {
      room(n);
      return at_;
    }
    void commit(uint8_t* at) { at_ = at; }

   private:
    void room(size_t n) {
      if (static_cast<size_t>(end_ - at_) < n) [[unlikely]]
        refill(n);
    }
    [[gnu::noinline]] void refill(size_t n) {
      pause();
      out_.reserve_extra(n);
      resume();
    }

    ByteBuffer& out_;
    uint8_t* at_;
    uint8_t* end_;
  };
  Run run() { return Run(out); }

  bool bytes(const char* p, uint32_t n, Node&) {
    msgpack::write_bin_header(out, n);
    buffer.append_leaf(p, n);
    return true;
  }
  bool array_item(Node&, Node&&) { return true; }
  bool map_entry(Node&, Node&&, Node&&) { return true; }
};

}  // namespace

bool refuse_wire_length(Py_ssize_t length, const char* what, const char* unit) {
  const std::string message = std::string(what) + " too long for msgpack: " + std::to_string(length) + " " +
                              unit + " (the format allows at most 4294967295)";
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return false;
}

bool encode_into(PyObject* obj, EncodeBuffer& out, MapKeys keys) {
  MsgpackSink sink{out};
  PyWalker<MsgpackSink> walker(sink, keys == MapKeys::readable);
  MsgpackSink::Node node;
  return walker.walk(obj, node);
}

ScratchEncodeBuffer::ThreadScratch& ScratchEncodeBuffer::thread_scratch() {
  static thread_local ThreadScratch scratch;
  return scratch;
}

ScratchEncodeBuffer::ScratchEncodeBuffer() {
  ThreadScratch& scratch = thread_scratch();
  if (!scratch.in_use) {
    scratch.in_use = true;
    leased_ = &scratch;
  }
}

ScratchEncodeBuffer::~ScratchEncodeBuffer() {
  if (leased_ == nullptr) return;
  leased_->buffer.reset(kRetainedScratch);
  leased_->in_use = false;
}

PyObject* encode_to_bytes(PyObject* obj) {
  ScratchEncodeBuffer scratch;
  EncodeBuffer& buffer = scratch.get();
  if (!encode_into(obj, buffer)) return nullptr;
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(buffer.size()));
  if (result == nullptr) return nullptr;
  buffer.copy_to(reinterpret_cast<uint8_t*>(PyBytes_AsString(result)));
  return result;
}

}  // namespace derirezaro::codec
