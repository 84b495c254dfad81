// The control interface (vessaemu.h): what tests and scripts use to set up and inspect the
// emulator. None of these calls counts as a runtime call or a contract violation. Each runs in a
// `control` guard, so no exception leaves it.
#include "vessaemu.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <latch>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "accounts.hpp"
#include "async_operations.hpp"
#include "auth_parameters.hpp"
#include "call.hpp"
#include "engine.hpp"
#include "errors.hpp"
#include "failures.hpp"
#include "flows.hpp"
#include "history.hpp"
#include "json.hpp"
#include "logging.hpp"
#include "operations.hpp"
#include "registry.hpp"
#include "results.hpp"
#include "scenario.hpp"
#include "settings.hpp"
#include "state.hpp"
#include "validation.hpp"

using namespace vessaemu;

namespace {

Text text_of(const VESSAEMU_TEXT& text) {
  return text_from(text.units, text.length);
}

// Hands a text to the caller in memory it frees with VESSAEMU_Free; -1 for no value.
int32_t hand_out(const Text& value, vessaemu_unit** out) {
  if (out != nullptr) *out = nullptr;
  if (!value) return -1;
  if (out != nullptr) {
    auto* memory = static_cast<vessaemu_unit*>(std::malloc((value->size() + 1) * sizeof(char16_t)));
    if (memory == nullptr) throw std::bad_alloc();
    value->copy(memory, value->size());
    memory[value->size()] = 0;
    *out = memory;
  }
  return static_cast<int32_t>(value->size());
}

void hand_out(const std::string& text, char** out) {
  auto* memory = static_cast<char*>(std::malloc(text.size() + 1));
  if (memory == nullptr) throw std::bad_alloc();
  std::memcpy(memory, text.c_str(), text.size() + 1);
  *out = memory;
}

std::optional<ErrorInfo> error_of(const VESSAEMU_ERROR_SPEC& spec) {
  if (!spec.present) return std::nullopt;
  return ErrorInfo{spec.status, spec.code, spec.tag, text_of(spec.context)};
}

// The account a result refers to: none for no key; false if the key is unknown.
bool account_of(Store& store, const VESSAEMU_TEXT& key, Ref<AccountRecord>* record) {
  const Text k = text_of(key);
  if (!k) return true;
  *record = find_account(store, *k);
  return *record != nullptr;
}

// The name at `index` of one of the tables of VESSAEMU_Name, or null.
const char* name_at(int32_t table, int32_t index) {
  static constexpr const char* kModes[] = {"worker", "inline", "held", "delay", "early"};
  static constexpr const char* kFailures[] = {"no_memory", "exception", "foreign"};
  static constexpr const char* kAsyncStates[] = {"pending", "cancelled", "completed"};
  auto in = [&](int32_t count) { return index >= 0 && index < count; };
  switch (table) {
    case VESSAEMU_NAMES_KINDS:
      return in(kKindCount) ? kind_name(static_cast<Kind>(index)) : nullptr;
    case VESSAEMU_NAMES_OPERATIONS:
      return in(kOperationCount) ? short_name(static_cast<Op>(index)) : nullptr;
    case VESSAEMU_NAMES_PYTHON_OPERATIONS:
      return in(kOperationCount) ? python_name(static_cast<Op>(index)) : nullptr;
    case VESSAEMU_NAMES_START_OPERATIONS:
      for (int op = 0; op < kOperationCount && index >= 0; ++op) {
        if (is_start_operation(static_cast<Op>(op)) && index-- == 0) {
          return short_name(static_cast<Op>(op));
        }
      }
      return nullptr;
    case VESSAEMU_NAMES_ACCOUNT_FIELDS:
      return in(kAccountFieldCount) ? account_field_name(static_cast<AccountField>(index))
                                    : nullptr;
    case VESSAEMU_NAMES_AUTH_PARAMETERS_FIELDS:
      return in(kAuthFieldCount) ? auth_field_name(static_cast<AuthField>(index)) : nullptr;
    case VESSAEMU_NAMES_COMPLETION_MODES:
      return in(std::size(kModes)) ? kModes[index] : nullptr;
    case VESSAEMU_NAMES_FAILURE_KINDS:
      return in(kInjectedKinds) ? kFailures[index] : nullptr;
    case VESSAEMU_NAMES_ACCOUNT_STATES:
      return in(kAccountStateCount) ? account_state_name(static_cast<AccountState>(index))
                                    : nullptr;
    case VESSAEMU_NAMES_ASYNC_STATES:
      return in(std::size(kAsyncStates)) ? kAsyncStates[index] : nullptr;
    default:
      return nullptr;
  }
}

// The body of one of EmitLog's threads: an exception must not end the process from a thread's
// top, and a forced unwind (the host ending the thread inside a routine) must pass.
VESSAEMU_FORCED_UNWIND_PATH void write_from_new_thread(State& st, std::latch& ready, int32_t level,
                                                       const std::u16string& line) {
  ready.arrive_and_wait();
  try {
    log_line(st, level, line);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
    pass_foreign_unwind();
  }
}

}  // namespace

