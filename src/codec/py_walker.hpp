// PyWalker: the one walk over a Python object tree that both encoding paths
// share (straight to MessagePack bytes, and to a Value). It owns the type
// rules; a Sink decides what each visited object becomes.
//
// Type rules, first match decides, subclasses included: None, bool, int,
// float, str, bytes, dict, list, tuple; anything else is refused with the
// unsupported-type TypeError. Exact built-in types are tested first by
// identity, which gives the same answer faster.
//
// No Python code runs during the walk: subclass instances are read through
// their built-in storage (PyLong_*, PyFloat_AsDouble, PyUnicode_AsUTF8AndSize,
// PyBytes_*, PyDict_Next, PyList_GetItem or the list's own array where its
// layout is known, PyTuple_GetItem), never through
// __index__, __float__, __str__, __iter__, keys or items, and the walk
// creates no objects the garbage collector tracks. So a container cannot
// change while it is walked, and counts written up front stay true. Without
// an interpreter lock (a free-threaded build) another thread still can
// change it: there a list's items and a dict's entries are copied, with
// references, while the container is locked (ElementSnapshot), and the walk
// reads the copy.
//
// Depth: every container level below the outermost few passes the
// interpreter's recursion check (RecursionError for deep or self-containing
// input; see DepthGuard). On top of it, the walk
// refuses, also with RecursionError, any value nested deeper than the reader
// can read back (its depth budget of 1024: a container costs two units a
// level, a str three, bytes two, any other leaf one). So everything encoded
// here decodes, a stored value can always be read again, and the C stack
// stays small whatever the recursion limit is set to.
//
// Sink interface (Node is what one visited object becomes):
//   nil, boolean, uint, negative, float64, str(const char*, uint32_t),
//   bytes(const char*, uint32_t), array_begin(count), array_item,
//   map_begin(count), map_entry; each returns false with an exception set.
// Optionally run(): a cursor the walk writes through while inside a container:
// leaves (integer, float64, str of fewer than Run::kShortText bytes, nil,
// boolean) and container headers (array_header, map_header); pause, resume;
// reserve and commit, through which a list's or tuple's runs of numbers are
// written (py_number_run.hpp).
// For such a sink the walk writes container headers through the run, never
// calls array_begin or map_begin, and the sink writes nothing in array_item
// and map_entry.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "codec/messages.hpp"
#include "codec/msgpack_reader.hpp"
#include "codec/py_element_snapshot.hpp"
#include "codec/py_list_items.hpp"
#include "codec/py_number_run.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// Containers enclosing an object at which the reader's budget runs out: no
// object fits at this depth, and a str already fails one level up.
inline constexpr int kUnreadableDepth = static_cast<int>(msgpack::kDepthBudget / 2);

// Raises the ValueError for a length or count the wire format cannot carry.
[[gnu::cold]] bool refuse_wire_length(Py_ssize_t length, const char* what, const char* unit);

// Rejects a length or count the wire format cannot carry (2^32 or more).
// Inline: every str, bytes and container the walk meets passes here.
inline bool check_wire_length(Py_ssize_t length, const char* what, const char* unit) {
  if (static_cast<uint64_t>(length) <= UINT32_MAX) [[likely]]
    return true;
  return refuse_wire_length(length, what, unit);
}

template <class Sink>
class PyWalker {
 public:
  using Node = typename Sink::Node;

  // With `readable_keys_only`, a list, tuple or dict used as a dict key is
  // refused (TypeError): it could not be decoded back as a key.
  // `depth` is for a walker that carries on inside another's container
  // (see walk_dict_entries).
  explicit PyWalker(Sink& sink, bool readable_keys_only = false, int depth = 0)
      : sink_(sink), readable_keys_only_(readable_keys_only), depth_(depth) {}

  bool walk(PyObject* obj, Node& out) {
    if (depth_ >= kUnreadableDepth - 1 && !readable_at_depth(obj)) return false;
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return walk_str(obj, out);
    if (type == &PyLong_Type) return walk_int(obj, out);
    if (type == &PyFloat_Type) return sink_.float64(PyFloat_AsDouble(obj), out);
    if (type == &PyDict_Type) return walk_dict(obj, out);
    if (type == &PyList_Type) return walk_list(obj, out);
    if (obj == Py_None) return sink_.nil(out);
    if (type == &PyBool_Type) return sink_.boolean(obj == Py_True, out);
    if (type == &PyTuple_Type) return walk_tuple(obj, out);
    if (type == &PyBytes_Type) return walk_bytes(obj, out);
    return walk_subclass(obj, out);
  }

