// The asynchronous engine (see engine.hpp).
#include "engine.hpp"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "call.hpp"
#include "logging.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace vessaemu {
namespace {

using Steady = Engine::Clock;

constexpr int kWorkers = 2;

// Completions in progress on this thread: more than one when a routine starts an operation that
// completes inline. A stop called from a routine must not wait for these. Counted per thread, not
// per engine: routines reach the emulator through the exports only, so a stop called from one is
// a stop of the process's engine, the one completing it. (A routine of a state built apart that
// stopped the process's engine would have it wait for too little.)
thread_local int64_t t_in_flight = 0;

// Counts completions as in flight until they are over, also when the host ends the thread inside
// a routine. Whoever takes jobs out of the containers raises the engine's count under its lock
// and makes this guard right after, before anything can call out.
class InFlight {
 public:
  explicit InFlight(Engine& e, int64_t count = 1) : e_(e), count_(count) { t_in_flight += count; }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;
  ~InFlight() {
    t_in_flight -= count_;
    if (count_ == 0) return;
    {
      std::lock_guard lock(e_.mutex);
      e_.in_flight -= count_;
    }
    e_.idle.notify_all();
  }

  // One job of a drained batch goes over to a guard of its own.
  void hand_over_one() {
    --count_;
    --t_in_flight;
  }