extern "C" {

int32_t VESSAEMU_Reset(int32_t flags) {
  return control<int32_t>(__func__, [&](State& st) {
    reset_state(st, (flags & VESSAEMU_RESET_DROP_PENDING) == 0,
                (flags & VESSAEMU_RESET_KEEP_LOG_REGISTRATIONS) != 0);
    return 0;
  });
}

const char* VESSAEMU_Name(int32_t table, int32_t index) {
  return control<const char*>(__func__, [&](State&) { return name_at(table, index); });
}

int32_t VESSAEMU_LoadScenario(const char* json, int64_t length, char** error) {
  return control<int32_t>(__func__, [&](State& st) {
    if (error != nullptr) *error = nullptr;
    std::string fault = "no document";
    if (json != nullptr && length >= 0 &&
        load_scenario(st, std::string_view(json, static_cast<size_t>(length)), &fault)) {
      return 0;
    }
    if (error != nullptr) hand_out(fault, error);
    return -1;
  });
}

int32_t VESSAEMU_PendingOutcomes(char** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    const auto pending = pending_outcomes(st);
    std::string joined;
    for (const auto& line : pending) joined += line + "\n";
    if (out != nullptr) hand_out(joined, out);
    return static_cast<int32_t>(pending.size());
  });
}

int64_t VESSAEMU_ScriptOutcome(const char* json, int64_t length, char** error) {
  return control<int64_t>(__func__, [&](State& st) -> int64_t {
    if (error != nullptr) *error = nullptr;
    std::string fault = "no document";
    const uint64_t route =
        json != nullptr && length >= 0
            ? script_outcome_json(st, std::string_view(json, static_cast<size_t>(length)), &fault)
            : 0;
    if (route != 0) return static_cast<int64_t>(route);
    if (error != nullptr) hand_out(fault, error);
    return -1;
  });
}

int64_t VESSAEMU_OutcomeUses(uint64_t route) {
  return control<int64_t>(__func__, [&](State& st) { return route_uses(st.outcomes, route); });
}

int32_t VESSAEMU_UnmatchedRequests(char** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    const auto unmatched = unmatched_requests(st.outcomes);
    std::string json = "[";
    for (const auto& text : unmatched) {
      json.append(json.size() > 1 ? "," : "").append(json_string(text));
    }
    if (out != nullptr) hand_out(json + "]", out);
    return static_cast<int32_t>(unmatched.size());
  });
}

int32_t VESSAEMU_ExportState(char** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    const std::string document = export_scenario(st);
    if (out != nullptr) hand_out(document, out);
    return 0;
  });
}

int32_t VESSAEMU_SetAuthorityTrusted(VESSAEMU_TEXT authority, int32_t trusted) {
  return control<int32_t>(__func__, [&](State& st) {
    const Text text = text_of(authority);
    if (!https_origin(text)) return -2;
    set_authority_trusted(st.identity, *text, trusted != 0);
    return 0;
  });
}

int64_t VESSAEMU_Now(void) {
  return control<int64_t>(__func__, [](State& st) { return st.clock.now(); });
}

int64_t VESSAEMU_NowMicroseconds(void) {
  return control<int64_t>(__func__, [](State& st) { return st.clock.now_microseconds(); });
}

int32_t VESSAEMU_FreezeClock(int64_t unix_seconds) {
  return control<int32_t>(__func__,
                          [&](State& st) { return st.clock.freeze(unix_seconds) ? 0 : -2; });
}

