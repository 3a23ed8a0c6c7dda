// The Python class `Snapshot` (py_snapshot.cpp): an immutable view of a
// store, wrapping one shared SnapshotData. Store.snapshot makes them;
// Store.restore and Snapshot.diff take them as arguments.
#pragma once

#include <memory>
#include <utility>

#include "lib/call.hpp"
#include "lib/gil.hpp"
#include "lib/python.hpp"
#include "store/drop_cost.hpp"
#include "store/store.hpp"

namespace derirezaro::py {

struct SnapshotRecord {
  static constexpr const char* kClassName = "Snapshot";

  explicit SnapshotRecord(store::Store::SnapshotRef snapshot) : data(std::move(snapshot)) {}

  // The last reference to a record can hold the only copy of a whole store.
  void free_heavy_parts() noexcept { drop_off_lock_if_large(std::move(data), store::frees_much); }

  // Never null until free_heavy_parts; never changed before.
  store::Store::SnapshotRef data;
};

// Instances never change, so their members take no borrow.
template <>
inline constexpr Borrow default_borrow<SnapshotRecord> = Borrow::none;

// Creates the class on first call; returns a new reference to it.
PyTypeObject* snapshot_class();

// A new Snapshot object holding `data`. The class must exist.
PyObject* new_snapshot(store::Store::SnapshotRef data);

}  // namespace derirezaro::py
