// The emulator's clock: Unix seconds by which tokens are issued, expire and are checked. The state
// reads the time only through the clock it was given, so a test can freeze and move it
// (VESSAEMU_SetClock, VESSAEMU_AdvanceClock) and see expiry happen without waiting. Delays and
// latencies are real waiting and keep the steady clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

namespace vessaemu {

// The times the clock may show. A token's expiry is the clock's time plus a lifetime of at most
// ten years (settings.hpp), and the runtime's contract carries it as 32 bits of Unix seconds,
// unsigned as the bindings read them (up to 2106-02-07): the clock stops short of that by the
// longest lifetime, so every expiry it makes is one a token carries.
inline constexpr int64_t kMaxLifetime = 315576000;  // ten years of 365.25 days
inline constexpr int64_t kEarliestTime = 0;
inline constexpr int64_t kLatestTime = 0xFFFFFFFF - kMaxLifetime;  // 2096-02-06T18:28:15Z

inline constexpr int64_t kMicrosecondsPerSecond = 1'000'000;

inline bool representable_time(int64_t unix_seconds) {
  return unix_seconds >= kEarliestTime && unix_seconds <= kLatestTime;
}

class Clock {
 public:
  virtual ~Clock() = default;

  // The system's time plus any advance, or the frozen time plus any advance.
  int64_t now() const {
    std::lock_guard lock(mutex_);
    return frozen_ ? frozen_at_ : system_now() + offset_;
  }

  // The same time in microseconds: a frozen clock's exactly, a running one's with the system's
  // fraction of a second. Its whole seconds are now()'s, so a reader that measures an expiry by it
  // (the bindings' layer) sees a token expire when the emulator does, and time pass in between.
  int64_t now_microseconds() const {
    std::lock_guard lock(mutex_);
    return frozen_ ? frozen_at_ * kMicrosecondsPerSecond
                   : system_now_microseconds() + offset_ * kMicrosecondsPerSecond;
  }

  // False, and nothing changed, for a time outside kEarliestTime..kLatestTime.
  bool freeze(int64_t unix_seconds) {
    if (!representable_time(unix_seconds)) return false;
    std::lock_guard lock(mutex_);
    frozen_ = true;
    frozen_at_ = unix_seconds;
    return true;
  }

  // False, and nothing changed, when the clock would leave kEarliestTime..kLatestTime.
  bool advance(int64_t seconds) {
    std::lock_guard lock(mutex_);
    const int64_t from = frozen_ ? frozen_at_ : system_now() + offset_;
    if (seconds > kLatestTime - from || seconds < kEarliestTime - from) return false;
    (frozen_ ? frozen_at_ : offset_) += seconds;
    return true;
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

 protected:
  // The precise clock: std::time may read a coarse one that lags a second boundary by a tick, so
  // a token could be issued before a time its caller read just before asking. Virtual, so that a
  // test of the emulator can give the state a clock whose "system time" it chooses.
  virtual int64_t system_now_microseconds() const {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  }

 private:
  // Whole seconds of the same reading (the system's time is past 1970: division is its floor).
  int64_t system_now() const { return system_now_microseconds() / kMicrosecondsPerSecond; }

  mutable std::mutex mutex_;
  bool frozen_ = false;
  int64_t frozen_at_ = 0;
  int64_t offset_ = 0;
};

}  // namespace vessaemu