  // A dict's walk as walk() makes it (recursion check, length check, the
  // entries in storage order), with each entry handed to
  // `entry(key, value, depth)`, which walks both itself, with walkers made
  // at `depth`: for a caller that treats some entries differently, yet must
  // refuse exactly what the plain walk refuses, in the same order.
  template <class Begin, class Entry>
  bool walk_dict_entries(PyObject* obj, Begin&& begin, Entry&& entry) {
    return walk_entries(obj, begin, [&](PyObject* key, PyObject* value) {
      if (readable_keys_only_ && decodes_unhashable(key)) return refuse_unreadable_key();
      return entry(key, value, depth_);
    });
  }

 private:
  // A sink may offer runs (`run()`): a cursor for a container's leaves, kept
  // in registers while the walk stays among them. A sink without gets NoRun.
  struct NoRun {
    void pause() {}
    void resume() {}
  };
  static constexpr bool kRuns = requires(Sink& s) { s.run(); };
  auto begin_run() {
    if constexpr (kRuns) {
      return sink_.run();
    } else {
      return NoRun{};
    }
  }

  // Whether a container entered at the current depth holds its elements
  // where the reader's budget needs no check for them. Decided once per
  // container: its elements all sit one level down.
  bool elements_unchecked() const { return depth_ + 1 < kUnreadableDepth - 1; }

  // A container's keys, values and items: the leaves most containers hold
  // (exact str, int and float, as walk tests them first; None and bools) are
  // written here without a call, a nested dict or list is walked at once, the
  // rest through walk; the run is paused around any call that writes. In a
  // container so deep that its elements need checking (not kShallow),
  // everything goes through walk.
  template <bool kShallow, class Run>
  [[gnu::always_inline]] bool walk_element(Run& run, PyObject* obj, Node& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if constexpr (kShallow) {
      if constexpr (kRuns) {
        if (type == &PyUnicode_Type) {
          Py_ssize_t size;                                         // set whenever the conversion succeeds
          const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // strict: lone surrogates raise
          if (utf8 == nullptr) return false;
          if (size < Run::kShortText) {
            run.str(utf8, static_cast<uint32_t>(size));
            return true;
          }
        } else if (type == &PyLong_Type) {
          int overflow = 0;
          const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
          if (overflow == 0) {
            run.integer(v);
            return true;
          }
          run.pause();  // converted once: the wide ones go straight to their own path
          const bool walked = walk_big_int(obj, out, overflow);
          run.resume();
          return walked;
        } else if (type == &PyFloat_Type) {
          run.float64(PyFloat_AsDouble(obj));
          return true;
        } else if (type == &PyDict_Type || type == &PyList_Type) {
          // Straight to the container's walk: the dispatch in walk() would
          // only find the same type again.
          run.pause();
          const bool walked = type == &PyDict_Type ? walk_dict(obj, out) : walk_list(obj, out);
          run.resume();
          return walked;
        } else if (obj == Py_None) {
          run.nil();
          return true;
        } else if (type == &PyBool_Type) {
          run.boolean(obj == Py_True);
          return true;
        }
      } else {
        if (type == &PyUnicode_Type) return walk_str(obj, out);
        if (type == &PyLong_Type) return walk_int(obj, out);
        if (type == &PyFloat_Type) return sink_.float64(PyFloat_AsDouble(obj), out);
      }
    }
    run.pause();
    const bool walked = walk(obj, out);
    run.resume();
    return walked;
  }

  // A dict key: a str, by far the most common, is written before anything
  // else is asked of it; any other is first held to readable_keys_only_,
  // then walked as an element.
  template <bool kShallow, class Run>
  [[gnu::always_inline]] bool walk_key(Run& run, PyObject* key, Node& out) {
    if constexpr (kShallow) {
      if (Py_TYPE(key) == &PyUnicode_Type) return walk_element<kShallow>(run, key, out);
    }
    if (readable_keys_only_ && decodes_unhashable(key)) return refuse_unreadable_key();
    return walk_element<kShallow>(run, key, out);
  }

