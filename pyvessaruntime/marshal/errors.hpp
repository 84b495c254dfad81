// Turning runtime error handles into Python exceptions.
//
// Every error handle that reaches these routines is owned by a VESSARuntimeError object from
// then on, so it is released exactly once whichever way the routine leaves.
#pragma once

#include "common/python.hpp"

#include "common/ref.hpp"
#include "vessaruntime.h"

namespace pvr {

inline constexpr int32_t kStatusInsufficientBuffer = 10;

// A new VESSARuntimeError that owns `error` (null allowed); null with an exception on failure,
// in which case `error` has been released.
Ref wrap_error(VESSARUNTIME_ERROR_HANDLE error);

// True when `error` is null. Otherwise reads the error and raises RuntimeError
// "ErrorTag: <tag>, ErrorCode: <code>, ErrorContext: <context>, ErrorStatus: <status>" —
// unless `tolerated_status` is given and the error's status is that member.
bool check_error(VESSARUNTIME_ERROR_HANDLE error, PyObject* tolerated_status = nullptr);

// check_error for an error whose status the caller has already asked the runtime for:
// `status_error` is what VESSARUNTIME_GetStatus returned for `error` (owned from here on, like
// `error`) and `status` the value it stored. Used where the status was read without the lock.
bool check_error_with_status(VESSARUNTIME_ERROR_HANDLE error,
                             VESSARUNTIME_ERROR_HANDLE status_error, int32_t status,
                             PyObject* tolerated_status);

// True when `error` is null; otherwise RuntimeError "<function_name> return unexpected".
bool raise_if_error(VESSARUNTIME_ERROR_HANDLE error, const char* function_name);

// RuntimeError in the shape check_error gives, for a failure the runtime did not report as an
// error handle (such as a nonsensical size); the status is Status_Unexpected.
void raise_runtime_failure(const char* context);

// `Response_Status(value)`, the enumeration looked up at call time.
Ref as_response_status(PyObject* value);
Ref response_status(int32_t status);

}  // namespace pvr
