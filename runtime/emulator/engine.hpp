// The asynchronous engine: worker threads started by Startup and joined by Shutdown, the queue of
// operations waiting for them, the completion modes, per-operation latency and cancellation.
//
// Lock rule: the engine's lock only guards its containers and counters; no routine (completion
// or log) is ever called while it is held. Whoever takes a job out of the containers under the
// lock is the only one who may complete it, and AsyncOperationObject::claim() settles the race
// between that completion and a cancellation.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "async_operations.hpp"
#include "errors.hpp"
#include "operations.hpp"
#include "ref.hpp"

namespace vessaemu {

struct State;

// Early completes inline too, but before the start call stores the operation's handle: what a
// runtime that calls back before it hands out the handle would do, on purpose and every time.
enum class CompletionMode : int32_t { Worker = 0, Inline = 1, Held = 2, Delayed = 3, Early = 4 };

// What a completion delivers: the operation's own outcome, an error result, or a null result.
// Scripted outcomes (scenario.hpp) replace the first; a cancel or a stop makes the second. A
// scripted partial grant is the operation's own outcome with `granted_scopes` in place of the
// requested ones.
struct Outcome {
  enum class Kind { Normal, Error, NullResult } kind = Kind::Normal;
  ErrorInfo error;
  Text granted_scopes;
  // A success replayed as scripted (scenario.hpp): the token's lifetime in seconds instead of
  // the setting's, and the stored account a sign-in signs in (key, account id or user name).
  std::optional<int64_t> expires_in = std::nullopt;
  Text signs_in = std::nullopt;

  static Outcome failure(ErrorInfo info) {
    return Outcome{Kind::Error, std::move(info), std::nullopt};
  }
};

// One started operation. `deliver` builds the result for an outcome and calls the routine; it
// owns copies of everything the operation needs, since the caller's texts die with the start call.
struct Job : RefCounted {
  Op op = Op::Count;
  uint64_t handle = 0;  // the async-operation handle, for log lines
  Ref<AsyncOperationObject> operation;
  std::function<void(const Outcome&)> deliver;

  // Engine bookkeeping, under the engine's lock.
  uint64_t id = 0;
  enum class Where { None, Queued, Held, Delayed } where = Where::None;
  // When a delayed job is due, or a held one's hold times out (of the steady clock: moving the
  // emulator's token clock must not release or expire anything).
  std::chrono::steady_clock::time_point due{};
  int64_t hold_ms = 0;        // how long a held job may stay held
  bool hold_expired = false;  // taken out because its hold timed out
};

// The engine's part of the emulator's state (state.hpp); every field is guarded by `mutex`.
struct Engine {
  using Clock = std::chrono::steady_clock;

  std::mutex mutex;
  std::condition_variable work;  // workers wait here for jobs, for a due delay, or to stop
  std::condition_variable idle;  // wait_idle and the stops wait here for completions to end
  // wait_for_pending waits here for operations to start
  std::condition_variable started;
  bool running = false;
  // Workers of an older start end when they see the generation move on, even if a new start
  // has set `running` again meanwhile.
  uint64_t generation = 0;
  std::vector<std::thread> workers;
  // Workers of stopped starts not joined yet: a stop called from inside a routine joins nothing
  // (it may run on one of them, and another routine may wait for it); the next stop called
  // outside every routine joins them.
  std::vector<std::thread> retired;

  CompletionMode mode = CompletionMode::Worker;
  int32_t delay_ms = 0;
  // Start operations held whatever the mode, and the hold timeout of operations held from now on
  // (0: the setting held_timeout_ms).
  std::array<bool, kOperationCount> hold{};
  int64_t hold_timeout_ms = 0;
  // Held operations never released, completed with an error when their hold timed out; a test
  // that waited for one is told (expired_holds).
  std::vector<std::string> expired_holds;

  uint64_t next_id = 0;
  std::deque<Ref<Job>> queue;                          // ready for a worker
  std::map<uint64_t, Ref<Job>> waiting;                // held or delayed, by id (start order)
  std::multimap<Clock::time_point, uint64_t> delayed;  // ids of the delayed ones by due time
  // Ids of the held ones by the time their hold times out: apart from `delayed`, since a held
  // operation is no work in progress (wait_idle).
  std::multimap<Clock::time_point, uint64_t> hold_deadlines;
  int64_t held = 0;
  int64_t in_flight = 0;  // taken out of the containers and being completed, on any thread
  // Completions of threads that wait in a stop called from inside their routine. Such a stop
  // does not wait for these, or two routines stopping the runtime at once would wait for each
  // other for ever.
  int64_t parked = 0;

  bool is_idle() const { return queue.empty() && delayed.empty() && in_flight == 0; }
  int64_t pending() const {
    return static_cast<int64_t>(queue.size() + waiting.size()) + in_flight;
  }
};

// Registers the operation's handle and schedules its one completion by the current mode. The
// handle is stored through `asyncHandle` before any completion can run (a routine may read it
// through its context), except in Early mode. Refused with an error
// (Status_IncorrectConfiguration), storing nothing, while the runtime is not started. In inline
// and early mode the completion runs before this returns. An operation with a latency
// (Settings::latency_ms) completes that much later on a worker, in worker and delayed mode.
VESSARUNTIME_ERROR_HANDLE start_job(State& st, Op op, Ref<Job> job,
                                    VESSARUNTIME_ASYNC_HANDLE* asyncHandle);

// Startup: starts the workers, each given the state whose engine it serves; false (and nothing
// started) if the runtime already runs. Throws if a thread cannot be made.
bool engine_start(State& st);
bool engine_running(Engine& e);
// Shutdown: refuses new operations and completes every pending one (queued, held, delayed) with
// an error result on this thread. Then, whether or not the runtime was started, waits for every
// completion in progress: on the workers, inline on other threads, on workers of an earlier
// start. Called from inside a routine, it does not wait for its own completion nor for routines
// that wait in a shut-down or reset themselves, and joins no thread (a later stop does).
// Returns false if the runtime was not started.
bool engine_stop(State& st);
// Reset: like engine_stop, but pending operations complete with an error saying so (or, when
// `deliver` is false, are dropped without a call of their routine); then mode, delay, the held
// operations, the hold timeout and the expired holds go back to their defaults.
void engine_reset(State& st, bool deliver);

void set_completion_mode(Engine& e, CompletionMode mode, int32_t delay_ms);
CompletionMode completion_mode(Engine& e, int32_t* delay_ms);
// Hands up to `count` held operations (all for count < 0) to the workers, oldest first.
int32_t release_held(Engine& e, int32_t count);
// Started and not yet completed: queued, held, delayed and being delivered.
int64_t pending_operations(Engine& e);
int64_t held_operations(Engine& e);
int32_t worker_count(Engine& e);
// Waits until nothing is queued, delayed or being delivered (held operations do not count).
bool wait_idle(Engine& e, std::chrono::milliseconds timeout);
// Waits until at least `count` operations are pending; the number pending when it returns.
int64_t wait_for_pending(Engine& e, int64_t count, std::chrono::milliseconds timeout);

// A held operation is completed on a worker with an error result (Status_ApplicationCanceled)
// once it has been held for its hold timeout, so a test that waits for one never released ends.
// Holds `op` (or stops holding it) in every mode; whether it was held.
bool hold_operation(Engine& e, Op op, bool hold);
// The hold timeout of operations held from now on (0: the setting); the previous one.
int64_t set_hold_timeout(Engine& e, int64_t timeout_ms);
// Descriptions of the held operations whose hold timed out, oldest first.
std::vector<std::string> expired_holds(Engine& e);

}  // namespace vessaemu
