// The Python class `Store` (py_store.cpp).
#pragma once

#include "lib/python.hpp"

namespace derirezaro::py {

// Creates the class on first call; returns a new reference to it.
PyTypeObject* store_class();

}  // namespace derirezaro::py
