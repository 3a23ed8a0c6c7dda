// Elements a saver decoded once, made again from their snapshots
// (langgraph/decoded.py owns the cache; this is its fast road): plain data
// copied with new dicts and lists throughout, a model made as pydantic's own
// copy makes one (object.__new__, its instance dict and three slots set, no
// validation). What is made shares with the snapshot, and with anything made
// before from it, only atoms and tuples of atoms, which nobody can edit.
#pragma once

#include "lib/python.hpp"

namespace derirezaro::py {

// rebuilt(entries): for each entry, a tuple whose first two items are a
// snapshot and whether it is of a model (or None), a new object equal to what
// the snapshot was taken of; None where the entry is None or names a class
// whose instances are not made plainly (left to the caller).
PyObject* rebuilt(PyObject* entries);

}  // namespace derirezaro::py
