// RegisterLogCallback and ReleaseLogCallbackHandle.
#include "logging.hpp"

#include "call.hpp"

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_RegisterLogCallback(VESSARUNTIME_LOG_ROUTINE callback, void* callbackData,
                                 VESSARUNTIME_LOG_CALLBACK_HANDLE* callbackHandle) {
  return guarded(Op::RegisterLogCallback, [&](Call& call) {
    if (!call.out(reinterpret_cast<void*>(callback), "callback") ||
        !call.out(callbackHandle, "callbackHandle")) {
      return call.error();
    }
    *callbackHandle = as_handle<VESSARUNTIME_LOG_CALLBACK_HANDLE>(
        register_object(Kind::LogCallback, make_ref<LogCallbackObject>(callback, callbackData)));
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseLogCallbackHandle(VESSARUNTIME_LOG_CALLBACK_HANDLE callbackHandle) {
  return release<LogCallbackObject>(Op::ReleaseLogCallbackHandle, callbackHandle);
}

}  // extern "C"
