// NativeString: one UTF-16 buffer owned for the duration of one runtime call.
//
// Text going to the runtime is copied into the buffer by `fill`; text coming back is written
// into a buffer made by `allocate`, whose size the runtime reported first. Pointers into the
// buffer stay valid while the object lives and until the next fill or allocate.
#pragma once

#include "common/python.hpp"

#include <cstdint>

#include "common/ref.hpp"
#include "vessaruntime.h"

namespace pvr {

struct NativeStringObject {
  PyObject_HEAD int32_t
      size;          // units including the terminator; the runtime writes it during a getter call
  PyObject* buffer;  // bytearray of size * 2 bytes, or None
};

// A new, empty NativeString (size 0, no buffer).
Ref new_native_string();
inline NativeStringObject* as_native_string(const Ref& o) {
  return reinterpret_cast<NativeStringObject*>(o.get());
}

// Converts `text` through `encode` (the module's `_get_encoded_bytes`, as looked up at the call)
// into a zero-terminated buffer; null with an exception if that fails.
const os_char* native_string_fill_with(NativeStringObject* self, PyObject* encode, PyObject* text);

// `native_string_fill_with` for text that an operation hands to the runtime: refused with
// ValueError "embedded null character" when a zero unit comes before its end, since the runtime
// would act on the text up to there only, not on the text the caller checked.
const os_char* runtime_text_with(NativeStringObject* self, PyObject* encode, PyObject* text);

// False with ValueError "embedded null character" when one of `count` units is zero.
bool refuse_embedded_null(const os_char* units, Py_ssize_t count);

// A zero-filled buffer of `size` units; null with an exception if that fails.
os_char* native_string_allocate(NativeStringObject* self);

// The buffer's text less the terminator: the units that `size` announces.
PyObject* native_string_text(NativeStringObject* self);

// The units `allocate` provided room for: what the buffer really holds.
Py_ssize_t native_string_capacity(NativeStringObject* self);

}  // namespace pvr
