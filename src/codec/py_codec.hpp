// The codec as the binding layer uses it: Python objects to and from
// MessagePack bytes. Everything here runs with the interpreter
// lock held and keeps no state between calls. A false or null result means
// a Python exception is set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/encode_buffer.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// Which dict keys an encoding accepts. A list, tuple or dict key encodes as
// an array or map, which decodes to a list or dict: unhashable, so `loads`
// refuses it. `dumps` still writes such keys (other readers may take them);
// the store refuses them, since it could never give the value back.
enum class MapKeys : bool { any, readable };

// Appends the encoding of `obj` to `out`. On failure `out` holds a partial
// encoding the caller must discard. `out` may borrow from `obj`: gather it
// (EncodeBuffer::copy_to) while `obj` is still held.
bool encode_into(PyObject* obj, EncodeBuffer& out, MapKeys keys = MapKeys::any);

// A per-thread EncodeBuffer for one encoding at a time, so a steady stream
// of encodings stops allocating once the buffer has reached its working
// size. It keeps at most kRetainedScratch bytes between uses; a nested use
// on the same thread (which the encoder never makes) gets a private buffer.
class ScratchEncodeBuffer {
 public:
  static constexpr size_t kRetainedScratch = 256 * 1024;

  ScratchEncodeBuffer();
  ~ScratchEncodeBuffer();
  ScratchEncodeBuffer(const ScratchEncodeBuffer&) = delete;
  ScratchEncodeBuffer& operator=(const ScratchEncodeBuffer&) = delete;

  EncodeBuffer& get() { return leased_ != nullptr ? leased_->buffer : own_; }

 private:
  struct ThreadScratch {
    EncodeBuffer buffer;
    bool in_use = false;
  };
  // One thread-local lookup per lease: in a shared library each costs a call.
  static ThreadScratch& thread_scratch();

  ThreadScratch* leased_ = nullptr;
  EncodeBuffer own_;
};

// `dumps`: a new bytes object holding the encoding of `obj`.
PyObject* encode_to_bytes(PyObject* obj);

// `loads`: the input's first reader error, if it has one, is raised (as
// ValueError "msgpack decode error: ..."), whatever else is wrong with it;
// otherwise extension values and unhashable map keys fail the conversion. On
// any failure everything built is released. Valid input is read once: the
// checks go along with the building, and only a failure validates apart.
PyObject* decode_to_object(const uint8_t* data, size_t size);

// The same without validating first, for bytes this module's encoder wrote
// with MapKeys::readable (the store's blocks): the encoder writes nothing the
// reader would refuse (no extension values, no unhashable map keys, no text
// that is not UTF-8, no nesting beyond the depth budget). Any other bytes
// must go through decode_to_object.
PyObject* decode_own_encoding(const uint8_t* data, size_t size);

}  // namespace derirezaro::codec