int32_t VESSAEMU_AdvanceClock(int64_t seconds) {
  return control<int32_t>(__func__, [&](State& st) { return st.clock.advance(seconds) ? 0 : -2; });
}

int32_t VESSAEMU_History(char** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    int32_t count = 0;
    const std::string json = history_json(st, &count);
    if (out != nullptr) hand_out(json, out);
    return count;
  });
}

int32_t VESSAEMU_ClearHistory(void) {
  return control<int32_t>(__func__, [](State& st) {
    st.history.reset();
    return 0;
  });
}

void VESSAEMU_Free(void* memory) {
  control<void>(__func__, [&](State&) { std::free(memory); });
}

int32_t VESSAEMU_FailInside(const char* function, int32_t kind, int32_t count) {
  return control<int32_t>(__func__, [&](State& st) {
    if (function == nullptr) return -1;
    if (kind < 0 || kind >= kInjectedKinds) return -2;
    const std::string_view name = function;
    std::string full;
    if (name.starts_with("VESSAEMU_")) {
      full = name;
    } else if (const auto op = find_operation(name)) {
      full = full_name(*op);
    } else {
      return -1;
    }
    inject_failure(st.injections, std::move(full), static_cast<Injected>(kind), count);
    return 0;
  });
}

int64_t VESSAEMU_LiveHandles(int32_t kind) {
  return control<int64_t>(__func__, [&](State& st) {
    const auto counts = live_counts(st.registry);
    if (kind >= 0 && kind < kKindCount) return counts[kind];
    int64_t total = 0;
    for (int64_t n : counts) total += n;
    return total;
  });
}

int32_t VESSAEMU_HandleKind(uint64_t handle) {
  return control<int32_t>(__func__, [&](State& st) {
    const auto kind = kind_of(st.registry, handle);
    return kind ? static_cast<int32_t>(*kind) : -1;
  });
}

int64_t VESSAEMU_LiveHandleValues(int32_t kind, uint64_t* values, int64_t capacity) {
  return control<int64_t>(__func__, [&](State& st) {
    const auto live = live_values(st.registry, kind >= 0 && kind < kKindCount
                                                   ? std::optional(static_cast<Kind>(kind))
                                                   : std::nullopt);
    const auto total = static_cast<int64_t>(live.size());
    for (int64_t i = 0; values != nullptr && i < total && i < capacity; ++i) values[i] = live[i];
    return total;
  });
}

int32_t VESSAEMU_OperationIndex(const char* operation) {
  return control<int32_t>(__func__, [&](State&) {
    const auto op = operation != nullptr ? find_operation(operation) : std::nullopt;
    return op ? static_cast<int32_t>(*op) : -1;
  });
}

int64_t VESSAEMU_Calls(const char* operation) {
  return control<int64_t>(__func__, [&](State& st) -> int64_t {
    if (operation == nullptr) return -1;
    const auto op = find_operation(operation);
    return op ? static_cast<int64_t>(call_count(st.operations, *op)) : -1;
  });
}

int32_t VESSAEMU_FailNext(const char* operation, int32_t status, int64_t code, int32_t tag,
                          VESSAEMU_TEXT context, int32_t count, int32_t after) {
  return control<int32_t>(__func__, [&](State& st) {
    if (operation == nullptr) return -1;
    const auto op = find_operation(operation);
    if (!op) return -1;
    if (!returns_error(*op)) return -2;
    script_failure(st.operations, *op, Fault{status, code, tag, text_of(context)}, count, after);
    return 0;
  });
}

int64_t VESSAEMU_ContractViolations(void) {
  return control<int64_t>(__func__, [](State& st) { return violation_count(st.violations); });
}

int32_t VESSAEMU_LastContractViolation(char** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    const auto last = last_violation(st.violations);
    if (!last) return -1;
    if (out != nullptr) hand_out(*last, out);
    return static_cast<int32_t>(last->size());
  });
}

int32_t VESSAEMU_TakeContractViolations(char** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    const auto texts = take_violations(st.violations);
    std::string joined;
    for (const auto& text : texts) {
      joined += text;
      joined += '\n';
    }
    if (out != nullptr) hand_out(joined, out);
    return static_cast<int32_t>(texts.size());
  });
}

