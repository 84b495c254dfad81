// The two-call protocol by which every runtime string is read.
//
// First call with a null buffer: the runtime reports the size in units including the
// terminator (0: no value) and may answer Status_InsufficientBuffer, which is expected. Second
// call with a buffer of that size: the runtime fills it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "vessaruntime.h"

namespace pvr {

// One call of a string getter, bound to its handle.
struct StringRead {
  VESSARUNTIME_ERROR_HANDLE (*call)(const void* getter, const void* handle, os_char* buffer,
                                    int32_t* size);
  const void* getter;
  const void* handle;
};

// The text (str), None when the runtime reports no value, or null with an exception.
PyObject* read_string(const StringRead& read);

struct NativeStringObject;

// What the filling call left in `text`, whose buffer holds `capacity` units: None when it
// reported no units after all, else the units it reported, never more than the buffer holds.
PyObject* filled_text(NativeStringObject* text, int32_t capacity);

template <class Handle>
using StringGetter = VESSARUNTIME_ERROR_HANDLE(VESSARUNTIME_CALL*)(Handle, os_char*, int32_t*);

template <class Handle>
PyObject* get_string(StringGetter<Handle> getter, Handle handle) {
  StringRead read{[](const void* g, const void* h, os_char* buffer, int32_t* size) {
                    return reinterpret_cast<StringGetter<Handle>>(const_cast<void*>(g))(
                        static_cast<Handle>(const_cast<void*>(h)), buffer, size);
                  },
                  reinterpret_cast<const void*>(getter), handle};
  return read_string(read);
}

}  // namespace pvr
