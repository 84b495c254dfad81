// The asynchronous engine: worker threads started by Startup and joined by Shutdown, the queue of
// operations waiting for them, the completion modes, cancellation and scripted completion faults.
//
// Lock rule: the engine's lock only guards its containers and counters; no routine (completion
// or log) is ever called while it is held. Whoever takes a job out of the containers under the
// lock is the only one who may complete it, and AsyncOperationObject::claim() settles the race
// between that completion and a cancellation.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "async_operations.hpp"
#include "errors.hpp"
#include "operations.hpp"
#include "ref.hpp"

namespace vessaemu {

enum class CompletionMode : int32_t { Worker = 0, Inline = 1, Held = 2, Delayed = 3 };

// What a completion delivers: the operation's own outcome, an error result, or a null result.
struct Outcome {
  enum class Kind { Normal, Error, NullResult } kind = Kind::Normal;
  ErrorInfo error;

  static Outcome failure(ErrorInfo info) { return Outcome{Kind::Error, std::move(info)}; }
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
  std::chrono::steady_clock::time_point due{};
};

// Registers the operation's handle and schedules its one completion by the current mode; stores
// the handle through `asyncHandle`. Refused with an error (Status_IncorrectConfiguration) while
// the runtime is not started. In inline mode the completion runs before this returns.
VESSARUNTIME_ERROR_HANDLE start_job(Op op, Ref<Job> job, VESSARUNTIME_ASYNC_HANDLE* asyncHandle);

// Startup: starts the workers; false (and nothing started) if the runtime already runs.
// Throws if a thread cannot be made.
bool engine_start();
// Shutdown: refuses new operations, completes every pending one (queued, held, delayed) with an
// error result on this thread, then joins the workers (which finish what they are delivering).
// Returns false if the runtime was not started.
bool engine_stop();
// Reset: like engine_stop, but pending operations are dropped without a call of their routine;
// then mode, delay and scripted faults go back to their defaults.
void engine_reset();

void set_completion_mode(CompletionMode mode, int32_t delay_ms);
CompletionMode completion_mode(int32_t* delay_ms);
// Hands up to `count` held operations (all for count < 0) to the workers, oldest first.
int32_t release_held(int32_t count);
// Started and not yet completed: queued, held, delayed and being delivered.
int64_t pending_operations();
int64_t held_operations();
int32_t worker_count();
// Waits until nothing is queued, delayed or being delivered (held operations do not count).
bool wait_idle(std::chrono::milliseconds timeout);

// The next completion of `op`, whatever its cause, delivers this outcome instead (in order).
void script_completion(Op op, Outcome outcome);
// Whether `op` is one of the eight start operations.
bool is_start_operation(Op op);

}  // namespace vessaemu
