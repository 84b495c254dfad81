// Startup and Shutdown, the SSO policy, the PII switch and the settings, and what a fork does.
#include <condition_variable>
#include <new>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "call.hpp"
#include "engine.hpp"
#include "logging.hpp"
#include "scenario.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace vessaemu {

void Settings::reset() {
  sso_policy = 1;
  pii_enabled = 0;
  access_token_lifetime = kDefaultAccessTokenLifetime;
  refresh_credential_lifetime = kDefaultRefreshCredentialLifetime;
  refresh_margin = kDefaultRefreshMargin;
  token_cache_size = kDefaultTokenCacheSize;
  accounts_per_application = false;
  held_timeout_ms = kDefaultHeldTimeoutMs;
  for (auto& latency : latency_ms) latency = 0;
  for (auto& used : latency_used) used = false;
  first_call_error = true;
  negative_size = false;
  grow_by = 0;
}

namespace {

constexpr int64_t kInt32Low = -2147483647 - 1;
constexpr int64_t kInt32High = 2147483647;

constexpr Settings::Spec kSpecs[] = {
    {"access_token_lifetime", false, 0, kMaxLifetime},
    {"refresh_credential_lifetime", false, 0, kMaxLifetime},
    {"refresh_margin", false, 0, kMaxLifetime},
    {"token_cache_size", false, 1, 1000000},
    {"accounts_per_application", true, 0, 1},
    {"sso_policy", false, kInt32Low, kInt32High},
    {"held_timeout", false, 1, kMaxHeldTimeoutMs / 1000},
    {"held_timeout_ms", false, 1, kMaxHeldTimeoutMs},
    {"first_call_error", true, 0, 1},
    {"negative_size", true, 0, 1},
    {"grow_by", false, kInt32Low, kInt32High},
};

}  // namespace

const char* Settings::names() {
  return "access_token_lifetime, refresh_credential_lifetime, refresh_margin, token_cache_size, "
         "accounts_per_application, sso_policy, held_timeout, held_timeout_ms, first_call_error, "
         "negative_size, grow_by";
}

