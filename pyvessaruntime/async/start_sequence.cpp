// The steps every asynchronous operation shares.
#include "async/start_sequence.hpp"

#include "async/callback_records.hpp"
#include "handles/handle_object.hpp"
#include "marshal/errors.hpp"
#include "module/owner.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {

StartSequence::StartSequence(PyObject* py_callback) : record_(new_callback_record(py_callback)) {
  failed_ = !record_;
}

const os_char* StartSequence::text(PyObject* text, bool none_is_empty) {
  if (failed_ || text_count_ == texts_.size()) return nullptr;
  RuntimeText& slot = texts_[text_count_++];
  const bool empty = text == Py_None || (PyUnicode_Check(text) && PyUnicode_GET_LENGTH(text) == 0);
  Ref empty_text;
  if (none_is_empty && empty) empty_text = Ref::steal(PyUnicode_New(0, 0));
  const os_char* units = slot.convert(empty_text ? empty_text.get() : text);
  failed_ = units == nullptr;
  return units;
}

bool StartSequence::prepare(void** context, VESSARUNTIME_ASYNC_HANDLE** slot) {
  if (failed_) return false;
  // The key object stays alive through the dict entry; the reference taken here is the
  // module's own, handed to the completion routine through the context value.
  PyObject* key = PyObject_GetAttr(record_.get(), state::names.id);
  if (!key) return false;
  if (!owner::hand_out(key)) {
    Py_DECREF(key);
    return false;
  }
  life_ = owner::life();
  async_handle_ = Ref::steal(new_empty(&AsyncHandleType, nullptr, nullptr));
  if (!async_handle_) {
    owner::take_back(key);
    Py_DECREF(key);
    return false;
  }
  *context = key;
  *slot = &handle_of<VESSARUNTIME_ASYNC_HANDLE>(async_handle_.get());
  return true;
}

PyObject* StartSequence::finish(VESSARUNTIME_ERROR_HANDLE error, void* context) {
  if (error) {
    // A refused operation never completes, so the reference meant for its completion goes now
    // (unless the owner has ended meanwhile, and left it); the record stays registered. The async
    // handle object goes with whatever handle the runtime stored in it.
    if (owner::take_back(context)) Py_DECREF(static_cast<PyObject*>(context));
    check_error(error);
    return nullptr;
  }
  if (!owner::living(life_)) {
    // The owner ended while the runtime started the operation: its completion will find no
    // callback to call, so nobody is left waiting for it. The key stays with the owner like
    // those of the operations pending at the end; the handle goes with its object.
    VESSARUNTIME_ASYNC_HANDLE handle = handle_of<VESSARUNTIME_ASYNC_HANDLE>(async_handle_.get());
    without_gil([&] {
      // Whether the runtime could still cancel it changes nothing here.
      if (VESSARUNTIME_ERROR_HANDLE error = VESSARUNTIME_CancelAsyncOperation(handle))
        VESSARUNTIME_ReleaseError(error);
    });
    return owner::raise_ended();
  }
  return async_handle_.release();
}

}  // namespace pvr
