// NativeString and the function `_get_encoded_bytes` that feeds it.
#include "marshal/native_string.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/args.hpp"
#include "handles/handle_object.hpp"
#include "marshal/text.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {

static_assert(std::endian::native == std::endian::little,
              "runtime text is little-endian UTF-16 in memory");

namespace {

NativeStringObject* self_of(PyObject* self) {
  return reinterpret_cast<NativeStringObject*>(self);
}

PyObject* new_object(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self) self_of(self)->buffer = Py_NewRef(Py_None);
  return self;
}

void dealloc(PyObject* self) {
  Py_CLEAR(self_of(self)->buffer);
  Py_TYPE(self)->tp_free(self);
}

// Replaces the buffer with a new zero-filled bytearray of `units` units.
os_char* replace_buffer(NativeStringObject* self, Py_ssize_t units) {
  if (units < 0) {
    PyErr_SetString(PyExc_ValueError, "negative count");
    return nullptr;
  }
  PyObject* buffer = PyByteArray_FromStringAndSize(nullptr, units * 2);
  if (!buffer) return nullptr;
  std::memset(PyByteArray_AS_STRING(buffer), 0, units * 2);
  Py_SETREF(self->buffer, buffer);
  return reinterpret_cast<os_char*>(PyByteArray_AS_STRING(buffer));
}

// NativeString.get_string(self)
PyObject* get_string(PyObject* self, PyObject* const*) {
  return native_string_text(self_of(self));
}

// NativeString.is_empty(self)
PyObject* is_empty(PyObject* self, PyObject* const*) {
  return PyBool_FromLong(self_of(self)->size == 0);
}

// _get_encoded_bytes(str input_str)
PyObject* get_encoded_bytes(PyObject*, PyObject* const* args) {
  PyObject* text = args[0];
  if (!args::exact_str(text, "input_str", true)) return nullptr;
  if (text == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
    return nullptr;
  }
  return encode_utf16le(text).release();
}

const FunctionDef kNativeStringMethods[] = {
    {"get_string", get_string, "NativeString.get_string(self)", {}},
    {"is_empty", is_empty, "NativeString.is_empty(self)", {}},
};

const FunctionDef kEncodingFunctions[] = {
    {"_get_encoded_bytes", get_encoded_bytes, "_get_encoded_bytes(str input_str)", {"input_str"}},
};

}  // namespace

PyTypeObject NativeStringType =
    make_class(PVR_CLASS_NAME("NativeString"), sizeof(NativeStringObject), new_object, dealloc);

const FunctionTable native_string_methods = kNativeStringMethods;
const FunctionTable encoding_functions = kEncodingFunctions;

Ref new_native_string() {
  return Ref::steal(new_object(&NativeStringType, nullptr, nullptr));
}

const os_char* native_string_fill_with(NativeStringObject* self, PyObject* encode, PyObject* text) {
  Ref encoded = Ref::steal(PyObject_CallOneArg(encode, text));
  if (!encoded) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(encoded.get(), &view, PyBUF_SIMPLE) < 0) return nullptr;
  // An odd byte count (possible only from a replaced encoder) keeps its last byte in a unit of
  // its own: the terminator after it stays whole, so the runtime never reads past the buffer.
  const Py_ssize_t units = (view.len + 1) / 2 + 1;
  os_char* out = units <= INT32_MAX ? replace_buffer(self, units) : nullptr;
  if (out) {
    std::memcpy(out, view.buf, view.len);
    self->size = static_cast<int32_t>(units);
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_OverflowError, "text too long for the runtime");
  }
  PyBuffer_Release(&view);
  return out;
}

bool refuse_embedded_null(const os_char* units, Py_ssize_t count) {
  if (std::find(units, units + count, os_char{0}) == units + count) return true;
  PyErr_SetString(PyExc_ValueError, "embedded null character");
  return false;
}

const os_char* runtime_text_with(NativeStringObject* self, PyObject* encode, PyObject* text) {
  const os_char* units = native_string_fill_with(self, encode, text);
  return units && refuse_embedded_null(units, self->size - 1) ? units : nullptr;
}

os_char* native_string_allocate(NativeStringObject* self) {
  return replace_buffer(self, self->size);
}

Py_ssize_t native_string_capacity(NativeStringObject* self) {
  return PyByteArray_Check(self->buffer) ? PyByteArray_GET_SIZE(self->buffer) / 2 : 0;
}

PyObject* native_string_text(NativeStringObject* self) {
  if (self->buffer == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return nullptr;
  }
  // buffer[0 : size * 2 - 2] with the host's slice rules: drops the terminator.
  const Py_ssize_t length = PyByteArray_GET_SIZE(self->buffer);
  Py_ssize_t end = static_cast<Py_ssize_t>(self->size) * 2 - 2;
  if (end < 0) end += length;
  if (end < 0) end = 0;
  if (end > length) end = length;
  // Buffers always hold whole units, so `end` is even.
  return decode_utf16le(PyByteArray_AS_STRING(self->buffer), end / 2);
}

}  // namespace pvr
