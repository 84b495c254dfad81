// Error objects and their readers (GetStatus, GetErrorCode, GetTag, GetContext, ReleaseError), and
// the record of contract violations.
#include "errors.hpp"

#include <array>

#include "call.hpp"
#include "state.hpp"
#include "string_protocol.hpp"

namespace vessaemu {
namespace {

// Keeps the texts of the first violations in full; a runaway test still gets a true count.
constexpr size_t kMaxKeptViolations = 10000;

constexpr std::array<const char*, kStatusCount> kStatusNames = {"Unexpected",
                                                                "Reserved",
                                                                "InteractionRequired",
                                                                "NoNetwork",
                                                                "NetworkTemporarilyUnavailable",
                                                                "ServerTemporarilyUnavailable",
                                                                "ApiContractViolation",
                                                                "UserCanceled",
                                                                "ApplicationCanceled",
                                                                "IncorrectConfiguration",
                                                                "InsufficientBuffer",
                                                                "AuthorityUntrusted",
                                                                "UserSwitch",
                                                                "AccountUnusable",
                                                                "UserDataRemovalRequired",
                                                                "KeyNotFound",
                                                                "AccountNotFound",
                                                                "TransientError",
                                                                "AccountSwitch",
                                                                "RequiredBrokerMissing",
                                                                "DeviceNotRegistered",
                                                                "FallbackToNativeVessa"};

std::string with_operation(Op op, std::string_view what) {
  std::string text = full_name(op);
  text += ": ";
  text += what;
  return text;
}

void record(Violations& v, std::string text) {
  std::lock_guard lock(v.mutex);
  ++v.count;
  if (v.texts.size() < kMaxKeptViolations) v.texts.push_back(text);
  v.last = std::move(text);
}

}  // namespace

const char* status_name(int32_t status) {
  return status >= 0 && status < kStatusCount ? kStatusNames[status] : nullptr;
}

VESSARUNTIME_ERROR_HANDLE new_error(Registry& reg, ErrorInfo info, Holder holder) {
  const uint64_t handle =
      register_object(reg, Kind::Error, make_ref<ErrorObject>(std::move(info)), holder);
  return as_handle<VESSARUNTIME_ERROR_HANDLE>(handle);
}

VESSARUNTIME_ERROR_HANDLE new_error(Registry& reg, const Fault& fault, Op op) {
  return new_error(reg, ErrorInfo{fault.status, fault.code, fault.tag, fault.context},
                   op == Op::ReleaseError ? Holder::Nobody : Holder::Caller);
}

VESSARUNTIME_ERROR_HANDLE unexpected(Registry& reg, Op op, std::string_view what) {
  return new_error(reg, ErrorInfo{kStatusUnexpected, 0, 0, widen(with_operation(op, what))});
}

VESSARUNTIME_ERROR_HANDLE violation(State& st, Op op, std::string_view what) {
  std::string text = with_operation(op, what);
  std::u16string context = widen(text);
  record(st.violations, std::move(text));
  return new_error(st.registry, ErrorInfo{kStatusApiContractViolation, 0, 0, std::move(context)});
}

void record_violation(Violations& v, Op op, std::string_view what) {
  record(v, with_operation(op, what));
}

int64_t violation_count(Violations& v) {
  std::lock_guard lock(v.mutex);
  return v.count;
}

std::optional<std::string> last_violation(Violations& v) {
  std::lock_guard lock(v.mutex);
  return v.last;
}

std::vector<std::string> take_violations(Violations& v) {
  std::lock_guard lock(v.mutex);
  std::vector<std::string> taken;
  taken.swap(v.texts);
  v.count = 0;
  v.last.reset();
  return taken;
}

void Violations::reset() {
  std::lock_guard lock(mutex);
  texts.clear();
  count = 0;
  last.reset();
}

}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetStatus(VESSARUNTIME_ERROR_HANDLE error,
                                                                   int32_t* status) {
  return guarded(Op::GetStatus, [&](Call& call) {
    auto object = call.object<ErrorObject>(error);
    if (!object || !call.out(status, "status")) return call.error();
    *status = object->info.status;
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_GetErrorCode(VESSARUNTIME_ERROR_HANDLE error, int64_t* errorCode) {
  return guarded(Op::GetErrorCode, [&](Call& call) {
    auto object = call.object<ErrorObject>(error);
    if (!object || !call.out(errorCode, "errorCode")) return call.error();
    *errorCode = object->info.code;
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetTag(VESSARUNTIME_ERROR_HANDLE error,
                                                                int32_t* tag) {
  return guarded(Op::GetTag, [&](Call& call) {
    auto object = call.object<ErrorObject>(error);
    if (!object || !call.out(tag, "tag")) return call.error();
    *tag = object->info.tag;
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetContext(VESSARUNTIME_ERROR_HANDLE error,
                                                                    os_char* context,
                                                                    int32_t* bufferSize) {
  return guarded(Op::GetContext, [&](Call& call) {
    auto object = call.object<ErrorObject>(error);
    if (!object) return call.error();
    return write_text(call, object->info.context, context, bufferSize);
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseError(VESSARUNTIME_ERROR_HANDLE error) {
  return guarded(Op::ReleaseError, [&](Call& call) {
    State& st = call.state();
    std::string fault;
    auto object = unregister_object(st.registry, handle_value(error), Kind::Error, &fault);
    // Callers ignore what ReleaseError answers, so an error made here would only leak: the
    // violation is counted and nothing is returned.
    if (!object && !fault.empty()) record_violation(st.violations, Op::ReleaseError, fault);
    return kOk;
  });
}

}  // extern "C"
