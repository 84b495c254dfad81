// Integers from the runtime as members of the module's enumerations.
#pragma once

#include <Python.h>

#include "common/ref.hpp"

namespace pvr {

enum class Enumeration { kResponseStatus, kLogLevel, kSsoPolicyType };

// `Response_Status(value)` (or `LogLevel`, `SsoPolicyType`), the class looked up by name at the
// time of the call. While the name still holds the class the module made, a known value's
// member is taken from a table: the very object the call would return, without the call.
Ref enumeration_member(Enumeration which, long value);

}  // namespace pvr