const Settings::Spec* Settings::find(std::string_view name) {
  for (const auto& spec : kSpecs) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

std::span<const Settings::Spec> Settings::specs() {
  return kSpecs;
}

int64_t Settings::get(std::string_view name) const {
  if (name == "access_token_lifetime") return access_token_lifetime;
  if (name == "refresh_credential_lifetime") return refresh_credential_lifetime;
  if (name == "refresh_margin") return refresh_margin;
  if (name == "token_cache_size") return token_cache_size;
  if (name == "accounts_per_application") return accounts_per_application;
  if (name == "sso_policy") return sso_policy;
  if (name == "first_call_error") return first_call_error;
  if (name == "negative_size") return negative_size;
  return grow_by;
}

void Settings::set(std::string_view name, int64_t value) {
  const auto small = static_cast<int32_t>(value);
  if (name == "access_token_lifetime") access_token_lifetime = value;
  if (name == "refresh_credential_lifetime") refresh_credential_lifetime = value;
  if (name == "refresh_margin") refresh_margin = value;
  if (name == "token_cache_size") token_cache_size = value;
  if (name == "accounts_per_application") accounts_per_application = value != 0;
  if (name == "sso_policy") sso_policy = small;
  if (name == "held_timeout") held_timeout_ms = value * 1000;
  if (name == "held_timeout_ms") held_timeout_ms = value;
  if (name == "first_call_error") first_call_error = value != 0;
  if (name == "negative_size") negative_size = value != 0;
  if (name == "grow_by") grow_by = small;
}

#if !defined(_WIN32)
// A forked child has only the thread that forked: the workers are gone, and a lock that another
// thread held at the fork would stay locked for ever. So the fork happens while this thread
// holds every lock of the state, and the child returns to "not started": what was pending never
// completes there, as a runtime's threads do not follow a fork, and a start works again. The
// locks are taken in the order the emulator nests them: the scenario's (held across a load,
// which takes the others), the scripted outcomes' before the store's (matching an outcome reads
// the store); the others are never held together with another.
namespace {

// The thread objects of the parent's workers, in the child: neither joined nor detached (the
// threads do not exist there), and never destroyed (destroying a joinable one ends the process).
std::vector<std::thread>* orphans = nullptr;

template <class Each>
void each_lock(State& s, Each each) {
  each(s.scenario_mutex);
  each(s.engine.mutex);
  each(s.identity.mutex);
  each(s.outcomes.mutex);
  each(s.store.mutex);
  each(s.injections.mutex);
  each(s.operations.faults_mutex);
  each(s.history.mutex);
  each(s.violations.mutex);
  s.registry.each_mutex(each);
}

void before_fork() {
  State& s = state();
  each_lock(s, [](std::mutex& m) { m.lock(); });
  s.registrations.hold_for_fork();
  // Room for the child's orphans now: the child must not fail half-way.
  if (!orphans) orphans = new std::vector<std::thread>();
  orphans->reserve(orphans->size() + s.engine.workers.size() + s.engine.retired.size());
}

void release_locks(State& s, bool in_child) {
  s.registrations.release_after_fork(in_child);
  each_lock(s, [](std::mutex& m) { m.unlock(); });
}

void after_fork_in_parent() {
  release_locks(state(), false);
}

void after_fork_in_child() {
  State& s = state();
  Engine& e = s.engine;
  for (auto* threads : {&e.workers, &e.retired}) {
    for (auto& thread : *threads) orphans->push_back(std::move(thread));
    threads->clear();
  }
  e.running = false;
  ++e.generation;
  e.queue.clear();
  e.waiting.clear();
  e.delayed.clear();
  e.hold_deadlines.clear();
  e.held = 0;
  e.in_flight = 0;
  e.parked = 0;
  // Their waiters were threads of the parent: the child's waits start afresh.
  new (&e.work) std::condition_variable();
  new (&e.idle) std::condition_variable();
  new (&e.started) std::condition_variable();
  release_locks(s, true);
}

[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace
#endif

}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_Startup(void) {
  return guarded(Op::Startup, [&](Call& call) {
    State& st = call.state();
    // Said first, and loudly: an application shipped with the emulator in place of the runtime
    // would otherwise "sign users in" with tokens nobody issued, and nothing would tell.
    log(st, kLogWarning,
        "this is the vessaruntime emulator, a test double: no real runtime is present, nobody "
        "authenticates users, and its tokens are unsigned (alg \"none\")");
    std::string scenario_error;
    if (!load_scenario_from_environment(st, &scenario_error)) {
      log(st, kLogError, "Startup refused: " + scenario_error);
      return new_error(st.registry,
                       ErrorInfo{kStatusIncorrectConfiguration, 0, 0,
                                 widen(std::string(full_name(call.op())) + ": " + scenario_error)});
    }
    // A second start is a runtime refusal, not a misuse of the contract: a program may well try.
    if (!engine_start(st)) {
      log(st, kLogWarning, "Startup refused: the runtime is already started");
      return unexpected(st.registry, call.op(), "the runtime is already started");
    }
    log(st, kLogInfo,
        "runtime started with " + std::to_string(worker_count(st.engine)) + " worker threads");
    return kOk;
  });
}

// Called with the interpreter lock released: the pending completions it delivers run on this
// thread and take that lock themselves. Not noexcept, so that a thread the host ends inside one
// of them unwinds through here.
void VESSARUNTIME_CALL VESSARUNTIME_Shutdown(void) {
  guarded_void(Op::Shutdown, [](Call& call) {
    State& st = call.state();
    if (!engine_stop(st)) log(st, kLogDebug, "Shutdown: the runtime was not started");
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL VESSARUNTIME_GetSsoPolicy(int32_t* policy) {
  return guarded(Op::GetSsoPolicy, [&](Call& call) {
    if (!call.out(policy, "policy")) return call.error();
    *policy = call.state().settings.sso_policy.load();
    return kOk;
  });
}

void VESSARUNTIME_CALL VESSARUNTIME_SetIsPiiEnabled(int32_t enabled) {
  guarded_void(Op::SetIsPiiEnabled, [&](Call& call) {
    State& st = call.state();
    st.settings.pii_enabled = enabled;
    log(st, kLogDebug, enabled != 0 ? "PII logging on" : "PII logging off");
  });
}

}  // extern "C"
