// Argument checks and integer coercions with the module's own messages.
//
// Each returns false with a Python exception set when the argument is refused.
#pragma once

#include "common/python.hpp"

#include <cstdint>

namespace pvr::args {

// TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type of obj>)".
bool incorrect_type(const char* name, const char* expected, PyObject* obj);

// TypeError "Argument '<name>' must not be None".
bool must_not_be_none(const char* name);

// `obj` must be exactly a str (no subclass); None passes only when `none_ok`.
bool exact_str(PyObject* obj, const char* name, bool none_ok = false);

// `obj` must be an instance of `type` or of a subclass; None is refused as an incorrect type.
bool instance_of(PyObject* obj, PyTypeObject* type, const char* name);

// `obj` must not be None.
bool not_none(PyObject* obj, const char* name);

// The host's integer coercion: an int, or an object whose __int__ returns an int; otherwise
// TypeError "an integer is required". Values out of range raise OverflowError.
bool to_int64(PyObject* obj, int64_t* out);
bool to_int32(PyObject* obj, int32_t* out);

}  // namespace pvr::args
