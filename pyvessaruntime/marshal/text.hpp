// Conversion between Python text and runtime text (zero-terminated UTF-16LE units).
#pragma once

#include "common/python.hpp"

#include <cstdint>

#include "common/ref.hpp"
#include "vessaruntime.h"

namespace pvr {

// Log lines are read up to this many units when no terminator comes first.
inline constexpr Py_ssize_t kMaxNativeStringUnits = 0x10000;

// The number of UTF-16 units of `text` (a str), or -1 when it holds a lone surrogate, which
// UTF-16 cannot carry.
Py_ssize_t utf16_units(PyObject* text);

// Writes the `utf16_units(text)` units of `text` (which has no lone surrogate) to `out`.
void write_utf16(PyObject* text, os_char* out);

// `text.encode("utf-16-le")`: bytes without byte-order mark or terminator; a lone surrogate
// raises the codec's UnicodeEncodeError.
Ref encode_utf16le(PyObject* text);

// UTF-16LE decoding of `units` units, strict unless `errors` says otherwise; a leading U+FEFF
// is kept as a character.
PyObject* decode_utf16le(const void* data, Py_ssize_t units, const char* errors = "strict");

// Units before the first zero unit, at most kMaxNativeStringUnits.
Py_ssize_t native_string_length(const os_char* s);

// A zero-terminated runtime string (a log line) as str. A text cut at the length limit is not
// cut inside a surrogate pair, and an unpaired surrogate becomes U+FFFD: a line always arrives,
// rather than being lost to a decode error.
PyObject* decode_native_string(const os_char* s);

}  // namespace pvr
