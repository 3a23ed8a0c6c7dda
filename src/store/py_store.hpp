// The Python class `Store` (py_store.cpp).
#pragma once

#include <string_view>

#include "lib/python.hpp"

namespace derirezaro::store {
class Store;
}

namespace derirezaro::py {

// Creates the class on first call; returns a new reference to it.
PyTypeObject* store_class();

// The store a `Store` object holds, for other bindings that work on one
// under its shard locks; null, with TypeError set, for any other object.
// Valid while the caller holds a reference to the object.
store::Store* store_of(PyObject* obj);

// A new Snapshot of the store a `Store` object holds, numbered as
// `Store.snapshot` numbers them but not kept in its history; null, with
// TypeError set, for any other object.
PyObject* snapshot_outside_history(PyObject* obj);

// `Store.set` and `Store.delete` for other bindings that hold the store's
// object, their names already converted: the value encoded before any lock
// is taken, the shard's write lock taken as those methods take it.
// set_entry: false, with a Python exception set, for a value the codec refuses.
bool set_entry(store::Store& store, std::string_view ns, std::string_view key, PyObject* value);
// Whether an entry was removed.
bool delete_entry(store::Store& store, std::string_view ns, std::string_view key);

}  // namespace derirezaro::py
