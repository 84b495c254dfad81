// The emulator's whole state: every component's part, each guarded by its own lock (see the
// component's header), and the clock they read the time from. A reset returns all of it to a
// fresh emulator in one step (reset_state).
//
// The process has one instance, state(), and only its edges reach for it: the guards every export
// runs in (call.hpp), which look it up once per call and hand it down (Call::state(), or the
// State& a control body takes), and the fork handlers. Everything below is given what it works
// on: a component's function takes the part it touches (the registry, the store, the engine...)
// or, when it needs several, the State; a started operation's delivery keeps the state it was
// started on, and a worker thread is given the engine it serves. So a test can build a State of
// its own, with a clock it moves, and run the emulator's parts on it without touching the
// process's.
//
// The object is made on first use and never destroyed: worker threads and host threads may still
// reach it while the process exits, and a joinable std::thread must never meet static destruction.
#pragma once

#include <atomic>
#include <cstdint>

#include "accounts.hpp"
#include "clock.hpp"
#include "engine.hpp"
#include "errors.hpp"
#include "failures.hpp"
#include "flows.hpp"
#include "history.hpp"
#include "logging.hpp"
#include "operations.hpp"
#include "registry.hpp"
#include "scenario.hpp"
#include "settings.hpp"

namespace vessaemu {

struct State {
  explicit State(Clock& c) : clock(c) {}

  Clock& clock;
  Registry registry;
  // Made while memory is surely there; a guard short of memory only reads them.
  const ReservedErrors reserved{registry};
  OperationTable operations;
  Settings settings;
  Engine engine;
  Store store;
  Identity identity;
  Outcomes outcomes;
  History history;
  Registrations registrations;
  Violations violations;
  Injections injections;
  // Whether the scenario of VESSAEMU_SCENARIO was loaded since the library loaded or was reset;
  // start-ups racing to load it hold `scenario_mutex` from the look to the end of the load.
  std::mutex scenario_mutex;
  bool scenario_loaded = false;
  // Serial numbers of the tokens issued; never reset, so no two tokens of a process are equal.
  std::atomic<uint64_t> token_serial{0};
};

State& state();

// Back to a fresh emulator: pending operations complete with an error (or, when
// `deliver_pending` is false, are dropped), completions in progress are waited for, and then
// every part of the state is cleared and the clock follows the system's again. With
// `keep_log_registrations` the log routines stay registered, and their handles live.
void reset_state(State& s, bool deliver_pending, bool keep_log_registrations = false);

}  // namespace vessaemu
