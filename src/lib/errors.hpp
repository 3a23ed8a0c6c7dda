// Raising Python exceptions from the binding layer.
//
// C++ code below the binding layer reports failures by throwing; the call
// wrapper turns them into Python exceptions in one place
// (`raise_from_current_exception`): std::bad_alloc becomes MemoryError,
// ErrorAlreadySet lets the pending Python exception through, and
// everything else is a broken internal invariant, raised as PanicException.
#pragma once

#include <string>
#include <string_view>

#include "lib/python.hpp"

namespace derirezaro::py {

// Thrown by a member that returns a plain C++ value when a Python call it
// made failed: the Python exception is already set and is the one raised.
struct ErrorAlreadySet {};

// PanicException derives from BaseException only, so `except Exception`
// does not swallow a broken invariant. Created on first use, kept for the
// life of the process, and deliberately not an attribute of the module.
void raise_panic(const char* message);

// TypeError "'<qualname of obj's type>' object cannot be converted to '<target>'".
void raise_conversion_error(PyObject* obj, const char* target);

// The argument-conversion rule of the call wrapper: a pending exception of
// type exactly TypeError is replaced by TypeError "argument '<param>': " +
// its message, carrying over its __cause__; any other exception is kept.
void prefix_argument_error(const char* param);

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block.
void raise_from_current_exception() noexcept;

// Raises `type` with a UTF-8 message that may hold any character, NUL included.
void raise_error(PyObject* type, std::string_view message);

// `__qualname__` of the object's type, for messages ("?" if unavailable).
std::string type_qualname(PyObject* obj);

}  // namespace derirezaro::py
