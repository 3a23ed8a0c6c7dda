// The Python class `Store`: argument conversion, the interpreter-lock
// discipline around shard work, and the Python results.
//
// Interpreter lock and shard locks. No shard lock is ever waited for while
// the interpreter lock is held, and long work never holds up other Python
// threads. But giving up the interpreter lock costs more than a short map
// operation: beside a busy Python thread, winning it back can take a whole
// switch interval. So a single-entry operation first tries its shard lock
// without waiting, with the interpreter lock held; if that succeeds it does
// its few hundred nanoseconds of work and returns without ever releasing the
// interpreter lock. Only when the shard lock is busy, or the work is long
// (walking many keys or namespaces, emptying maps), does it release the
// interpreter lock, wait, and work.
//
// Arguments are converted, and `set` encodes its value, before any lock is
// taken; results are built, and `get` decodes, after every shard lock is
// released and with the interpreter lock held.
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/py_codec.hpp"
#include "lib/call.hpp"
#include "lib/gil.hpp"
#include "lib/py_ref.hpp"
#include "lib/type_registry.hpp"
#include "store/py_store.hpp"
#include "store/store.hpp"

namespace derirezaro::py {

namespace {

using store::Access;
using store::Shard;
using store::ShardContents;
using store::SharedBytesRef;

// `max_history`: None, or an int (or anything with __index__) that fits an
// unsigned 64-bit integer. Out-of-range values raise the interpreter's
// OverflowError unchanged.
struct MaxHistory {
  std::optional<uint64_t> limit;
};

}  // namespace

template <>
struct ArgCaster<MaxHistory> {
  static bool convert(PyObject* obj, MaxHistory& out) {
    if (obj == Py_None) return true;
    PyRef index = PyLong_Check(obj) ? PyRef::borrow(obj) : PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out.limit = value;
    return true;
  }
};

struct StoreRecord {
  static constexpr const char* kClassName = "Store";

  StoreRecord(std::string codec_name, std::optional<uint64_t> max_history)
      : codec(std::move(codec_name)), store(std::make_unique<store::Store>(max_history)) {}

  std::string codec;
  // Held by pointer: the shards are cache-line aligned, which the object
  // allocator does not promise.
  std::unique_ptr<store::Store> store;
};

namespace {

enum class Length : uint8_t { short_work, long_work };

// Runs `work()` holding `shard`'s lock for `access`, by the discipline
// described at the top of this file.
template <class Work>
auto on_shard(Shard& shard, Access access, Length length, Work&& work) {
  if (length == Length::short_work && shard.try_lock(access)) {
    store::ShardLock held(shard, access, std::adopt_lock);
    return work();
  }
  GilReleased released;
  store::ShardLock held(shard, access);  // released before the interpreter lock is taken back
  return work();
}

template <class Work>
auto reading(Shard& shard, Length length, Work&& work) {
  return on_shard(shard, Access::read, length, [&] { return shard.read(work); });
}

template <class Work>
auto writing(Shard& shard, Length length, Work&& work) {
  return on_shard(shard, Access::write, length, [&] { return shard.write(work); });
}

PyObject* str_list(const std::vector<SharedBytesRef>& names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* name = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), nullptr);
    if (name == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name);  // steals
  }
  return list.release();
}

// --- constructor and read-only surface -----------------------------------

PyObject* store_new(PyTypeObject* cls, std::optional<Utf8> backend, std::optional<Utf8> codec,
                    MaxHistory max_history) {
  // Every argument is converted (by the call wrapper) before any is checked.
  const std::string_view backend_name = backend ? backend->text : "memory";
  const std::string_view codec_name = codec ? codec->text : "msgpack";
  if (backend_name != "memory") {
    raise_error(PyExc_ValueError,
                "backend '" + std::string(backend_name) + "' is not available in this build (only 'memory')");
    return nullptr;
  }
  if (codec_name != "msgpack") {
    raise_error(PyExc_ValueError,
                "codec '" + std::string(codec_name) + "' is not supported (only 'msgpack')");
    return nullptr;
  }
  return Instance<StoreRecord>::create(cls, std::string(codec_name), max_history.limit);
}

PyObject* store_codec(StoreRecord& self) {
  return PyUnicode_DecodeUTF8(self.codec.data(), static_cast<Py_ssize_t>(self.codec.size()), nullptr);
}

PyObject* store_max_history(StoreRecord& self) {
  const auto& limit = self.store->max_history();
  if (!limit) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*limit);
}

Py_ssize_t store_len(StoreRecord& self) { return static_cast<Py_ssize_t>(self.store->entry_count()); }

