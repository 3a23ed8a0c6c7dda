// The one place that includes Python.h, so every binding file agrees on the
// API level: the stable ABI of 3.10 unless the build asks for the full API
// (DERIREZARO_FULL_PYTHON_API: a free-threaded interpreter has no stable
// ABI). The build sets Py_LIMITED_API as well; this is the fallback for tools
// that compile a file on its own.
#pragma once

#if !defined(Py_LIMITED_API) && !defined(DERIREZARO_FULL_PYTHON_API)
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
