// Conversion between Python text and runtime text.
#include "marshal/text.hpp"

#include <cstring>

namespace pvr {
namespace {

bool is_surrogate(Py_UCS4 c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

}  // namespace

Py_ssize_t utf16_units(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND) return length;
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t units = length;
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (is_surrogate(c)) return -1;
    if (c > 0xFFFF) ++units;
  }
  return units;
}

void write_utf16(PyObject* text, os_char* out) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND) {
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) out[i] = data[i];
    return;
  }
  const void* data = PyUnicode_DATA(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c > 0xFFFF) {
      c -= 0x10000;
      *out++ = static_cast<os_char>(0xD800 | (c >> 10));
      *out++ = static_cast<os_char>(0xDC00 | (c & 0x3FF));
    } else {
      *out++ = static_cast<os_char>(c);
    }
  }
}

Ref encode_utf16le(PyObject* text) {
  const Py_ssize_t units = utf16_units(text);
  // The codec itself reports a lone surrogate, so the error is exactly the host's own.
  if (units < 0) return Ref::steal(PyUnicode_AsEncodedString(text, "utf-16-le", "strict"));
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, units * 2));
  if (bytes) write_utf16(text, reinterpret_cast<os_char*>(PyBytes_AS_STRING(bytes.get())));
  return bytes;
}

PyObject* decode_utf16le(const void* data, Py_ssize_t units, const char* errors) {
  if (units <= 0) return PyUnicode_New(0, 0);
  int byteorder = -1;  // little-endian, and a byte-order mark stays a character
  return PyUnicode_DecodeUTF16(static_cast<const char*>(data), units * 2, errors, &byteorder);
}

Py_ssize_t native_string_length(const os_char* s) {
  Py_ssize_t n = 0;
  while (n < kMaxNativeStringUnits && s[n] != 0) ++n;
  return n;
}

PyObject* decode_native_string(const os_char* s) {
  Py_ssize_t length = native_string_length(s);
  if (length == kMaxNativeStringUnits && s[length - 1] >= 0xD800 && s[length - 1] <= 0xDBFF)
    --length;
  return decode_utf16le(s, length, "replace");
}

}  // namespace pvr
