// The completion bridge: the native routines the runtime calls when an asynchronous operation
// ends, on a thread of its choosing, and that hand the result to the caller's Python callback.
//
// The context value given to the runtime is the address of the key object of the operation's
// callback record in `_callbackStorage`. The module holds one reference of its own to that key
// from the start call until the completion, so the completion never reads a freed object even
// if other code has removed the record meanwhile.
#pragma once

#include "common/python.hpp"

#include "vessaruntime.h"

namespace pvr {

void VESSARUNTIME_CALL auth_completion(VESSARUNTIME_AUTH_RESULT_HANDLE result, void* context);
void VESSARUNTIME_CALL signout_completion(VESSARUNTIME_SIGNOUT_RESULT_HANDLE result, void* context);
void VESSARUNTIME_CALL read_account_completion(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE result,
                                               void* context);
void VESSARUNTIME_CALL
discover_accounts_completion(VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE result, void* context);

}  // namespace pvr
