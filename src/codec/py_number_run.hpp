// Runs of numbers: the stretch of a list or tuple whose items are exact ints
// and floats (an embedding, a series of samples, a row of counters), written
// in one loop that does per item only the interpreter call that reads it, the
// choice of its wire width and the write.
//
// Under the stable ABI every item costs a conversion (PyFloat_AsDouble,
// PyLong_AsLongLongAndOverflow) and, for a tuple or a list whose layout is not
// known (py_list_items.hpp), a call that reads it: these calls are most of the
// work, so what the loop adds to them is kept to a type test and a write.
// Room is reserved for a chunk of items at once (kMaxHeaderSize bytes each),
// so the writes themselves check nothing.
//
// The run takes the same exact types the walk tests first, by identity, and
// writes them as the walk would: the bytes are the walk's own, only reached
// in fewer steps. Anything else ends the run without being written or
// raising: another type, a bool, a subclass of int or float, an int outside
// 64 bits. The walk then takes that item as any other, and refuses what it
// refuses, with its own error.
#pragma once

#include <cstdint>

#include "codec/msgpack_writer.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// Whether `obj` can begin a run: an exact float or an exact int.
inline bool begins_number_run(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  return type == &PyFloat_Type || type == &PyLong_Type;
}

// Items per reserved chunk: the reservation's check is paid once per chunk,
// and a chunk's worst case (kMaxHeaderSize bytes an item) stays small, so a
// short list still fits a buffer's inline bytes.
inline constexpr Py_ssize_t kNumberRunChunk = 64;

namespace detail {
// An int above LLONG_MAX that still fits an unsigned 64-bit number.
// False, with no exception left set, for anything wider. Wider is told by a
// comparison, not by the conversion's OverflowError: making an exception can
// run the garbage collector, whose finalizers may change the list the run
// reads while its caller holds a borrowed item of it.
[[gnu::noinline]] inline bool wide_unsigned(PyObject* obj, uint64_t& out) {
  static PyObject* const largest = PyLong_FromUnsignedLongLong(UINT64_MAX);  // kept for good
  const int fits = largest == nullptr ? -1 : PyObject_RichCompareBool(obj, largest, Py_LE);
  if (fits != 1) {
    if (fits < 0) PyErr_Clear();  // the walk takes the item and reports what it must
    return false;
  }
  // Where unsigned long has 64 bits its conversion is a loop over the int's
  // digits; the long long one goes through a general byte-array conversion.
  if constexpr (sizeof(unsigned long) == sizeof(uint64_t)) {
    out = PyLong_AsUnsignedLong(obj);
  } else {
    out = PyLong_AsUnsignedLongLong(obj);
  }
  if (out != UINT64_MAX || !PyErr_Occurred()) return true;
  PyErr_Clear();
  return false;
}
}  // namespace detail

// Writes, through `run`, the run that begins at item `i` of a sequence of
// `count` items, `obj` being item(i) and begins_number_run(obj). Returns the
// index of the first item not written: `count` when the run reached the end,
// otherwise that item's index, with the item itself left in `obj`.
//
// Run: reserve(n) gives a cursor with room for n bytes, commit(at) takes
// the cursor back. GetItem: item(k) is borrowed and valid for k < count.
template <class Run, class GetItem>
Py_ssize_t write_number_run(Run& run, GetItem& item, Py_ssize_t i, Py_ssize_t count, PyObject*& obj) {
  PyObject* at_item = obj;  // a local, not `obj`: a store per item through the reference is not free
  for (;;) {
    const Py_ssize_t chunk_end = count - i > kNumberRunChunk ? i + kNumberRunChunk : count;
    uint8_t* at = run.reserve(static_cast<size_t>(chunk_end - i) * msgpack::kMaxHeaderSize);
    for (;;) {
      PyTypeObject* type = Py_TYPE(at_item);
      if (type == &PyFloat_Type) {
        // Floats come in stretches (a vector, a series): a loop of their own
        // keeps the int path's registers and branches out of theirs.
        do {
          at = msgpack::put_float64(at, PyFloat_AsDouble(at_item));  // an exact float cannot fail
          if (++i == chunk_end) break;
          at_item = item(i);
        } while (Py_TYPE(at_item) == &PyFloat_Type);
        if (i == chunk_end) break;
        continue;
      } else if (type == &PyLong_Type) {
        int overflow;  // read only when the result is -1: any other result is the value itself
        const long long v = PyLong_AsLongLongAndOverflow(at_item, &overflow);
        if (v >= 0) {
          at = msgpack::put_uint(at, static_cast<uint64_t>(v));
        } else if (v != -1 || overflow == 0) [[likely]] {
          at = msgpack::put_negative(at, v);
        } else {
          uint64_t u;
          if (overflow < 0 || !detail::wide_unsigned(at_item, u)) break;
          at = msgpack::put_uint(at, u);
        }
      } else {
        break;
      }
      if (++i == chunk_end) break;
      at_item = item(i);
    }
    run.commit(at);
    if (i != chunk_end || i == count) {
      obj = at_item;
      return i;
    }
    at_item = item(i);
  }
}

}  // namespace derirezaro::codec
