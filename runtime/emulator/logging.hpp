// Log-routine registrations and the emulator's own log lines.
//
// A line goes to every registration live when it is written. Releasing a registration waits for
// the calls of its routine in progress on other threads, so none begins or runs once the release
// returns; a call in progress on the releasing thread itself (a routine that releases its own
// registration) is not waited for, which would never end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ref.hpp"
#include "registry.hpp"

namespace vessaemu {

struct State;

enum LogLevel : int32_t {
  kLogTrace = 1,
  kLogDebug = 2,
  kLogInfo = 3,
  kLogWarning = 4,
  kLogError = 5,
  kLogFatal = 6,
};

struct LogCallbackObject : Object {
  static constexpr Kind kKind = Kind::LogCallback;
  LogCallbackObject(VESSARUNTIME_LOG_ROUTINE r, void* c) : routine(r), context(c) {}
  const VESSARUNTIME_LOG_ROUTINE routine;
  void* const context;

  // Records a call about to begin on this thread; false once the registration is closed.
  bool enter();
  void leave();
  // No call begins after this; waits for those in progress on other threads.
  void close();

 private:
  friend struct Registrations;
  std::mutex mutex;
  std::condition_variable left;
  bool closed = false;
  std::vector<std::thread::id> callers;
};

// The registrations' part of the emulator's state (state.hpp): `live` is guarded by `mutex`;
// `count` mirrors its size for a lock-free look whether anybody listens.
struct Registrations {
  std::mutex mutex;
  std::vector<Ref<LogCallbackObject>> live;  // in order of registration
  std::atomic<int32_t> count{0};

  // Closes and forgets every registration (their handles are dropped by the registry reset).
  void reset();

  // Over a fork: every lock of the registrations is held, so that none is changing as the
  // process is copied; in the child, the calls in progress on the threads that did not follow
  // are forgotten.
  void hold_for_fork();
  void release_after_fork(bool in_child);
};

// Writes the line to every live registration of the state, from the calling thread.
void log_line(State& st, int32_t level, const std::u16string& message);
// UTF-8 convenience for the emulator's own lines; costs nothing without a registration.
void log(State& st, int32_t level, std::string_view message);
bool logging_wanted(const State& st);
// The level of the line saying an operation completed with an error of `status`: an outcome that
// a sign-in meets in the normal course (the user must sign in or closed the prompt, the
// application cancelled, another account is needed) is news (info), so that an application
// logging at its default level shows no noise on every sign-in; any other status is a failure
// (warning).
int32_t completion_level(int32_t status);
// What a line may show of personal data: the text itself only while the state's PII logging is
// on.
std::string pii(const State& st, std::u16string_view text);

int32_t log_registrations(const Registrations& r);

}  // namespace vessaemu
