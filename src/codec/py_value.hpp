// Python objects to Value trees, for the routing graph: `route` converts
// its state once, with the interpreter lock held, into a Value that the
// condition evaluator then reads without it. The rules and the errors are
// those of encoding (the same walk), so a state that `dumps` refuses is
// refused here with the same exception. Converting only what the guards
// can read keeps routing cheap on large states.
#pragma once

#include <string>
#include <vector>

#include "codec/value.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// False with a Python exception set when `obj` cannot be converted.
bool py_to_value(PyObject* obj, Value& out);

// What a reader of paths needs of `obj`: when it is a dict, a Map of only
// its str keys found in `roots` with their values, in the dict's
// order; otherwise Nil, which no path can read into either. Every path
// starting at a root reads the same as in py_to_value's whole conversion,
// and any other path reads nothing in both. The whole of `obj` is walked
// first, so a refused object anywhere raises exactly what py_to_value would.
bool py_to_value_reading(PyObject* obj, const std::vector<std::string>& roots, Value& out);

}  // namespace derirezaro::codec
