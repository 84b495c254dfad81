// Process-wide switches of the emulator: SSO policy, PII flag and how string getters answer.
// Atomics, since every thread reads them without a lock. Whether the runtime is started is the
// engine's to say (engine_running), nobody else's.
#pragma once

#include <atomic>
#include <cstdint>

namespace vessaemu {

struct Settings {
  std::atomic<int32_t> sso_policy{1};
  std::atomic<int32_t> pii_enabled{0};
  // The size-finding call of a string getter answers Status_InsufficientBuffer for a present value.
  std::atomic<bool> first_call_error{true};
  // Misbehaviour for robustness tests: the size-finding call reports minus the needed size.
  std::atomic<bool> negative_size{false};
  // Misbehaviour for robustness tests: the filling call reports this many units more than it wrote.
  std::atomic<int32_t> grow_by{0};
};

Settings& settings();
void reset_settings();

}  // namespace vessaemu
