// Python objects to Value trees, for the routing graph: `route` converts
// its state once, with the interpreter lock held, into a Value that the
// condition evaluator then reads without it. The rules and the errors are
// those of encoding (the same walk), so a state that `dumps` refuses is
// refused here with the same exception.
#pragma once

#include "codec/value.hpp"
#include "lib/python.hpp"

namespace derirezaro::codec {

// False with a Python exception set when `obj` cannot be converted.
bool py_to_value(PyObject* obj, Value& out);

}  // namespace derirezaro::codec
