// The Python class `Store`: argument conversion, the interpreter-lock
// discipline around shard work, and the Python results.
//
// Every shard lock is taken through run_locked (lib/gil.hpp): single-entry
// operations are short work, tried with the interpreter lock held and done
// without ever releasing it when the shard lock is free. Walks follow the
// copy-out rule: a short locked step copies the map they walk (O(1)) and
// the walk runs after the lock is let go. `snapshot` and `restore` take all
// sixteen shard locks the same way, as one lock source: tried in order with
// the interpreter lock held, all of them waited for without it.
//
// What `clear`, `restore` and the history trimming of `snapshot` remove is
// freed after the shard locks are let go, and a Store object's contents
// when the object goes (as a Snapshot object's record, py_snapshot.hpp): all
// through drop_off_lock_if_large (lib/gil.hpp), weighed by the rule of
// store/drop_cost.hpp. Freeing is long work only when it frees much (nodes
// no snapshot shares): then it runs without the interpreter lock;
// otherwise it is a few count decrements and keeps it.
//
// Arguments are converted, and `set` encodes its value, before any lock is
// taken; results are built, and `get` decodes, after every shard lock is
// released and with the interpreter lock held.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codec/py_codec.hpp"
#include "lib/call.hpp"
#include "lib/gil.hpp"
#include "lib/py_ref.hpp"
#include "lib/type_registry.hpp"
#include "store/drop_cost.hpp"
#include "store/py_snapshot.hpp"
#include "store/py_store.hpp"
#include "store/store.hpp"

namespace derirezaro::py {

namespace {

using store::Shard;
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

  // The store may hold the only copy of millions of entries. Weighing takes
  // the shard locks with the interpreter lock held, which is safe here
  // alone: every call into the store holds a reference to its object, so
  // when the object goes no other thread can be holding them.
  void free_heavy_parts() noexcept { drop_off_lock_if_large(std::move(store), store::frees_much); }

  std::string codec;
  // Held by pointer: the shards are cache-line aligned, beyond what the
  // object allocator promises (Instance refuses such a record at compile
  // time). Never null until free_heavy_parts.
  std::unique_ptr<store::Store> store;
};

// The keys of maps copied out under their shard locks: a list of str.
// Walking the copies needs no lock; the key blocks stay alive with them.
template <class Map>
struct KeysOf {
  std::vector<Map> maps;
};

template <class Map>
struct ResultCaster<KeysOf<Map>> {
  static PyObject* to_python(const KeysOf<Map>& keys) {
    size_t count = 0;
    for (const Map& map : keys.maps) count += map.size();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    GilYieldPoint yield_point;  // `list` is ours alone until it is returned
    for (const Map& map : keys.maps) {
      bool failed = false;
      map.for_each([&](std::string_view key, const auto&) {
        if (failed) return;
        yield_point.tick();
        PyObject* text = PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr);
        if (text == nullptr) {
          failed = true;
          return;
        }
        PyList_SetItem(list.get(), index++, text);  // steals
      });
      if (failed) return nullptr;
    }
    return list.release();
  }
};

bool set_entry(store::Store& store, std::string_view ns, std::string_view key, PyObject* value) {
  SharedBytesRef encoded;
  {
    codec::ScratchEncodeBuffer scratch;
    codec::EncodeBuffer& buffer = scratch.get();
    if (!codec::encode_into(value, buffer, codec::MapKeys::readable)) return false;
    encoded = SharedBytesRef::build(
        buffer.size(), [&buffer](char* out) noexcept { buffer.copy_to(reinterpret_cast<uint8_t*>(out)); });
  }
  run_locked(store.shard_for(ns).write_lock(), WorkLength::short_work,
             [&](Shard::Writing& shard) { store.set(shard, ns, key, encoded); });
  return true;
}

bool delete_entry(store::Store& store, std::string_view ns, std::string_view key) {
  return run_locked(store.shard_for(ns).write_lock(), WorkLength::short_work,
                    [&](Shard::Writing& shard) { return store.erase(shard, ns, key); });
}

