// Process-wide switches of the emulator: SSO policy, PII flag, token lifetimes, per-operation
// latency and how string getters answer. Atomics, since every thread reads them without a lock.
// Whether the runtime is started is the engine's to say (engine_running), nobody else's.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "clock.hpp"
#include "operations.hpp"

namespace vessaemu {

inline constexpr int64_t kDefaultAccessTokenLifetime = 3600;           // one hour
inline constexpr int64_t kDefaultRefreshCredentialLifetime = 7776000;  // ninety days
inline constexpr int64_t kDefaultRefreshMargin = 300;                  // five minutes
inline constexpr int64_t kDefaultTokenCacheSize = 1000;                // per account
inline constexpr int64_t kDefaultHeldTimeoutMs = 30000;                // thirty seconds
inline constexpr int64_t kMaxHeldTimeoutMs = 86400000;                 // one day

struct Settings {
  std::atomic<int32_t> sso_policy{1};
  std::atomic<int32_t> pii_enabled{0};
  // Seconds of the emulator's clock an access token is valid for, and a refresh credential (the
  // right to renew tokens silently, given at each interactive sign-in and when an account is
  // seeded).
  std::atomic<int64_t> access_token_lifetime{kDefaultAccessTokenLifetime};
  std::atomic<int64_t> refresh_credential_lifetime{kDefaultRefreshCredentialLifetime};
  // A cached access token with less than this many seconds left is renewed, not handed out: the
  // application would otherwise send a token that expires on its way.
  std::atomic<int64_t> refresh_margin{kDefaultRefreshMargin};
  // Cached access tokens kept per account, the least recently used dropped first.
  std::atomic<int64_t> token_cache_size{kDefaultTokenCacheSize};
  // Accounts are shared by every application on the device, as a broker shares them; on, an
  // account is known only to the applications (client ids) that signed it in.
  std::atomic<bool> accounts_per_application{false};
  // Milliseconds of steady time an operation stays held before it completes with an error,
  // unless a held() block says otherwise: a test that awaits one never released fails, not hangs.
  // Set in seconds ("held_timeout") or milliseconds ("held_timeout_ms").
  std::atomic<int64_t> held_timeout_ms{kDefaultHeldTimeoutMs};
  // Milliseconds a start operation takes to complete on a worker (0: as soon as one is free).
  std::array<std::atomic<int32_t>, kOperationCount> latency_ms{};
  // Whether an operation was started since its latency was set (a latency never used is an
  // aimed outcome that missed; see pending_outcomes).
  std::array<std::atomic<bool>, kOperationCount> latency_used{};
  // The size-finding call of a string getter answers Status_InsufficientBuffer for a present value.
  std::atomic<bool> first_call_error{true};
  // Misbehaviour for robustness tests: the size-finding call reports minus the needed size.
  std::atomic<bool> negative_size{false};
  // Misbehaviour for robustness tests: the filling call reports this many units more than it wrote.
  std::atomic<int32_t> grow_by{0};

  void reset();
  // The values a scenario's "settings" set by name (latency aside): `names` lists them, `find`
  // tells one's kind and range (null for another name), `specs` gives them all, `set` sets one
  // and `get` reads it.
  struct Spec {
    const char* name;
    bool flag;  // true or false, else a whole number from `low` to `high`
    int64_t low, high;
  };
  static const char* names();
  static const Spec* find(std::string_view name);
  static std::span<const Spec> specs();
  void set(std::string_view name, int64_t value);
  int64_t get(std::string_view name) const;
};

}  // namespace vessaemu
