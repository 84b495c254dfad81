// The two-call protocol by which every runtime string is read.
//
// Two ways through it, with the same runtime calls in the same order and the same answers:
// - While `Response_Status` is the module's own enumeration, whether the size call's error is
//   the tolerated InsufficientBuffer is a comparison of status values, so both runtime calls,
//   the status query and the release of the tolerated error run in one stretch without the
//   interpreter lock, into a buffer on the stack (the heap for long texts), and the text is
//   decoded straight from it.
// - Otherwise the tolerated status is built and compared as Python objects, between the two
//   calls, with the lock: whatever the name is bound to then is what decides.
#include "marshal/string_getter.hpp"

#include <cstring>

#include "common/gil.hpp"
#include "marshal/errors.hpp"
#include "marshal/native_string.hpp"
#include "marshal/text.hpp"
#include "module/enumerations.hpp"

namespace pvr {
namespace {

// Texts up to this many units (terminator included) are read into the stack, which is zeroed in
// blocks of kZeroBlock units (a size the compiler turns into a few stores, not a call).
constexpr int32_t kStackUnits = 512;
constexpr int32_t kZeroBlock = 32;
static_assert(kStackUnits % kZeroBlock == 0);

constexpr char kNegativeSize[] = "the runtime reported a negative string size";

}  // namespace

void ask_for_string(const StringRead& read, os_char* buffer, int32_t capacity,
                    StringAnswers& answers) {
  VESSARUNTIME_ERROR_HANDLE error =
      read.call(read.getter, read.handle, nullptr, &answers.first_size);
  if (error) {
    // A tolerated error is released right after its status is read, as its wrapper would be on
    // the general path.
    VESSARUNTIME_ERROR_HANDLE status_error = VESSARUNTIME_GetStatus(error, &answers.status);
    answers.status_error = OwnedError(status_error);
    if (status_error || answers.status != kStatusInsufficientBuffer) {
      answers.first_error = OwnedError(error);
      return;
    }
    VESSARUNTIME_ReleaseError(error);
  }
  const int32_t size = answers.first_size;
  if (size <= 0) return;
  os_char* units = buffer;
  if (size > capacity) {
    units = answers.heap = static_cast<os_char*>(PyMem_RawMalloc(size * sizeof(os_char)));
    if (!units) {
      answers.out_of_memory = true;
      return;
    }
  }
  // Zero-filled like the general path's buffer, so units the runtime announces but does not
  // write read as zeros there and here alike.
  if (units == buffer && capacity % kZeroBlock == 0) {
    for (int32_t block = 0; block < size; block += kZeroBlock)
      std::memset(units + block, 0, kZeroBlock * sizeof(os_char));
  } else {
    std::memset(units, 0, size * sizeof(os_char));
  }
  answers.units = units;
  answers.capacity = answers.size = size;
  answers.fill_error = OwnedError(read.call(read.getter, read.handle, units, &answers.size));
}

namespace {

// What the filling call left: None when it reported no units after all, else the units it
// reported less the terminator, never more than the buffer holds.
PyObject* decode_filled(const os_char* units, int32_t size, int32_t capacity) {
  if (size == 0) Py_RETURN_NONE;
  if (size < 0) {
    raise_runtime_failure(kNegativeSize);
    return nullptr;
  }
  // A runtime that announces more than it was given room for is read only as far as the
  // buffer goes; what lies beyond was never written by it.
  if (size > capacity) size = capacity;
  return decode_utf16le(units, size - 1);
}

// The general path after a size call that passed: the size checks, a buffer of the reported
// size and the filling call, each runtime call in its own stretch without the lock.
PyObject* fill_with_lock(const StringRead& read, NativeStringObject* nstr) {
  if (nstr->size == 0) Py_RETURN_NONE;
  if (nstr->size < 0) {
    raise_runtime_failure(kNegativeSize);
    return nullptr;
  }
  const int32_t capacity = nstr->size;
  os_char* buffer = native_string_allocate(nstr);
  if (!buffer) return nullptr;
  VESSARUNTIME_ERROR_HANDLE error =
      without_gil([&] { return read.call(read.getter, read.handle, buffer, &nstr->size); });
  if (!check_error(error)) return nullptr;
  return filled_text(nstr, capacity);
}

PyObject* read_with_python_status(const StringRead& read) {
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
  return fill_with_lock(read, nstr);
}

PyObject* read_natively(const StringRead& read) {
  os_char stack[kStackUnits];
  StringAnswers answers;
  without_gil([&] { ask_for_string(read, stack, kStackUnits, answers); });
  return string_from_answers(read, answers);
}

}  // namespace

PyObject* read_string(const StringRead& read) {
  if (enumeration_unchanged(Enumeration::kResponseStatus)) return read_natively(read);
  return read_with_python_status(read);
}

PyObject* string_from_answers(const StringRead& read, StringAnswers& answers) {
  if (answers.first_error) {
    Ref tolerated = response_status(kStatusInsufficientBuffer);
    if (!tolerated) {
      wrap_error(answers.status_error.release());
      wrap_error(answers.first_error.release());
      return nullptr;
    }
    if (!check_error_with_status(answers.first_error.release(), answers.status_error.release(),
                                 answers.status, tolerated.get()))
      return nullptr;
    // Passed after all: the name was bound to something else by the time it was looked up
    // (another thread rebound it during the stretch). The read goes on as the general path's.
    Ref text = new_native_string();
    if (!text) return nullptr;
    as_native_string(text)->size = answers.first_size;
    return fill_with_lock(read, as_native_string(text));
  }
  if (answers.first_size == 0) Py_RETURN_NONE;
  if (answers.first_size < 0) {
    raise_runtime_failure(kNegativeSize);
    return nullptr;
  }
  if (answers.out_of_memory) return PyErr_NoMemory();
  if (answers.fill_error && !check_error(answers.fill_error.release())) return nullptr;
  return decode_filled(answers.units, answers.size, answers.capacity);
}

PyObject* filled_text(NativeStringObject* text, int32_t capacity) {
  if (text->size == 0) Py_RETURN_NONE;
  if (text->size < 0) {
    raise_runtime_failure(kNegativeSize);
    return nullptr;
  }
  if (text->size > capacity) text->size = capacity;
  return native_string_text(text);
}

}  // namespace pvr
