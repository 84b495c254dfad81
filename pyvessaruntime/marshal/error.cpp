// VESSARuntimeError: owns one runtime error handle and reads its status, code, tag and context;
// and the two routines that turn error handles into RuntimeError.
#include "handles/handle_object.hpp"
#include "marshal/errors.hpp"
#include "marshal/native_string.hpp"
#include "marshal/string_getter.hpp"
#include "module/enumerations.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

using ErrorObject = HandleObject<VESSARUNTIME_ERROR_HANDLE>;

// `a == b` as Python evaluates it (no shortcut for identical objects): 1, 0, or -1 with an
// exception.
int python_equal(PyObject* a, PyObject* b) {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

VESSARUNTIME_ERROR_HANDLE error_of(PyObject* self) {
  return handle_of<VESSARUNTIME_ERROR_HANDLE>(self);
}

// What get_status answers once the runtime has been asked: `status_error` is the error handle
// VESSARUNTIME_GetStatus returned, `status` the value it stored.
Ref status_answer(VESSARUNTIME_ERROR_HANDLE status_error, int32_t status) {
  if (!raise_if_error(status_error, "get_status")) return Ref();
  return response_status(status);
}

// VESSARuntimeError.get_status(self)
PyObject* get_status(PyObject* self, PyObject* const*) {
  int32_t status = 0;
  VESSARUNTIME_ERROR_HANDLE error = error_of(self);
  VESSARUNTIME_ERROR_HANDLE status_error =
      without_gil([&] { return VESSARUNTIME_GetStatus(error, &status); });
  return status_answer(status_error, status).release();
}

// VESSARuntimeError.get_error_code(self)
PyObject* get_error_code(PyObject* self, PyObject* const*) {
  int64_t code = 0;
  VESSARUNTIME_ERROR_HANDLE error = error_of(self);
  if (!raise_if_error(without_gil([&] { return VESSARUNTIME_GetErrorCode(error, &code); }),
                      "get_error_code"))
    return nullptr;
  return PyLong_FromLongLong(code);
}

// VESSARuntimeError.get_tag(self)
PyObject* get_tag(PyObject* self, PyObject* const*) {
  int32_t tag = 0;
  VESSARUNTIME_ERROR_HANDLE error = error_of(self);
  if (!raise_if_error(without_gil([&] { return VESSARUNTIME_GetTag(error, &tag); }), "get_tag"))
    return nullptr;
  return PyLong_FromLong(tag);
}

// VESSARuntimeError.get_context(self): the two-call protocol with checks of its own, so that
// reading an error's context never needs the routine that reads errors.
PyObject* get_context(PyObject* self, PyObject* const*) {
  Ref text = new_native_string();
  Ref first_error = wrap_error(nullptr);
  if (!text || !first_error) return nullptr;
  NativeStringObject* nstr = as_native_string(text);
  VESSARUNTIME_ERROR_HANDLE error = error_of(self);
  handle_of<VESSARUNTIME_ERROR_HANDLE>(first_error.get()) =
      without_gil([&] { return VESSARUNTIME_GetContext(error, nullptr, &nstr->size); });
  if (error_of(first_error.get())) {
    Ref status = Ref::steal(get_status(first_error.get(), nullptr));
    if (!status) return nullptr;
    Ref expected = response_status(kStatusInsufficientBuffer);
    if (!expected) return nullptr;
    int same = python_equal(status.get(), expected.get());
    if (same < 0) return nullptr;
    if (!same) {
      Ref member = as_response_status(status.get());
      if (member)
        PyErr_Format(PyExc_RuntimeError, "Get Context return unexpected status: %S", member.get());
      return nullptr;
    }
  }
  if (nstr->size == 0) Py_RETURN_NONE;
  if (nstr->size < 0) {
    raise_runtime_failure("the runtime reported a negative size for an error context");
    return nullptr;
  }
  const int32_t capacity = nstr->size;
  os_char* buffer = native_string_allocate(nstr);
  if (!buffer) return nullptr;
  if (!raise_if_error(
          without_gil([&] { return VESSARUNTIME_GetContext(error, buffer, &nstr->size); }),
          "get_context"))
    return nullptr;
  return filled_text(nstr, capacity);
}

const FunctionDef kErrorMethods[] = {
    {"get_status", get_status, "VESSARuntimeError.get_status(self)", {}},
    {"get_error_code", get_error_code, "VESSARuntimeError.get_error_code(self)", {}},
    {"get_tag", get_tag, "VESSARuntimeError.get_tag(self)", {}},
    {"get_context", get_context, "VESSARuntimeError.get_context(self)", {}},
};

}  // namespace

