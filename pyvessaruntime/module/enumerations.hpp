// Integers from the runtime as members of the module's enumerations.
#pragma once

#include "common/python.hpp"

#include "common/ref.hpp"

namespace pvr {

enum class Enumeration { kResponseStatus, kLogLevel, kSsoPolicyType };

// `Response_Status(value)` (or `LogLevel`, `SsoPolicyType`), the class looked up by name at the
// time of the call. While the name still holds the class the module made, a known value's
// member is taken from a table: the very object the call would return, without the call.
Ref enumeration_member(Enumeration which, long value);

// The member `enumeration_member` would answer from its table, borrowed from the table (which
// keeps it for the life of the process); null when the answer needs the general way.
PyObject* tabled_member(Enumeration which, long value);

// True while the name of the enumeration is bound in the module namespace to the class the
// module made and that class still compares its members as `object` does (by identity). Then
// `enumeration_member` answers from the table and two members are equal exactly when their
// values are: a caller may compare values natively and get the answer the Python objects would
// give. Reads the namespace without raising; false whenever anything is unusual.
bool enumeration_unchanged(Enumeration which);

// Forgets the classes and members of an owner; with `release`, in the owner, they go too,
// otherwise (an owner that has ended) they are left untouched.
void forget_enumerations(bool release);

}  // namespace pvr