namespace {

using store::KeyMap;
using store::NamespaceMap;
using store::ShardStates;
using SnapshotRef = store::Store::SnapshotRef;

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

const std::string& store_codec(StoreRecord& self) { return self.codec; }

const std::optional<uint64_t>& store_max_history(StoreRecord& self) { return self.store->max_history(); }

Py_ssize_t store_len(StoreRecord& self) { return static_cast<Py_ssize_t>(self.store->entry_count()); }

std::string store_repr(StoreRecord& self) {
  return "Store(backend='memory', codec='" + self.codec +
         "', entries=" + std::to_string(self.store->entry_count()) + ")";
}

// --- entry operations ----------------------------------------------------

void store_set(StoreRecord& self, Utf8 ns, Utf8 key, PyObject* value) {
  if (!set_entry(*self.store, ns.text, key.text, value)) throw ErrorAlreadySet();
}

PyObject* store_get(StoreRecord& self, Utf8 ns, Utf8 key, PyObject* fallback) {
  const std::optional<SharedBytesRef> encoded = run_locked(
      self.store->shard_for(ns.text).read_lock(), WorkLength::short_work,
      [&](Shard::Reading& shard) { return store::Store::find(shard.contents(), ns.text, key.text); });
  if (!encoded) {
    PyObject* result = fallback != nullptr ? fallback : Py_None;
    Py_INCREF(result);
    return result;
  }
  // The block is immutable and held by `encoded`: decoding needs no lock.
  // The store's blocks all come from the module's own encoder, so they are
  // read without validating them again.
  return codec::decode_own_encoding(reinterpret_cast<const uint8_t*>(encoded->data()), encoded->size());
}

bool store_contains(StoreRecord& self, Utf8 ns, Utf8 key) {
  return run_locked(self.store->shard_for(ns.text).read_lock(), WorkLength::short_work,
                    [&](Shard::Reading& shard) {
                      return store::Store::find(shard.contents(), ns.text, key.text).has_value();
                    });
}

bool store_delete(StoreRecord& self, Utf8 ns, Utf8 key) {
  return delete_entry(*self.store, ns.text, key.text);
}

KeysOf<KeyMap> store_keys(StoreRecord& self, Utf8 ns) {
  KeysOf<KeyMap> keys;
  keys.maps.push_back(
      run_locked(self.store->shard_for(ns.text).read_lock(), WorkLength::short_work,
                 [&](Shard::Reading& shard) { return store::Store::keys_of(shard.contents(), ns.text); }));
  return keys;
}

KeysOf<NamespaceMap> store_namespaces(StoreRecord& self) {
  KeysOf<NamespaceMap> namespaces;
  namespaces.maps.reserve(store::Store::shard_count());
  for (size_t i = 0; i < store::Store::shard_count(); ++i) {
    namespaces.maps.push_back(run_locked(self.store->shard(i).read_lock(), WorkLength::short_work,
                                         [](Shard::Reading& shard) { return shard.contents().namespaces; }));
  }
  return namespaces;
}

void store_clear(StoreRecord& self) {
  store::Store& store = *self.store;
  std::vector<NamespaceMap> removed;
  removed.reserve(store::Store::shard_count());
  for (size_t i = 0; i < store::Store::shard_count(); ++i) {
    removed.push_back(run_locked(store.shard(i).write_lock(), WorkLength::short_work,
                                 [&](Shard::Writing& shard) { return store.take_all(shard); }));
  }
  drop_off_lock_if_large(std::move(removed), store::frees_much);
}

// --- snapshots -------------------------------------------------------------

PyObject* take_snapshot(store::Store& store, bool kept) {
  store::Store::Capture capture =
      run_locked(store.every_shard_for_reading(), WorkLength::short_work,
                 [&](std::vector<Shard::Reading>& locked) { return store.capture(locked); });
  SnapshotRef trimmed;
  SnapshotRef record = store.record_snapshot(std::move(capture), trimmed, kept);
  drop_off_lock_if_large(std::move(trimmed), store::frees_much);
  return new_snapshot(std::move(record));
}

PyObject* store_snapshot(StoreRecord& self) { return take_snapshot(*self.store, true); }

void store_restore(StoreRecord& self, InstanceOf<SnapshotRecord> snapshot) {
  store::Store& store = *self.store;
  const store::SnapshotData& data = *snapshot.record->data;
  ShardStates replaced =
      run_locked(store.every_shard_for_writing(), WorkLength::short_work,
                 [&](std::vector<Shard::Writing>& locked) { return store.restore(locked, data); });
  drop_off_lock_if_large(std::move(replaced), store::frees_much);
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
      method<&store_snapshot>("snapshot", "($self)",
                              "Capture a cheap, immutable snapshot of the current state.\n\n"
                              "Read-locks every shard (in order) so the clone is a consistent\n"
                              "point-in-time view, then clones each shard map (O(1) structural share)."),
      method<&store_restore>("restore", "($self, snapshot)",
                             "Roll the store back to a previously captured snapshot."),
      slot<Py_mp_length, &store_len>(),
      slot<Py_tp_repr, &store_repr>(),
  };
}

}  // namespace

store::Store* store_of(PyObject* obj) {
  InstanceOf<StoreRecord> instance;
  if (!ArgCaster<InstanceOf<StoreRecord>>::convert(obj, instance)) return nullptr;
  return instance.record->store.get();
}

PyObject* snapshot_outside_history(PyObject* obj) {
  store::Store* store = store_of(obj);
  return store == nullptr ? nullptr : take_snapshot(*store, false);
}

PyTypeObject* store_class() {
  return class_for<StoreRecord>("Framework-agnostic state store with immutable snapshots.", &store_members);
}

}  // namespace derirezaro::py