 private:
  Engine& e_;
  int64_t count_;
};

// Why a job completes: its normal run, its hold timing out, or a stop (Drop: a stop that calls no
// routine).
enum class Cause { Run, HoldExpired, Shutdown, Reset, Drop };

std::string describe(const Job& job) {
  char text[96];
  std::snprintf(text, sizeof text, "%s (operation 0x%llx)", short_name(job.op),
                static_cast<unsigned long long>(job.handle));
  return text;
}

ErrorInfo error_for(Op op, int32_t status, const std::string& what) {
  return ErrorInfo{status, 0, 0, widen(std::string(full_name(op)) + ": " + what)};
}

std::string held_for(const Job& job) {
  char text[64];
  std::snprintf(text, sizeof text, "held for %g s and never released",
                static_cast<double>(job.hold_ms) / 1000);
  return text;
}

// Completes a job taken out of the containers. Not noexcept: a forced unwind from the routine
// passes through.
void run_job(Job& job, Cause cause) {
  const Claim claim = job.operation->claim();
  if (claim == Claim::AlreadyCompleted) return;
  Outcome outcome;
  if (claim == Claim::Cancelled) {
    outcome = Outcome::failure(
        error_for(job.op, kStatusApplicationCanceled, "the operation was cancelled"));
  } else if (cause == Cause::HoldExpired) {
    outcome = Outcome::failure(error_for(
        job.op, kStatusApplicationCanceled,
        held_for(job) + " (the emulator ends a hold after its timeout: release_held(), or "
                        "leaving the held() block, releases held operations)"));
  } else if (cause == Cause::Shutdown) {
    outcome = Outcome::failure(error_for(job.op, kStatusApplicationCanceled,
                                         "the runtime shut down before the operation completed"));
  } else if (cause == Cause::Reset) {
    outcome = Outcome::failure(error_for(job.op, kStatusApplicationCanceled,
                                         "the emulator was reset before the operation completed"));
  }
  job.deliver(outcome);
}

// Kept for expired_holds and said in the log, before the error completes the operation.
void note_expired_hold(State& st, const Job& job) {
  std::string what = std::string(python_name(job.op)) + " (operation 0x";
  char handle[24];
  std::snprintf(handle, sizeof handle, "%llx", static_cast<unsigned long long>(job.handle));
  what += std::string(handle) + ") " + held_for(job);
  log(st, kLogWarning, what + ": it completes with an error (status 8)");
  std::lock_guard lock(st.engine.mutex);
  st.engine.expired_holds.push_back(std::move(what));
}

// Runs one job and keeps the thread alive through any failure but a forced unwind.
VESSAEMU_FORCED_UNWIND_PATH void run_guarded(State& st, Job& job, Cause cause) {
  try {
    if (cause == Cause::HoldExpired) note_expired_hold(st, job);
    run_job(job, cause);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
    pass_foreign_unwind();
    // The result could not be built (out of memory): the operation stays completed without a
    // call, as a runtime that lost it would.
  }
}

// The next job for a worker of `generation`, or null when that generation stops.
Ref<Job> take(Engine& e, uint64_t generation) {
  std::unique_lock lock(e.mutex);
  for (;;) {
    if (!e.running || e.generation != generation) return nullptr;
    if (!e.queue.empty()) {
      Ref<Job> job = std::move(e.queue.front());
      e.queue.pop_front();
      job->where = Job::Where::None;
      ++e.in_flight;
      return job;
    }
    // The first due: a delayed job, or a held one whose hold times out.
    auto* times = &e.delayed;
    if (times->empty() || (!e.hold_deadlines.empty() &&
                           e.hold_deadlines.begin()->first < times->begin()->first)) {
      times = &e.hold_deadlines;
    }
    if (times->empty()) {
      e.work.wait(lock);
      continue;
    }
    auto first = times->begin();
    // A copy: while this thread waits, another may take that job and free its entry.
    const Steady::time_point due = first->first;
    if (due > Steady::now()) {
      e.work.wait_until(lock, due);
      continue;
    }
    auto found = e.waiting.find(first->second);
    times->erase(first);
    if (found == e.waiting.end()) continue;
    Ref<Job> job = std::move(found->second);
    e.waiting.erase(found);
    if (job->where == Job::Where::Held) {
      --e.held;
      job->hold_expired = true;
    }
    job->where = Job::Where::None;
    ++e.in_flight;
    return job;
  }
}

VESSAEMU_FORCED_UNWIND_PATH void worker_main(State& st, uint64_t generation) {
  Engine& e = st.engine;
  try {
    while (Ref<Job> job = take(e, generation)) {
      InFlight done(e);
      run_guarded(st, *job, job->hold_expired ? Cause::HoldExpired : Cause::Run);
    }
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
    pass_foreign_unwind();
    // Waiting for work failed (a broken lock): the worker ends rather than the process.
  }
}

// Forgets when a held or delayed job is due; the engine's lock is held.
void forget_due(Engine& e, const Job& job) {
  auto& times = job.where == Job::Where::Held ? e.hold_deadlines : e.delayed;
  auto [first, last] = times.equal_range(job.due);
  for (auto it = first; it != last; ++it) {
    if (it->second == job.id) {
      times.erase(it);
      return;
    }
  }
}

// Takes every job out of the containers, in start order; the engine's lock is held. `jobs` has
// room for all of them already, so nothing here can fail half-way.
void drain_locked(Engine& e, std::vector<Ref<Job>>& jobs) {
  for (auto& job : e.queue) jobs.push_back(std::move(job));
  for (auto& [id, job] : e.waiting) jobs.push_back(std::move(job));
  e.queue.clear();
  e.waiting.clear();
  e.delayed.clear();
  e.hold_deadlines.clear();
  e.held = 0;
  std::sort(jobs.begin(), jobs.end(),
            [](const Ref<Job>& a, const Ref<Job>& b) { return a->id < b->id; });
  for (auto& job : jobs) job->where = Job::Where::None;
  e.in_flight += static_cast<int64_t>(jobs.size());
}

// Waits, the lock held, until no completion is in progress but this thread's own and those of
// threads parked here from inside their routines.
void wait_for_completions(Engine& e, std::unique_lock<std::mutex>& lock) {
  const int64_t own = t_in_flight;
  if (own == 0) {
    e.idle.wait(lock, [&] { return e.in_flight == 0; });
    return;
  }
  e.parked += own;
  e.idle.notify_all();  // a routine parked already may be waiting for this one only
  e.idle.wait(lock, [&] { return e.in_flight <= e.parked; });
  e.parked -= own;
}

// Stops the workers if they run, and completes the pending jobs on this thread: with an error
// for `cause` Shutdown or Reset, or silently for Drop. Then waits for the completions in
// progress elsewhere and, outside every routine, joins the stopped workers.
bool stop(State& st, Cause cause) {
  Engine& e = st.engine;
  std::vector<Ref<Job>> jobs;
  bool was_running = false;
  {
    std::lock_guard lock(e.mutex);
    if (e.running) {
      jobs.reserve(e.queue.size() + e.waiting.size());
      e.retired.reserve(e.retired.size() + e.workers.size());
      was_running = true;
      e.running = false;
      ++e.generation;
      drain_locked(e, jobs);
      for (auto& worker : e.workers) e.retired.push_back(std::move(worker));
      e.workers.clear();
    }
  }
  if (was_running) {
    e.work.notify_all();
    InFlight drained(e, static_cast<int64_t>(jobs.size()));
    if (cause != Cause::Drop && logging_wanted(st)) {
      char text[112];
      std::snprintf(text, sizeof text, "%s: %zu pending operations complete with an error",
                    cause == Cause::Reset ? "emulator reset" : "runtime shutting down",
                    jobs.size());
      log(st, kLogInfo, text);
    }
    for (auto& job : jobs) {
      drained.hand_over_one();
      InFlight done(e);
      if (cause == Cause::Drop) {
        job->operation->claim();
      } else {
        run_guarded(st, *job, cause);
      }
      job = nullptr;
    }
  }
  std::vector<std::thread> joinable;
  {
    std::unique_lock lock(e.mutex);
    wait_for_completions(e, lock);
    if (t_in_flight == 0) joinable.swap(e.retired);
  }
  // Every completion is over, so the workers are on their way out: none takes a job again.
  for (auto& thread : joinable) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  if (was_running && cause == Cause::Shutdown) log(st, kLogInfo, "runtime shut down");
  return was_running;
}

}  // namespace