int32_t VESSAEMU_IsStarted(void) {
  return control<int32_t>(__func__, [](State& st) { return engine_running(st.engine) ? 1 : 0; });
}

int32_t VESSAEMU_PiiEnabled(void) {
  return control<int32_t>(__func__, [](State& st) { return st.settings.pii_enabled.load(); });
}

uint64_t VESSAEMU_MakeError(int32_t status, int64_t code, int32_t tag, VESSAEMU_TEXT context) {
  return control<uint64_t>(
      __func__,
      [&](State& st) {
        return handle_value(new_error(st.registry, ErrorInfo{status, code, tag, text_of(context)}));
      },
      [](State& st) { return handle_value(st.reserved.of_control()); });
}

int32_t VESSAEMU_AddAccount(VESSAEMU_TEXT key, vessaemu_unit** out_key) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out_key != nullptr) *out_key = nullptr;
    const auto record = add_account(st, text_of(key));
    if (!record) return -1;
    return hand_out(Text(record->key), out_key);
  });
}

int32_t VESSAEMU_SetAccountField(VESSAEMU_TEXT key, int32_t field, VESSAEMU_TEXT value) {
  return control<int32_t>(__func__, [&](State& st) {
    if (field < 0 || field >= kAccountFieldCount) return -2;
    const Text k = text_of(key);
    if (!k) return -1;
    return set_account_field(st.store, *k, static_cast<AccountField>(field), text_of(value)) ? 0
                                                                                             : -1;
  });
}

int32_t VESSAEMU_RemoveAccount(VESSAEMU_TEXT key) {
  return control<int32_t>(__func__, [&](State& st) {
    const Text k = text_of(key);
    return k && remove_account(st.store, *k) ? 0 : -1;
  });
}

int32_t VESSAEMU_SetAccountState(VESSAEMU_TEXT key, int32_t value) {
  return control<int32_t>(__func__, [&](State& st) {
    if (value < 0 || value >= kAccountStateCount) return -2;
    const Text k = text_of(key);
    return k && set_account_state(st.store, *k, static_cast<AccountState>(value)) ? 0 : -1;
  });
}

int32_t VESSAEMU_AccountState(VESSAEMU_TEXT key) {
  return control<int32_t>(__func__, [&](State& st) {
    const Text k = text_of(key);
    const auto found = k ? account_state(st.store, *k) : std::nullopt;
    return found ? static_cast<int32_t>(*found) : -1;
  });
}

int32_t VESSAEMU_AccountCount(void) {
  return control<int32_t>(
      __func__, [](State& st) { return static_cast<int32_t>(all_accounts(st.store).size()); });
}

int32_t VESSAEMU_AccountFieldAt(int32_t index, int32_t field, vessaemu_unit** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    const auto accounts = all_accounts(st.store);
    if (index < 0 || static_cast<size_t>(index) >= accounts.size()) return -2;
    if (field < -1 || field >= kAccountFieldCount) return -2;
    const auto& record = *accounts[static_cast<size_t>(index)];
    if (field == -1) return hand_out(Text(record.key), out);
    return hand_out(account_field(st.store, record, static_cast<AccountField>(field)), out);
  });
}

uint64_t VESSAEMU_NewAccountHandle(VESSAEMU_TEXT key) {
  return control<uint64_t>(__func__, [&](State& st) -> uint64_t {
    const Text k = text_of(key);
    if (!k) return 0;
    auto record = find_account(st.store, *k);
    return record ? handle_value(new_account_handle(st.registry, std::move(record))) : 0;
  });
}

int32_t VESSAEMU_AuthParametersField(uint64_t handle, int32_t field, vessaemu_unit** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    auto object = find_as<AuthParametersObject>(st.registry, handle, nullptr);
    if (!object) return -2;
    if (field < 0 || field >= kAuthFieldCount) return -3;
    return hand_out(object->snapshot().field(static_cast<AuthField>(field)), out);
  });
}

int32_t VESSAEMU_AuthParametersAdditionalCount(uint64_t handle) {
  return control<int32_t>(__func__, [&](State& st) {
    auto object = find_as<AuthParametersObject>(st.registry, handle, nullptr);
    if (!object) return -2;
    return static_cast<int32_t>(object->snapshot().additional.size());
  });
}

