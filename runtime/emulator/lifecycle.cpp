// Startup and Shutdown, the SSO policy and the PII switch.
#include "call.hpp"
#include "settings.hpp"

namespace vessaemu {

Settings& settings() {
  static Settings* instance = new Settings();
  return *instance;
}

void reset_settings() {
  Settings& s = settings();
  s.started = false;
  s.sso_policy = 1;
  s.pii_enabled = 0;
  s.first_call_error = true;
  s.negative_size = false;
  s.grow_by = 0;
}

}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_Startup(void) {
  return guarded(Op::Startup, [&](Call& call) {
    // A second start is a runtime refusal, not a misuse of the contract: a program may well try.
    if (settings().started.exchange(true))
      return unexpected(call.op(), "the runtime is already started");
    return kOk;
  });
}

void VESSARUNTIME_CALL VESSARUNTIME_Shutdown(void) {
  enter(Op::Shutdown);
  settings().started = false;
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetSsoPolicy(int32_t* policy) {
  return guarded(Op::GetSsoPolicy, [&](Call& call) {
    if (!call.out(policy, "policy")) return call.error();
    *policy = settings().sso_policy.load();
    return kOk;
  });
}

void VESSARUNTIME_CALL VESSARUNTIME_SetIsPiiEnabled(int32_t enabled) {
  enter(Op::SetIsPiiEnabled);
  settings().pii_enabled = enabled;
}

}  // extern "C"
