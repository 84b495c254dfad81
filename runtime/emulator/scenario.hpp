// Scripted outcomes aimed at completions, and scenario documents (JSON) that seed the clock,
// settings, the interactive user, accounts and outcomes in one go: given to
// VESSAEMU_LoadScenario, or read when the runtime starts from the file that VESSAEMU_SCENARIO
// names, so that an application started in a subprocess runs against a scenario its test chose.
//
// A document (every part optional):
//   {"now": 1700000000,
//    "settings": {"access_token_lifetime": 600, "refresh_credential_lifetime": 86400,
//                 "sso_policy": 1, "latency_ms": {"acquire_token_silently": 250}},
//    "interactive_user": {"user_name": "ada@example.test"},
//    "accounts": [{"user_name": "bob@example.test", "state": "interaction_required"}],
//    "outcomes": [{"operation": "acquire_token_silently", "account": "bob@example.test",
//                  "status": "NoNetwork", "every_time": true}]}
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine.hpp"
#include "strings.hpp"

namespace vessaemu {

struct Request;
struct State;

// Which completions a scripted outcome is for; a part left empty matches every request.
struct Target {
  std::optional<Op> op;
  // The account the request is about (the one it was given, the one its hint or a silent sign-in
  // picks, the one it reads) by key, account id or user name; a hint that names no stored
  // account matches by its own text.
  Text account;
  std::vector<std::u16string> scopes;  // each one among the requested scopes
  Text claims;                         // contained in the requested claims ("" for any claims)
  Text correlation_id;
};

struct Rule {
  Target target;
  Outcome outcome;          // an error result, a null result, or a partial grant
  bool every_time = false;  // else the first completion that matches takes it
  bool optional = false;    // may go unused without a test failing for it
  int64_t taken = 0;        // completions that took it
};

// The scripted outcomes' part of the emulator's state (state.hpp): `rules`, in the order they were
// scripted, guarded by `mutex`; `any` lets a completion with nothing scripted pass with one load.
// Lock order: this lock, then the store's.
struct Outcomes {
  std::mutex mutex;
  std::vector<Rule> rules;
  std::atomic<bool> any{false};

  void reset();
};

void script_outcome(Outcomes& o, Rule rule);
// What was scripted and never happened, one description each, for a test that fails on an aimed
// outcome it never reached (a typo in its target): outcomes no completion took, cancellations of
// prompts never shown, latencies of operations never started; `optional` ones left out.
std::vector<std::string> pending_outcomes(State& st);
// The outcome of the first rule that matches the request; the rule goes unless it applies every
// time. Taken whatever makes the operation complete (its normal end, a cancel, a stop).
std::optional<Outcome> take_scripted_outcome(State& st, const Request& request);

inline constexpr const char* kScenarioVariable = "VESSAEMU_SCENARIO";
// The largest scenario document read, in bytes, and the most values it may hold: a document is
// a test's setup, and a bigger one is a mistake that must not take the process's memory.
inline constexpr size_t kMaxScenarioBytes = 16u << 20;
inline constexpr size_t kMaxScenarioValues = 2000000;

// Applies a scenario document (UTF-8 JSON). All of it is checked first: on a fault nothing is
// applied and `error` says what and where, listing the valid names where a name is wrong.
bool load_scenario(State& st, std::string_view json, std::string* error);
// At start-up: the scenario in the file VESSAEMU_SCENARIO names, once after the library loads or
// after a reset, however many start-ups race for it; true when the variable is not set.
bool load_scenario_from_environment(State& st, std::string* error);

}  // namespace vessaemu
