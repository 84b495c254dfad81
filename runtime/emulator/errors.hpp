// Error objects, the statuses the emulator reports, and the record of contract violations.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations.hpp"
#include "registry.hpp"
#include "strings.hpp"

namespace vessaemu {

struct State;

enum Status : int32_t {
  kStatusUnexpected = 0,
  kStatusReserved = 1,
  kStatusInteractionRequired = 2,
  kStatusNoNetwork = 3,
  kStatusNetworkTemporarilyUnavailable = 4,
  kStatusServerTemporarilyUnavailable = 5,
  kStatusApiContractViolation = 6,
  kStatusUserCanceled = 7,
  kStatusApplicationCanceled = 8,
  kStatusIncorrectConfiguration = 9,
  kStatusInsufficientBuffer = 10,
  kStatusAuthorityUntrusted = 11,
  kStatusUserSwitch = 12,
  kStatusAccountUnusable = 13,
  kStatusUserDataRemovalRequired = 14,
  kStatusKeyNotFound = 15,
  kStatusAccountNotFound = 16,
  kStatusTransientError = 17,
  kStatusAccountSwitch = 18,
  kStatusRequiredBrokerMissing = 19,
  kStatusDeviceNotRegistered = 20,
  kStatusFallbackToNativeVessa = 21,
};
inline constexpr int32_t kStatusCount = 22;

// "InteractionRequired" for kStatusInteractionRequired; null outside 0..kStatusCount-1.
const char* status_name(int32_t status);

// The values an error carries; results keep one of these for the error they report.
struct ErrorInfo {
  int32_t status = kStatusUnexpected;
  int64_t code = 0;
  int32_t tag = 0;
  Text context;
};

struct ErrorObject : Object {
  static constexpr Kind kKind = Kind::Error;
  explicit ErrorObject(ErrorInfo i) : info(std::move(i)) {}
  const ErrorInfo info;
};

inline constexpr VESSARUNTIME_ERROR_HANDLE kOk = nullptr;

// A new live error handle.
VESSARUNTIME_ERROR_HANDLE new_error(Registry& reg, ErrorInfo info, Holder holder = Holder::Caller);
// The error a scripted failure of `op` answers. ReleaseError's is held by nobody: callers ignore
// what ReleaseError answers, and releasing it would take the very call that failed.
VESSARUNTIME_ERROR_HANDLE new_error(Registry& reg, const Fault& fault, Op op);
// Status_Unexpected with the context "VESSARUNTIME_<op>: <what>".
VESSARUNTIME_ERROR_HANDLE unexpected(Registry& reg, Op op, std::string_view what);
// Records a contract violation "VESSARUNTIME_<op>: <what>" and returns a
// Status_ApiContractViolation error with that context.
VESSARUNTIME_ERROR_HANDLE violation(State& st, Op op, std::string_view what);

// The violations' part of the emulator's state (state.hpp); every field is guarded by `mutex`.
struct Violations {
  std::mutex mutex;
  int64_t count = 0;
  std::vector<std::string> texts;  // the first ones, in full
  std::optional<std::string> last;

  void reset();
};

// Records a contract violation without making an error (for ReleaseError, whose answer is ignored).
void record_violation(Violations& v, Op op, std::string_view what);
int64_t violation_count(Violations& v);
std::optional<std::string> last_violation(Violations& v);
// Returns the recorded violations and forgets them (count and last text included).
std::vector<std::string> take_violations(Violations& v);

}  // namespace vessaemu
