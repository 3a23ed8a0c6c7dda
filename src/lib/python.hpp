// The one place that includes Python.h, so every binding file agrees on the
// stable-ABI level. The build sets Py_LIMITED_API as well; this is the
// fallback for tools that compile a file on its own.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
