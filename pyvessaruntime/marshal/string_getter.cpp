// The two-call protocol by which every runtime string is read.
#include "marshal/string_getter.hpp"

#include "common/gil.hpp"
#include "marshal/errors.hpp"
#include "marshal/native_string.hpp"

namespace pvr {

PyObject* read_string(const StringRead& read) {
  Ref text = new_native_string();
  if (!text) return nullptr;
  NativeStringObject* nstr = as_native_string(text);
  VESSARUNTIME_ERROR_HANDLE error =
      without_gil([&] { return read.call(read.getter, read.handle, nullptr, &nstr->size); });
  Ref tolerated = response_status(kStatusInsufficientBuffer);
  if (!tolerated) {
    wrap_error(error);  // released with its wrapper
    return nullptr;
  }
  if (!check_error(error, tolerated.get())) return nullptr;
  if (nstr->size == 0) Py_RETURN_NONE;
  if (nstr->size < 0) {
    raise_runtime_failure("the runtime reported a negative string size");
    return nullptr;
  }
  const int32_t capacity = nstr->size;
  os_char* buffer = native_string_allocate(nstr);
  if (!buffer) return nullptr;
  error = without_gil([&] { return read.call(read.getter, read.handle, buffer, &nstr->size); });
  if (!check_error(error)) return nullptr;
  return filled_text(nstr, capacity);
}

PyObject* filled_text(NativeStringObject* text, int32_t capacity) {
  if (text->size == 0) Py_RETURN_NONE;
  if (text->size < 0) {
    raise_runtime_failure("the runtime reported a negative string size");
    return nullptr;
  }
  // A runtime that announces more than it was given room for is read only as far as the
  // buffer goes; what lies beyond was never written by it.
  if (text->size > capacity) text->size = capacity;
  return native_string_text(text);
}

}  // namespace pvr