  // None and bool cannot be subclassed, so only these remain, in rule order.
  [[gnu::noinline]] bool walk_subclass(PyObject* obj, Node& out) {
    if (PyLong_Check(obj)) return walk_int(obj, out);
    if (PyFloat_Check(obj)) return sink_.float64(PyFloat_AsDouble(obj), out);
    if (PyUnicode_Check(obj)) return walk_str(obj, out);
    if (PyBytes_Check(obj)) return walk_bytes(obj, out);
    if (PyDict_Check(obj)) return walk_dict(obj, out);
    if (PyList_Check(obj)) return walk_list(obj, out);
    if (PyTuple_Check(obj)) return walk_tuple(obj, out);
    PyErr_SetString(PyExc_TypeError, messages::kUnsupportedType);
    return false;
  }

  [[gnu::always_inline]] bool walk_int(PyObject* obj, Node& out) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
      // -1 is also the error return; an int argument cannot fail here.
      return v < 0 ? sink_.negative(v, out) : sink_.uint(static_cast<uint64_t>(v), out);
    }
    return walk_big_int(obj, out, overflow);
  }

  [[gnu::noinline]] bool walk_big_int(PyObject* obj, Node& out, int overflow) {
    if (overflow > 0) {
      // Where unsigned long has 64 bits, its conversion is a loop over the
      // int's digits; the long long one goes through a general byte-array
      // conversion that costs several times as much.
      uint64_t u;
      if constexpr (sizeof(unsigned long) == sizeof(uint64_t)) {
        u = PyLong_AsUnsignedLong(obj);
      } else {
        u = PyLong_AsUnsignedLongLong(obj);
      }
      if (!(u == UINT64_MAX && PyErr_Occurred())) return sink_.uint(u, out);
    }
    PyErr_Clear();  // the interpreter's own overflow error is replaced
    PyErr_SetString(PyExc_ValueError, messages::kIntegerOutOfRange);
    return false;
  }

  [[gnu::always_inline]] bool walk_str(PyObject* obj, Node& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);  // strict: lone surrogates raise
    if (utf8 == nullptr) return false;
    if (!check_wire_length(size, "str", "UTF-8 bytes")) return false;
    return sink_.str(utf8, static_cast<uint32_t>(size), out);
  }

  [[gnu::noinline]] bool walk_bytes(PyObject* obj, Node& out) {
    const Py_ssize_t size = PyBytes_Size(obj);
    if (!check_wire_length(size, "bytes", "bytes")) return false;
    return sink_.bytes(PyBytes_AsString(obj), static_cast<uint32_t>(size), out);
  }

  [[gnu::noinline]] bool walk_list(PyObject* obj, Node& out) {
#ifdef Py_GIL_DISABLED
    ElementSnapshot items;
    if (!items.take_list(obj)) return false;
    return walk_sequence(
        static_cast<Py_ssize_t>(items.size()),
        [&items](Py_ssize_t i) { return items[static_cast<size_t>(i)]; }, out, "list");
#else
    if constexpr (kRuns) {
      // PyList_GetItem is a sixth of what a run of numbers costs an item:
      // where the layout is known, the items are read from the list itself
      // (py_list_items.hpp). Sound because the walk runs no Python code.
      if (direct_list_reads())
        return walk_sequence(
            known_list_size(obj), [obj](Py_ssize_t i) { return known_list_item(obj, i); }, out, "list");
    }
    return walk_sequence(
        PyList_Size(obj), [obj](Py_ssize_t i) { return PyList_GetItem(obj, i); }, out, "list");
#endif
  }

  [[gnu::noinline]] bool walk_tuple(PyObject* obj, Node& out) {
    return walk_sequence(
        PyTuple_Size(obj), [obj](Py_ssize_t i) { return PyTuple_GetItem(obj, i); }, out, "tuple");
  }

  // Lists and tuples both become arrays; only their accessors differ.
  // `item(i)` is borrowed, and valid for i < count.
  template <class GetItem>
  bool walk_sequence(Py_ssize_t count, GetItem&& item, Node& out, const char* what) {
    if (elements_unchecked()) [[likely]]
      return walk_items<true>(count, item, out, what);
    return walk_items<false>(count, item, out, what);
  }

  template <bool kShallow, class GetItem>
  [[gnu::always_inline]] bool walk_items(Py_ssize_t count, GetItem& item, Node& out, const char* what) {
    DepthGuard guard(depth_);
    if (!guard.entered()) return false;
    if (!check_wire_length(count, what, "elements")) return false;
    auto run = begin_run();
    if constexpr (kRuns) {
      run.array_header(static_cast<uint32_t>(count));
    } else if (!sink_.array_begin(static_cast<uint32_t>(count), out)) {
      return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* obj = item(i);
      if constexpr (kRuns && kShallow) {
        if (begins_number_run(obj)) {
          i = write_number_run(run, item, i, count, obj);
          if (i == count) break;
        }
      }
      Node element{};
      if (!walk_element<kShallow>(run, obj, element)) return false;
      if (!sink_.array_item(out, std::move(element))) return false;
    }
    run.pause();
    return true;
  }

  [[gnu::noinline]] bool walk_dict(PyObject* obj, Node& out) {
    if (elements_unchecked()) [[likely]]
      return walk_map<true>(obj, out);
    return walk_map<false>(obj, out);
  }

  template <bool kShallow>
  [[gnu::always_inline]] bool walk_map(PyObject* obj, Node& out) {
    auto run = begin_run();
    const bool walked = walk_entries(
        obj,
        [&](uint32_t count) {
          if constexpr (kRuns) {
            run.map_header(count);
            return true;
          } else {
            return sink_.map_begin(count, out);
          }
        },
        [&](PyObject* key, PyObject* value) {
          Node key_node{};
          if (!walk_key<kShallow>(run, key, key_node)) return false;
          Node value_node{};
          if (!walk_element<kShallow>(run, value, value_node)) return false;
          return sink_.map_entry(out, std::move(key_node), std::move(value_node));
        });
    run.pause();
    return walked;
  }

  // A dict's walk up to its entries: the recursion check, the length check,
  // `begin(count)`, then `entry(key, value)` for each entry in storage order.
  template <class Begin, class Entry>
  [[gnu::always_inline]] bool walk_entries(PyObject* obj, Begin&& begin, Entry&& entry) {
    DepthGuard guard(depth_);
    if (!guard.entered()) return false;
#ifdef Py_GIL_DISABLED
    ElementSnapshot entries;
    if (!entries.take_dict(obj)) return false;
    const auto count = static_cast<Py_ssize_t>(entries.size() / 2);
    if (!check_wire_length(count, "dict", "entries")) return false;
    if (!begin(static_cast<uint32_t>(count))) return false;
    for (size_t i = 0; i < entries.size(); i += 2) {
      if (!entry(entries[i], entries[i + 1])) return false;
    }
    return true;
#else
    const Py_ssize_t count = PyDict_Size(obj);
    if (!check_wire_length(count, "dict", "entries")) return false;
    if (!begin(static_cast<uint32_t>(count))) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!entry(key, value)) return false;
    }
    return true;