VESSARUNTIME_ERROR_HANDLE start_job(State& st, Op op, Ref<Job> job,
                                    VESSARUNTIME_ASYNC_HANDLE* asyncHandle) {
  Engine& e = st.engine;
  job->op = op;
  job->operation = make_ref<AsyncOperationObject>();
  {
    std::lock_guard lock(e.mutex);
    job->id = ++e.next_id;
  }
  // The action holds the engine and the id only: a job may be gone by the time a late cancel runs
  // it.
  job->operation->on_cancel = [&e, id = job->id] {
    {
      std::lock_guard lock(e.mutex);
      auto found = e.waiting.find(id);
      if (found == e.waiting.end()) return;  // queued (it sees the cancellation) or taken
      Ref<Job> cancelled = std::move(found->second);
      e.waiting.erase(found);
      if (cancelled->where == Job::Where::Held) --e.held;
      forget_due(e, *cancelled);
      // A worker delivers the cancellation, as soon as it can.
      cancelled->where = Job::Where::Queued;
      e.queue.push_front(std::move(cancelled));
    }
    e.work.notify_one();
  };
  job->handle = register_object(st.registry, Kind::AsyncOperation, job->operation);

  const auto handle = as_handle<VESSARUNTIME_ASYNC_HANDLE>(job->handle);
  // An operation's own latency applies where a worker completes it on its own: it stands in for
  // the delay of delayed mode and turns worker mode into a delay.
  const int32_t latency = st.settings.latency_ms[static_cast<int>(op)].load();
  // How the job completes, as the engine stands now; said in the log before the job is
  // published, since a worker may complete it (and log that) the moment it is.
  CompletionMode mode = CompletionMode::Worker;
  int32_t delay = 0;
  uint64_t generation = 0;
  bool running = false;
  {
    std::lock_guard lock(e.mutex);
    running = e.running;
    generation = e.generation;
    mode = e.hold[static_cast<int>(op)] ? CompletionMode::Held : e.mode;
    delay = e.delay_ms;
    job->hold_ms = e.hold_timeout_ms;
  }
  if (job->hold_ms == 0) job->hold_ms = st.settings.held_timeout_ms.load();
  if (latency > 0 && mode == CompletionMode::Worker) mode = CompletionMode::Delayed;
  if (mode == CompletionMode::Delayed && latency > 0) delay = latency;
  if (mode != CompletionMode::Delayed) delay = 0;
  const bool early = mode == CompletionMode::Early;
  const bool run_inline = early || mode == CompletionMode::Inline;
  if (running && logging_wanted(st)) {
    static constexpr const char* kHow[] = {"queued for a worker", "completes inline",
                                           "held until released", "delayed",
                                           "completes inline before its handle is stored"};
    std::string line = describe(*job) + ": " + kHow[static_cast<int>(mode)];
    if (delay > 0) line += " by " + std::to_string(delay) + " ms";
    log(st, kLogDebug, line);
  }
  bool published = false;
  try {
    std::lock_guard lock(e.mutex);
    // A stop (or a stop and a new start) in between refuses the job as if it came after.
    if (running && e.running && e.generation == generation) {
      switch (mode) {
        case CompletionMode::Inline:
        case CompletionMode::Early:
          break;
        case CompletionMode::Held:
          job->where = Job::Where::Held;
          job->due = Steady::now() + std::chrono::milliseconds(job->hold_ms);
          e.hold_deadlines.emplace(job->due, job->id);  // first, as for a delayed job below
          e.waiting.emplace(job->id, job);
          ++e.held;
          break;
        case CompletionMode::Delayed:
          job->where = Job::Where::Delayed;
          job->due = Steady::now() + std::chrono::milliseconds(delay);
          // In this order: a due time whose job is not waiting is skipped (take), if the second
          // insertion fails.
          e.delayed.emplace(job->due, job->id);
          e.waiting.emplace(job->id, job);
          break;
        case CompletionMode::Worker:
          job->where = Job::Where::Queued;
          e.queue.push_back(job);
          break;
      }
      if (run_inline) ++e.in_flight;
      // The handle is the caller's before the lock is left, which publishes the job: a worker
      // may complete it at once, and its routine may read the handle through the context value.
      if (!early) *asyncHandle = handle;
      published = true;
    }
  } catch (...) {
    pass_foreign_unwind();
    // Nothing was published (a container could not grow): the start fails and leaves nothing.
    unregister_object(st.registry, job->handle, Kind::AsyncOperation, nullptr);
    job->operation->claim();
    throw;
  }
  if (!published) {
    unregister_object(st.registry, job->handle, Kind::AsyncOperation, nullptr);
    job->operation->claim();
    log(st, kLogError, std::string(short_name(op)) + " refused: the runtime is not started");
    return new_error(st.registry,
                     error_for(op, kStatusIncorrectConfiguration, "the runtime is not started"));
  }
  if (latency > 0) st.settings.latency_used[static_cast<int>(op)] = true;
  // From here the inline completion is counted as in flight until it is over, whatever happens.
  std::optional<InFlight> inline_done;
  if (run_inline) inline_done.emplace(e);
  if (!run_inline) e.work.notify_one();
  e.started.notify_all();
  if (early) {
    // Stored however the completion ends, so the caller never loses the handle it owns.
    struct StoreAfter {
      VESSARUNTIME_ASYNC_HANDLE* slot;
      VESSARUNTIME_ASYNC_HANDLE handle;
      ~StoreAfter() { *slot = handle; }
    } store{asyncHandle, handle};
    run_job(*job, Cause::Run);
  } else if (run_inline) {
    run_job(*job, Cause::Run);
  }
  return kOk;
}

