// Process-wide switches of the emulator: SSO policy, PII flag, token lifetimes, per-operation
// latency and how string getters answer. Atomics, since every thread reads them without a lock.
// Whether the runtime is started is the engine's to say (engine_running), nobody else's.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "operations.hpp"

namespace vessaemu {

inline constexpr int64_t kDefaultAccessTokenLifetime = 3600;           // one hour
inline constexpr int64_t kDefaultRefreshCredentialLifetime = 7776000;  // ninety days

struct Settings {
  std::atomic<int32_t> sso_policy{1};
  std::atomic<int32_t> pii_enabled{0};
  // Seconds of the emulator's clock an access token is valid for, and a refresh credential (the
  // right to renew tokens silently, given at each interactive sign-in and when an account is
  // seeded).
  std::atomic<int64_t> access_token_lifetime{kDefaultAccessTokenLifetime};
  std::atomic<int64_t> refresh_credential_lifetime{kDefaultRefreshCredentialLifetime};
  // Milliseconds a start operation takes to complete on a worker (0: as soon as one is free).
  std::array<std::atomic<int32_t>, kOperationCount> latency_ms{};
  // The size-finding call of a string getter answers Status_InsufficientBuffer for a present value.
  std::atomic<bool> first_call_error{true};
  // Misbehaviour for robustness tests: the size-finding call reports minus the needed size.
  std::atomic<bool> negative_size{false};
  // Misbehaviour for robustness tests: the filling call reports this many units more than it wrote.
  std::atomic<int32_t> grow_by{0};

  void reset();
  // The numbers a scenario's "settings" set by name (latency aside): `names` lists them, `known`
  // tells one, `set` sets it (nothing for another name).
  static const char* names();
  static bool known(std::string_view name);
  void set(std::string_view name, int64_t value);
};

}  // namespace vessaemu