PyTypeObject ErrorType =
    make_class(PVR_CLASS_NAME("VESSARuntimeError"), sizeof(ErrorObject), new_empty,
               dealloc_releasing<VESSARUNTIME_ERROR_HANDLE, VESSARUNTIME_ReleaseError>);

const FunctionTable error_methods = kErrorMethods;

Ref wrap_error(VESSARUNTIME_ERROR_HANDLE error) {
  OwnedError owner(error);
  return Ref::steal(adopt(&ErrorType, owner));
}

Ref as_response_status(PyObject* value) {
  Ref enumeration = state::lookup(state::names.Response_Status);
  if (!enumeration) return enumeration;
  return Ref::steal(PyObject_CallOneArg(enumeration.get(), value));
}

Ref response_status(int32_t status) {
  return enumeration_member(Enumeration::kResponseStatus, status);
}

namespace {

void raise_error_message(PyObject* tag, PyObject* code, PyObject* context, PyObject* status) {
  PyErr_Format(PyExc_RuntimeError, "ErrorTag: %S, ErrorCode: %S, ErrorContext: %S, ErrorStatus: %S",
               tag, code, context, status);
}

// check_error from the point where the status of the error `error_object` owns has been asked
// for.
bool judge_error(const Ref& error_object, VESSARUNTIME_ERROR_HANDLE status_error,
                 int32_t status_value, PyObject* tolerated_status) {
  Ref status = status_answer(status_error, status_value);
  if (!status) return false;
  if (tolerated_status) {
    int same = python_equal(status.get(), tolerated_status);
    if (same) return same > 0;
  }
  Ref code = Ref::steal(get_error_code(error_object.get(), nullptr));
  if (!code) return false;
  Ref tag = Ref::steal(get_tag(error_object.get(), nullptr));
  if (!tag) return false;
  Ref context = Ref::steal(get_context(error_object.get(), nullptr));
  if (!context) return false;
  Ref member = as_response_status(status.get());
  if (!member) return false;
  raise_error_message(tag.get(), code.get(), context.get(), member.get());
  return false;
}

}  // namespace

bool check_error(VESSARUNTIME_ERROR_HANDLE error, PyObject* tolerated_status) {
  if (!error) return true;
  Ref error_object = wrap_error(error);
  if (!error_object) return false;
  int32_t status = 0;
  VESSARUNTIME_ERROR_HANDLE status_error =
      without_gil([&] { return VESSARUNTIME_GetStatus(error, &status); });
  return judge_error(error_object, status_error, status, tolerated_status);
}

bool check_error_with_status(VESSARUNTIME_ERROR_HANDLE error,
                             VESSARUNTIME_ERROR_HANDLE status_error, int32_t status,
                             PyObject* tolerated_status) {
  OwnedError status_owner(status_error);
  Ref error_object = wrap_error(error);
  if (!error_object) return false;
  return judge_error(error_object, status_owner.release(), status, tolerated_status);
}

bool raise_if_error(VESSARUNTIME_ERROR_HANDLE error, const char* function_name) {
  if (!error) return true;
  // The wrapper releases the handle when it goes; its contents are never read.
  Ref error_object = wrap_error(error);
  if (error_object) PyErr_Format(PyExc_RuntimeError, "%s return unexpected", function_name);
  return false;
}

void raise_runtime_failure(const char* context) {
  Ref tag = Ref::steal(PyLong_FromLong(0));
  Ref text = Ref::steal(PyUnicode_FromString(context));
  Ref status = response_status(0);
  if (tag && text && status) raise_error_message(tag.get(), tag.get(), text.get(), status.get());
}

}  // namespace pvr