bool engine_start(State& st) {
  Engine& e = st.engine;
  std::lock_guard lock(e.mutex);
  if (e.running) return false;
  const uint64_t generation = ++e.generation;
  std::vector<std::thread> threads;
  try {
    for (int i = 0; i < kWorkers; ++i) threads.emplace_back(worker_main, std::ref(st), generation);
  } catch (...) {
    pass_foreign_unwind();
    // The ones made see the generation move on and end; none of them waits for this lock long.
    ++e.generation;
    e.work.notify_all();
    for (auto& thread : threads) thread.detach();
    throw;
  }
  e.workers = std::move(threads);
  e.running = true;
  return true;
}

bool engine_running(Engine& e) {
  std::lock_guard lock(e.mutex);
  return e.running;
}

bool engine_stop(State& st) {
  return stop(st, Cause::Shutdown);
}

void engine_reset(State& st, bool deliver) {
  stop(st, deliver ? Cause::Reset : Cause::Drop);
  Engine& e = st.engine;
  std::lock_guard lock(e.mutex);
  e.mode = CompletionMode::Worker;
  e.delay_ms = 0;
  e.hold.fill(false);
  e.hold_timeout_ms = 0;
  e.expired_holds.clear();
}

void set_completion_mode(Engine& e, CompletionMode mode, int32_t delay_ms) {
  std::lock_guard lock(e.mutex);
  e.mode = mode;
  e.delay_ms = delay_ms > 0 ? delay_ms : 0;
}