PyObject* store_repr(StoreRecord& self) {
  const std::string text = "Store(backend='memory', codec='" + self.codec +
                           "', entries=" + std::to_string(self.store->entry_count()) + ")";
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// --- entry operations ----------------------------------------------------

PyObject* store_set(StoreRecord& self, Utf8 ns, Utf8 key, PyObject* value) {
  SharedBytesRef encoded;
  {
    codec::ScratchEncodeBuffer scratch;
    codec::EncodeBuffer& buffer = scratch.get();
    if (!codec::encode_into(value, buffer, codec::MapKeys::readable)) return nullptr;
    encoded = SharedBytesRef::build(
        buffer.size(), [&buffer](char* out) noexcept { buffer.copy_to(reinterpret_cast<uint8_t*>(out)); });
  }
  store::Store& store = *self.store;
  writing(store.shard_for(ns.text), Length::short_work, [&](ShardContents& shard, auto& entries) {
    store.set(shard, entries, ns.text, key.text, encoded);
  });
  Py_RETURN_NONE;
}

PyObject* store_get(StoreRecord& self, Utf8 ns, Utf8 key, PyObject* fallback) {
  store::Store& store = *self.store;
  const std::optional<SharedBytesRef> encoded =
      reading(store.shard_for(ns.text), Length::short_work,
              [&](const ShardContents& shard) { return store::Store::find(shard, ns.text, key.text); });
  if (!encoded) {
    PyObject* result = fallback != nullptr ? fallback : Py_None;
    Py_INCREF(result);
    return result;
  }
  // The block is immutable and held by `encoded`: decoding needs no lock.
  return codec::decode_to_object(reinterpret_cast<const uint8_t*>(encoded->data()), encoded->size());
}

PyObject* store_contains(StoreRecord& self, Utf8 ns, Utf8 key) {
  store::Store& store = *self.store;
  const bool found = reading(store.shard_for(ns.text), Length::short_work, [&](const ShardContents& shard) {
    return store::Store::find(shard, ns.text, key.text).has_value();
  });
  return PyBool_FromLong(found);
}

PyObject* store_delete(StoreRecord& self, Utf8 ns, Utf8 key) {
  store::Store& store = *self.store;
  const bool removed = writing(
      store.shard_for(ns.text), Length::short_work,
      [&](ShardContents& shard, auto& entries) { return store.erase(shard, entries, ns.text, key.text); });
  return PyBool_FromLong(removed);
}

PyObject* store_keys(StoreRecord& self, Utf8 ns) {
  const std::vector<SharedBytesRef> keys =
      reading(self.store->shard_for(ns.text), Length::long_work,
              [&](const ShardContents& shard) { return store::Store::keys(shard, ns.text); });
  return str_list(keys);
}

PyObject* store_namespaces(StoreRecord& self) {
  store::Store& store = *self.store;
  std::vector<SharedBytesRef> names;
  {
    // One interpreter-lock release for the whole walk, one shard at a time.
    GilReleased released;
    for (size_t i = 0; i < store::Store::shard_count(); ++i) {
      Shard& shard = store.shard(i);
      store::ShardLock held(shard, Access::read);
      shard.read([&](const ShardContents& contents) { store::Store::append_namespaces(contents, names); });
    }
  }
  return str_list(names);
}

PyObject* store_clear(StoreRecord& self) {
  store::Store& store = *self.store;
  {
    GilReleased released;
    for (size_t i = 0; i < store::Store::shard_count(); ++i) {
      Shard& shard = store.shard(i);
      store::ShardLock held(shard, Access::write);
      shard.write([&](ShardContents& contents, auto& entries) { store.clear(contents, entries); });
    }
  }
  Py_RETURN_NONE;
}

std::vector<MemberDef> store_members() {
  return {
      constructor<&store_new>("(backend=\"memory\", codec=\"msgpack\", max_history=None)"),
      property<&store_codec>("codec", "Serialization codec in use (currently always `\"msgpack\"`)."),
      property<&store_max_history>("max_history",
                                   "Maximum number of retained snapshots, or `None` for unlimited."),
      method<&store_set>("set", "($self, namespace, key, value)",
                         "Store `value` under `(namespace, key)`, replacing any existing value."),
      method<&store_get>("get", "($self, namespace, key, default=None)",
                         "Return the value at `(namespace, key)`, or `default` (None) if absent."),
      method<&store_contains>("contains", "($self, namespace, key)",
                              "Return whether `(namespace, key)` exists."),
      method<&store_delete>("delete", "($self, namespace, key)",
                            "Delete `(namespace, key)`. Returns True if a value was removed."),
      method<&store_keys>("keys", "($self, namespace)",
                          "All keys within `namespace` (empty list if the namespace is unknown)."),
      method<&store_namespaces>("namespaces", "($self)", "All namespaces currently in the store."),
      method<&store_clear>("clear", "($self)", "Remove all entries (does not clear snapshot history)."),
      slot<Py_mp_length, &store_len>(),
      slot<Py_tp_repr, &store_repr>(),
  };
}

}  // namespace

PyTypeObject* store_class() {
  return class_for<StoreRecord>("Framework-agnostic state store with immutable snapshots.", &store_members);
}

}  // namespace derirezaro::py
