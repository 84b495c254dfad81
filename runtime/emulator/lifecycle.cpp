// Startup and Shutdown, the SSO policy and the PII switch.
#include "call.hpp"
#include "engine.hpp"
#include "logging.hpp"
#include "settings.hpp"

namespace vessaemu {

Settings& settings() {
  static Settings* instance = new Settings();
  return *instance;
}

void reset_settings() {
  Settings& s = settings();
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
    if (!engine_start()) {
      log(kLogWarning, "Startup refused: the runtime is already started");
      return unexpected(call.op(), "the runtime is already started");
    }
    log(kLogInfo, "runtime started with " + std::to_string(worker_count()) + " worker threads");
    return kOk;
  });
}

// Called with the interpreter lock released: the pending completions it delivers run on this
// thread and take that lock themselves. Not noexcept, so that a thread the host ends inside one
// of them unwinds through here.
void VESSARUNTIME_CALL VESSARUNTIME_Shutdown(void) {
  guarded_void(Op::Shutdown, [] {
    if (!engine_stop()) log(kLogDebug, "Shutdown: the runtime was not started");
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetSsoPolicy(int32_t* policy) {
  return guarded(Op::GetSsoPolicy, [&](Call& call) {
    if (!call.out(policy, "policy")) return call.error();
    *policy = settings().sso_policy.load();
    return kOk;
  });
}

void VESSARUNTIME_CALL VESSARUNTIME_SetIsPiiEnabled(int32_t enabled) {
  guarded_void(Op::SetIsPiiEnabled, [&] {
    settings().pii_enabled = enabled;
    log(kLogDebug, enabled != 0 ? "PII logging on" : "PII logging off");
  });
}

}  // extern "C"
