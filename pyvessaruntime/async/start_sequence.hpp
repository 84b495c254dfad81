// The steps every asynchronous operation shares: register the caller's callback, convert the
// texts, start the runtime operation without the interpreter lock, check the answer and return
// the operation handle.
#pragma once

#include "common/python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/gil.hpp"
#include "common/ref.hpp"
#include "marshal/runtime_text.hpp"
#include "vessaruntime.h"

namespace pvr {

class StartSequence {
 public:
  // Creates the callback record (`_VESSARuntimeCallBackData(py_callback)`, looked up by name),
  // which registers itself in `_callbackStorage` before anything can fail at the runtime.
  explicit StartSequence(PyObject* py_callback);

  // Converts `text` into runtime text kept alive until the sequence ends (None and "" become
  // the empty text when `none_is_empty`). Returns null once anything has failed.
  const os_char* text(PyObject* text, bool none_is_empty = false);

  // Starts the operation: `start(context, &async_handle)` runs without the interpreter lock.
  // Returns the new VESSARuntimeAsyncHandle, or null with an exception.
  template <class Start>
  PyObject* run(Start&& start) {
    void* context = nullptr;
    VESSARUNTIME_ASYNC_HANDLE* slot = nullptr;
    if (!prepare(&context, &slot)) return nullptr;
    VESSARUNTIME_ERROR_HANDLE error = without_gil([&] { return start(context, slot); });
    return finish(error, context);
  }

 private:
  bool prepare(void** context, VESSARUNTIME_ASYNC_HANDLE** slot);
  PyObject* finish(VESSARUNTIME_ERROR_HANDLE error, void* context);

  bool failed_ = false;
  uint64_t life_ = 0;  // of the owner that accepted the start
  Ref record_;
  Ref async_handle_;
  std::array<RuntimeText, 2> texts_;
  std::size_t text_count_ = 0;
};

// The parent window as the runtime takes it: the same 64 bits.
inline VESSARUNTIME_WINDOW_HANDLE window_handle(int64_t value) {
  return reinterpret_cast<VESSARUNTIME_WINDOW_HANDLE>(static_cast<intptr_t>(value));
}

}  // namespace pvr
