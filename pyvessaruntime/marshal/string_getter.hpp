// The two-call protocol by which every runtime string is read.
//
// First call with a null buffer: the runtime reports the size in units including the
// terminator (0: no value) and may answer Status_InsufficientBuffer, which is expected. Second
// call with a buffer of that size: the runtime fills it.
#pragma once

#include "common/python.hpp"

#include <cstdint>

#include "handles/owned_handle.hpp"
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

// What the runtime answered to one read made without the interpreter lock (ask_for_string), for
// turning into the text later (string_from_answers). Owns the error handles and a heap buffer.
struct StringAnswers {
  int32_t first_size = 0;  // the size call's answer
  // The size call's error when its status is not the tolerated one (or could not be read), the
  // error VESSARUNTIME_GetStatus itself returned, and the status it stored.
  OwnedError first_error;
  OwnedError status_error;
  int32_t status = 0;
  bool out_of_memory = false;
  os_char* units = nullptr;  // the buffer given to the filling call; null if it was not made
  int32_t capacity = 0;      // its units
  int32_t size = 0;          // what the filling call left in the size
  OwnedError fill_error;
  os_char* heap = nullptr;  // `units` when the buffer given was too small for the text

  StringAnswers() = default;
  StringAnswers(const StringAnswers&) = delete;
  StringAnswers& operator=(const StringAnswers&) = delete;
  ~StringAnswers() noexcept(false) { PyMem_RawFree(heap); }

  // Whether the read failed: the text is then an exception.
  bool failed() const {
    return first_error || first_size < 0 || out_of_memory || fill_error || size < 0;
  }
  // Whether the read found no text, or an empty one (meaningful when it did not fail).
  bool no_text() const { return size <= 1; }
};

// Both calls of the two-call protocol (and the status query and release of a tolerated error),
// into `buffer` of `capacity` units when the text fits, else onto the heap. Touches no Python
// object: runs without the interpreter lock, and only while `Response_Status` is the module's
// own enumeration (enumeration_unchanged), which makes the tolerated status a value.
void ask_for_string(const StringRead& read, os_char* buffer, int32_t capacity,
                    StringAnswers& answers);

// The text the answers hold (str, None), or null with the exception the getter raises; with the
// interpreter lock. `read` makes the filling call in the one case that needs it with the lock.
PyObject* string_from_answers(const StringRead& read, StringAnswers& answers);

struct NativeStringObject;

// What the filling call left in `text`, whose buffer holds `capacity` units: None when it
// reported no units after all, else the units it reported, never more than the buffer holds.
PyObject* filled_text(NativeStringObject* text, int32_t capacity);

template <class Handle>
using StringGetter = VESSARUNTIME_ERROR_HANDLE(VESSARUNTIME_CALL*)(Handle, os_char*, int32_t*);

// One read of `getter` on `handle`.
template <class Handle>
StringRead string_read(StringGetter<Handle> getter, Handle handle) {
  return {[](const void* g, const void* h, os_char* buffer, int32_t* size) {
            return reinterpret_cast<StringGetter<Handle>>(const_cast<void*>(g))(
                static_cast<Handle>(const_cast<void*>(h)), buffer, size);
          },
          reinterpret_cast<const void*>(getter), handle};
}

template <class Handle>
PyObject* get_string(StringGetter<Handle> getter, Handle handle) {
  return read_string(string_read(getter, handle));
}

}  // namespace pvr