CompletionMode completion_mode(Engine& e, int32_t* delay_ms) {
  std::lock_guard lock(e.mutex);
  if (delay_ms != nullptr) *delay_ms = e.delay_ms;
  return e.mode;
}

int32_t release_held(Engine& e, int32_t count) {
  int32_t released = 0;
  {
    std::lock_guard lock(e.mutex);
    for (auto it = e.waiting.begin(); it != e.waiting.end() && (count < 0 || released < count);) {
      if (it->second->where != Job::Where::Held) {
        ++it;
        continue;
      }
      forget_due(e, *it->second);
      it->second->where = Job::Where::Queued;
      e.queue.push_back(std::move(it->second));
      it = e.waiting.erase(it);
      --e.held;
      ++released;
    }
  }
  if (released > 0) e.work.notify_all();
  return released;
}

int64_t pending_operations(Engine& e) {
  std::lock_guard lock(e.mutex);
  return e.pending();
}

int64_t held_operations(Engine& e) {
  std::lock_guard lock(e.mutex);
  return e.held;
}

int32_t worker_count(Engine& e) {
  std::lock_guard lock(e.mutex);
  return static_cast<int32_t>(e.workers.size());
}

bool wait_idle(Engine& e, std::chrono::milliseconds timeout) {
  std::unique_lock lock(e.mutex);
  return e.idle.wait_for(lock, timeout, [&] { return e.is_idle(); });
}

int64_t wait_for_pending(Engine& e, int64_t count, std::chrono::milliseconds timeout) {
  // Longer is for ever, and keeps the deadline within the steady clock's range.
  timeout = std::min<std::chrono::milliseconds>(timeout, std::chrono::hours(24 * 366));
  std::unique_lock lock(e.mutex);
  e.started.wait_for(lock, timeout, [&] { return e.pending() >= count; });
  return e.pending();
}

bool hold_operation(Engine& e, Op op, bool hold) {
  std::lock_guard lock(e.mutex);
  return std::exchange(e.hold[static_cast<int>(op)], hold);
}

int64_t set_hold_timeout(Engine& e, int64_t timeout_ms) {
  std::lock_guard lock(e.mutex);
  return std::exchange(e.hold_timeout_ms, timeout_ms);
}

std::vector<std::string> expired_holds(Engine& e) {
  std::lock_guard lock(e.mutex);
  return e.expired_holds;
}

}  // namespace vessaemu
