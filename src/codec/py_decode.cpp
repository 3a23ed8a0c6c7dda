// Decoding MessagePack bytes straight into Python objects.
#include <string>

#include "codec/messages.hpp"
#include "codec/msgpack_reader.hpp"
#include "codec/py_codec.hpp"
#include "codec/py_key_cache.hpp"
#include "lib/py_ref.hpp"

namespace derirezaro::codec {

namespace {

using py::PyRef;

// Valid text becomes str; text that fails the strict UTF-8 check (the
// interpreter's decoder applies the same rule) comes back as the raw bytes.
PyObject* text_or_bytes(const uint8_t* p, uint32_t n) {
  const char* chars = reinterpret_cast<const char*>(p);
  PyObject* text = PyUnicode_DecodeUTF8(chars, n, nullptr);
  if (text != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
  PyErr_Clear();
  return PyBytes_FromStringAndSize(chars, n);
}

// Builds Python objects over bytes the Validator has passed, or that the
// module's own encoder wrote: no reader error can occur, and a declared count
// is backed by at least that many input bytes, so reserving a list of that
// length is bounded by the input.
struct PyBuilder {
  static constexpr bool kTrusted = true;
  using Node = PyRef;

  KeyCache keys;

  static bool made(PyRef& out, PyObject* obj) {
    out = PyRef::steal(obj);
    return static_cast<bool>(out);
  }

  bool nil(Node& out) { return made(out, (Py_INCREF(Py_None), Py_None)); }
  bool boolean(bool b, Node& out) { return made(out, PyBool_FromLong(b)); }
  bool uint(uint64_t n, Node& out) { return made(out, PyLong_FromUnsignedLongLong(n)); }
  bool negative(int64_t v, Node& out) { return made(out, PyLong_FromLongLong(v)); }
  bool float32(float f, Node& out) { return made(out, PyFloat_FromDouble(static_cast<double>(f))); }
  bool float64(double d, Node& out) { return made(out, PyFloat_FromDouble(d)); }
  bool str(const uint8_t* p, uint32_t n, bool small_map_key, Node& out) {
    if (small_map_key && n <= kMaxCachedKeyBytes) {
      PyObject* key = keys.get(p, n);
      if (key != nullptr) return made(out, key);
      if (PyErr_Occurred()) return false;
      // not valid UTF-8: falls through to become bytes
    }
    return made(out, text_or_bytes(p, n));
  }
  bool bin(const uint8_t* p, uint32_t n, Node& out) {
    return made(out, PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), n));
  }
  bool ext(int8_t, const uint8_t*, uint32_t, Node&) {
    PyErr_SetString(PyExc_ValueError, messages::kExtensionUnsupported);
    return false;
  }
  bool array_begin(uint32_t count, Node& out) { return made(out, PyList_New(count)); }
  bool array_item(Node& list, uint32_t index, Node&& item) {
    PyList_SetItem(list.get(), index, item.release());  // steals; index < count
    return true;
  }
  bool map_begin(uint32_t, Node& out) { return made(out, PyDict_New()); }
  bool map_entry(Node& dict, Node&& key, Node&& value) {
    return PyDict_SetItem(dict.get(), key.get(), value.get()) == 0;
  }
};

// The same over bytes nobody has checked: the reader checks every length as
// it goes and refuses a list count the remaining bytes cannot back.
struct CheckedPyBuilder : PyBuilder {
  static constexpr bool kTrusted = false;
  static constexpr bool kReservesCounts = true;
};

}  // namespace

PyObject* decode_to_object(const uint8_t* data, size_t size) {
  // Valid input, the common case, is read once. Any failure releases what
  // was built and decides the error as a validating pass followed by a build
  // would: the input's first reader error if it has one (so a reader error
  // wins over a conversion error met earlier, as if found before any object
  // was made), else the conversion's own error, raised again from the start.
  {
    CheckedPyBuilder builder;
    msgpack::Reader<CheckedPyBuilder> reader(data, size, builder);
    PyRef result;
    if (reader.read(result)) return result.release();
  }
  PyErr_Clear();
  const msgpack::ReadError error = msgpack::validate(data, size);
  if (error.kind != msgpack::ReadErrorKind::none) {
    std::string message = messages::kDecodeErrorPrefix;
    message += error.message();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
  }
  return decode_own_encoding(data, size);
}

PyObject* decode_own_encoding(const uint8_t* data, size_t size) {
  PyBuilder builder;
  msgpack::Reader<PyBuilder> reader(data, size, builder);
  PyRef result;
  if (!reader.read(result)) return nullptr;
  return result.release();
}

}  // namespace derirezaro::codec
