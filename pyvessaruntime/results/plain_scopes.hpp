// The scopes of a request as most callers give them, checked without Python code.
#pragma once

#include "common/python.hpp"

namespace pvr {

// plain_scopes(scopes): a new list of the scopes when `scopes` is exactly a list or a tuple of
// exactly str, each non-empty ASCII without whitespace or NUL (what the layer's checks pass as
// it is); None when the layer must judge them itself.
PyObject* plain_scopes(PyObject* scopes);

}  // namespace pvr
