// Python objects to Value trees, for the routing graph: `route` converts
// its state once, with the interpreter lock held, into a Value that the
// condition evaluator then reads without it. The rules and the errors are
// those of encoding (the same walk), so a state that `dumps` refuses is
// refused here with the same exception. Converting only what the guards
// can read keeps routing cheap on large states.
#pragma once

#include "codec/name_set.hpp"
#include "codec/value.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// What a reader of paths needs of `obj`, or false with a Python exception
// set: when `obj` is a dict, a Map of only its str keys found in `roots` with their values, sorted by key
// bytes; otherwise Nil, which no path can read into. Every path starting at a root reads the same as in a
// conversion of the whole of `obj`, and any other path reads nothing in both. The whole of `obj` is walked
// first, so a refused object anywhere raises exactly what encoding it would.
bool py_to_value_reading(PyObject* obj, const NameSet& roots, Value& out);

}  // namespace derirezaro::codec
