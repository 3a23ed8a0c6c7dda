// The Python class `HandoffGraph` (py_graph.cpp).
#pragma once

#include "lib/python.hpp"

namespace derirezaro::py {

// Creates the class on first call; returns a new reference to it.
PyTypeObject* graph_class();

}  // namespace derirezaro::py
