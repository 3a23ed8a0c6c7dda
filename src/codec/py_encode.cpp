// Encoding Python objects straight into MessagePack bytes.
#include <string>
#include <utility>

#include "codec/msgpack_writer.hpp"
#include "codec/py_codec.hpp"
#include "codec/py_walker.hpp"
#include "lib/py_ref.hpp"

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

namespace {

// A list or tuple this long whose first item is a float is taken for a
// float array (an embedding, a series of samples): its encoding then has a
// size known before the walk, the header and 9 bytes an item, and is written
// straight into a bytes object of that size, with no copy at the end. A
// shorter one costs too little to copy for the guess to pay.
constexpr Py_ssize_t kPresizedMinItems = 32;

// The encoded size of `obj` if it is such a float array, else 0. A guess
// only: the walk decides what is written, and a wrong guess costs a copy.
size_t float_array_size(PyObject* obj) {
#ifdef Py_GIL_DISABLED
  (void)obj;  // another thread may change a list: only the walk's snapshot reads its items
  return 0;
#else
  Py_ssize_t count;
  PyObject* first;
  if (Py_TYPE(obj) == &PyList_Type) {
    count = PyList_Size(obj);
    if (count < kPresizedMinItems) return 0;
    first = PyList_GetItem(obj, 0);
  } else if (Py_TYPE(obj) == &PyTuple_Type) {
    count = PyTuple_Size(obj);
    if (count < kPresizedMinItems) return 0;
    first = PyTuple_GetItem(obj, 0);
  } else {
    return 0;
  }
  if (Py_TYPE(first) != &PyFloat_Type || static_cast<uint64_t>(count) > UINT32_MAX) return 0;
  uint8_t header[5];
  const auto header_size =
      static_cast<size_t>(msgpack::put_array_header(header, static_cast<uint32_t>(count)) - header);
  return header_size + static_cast<size_t>(count) * msgpack::kMaxHeaderSize;
#endif
}

// A new bytes object holding what `buffer` holds.
[[gnu::always_inline]] inline PyObject* copy_to_bytes(const EncodeBuffer& buffer) {
  PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(buffer.size()));
  if (result == nullptr) return nullptr;
  buffer.copy_to(reinterpret_cast<uint8_t*>(PyBytes_AsString(result)));
  return result;
}

// Encodes into `guessed`, which is the result when the encoding fills it
// exactly; otherwise the encoding is copied into a bytes object of its own
// size.
[[gnu::noinline]] PyObject* encode_presized(PyObject* obj, py::PyRef guessed) {
  const auto size = static_cast<size_t>(PyBytes_Size(guessed.get()));
  auto* storage = reinterpret_cast<uint8_t*>(PyBytes_AsString(guessed.get()));
  EncodeBuffer buffer;
  buffer.bytes().write_into(storage, size);
  if (!encode_into(obj, buffer)) return nullptr;
  // Filled in place: nothing borrowed (whose bytes would still be elsewhere)
  // and no growth (which moves the bytes to the buffer's own memory).
  if (buffer.bytes().data() == storage && buffer.bytes().size() == size && buffer.size() == size)
    return guessed.release();
  return copy_to_bytes(buffer);
}

}  // namespace

PyObject* encode_to_bytes(PyObject* obj) {
  if (const size_t size = float_array_size(obj)) {
    py::PyRef guessed = py::PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (guessed) return encode_presized(obj, std::move(guessed));
    PyErr_Clear();  // the guess may overshoot: the plain path asks only for what the encoding needs
  }
  ScratchEncodeBuffer scratch;
  EncodeBuffer& buffer = scratch.get();
  if (!encode_into(obj, buffer)) return nullptr;
  return copy_to_bytes(buffer);
}

}  // namespace derirezaro::codec
