// The emulator's state object and its reset (see state.hpp).
#include "state.hpp"

namespace vessaemu {

State& state() {
  static State* instance = new State(*new Clock());
  return *instance;
}

namespace {

// Made as the library loads, with the errors it reserves for when memory runs out.
[[maybe_unused]] const bool made_at_load = (state(), true);

}  // namespace

void reset_state(State& s, bool deliver_pending, bool keep_log_registrations) {
  // Completions first, pending and in progress: what their routines do must not meet a reset
  // registry, and their callers must not wait for ever. Then the registrations, whose release
  // waits for routines in progress, before the registry forgets their handles.
  engine_reset(s, deliver_pending);
  if (!keep_log_registrations) s.registrations.reset();
  s.identity.reset();
  s.registry.reset(keep_log_registrations);
  s.operations.reset();
  s.injections.reset();
  s.violations.reset();
  s.settings.reset();
  s.store.reset();
  s.outcomes.reset();
  s.history.reset();
  s.clock.reset();
  std::lock_guard lock(s.scenario_mutex);
  s.scenario_loaded = false;
}

}  // namespace vessaemu
