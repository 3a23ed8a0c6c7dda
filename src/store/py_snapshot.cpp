// The Python class `Snapshot`: the properties, the representation, the
// entry names as lists of (namespace, key) tuples, and `diff`. Everything
// here keeps the interpreter lock and takes no store lock: the record is
// immutable.
#include "store/py_snapshot.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/gil.hpp"
#include "lib/py_ref.hpp"
#include "lib/type_registry.hpp"
#include "store/snapshot_diff.hpp"

namespace derirezaro::py {

namespace {

using store::EntryName;
using store::SnapshotData;

// Entry names viewing the key blocks of records that outlive the call.
struct EntryNames {
  std::vector<EntryName> names;
};

struct DiffLists {
  store::SnapshotDiff lists;
};

// A list of (namespace, key) tuples of str. Names come grouped by
// namespace, so one str object serves a run of entries of one namespace.
PyObject* entry_name_list(const std::vector<EntryName>& names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  PyRef ns;
  std::string_view ns_text;
  GilYieldPoint yield_point;  // `list` is ours alone until it is returned
  for (size_t i = 0; i < names.size(); ++i) {
    yield_point.tick();
    const EntryName& name = names[i];
    if (!ns || name.ns.data() != ns_text.data() || name.ns.size() != ns_text.size()) {
      ns = PyRef::steal(to_python(name.ns));
      if (!ns) return nullptr;
      ns_text = name.ns;
    }
    PyRef key = PyRef::steal(to_python(name.key));
    if (!key) return nullptr;
    PyObject* pair = PyTuple_Pack(2, ns.get(), key.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals
  }
  return list.release();
}

}  // namespace

template <>
struct ResultCaster<EntryNames> {
  static PyObject* to_python(const EntryNames& entries) { return entry_name_list(entries.names); }
};

template <>
struct ResultCaster<DiffLists> {
  static PyObject* to_python(const DiffLists& diff) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, const std::vector<EntryName>*> lists[] = {
        {"added", &diff.lists.added}, {"removed", &diff.lists.removed}, {"changed", &diff.lists.changed}};
    for (const auto& [name, names] : lists) {
      PyRef list = PyRef::steal(entry_name_list(*names));
      if (!list || PyDict_SetItemString(dict.get(), name, list.get()) != 0) return nullptr;
    }
    return dict.release();
  }
};

namespace {

const SnapshotData& data_of(const SnapshotRecord& self) { return *self.data; }

uint64_t snapshot_id(SnapshotRecord& self) { return data_of(self).id; }
double snapshot_timestamp(SnapshotRecord& self) { return data_of(self).timestamp; }
std::optional<uint64_t> snapshot_parent(SnapshotRecord& self) { return data_of(self).parent; }
uint64_t snapshot_size_bytes(SnapshotRecord& self) { return data_of(self).size_bytes; }

// Shards ascending, then namespaces and keys in their maps' order.
// The walk makes no Python object, and the record is immutable and held by
// the call: a large one is walked without the interpreter lock.
constexpr uint64_t kWalkedWithTheLock = 100'000;
EntryNames snapshot_keys(SnapshotRecord& self) {
  EntryNames out;
  const SnapshotData& data = data_of(self);
  uint64_t entries = 0;
  for (const store::ShardState& shard : data.shards) entries += shard.entries;
  auto walk = [&] {
    out.names.reserve(entries);
    for (const store::ShardState& shard : data.shards) {
      shard.contents.namespaces.for_each([&](std::string_view ns, const store::KeyMap& keys) {
        keys.for_each([&](std::string_view key, const auto&) { out.names.push_back({ns, key}); });
      });
    }
  };
  run_without_the_lock_if_long(entries < kWalkedWithTheLock ? WorkLength::short_work : WorkLength::long_work,
                               walk);
  return out;
}

// A diff naming more entries than this (a few milliseconds of walking) is
// walked again, whole, without the interpreter lock: how long a diff is
// follows the change, which only the walk finds out.
constexpr size_t kDiffedWithTheLock = 4'096;
DiffLists snapshot_diff(SnapshotRecord& self, InstanceOf<SnapshotRecord> base) {
  const SnapshotData& now = data_of(self);
  const SnapshotData& before = data_of(*base.record);
  if (std::optional<store::SnapshotDiff> small = store::diff_within(now, before, kDiffedWithTheLock)) {
    return {std::move(*small)};
  }
  return {run_without_the_lock_if_long(WorkLength::long_work, [&] { return store::diff(now, before); })};
}

std::string snapshot_repr(SnapshotRecord& self) {
  const SnapshotData& data = data_of(self);
  std::string text = "Snapshot(id=" + std::to_string(data.id);
  text += ", size_bytes=" + std::to_string(data.size_bytes);
  text += data.parent ? ", parent=Some(" + std::to_string(*data.parent) + "))" : ", parent=None)";
  return text;
}

std::vector<MemberDef> snapshot_members() {
  return {
      property<&snapshot_id>("id", "Monotonic id assigned by the originating store."),
      property<&snapshot_timestamp>("timestamp", "Seconds since the Unix epoch when the snapshot was taken."),
      property<&snapshot_parent>("parent",
                                 "Id of the previous snapshot from the same store (for incremental diffs)."),
      property<&snapshot_size_bytes>("size_bytes", "Total size in bytes of all stored (serialized) values."),
      property<&snapshot_keys>("keys", "All `(namespace, key)` pairs present in the snapshot."),
      method<&snapshot_diff>("diff", "($self, base)",
                             "Incremental diff describing how to go from `base` to `self`.\n\n"
                             "Returns a dict with keys `\"added\"`, `\"removed\"`, and `\"changed\"`, each\n"
                             "mapping to a list of `(namespace, key)` tuples."),
      slot<Py_tp_repr, &snapshot_repr>(),
  };
}

}  // namespace

PyTypeObject* snapshot_class() {
  return class_for<SnapshotRecord>("A cheap, immutable point-in-time view of a [`Store`].",
                                   &snapshot_members);
}

PyObject* new_snapshot(store::Store::SnapshotRef data) {
  return Instance<SnapshotRecord>::create(Instance<SnapshotRecord>::type, std::move(data));
}

}  // namespace derirezaro::py
