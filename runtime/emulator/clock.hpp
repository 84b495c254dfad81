// The emulator's clock: Unix seconds by which tokens are issued, expire and are checked. The state
// reads the time only through the clock it was given, so a test can freeze and move it
// (VESSAEMU_SetClock, VESSAEMU_AdvanceClock) and see expiry happen without waiting. Delays and
// latencies are real waiting and keep the steady clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace vessaemu {

class Clock {
 public:
  // The system's time plus any advance, or the frozen time plus any advance.
  int64_t now() const {
    std::lock_guard lock(mutex_);
    return frozen_ ? frozen_at_ : system_now() + offset_;
  }

  void freeze(int64_t unix_seconds) {
    std::lock_guard lock(mutex_);
    frozen_ = true;
    frozen_at_ = unix_seconds;
  }

  void advance(int64_t seconds) {
    std::lock_guard lock(mutex_);
    (frozen_ ? frozen_at_ : offset_) += seconds;
  }

  bool frozen() const {
    std::lock_guard lock(mutex_);
    return frozen_;
  }

  void reset() {
    std::lock_guard lock(mutex_);
    frozen_ = false;
    frozen_at_ = offset_ = 0;
  }

 private:
  // The precise clock: std::time may read a coarse one that lags a second boundary by a tick, so
  // a token could be issued before a time its caller read just before asking.
  static int64_t system_now() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
  }

  mutable std::mutex mutex_;
  bool frozen_ = false;
  int64_t frozen_at_ = 0;
  int64_t offset_ = 0;
};

}  // namespace vessaemu