#endif
  }

  static bool decodes_unhashable(PyObject* key) {
    return PyList_Check(key) || PyTuple_Check(key) || PyDict_Check(key);
  }

  [[gnu::cold]] static bool refuse_unreadable_key() {
    PyErr_SetString(PyExc_TypeError, messages::kUnreadableMapKey);
    return false;
  }

  // Whether the reader's depth budget suffices for `obj` here: past
  // kUnreadableDepth nothing does, one level above it everything but a str
  // (value, string body and byte body: three units) does.
  [[gnu::noinline]] bool readable_at_depth(PyObject* obj) {
    if (depth_ < kUnreadableDepth && !PyUnicode_Check(obj)) return true;
    PyErr_SetString(PyExc_RecursionError,
                    "value nested too deeply for msgpack: loads reads at most 512 levels");
    return false;
  }

  // One container level. The outermost kUncheckedLevels are counted by
  // depth_ alone; every deeper one also passes the interpreter's recursion
  // check. Those few frames are all the C stack the check does not see, and
  // deep or self-containing input still fails with RecursionError, only that
  // many levels later. Most values are a few levels deep, so most walks never
  // pay for the check: two calls into the interpreter per container.
  static constexpr int kUncheckedLevels = 16;

  class DepthGuard {
   public:
    explicit DepthGuard(int& depth) : depth_(depth) {
      if (depth_ >= kUncheckedLevels && Py_EnterRecursiveCall(" while encoding a value for msgpack") != 0)
        return;
      ++depth_;
      entered_ = true;
    }
    ~DepthGuard() {
      if (!entered_) return;
      if (--depth_ >= kUncheckedLevels) Py_LeaveRecursiveCall();
    }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    bool entered() const { return entered_; }

   private:
    int& depth_;
    bool entered_ = false;
  };

  Sink& sink_;
  const bool readable_keys_only_;
  int depth_ = 0;
};

}  // namespace derirezaro::codec