int32_t VESSAEMU_AuthParametersAdditional(uint64_t handle, int32_t index, int32_t which,
                                          vessaemu_unit** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    auto object = find_as<AuthParametersObject>(st.registry, handle, nullptr);
    if (!object) return -2;
    const auto data = object->snapshot();
    if (index < 0 || static_cast<size_t>(index) >= data.additional.size() || which < 0 ||
        which > 1) {
      return -3;
    }
    const auto& pair = data.additional[static_cast<size_t>(index)];
    return hand_out(Text(which == 0 ? pair.first : pair.second), out);
  });
}

uint64_t VESSAEMU_NewAuthResult(const VESSAEMU_AUTH_RESULT_SPEC* spec) {
  return control<uint64_t>(__func__, [&](State& st) -> uint64_t {
    if (spec == nullptr) return 0;
    auto result = make_ref<AuthResultObject>();
    if (!account_of(st.store, spec->account_key, &result->account)) return 0;
    result->id_token = text_of(spec->id_token);
    result->raw_id_token = text_of(spec->raw_id_token);
    result->access_token = text_of(spec->access_token);
    result->granted_scopes = text_of(spec->granted_scopes);
    result->authorization_header = text_of(spec->authorization_header);
    result->is_pop = spec->is_pop;
    result->expiry = spec->expiry;
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(st.registry, std::move(result));
  });
}

uint64_t VESSAEMU_NewSignOutResult(const VESSAEMU_RESULT_SPEC* spec) {
  return control<uint64_t>(__func__, [&](State& st) -> uint64_t {
    if (spec == nullptr) return 0;
    auto result = make_ref<SignOutResultObject>();
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(st.registry, std::move(result));
  });
}

uint64_t VESSAEMU_NewReadAccountResult(const VESSAEMU_RESULT_SPEC* spec) {
  return control<uint64_t>(__func__, [&](State& st) -> uint64_t {
    if (spec == nullptr) return 0;
    auto result = make_ref<ReadAccountResultObject>();
    if (!account_of(st.store, spec->account_key, &result->account)) return 0;
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(st.registry, std::move(result));
  });
}

uint64_t VESSAEMU_NewDiscoverAccountsResult(const VESSAEMU_RESULT_SPEC* spec) {
  return control<uint64_t>(__func__, [&](State& st) -> uint64_t {
    if (spec == nullptr || spec->account_count < 0 ||
        (spec->account_count > 0 && spec->account_keys == nullptr)) {
      return 0;
    }
    auto result = make_ref<DiscoverAccountsResultObject>();
    for (int32_t i = 0; i < spec->account_count; ++i) {
      Ref<AccountRecord> record;
      if (!account_of(st.store, spec->account_keys[i], &record) || !record) return 0;
      result->accounts.push_back(std::move(record));
    }
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(st.registry, std::move(result));
  });
}

uint64_t VESSAEMU_NewAsyncHandle(void) {
  return control<uint64_t>(__func__, [](State& st) {
    return register_object(st.registry, Kind::AsyncOperation, make_ref<AsyncOperationObject>());
  });
}

int32_t VESSAEMU_AsyncState(uint64_t handle) {
  return control<int32_t>(__func__, [&](State& st) {
    auto object = find_as<AsyncOperationObject>(st.registry, handle, nullptr);
    return object ? static_cast<int32_t>(object->state()) : -1;
  });
}

int32_t VESSAEMU_SetCompletionMode(int32_t mode, int32_t delay_ms) {
  return control<int32_t>(__func__, [&](State& st) {
    if (mode < 0 || mode > static_cast<int32_t>(CompletionMode::Early)) return -1;
    set_completion_mode(st.engine, static_cast<CompletionMode>(mode), delay_ms);
    return 0;
  });
}

int32_t VESSAEMU_CompletionMode(int32_t* delay_ms) {
  return control<int32_t>(__func__, [&](State& st) {
    return static_cast<int32_t>(completion_mode(st.engine, delay_ms));
  });
}

int32_t VESSAEMU_ReleaseHeld(int32_t count) {
  return control<int32_t>(__func__, [&](State& st) { return release_held(st.engine, count); });
}

