// Conversion between Python text and runtime text.
#include "marshal/text.hpp"

#include <cstring>

namespace pvr {
namespace {

bool is_surrogate(Py_UCS4 c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

void put_unit(char*& out, Py_UCS4 unit) {
  *out++ = static_cast<char>(unit & 0xFF);
  *out++ = static_cast<char>(unit >> 8);
}

}  // namespace

Ref encode_utf16le(PyObject* text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t units = length;
  if (kind != PyUnicode_1BYTE_KIND) {
    for (Py_ssize_t i = 0; i < length; ++i) {
      Py_UCS4 c = PyUnicode_READ(kind, data, i);
      // The codec itself reports a lone surrogate, so the error is exactly the host's own.
      if (is_surrogate(c))
        return Ref::steal(PyUnicode_AsEncodedString(text, "utf-16-le", "strict"));
      if (c > 0xFFFF) ++units;
    }
  }
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, units * 2));
  if (!bytes) return bytes;
  char* out = PyBytes_AS_STRING(bytes.get());
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c > 0xFFFF) {
      c -= 0x10000;
      put_unit(out, 0xD800 | (c >> 10));
      put_unit(out, 0xDC00 | (c & 0x3FF));
    } else {
      put_unit(out, c);
    }
  }
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
