// Scripted outcomes aimed at completions, and scenario documents (JSON) that seed the clock,
// settings, the interactive user, accounts, cached tokens and outcomes in one go: given to
// VESSAEMU_LoadScenario, or read when the runtime starts from the file that VESSAEMU_SCENARIO
// names, so that an application started in a subprocess runs against a scenario its test chose.
// export_scenario writes the state back as such a document.
//
// A document (every part optional):
//   {"now": 1700000000,
//    "strict": true,
//    "settings": {"access_token_lifetime": 600, "refresh_credential_lifetime": 86400,
//                 "sso_policy": 1, "latency_ms": {"acquire_token_silently": 250}},
//    "interactive_user": {"user_name": "ada@example.test"},
//    "untrusted_authorities": ["https://login.other.test/common"],
//    "accounts": [{"user_name": "bob@example.test", "middle_name": null,
//                  "state": "interaction_required", "refresh_credential_expires_in": 86400}],
//    "tokens": [{"account": "bob@example.test", "client_id": "app", "scopes": ["user.read"],
//                "expires_in": 3000}],
//    "outcomes": [{"operation": "acquire_token_silently", "account": "bob@example.test",
//                  "status": "NoNetwork", "every_time": true},
//                 {"operation": "sign_in_interactively", "pass": true, "expires_in": 600,
//                  "signs_in": "bob@example.test", "description": "as recorded"}]}
//
// - "now" freezes the clock (left out, the clock follows the system's); the lifetimes below
//   count from it.
// - "strict": a start whose completion no outcome matches completes with an error (status 9)
//   and is listed by unmatched_requests.
// - An account's properties are texts, or null for an absent one; "refresh_credential_expires_in"
//   replaces the lifetime the setting gives its refresh credential.
// - "tokens" seed the token cache: the account (key, account id or user name, stored or of this
//   document), the client id (text or null), the scopes, seconds left, and optionally the
//   "access_token" and "id_token" texts (else new ones are issued).
// - An outcome is a target ("operation", "account", "scopes", "claims", "correlation_id") and
//   one of: an error ("status" with "code", "tag", "context"), "null_result": true, or a
//   success ("pass": true, "granted_scopes", "expires_in" seconds, "signs_in" an account, any of
//   them together); "every_time", "optional", and "description" (free text naming it in
//   strict mode's messages).
// - "recorded" says what made a recording (pyvessaruntime.recording); it is not applied.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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
  Outcome outcome;          // an error result, a null result, or a success as scripted
  bool every_time = false;  // else the first completion that matches takes it
  bool optional = false;    // may go unused without a test failing for it
  int64_t taken = 0;        // completions that took it
  uint64_t id = 0;          // its route id (route_uses), given when it is scripted
  Text description;         // free text for strict mode's messages
};

// The scripted outcomes' part of the emulator's state (state.hpp): `rules`, in the order they were
// scripted, the last ones taken once (`spent`, kept for strict mode's nearest outcome), the uses
// of every route id given since the reset (rules and cancellations of prompts) and the requests
// strict mode refused, guarded by `mutex`; `any` (`rules` is not empty) and `strict` let a
// completion with nothing scripted pass with two loads. Route ids are never reused, not even
// after a reset, so a route of before a reset never counts a completion of after it.
// Lock order: this lock, then the store's.
struct Outcomes {
  // Spent rules and refused requests kept, the oldest going first: a long strict run must not
  // fill the memory.
  static constexpr size_t kKept = 1000;
  std::mutex mutex;
  std::vector<Rule> rules;
  std::deque<Rule> spent;
  std::unordered_map<uint64_t, int64_t> uses;
  std::deque<std::string> unmatched;
  uint64_t next_id = 1;
  std::atomic<bool> any{false};
  std::atomic<bool> strict{false};

  void reset();
};

// Scripts the rule; its route id.
uint64_t script_outcome(Outcomes& o, Rule rule);
// A route id for an outcome scripted elsewhere (a cancellation of a prompt).
uint64_t new_route(Outcomes& o);
// The completion of `request` took the outcome of route `route`: counted, and noted in the
// request's history entry.
void route_taken(State& st, uint64_t route, const Request& request);
// How many completions took the route's outcome; -1 for a route scripted before the last reset.
int64_t route_uses(Outcomes& o, uint64_t route);
// The requests strict mode refused since the reset, each described with the nearest outcome.
std::vector<std::string> unmatched_requests(Outcomes& o);
// What was scripted and never happened, one description each, for a test that fails on an aimed
// outcome it never reached (a typo in its target): outcomes no completion took, cancellations of
// prompts never shown, latencies of operations never started; `optional` ones left out.
std::vector<std::string> pending_outcomes(State& st);
// The outcome of the first rule that matches the request; the rule is spent unless it applies
// every time. Taken whatever makes the operation complete (its normal end, a cancel, a stop). In
// strict mode, an operation's own end (`own_end`) that no rule matches takes an error saying so,
// unless a cancellation of a prompt is scripted and the operation may show one.
std::optional<Outcome> take_scripted_outcome(State& st, const Request& request,
                                             bool own_end = true);

inline constexpr const char* kScenarioVariable = "VESSAEMU_SCENARIO";
// The largest scenario document read, in bytes, and the most values it may hold: a document is
// a test's setup, and a bigger one is a mistake that must not take the process's memory.
inline constexpr size_t kMaxScenarioBytes = 16u << 20;
inline constexpr size_t kMaxScenarioValues = 2000000;

// Applies a scenario document (UTF-8 JSON). All of it is checked first: on a fault nothing is
// applied and `error` says what and where, listing the valid names where a name is wrong.
bool load_scenario(State& st, std::string_view json, std::string* error);
// Scripts one outcome, given as an entry of a document's "outcomes": its route id, or 0 with
// the fault in `error`.
uint64_t script_outcome_json(State& st, std::string_view json, std::string* error);
// The state as a document load_scenario takes: the clock if frozen, settings other than the
// defaults, strict mode, the interactive user, untrusted authorities, every account (removed
// ones too) with its refresh credential's time left, and the cached tokens with theirs.
std::string export_scenario(State& st);
// At start-up: the scenario in the file VESSAEMU_SCENARIO names, once after the library loads or
// after a reset, however many start-ups race for it; true when the variable is not set.
bool load_scenario_from_environment(State& st, std::string* error);

}  // namespace vessaemu