int64_t VESSAEMU_PendingOperations(void) {
  return control<int64_t>(__func__, [](State& st) { return pending_operations(st.engine); });
}

int64_t VESSAEMU_HeldOperations(void) {
  return control<int64_t>(__func__, [](State& st) { return held_operations(st.engine); });
}

int32_t VESSAEMU_WorkerCount(void) {
  return control<int32_t>(__func__, [](State& st) { return worker_count(st.engine); });
}

int32_t VESSAEMU_WaitIdle(int64_t timeout_ms) {
  return control<int32_t>(__func__, [&](State& st) {
    return wait_idle(st.engine, std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0)) ? 1 : 0;
  });
}

int64_t VESSAEMU_WaitForPending(int64_t count, int64_t timeout_ms) {
  return control<int64_t>(__func__, [&](State& st) {
    return wait_for_pending(st.engine, count,
                            std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0));
  });
}

int32_t VESSAEMU_HoldOperation(const char* operation, int32_t hold) {
  return control<int32_t>(__func__, [&](State& st) {
    const auto op = operation != nullptr ? find_operation(operation) : std::nullopt;
    if (!op) return -1;
    if (!is_start_operation(*op)) return -2;
    return hold_operation(st.engine, *op, hold != 0) ? 1 : 0;
  });
}

int64_t VESSAEMU_SetHoldTimeout(int64_t timeout_ms) {
  return control<int64_t>(__func__, [&](State& st) -> int64_t {
    if (timeout_ms < 0 || timeout_ms > kMaxHeldTimeoutMs) return -2;
    return set_hold_timeout(st.engine, timeout_ms);
  });
}

int32_t VESSAEMU_ExpiredHolds(char** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    const auto expired = expired_holds(st.engine);
    std::string joined;
    for (const auto& line : expired) joined += line + "\n";
    if (out != nullptr) hand_out(joined, out);
    return static_cast<int32_t>(expired.size());
  });
}

int32_t VESSAEMU_ResetInteractiveUser(void) {
  return control<int32_t>(__func__, [](State& st) {
    reset_interactive_user(st.identity);
    return 0;
  });
}

int32_t VESSAEMU_SetInteractiveUserField(int32_t field, VESSAEMU_TEXT value) {
  return control<int32_t>(__func__, [&](State& st) {
    if (field < 0 || field >= kAccountFieldCount) return -2;
    set_interactive_user_field(st.identity, static_cast<AccountField>(field), text_of(value));
    return 0;
  });
}

int32_t VESSAEMU_InteractiveUserField(int32_t field, vessaemu_unit** out) {
  return control<int32_t>(__func__, [&](State& st) {
    if (out != nullptr) *out = nullptr;
    if (field < 0 || field >= kAccountFieldCount) return -2;
    return hand_out(interactive_user_field(st.identity, static_cast<AccountField>(field)), out);
  });
}

int64_t VESSAEMU_CancelNextInteractive(int32_t status, int32_t optional) {
  return control<int64_t>(__func__, [&](State& st) {
    const uint64_t route = new_route(st.outcomes);
    cancel_next_interactive(st.identity, status, optional != 0, route);
    return static_cast<int64_t>(route);
  });
}

int32_t VESSAEMU_EmitLog(VESSAEMU_TEXT message, int32_t level, int32_t threads) {
  return control<int32_t>(__func__, [&](State& st) {
    const std::u16string line = text_of(message).value_or(std::u16string());
    if (threads <= 0) {
      log_line(st, level, line);
      return 0;
    }
    // The threads write at once: each waits at the latch until all exist.
    std::latch ready(threads);
    std::vector<std::thread> writers;
    int32_t result = 0;
    try {
      writers.reserve(static_cast<size_t>(threads));
      for (int32_t i = 0; i < threads; ++i) {
        writers.emplace_back([&] { write_from_new_thread(st, ready, level, line); });
      }
    } catch (...) {
      pass_foreign_unwind();
      result = writers.empty() ? -1 : 0;
      ready.count_down(threads - static_cast<int32_t>(writers.size()));
    }
    for (auto& writer : writers) writer.join();
    return result;
  });
}

int32_t VESSAEMU_LogRegistrations(void) {
  return control<int32_t>(__func__, [](State& st) { return log_registrations(st.registrations); });
}

}  // extern "C"
