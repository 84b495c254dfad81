// The control interface (vessaemu.h): what tests and scripts use to set up and inspect the
// emulator. None of these calls counts as a runtime call or a contract violation. Each runs in a
// `control` guard, so no exception leaves it.
#include "vessaemu.h"

#include <cstdlib>
#include <cstring>
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
#include "logging.hpp"
#include "operations.hpp"
#include "registry.hpp"
#include "results.hpp"
#include "settings.hpp"

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
bool account_of(const VESSAEMU_TEXT& key, Ref<AccountRecord>* record) {
  const Text k = text_of(key);
  if (!k) return true;
  *record = find_account(*k);
  return *record != nullptr;
}

// The operation named, if it is one of the eight start operations; else -1 (unknown) or -2.
int32_t start_operation_of(const char* name) {
  if (name == nullptr) return -1;
  const auto op = find_operation(name);
  if (!op) return -1;
  return is_start_operation(*op) ? static_cast<int32_t>(*op) : -2;
}

constexpr const char* kAuthFieldNames[kAuthFieldCount] = {
    "client_id",       "authority",    "scopes",
    "redirect_uri",    "claims",       "access_token_to_renew",
    "pop_http_method", "pop_uri_host", "pop_uri_path",
    "pop_nonce"};

// The body of one of EmitLog's threads: an exception must not end the process from a thread's
// top, and a forced unwind (the host ending the thread inside a routine) must pass.
VESSAEMU_FORCED_UNWIND_PATH void write_from_new_thread(std::latch& ready, int32_t level,
                                                       const std::u16string& line) {
  ready.arrive_and_wait();
  try {
    log_line(level, line);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
  }
}

}  // namespace

extern "C" {

int32_t VESSAEMU_Reset(int32_t flags) {
  return control<int32_t>(__func__, [&] {
    // Completions first, pending and in progress: what their routines do must not meet a reset
    // registry, and their callers must not wait for ever.
    engine_reset((flags & VESSAEMU_RESET_DROP_PENDING) == 0);
    reset_logging();
    reset_identity();
    reset_registry();
    reset_operations();
    reset_injected_failures();
    reset_violations();
    reset_settings();
    reset_accounts();
    return 0;
  });
}

void VESSAEMU_Free(void* memory) {
  control<void>(__func__, [&] { std::free(memory); });
}

int32_t VESSAEMU_FailInside(const char* function, int32_t kind, int32_t count) {
  return control<int32_t>(__func__, [&] {
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
    inject_failure(std::move(full), static_cast<Injected>(kind), count);
    return 0;
  });
}

int32_t VESSAEMU_KindCount(void) {
  return control<int32_t>(__func__, [] { return kKindCount; });
}

const char* VESSAEMU_KindName(int32_t kind) {
  return control<const char*>(__func__, [&]() -> const char* {
    return kind >= 0 && kind < kKindCount ? kind_name(static_cast<Kind>(kind)) : nullptr;
  });
}

int64_t VESSAEMU_LiveHandles(int32_t kind) {
  return control<int64_t>(__func__, [&] {
    const auto counts = live_counts();
    if (kind >= 0 && kind < kKindCount) return counts[kind];
    int64_t total = 0;
    for (int64_t n : counts) total += n;
    return total;
  });
}

int32_t VESSAEMU_HandleKind(uint64_t handle) {
  return control<int32_t>(__func__, [&] {
    const auto kind = kind_of(handle);
    return kind ? static_cast<int32_t>(*kind) : -1;
  });
}

int64_t VESSAEMU_LiveHandleValues(int32_t kind, uint64_t* values, int64_t capacity) {
  return control<int64_t>(__func__, [&] {
    const auto live = live_values(
        kind >= 0 && kind < kKindCount ? std::optional(static_cast<Kind>(kind)) : std::nullopt);
    const auto total = static_cast<int64_t>(live.size());
    for (int64_t i = 0; values != nullptr && i < total && i < capacity; ++i) values[i] = live[i];
    return total;
  });
}

int32_t VESSAEMU_OperationCount(void) {
  return control<int32_t>(__func__, [] { return kOperationCount; });
}

const char* VESSAEMU_OperationName(int32_t index) {
  return control<const char*>(__func__, [&]() -> const char* {
    return index >= 0 && index < kOperationCount ? short_name(static_cast<Op>(index)) : nullptr;
  });
}

int64_t VESSAEMU_Calls(const char* operation) {
  return control<int64_t>(__func__, [&]() -> int64_t {
    if (operation == nullptr) return -1;
    const auto op = find_operation(operation);
    return op ? static_cast<int64_t>(call_count(*op)) : -1;
  });
}

int32_t VESSAEMU_FailNext(const char* operation, int32_t status, int64_t code, int32_t tag,
                          VESSAEMU_TEXT context, int32_t count, int32_t after) {
  return control<int32_t>(__func__, [&] {
    if (operation == nullptr) return -1;
    const auto op = find_operation(operation);
    if (!op) return -1;
    if (!returns_error(*op)) return -2;
    script_failure(*op, Fault{status, code, tag, text_of(context)}, count, after);
    return 0;
  });
}

int64_t VESSAEMU_ContractViolations(void) {
  return control<int64_t>(__func__, [] { return violation_count(); });
}

int32_t VESSAEMU_LastContractViolation(char** out) {
  return control<int32_t>(__func__, [&] {
    if (out != nullptr) *out = nullptr;
    const auto last = last_violation();
    if (!last) return -1;
    if (out != nullptr) hand_out(*last, out);
    return static_cast<int32_t>(last->size());
  });
}

int32_t VESSAEMU_TakeContractViolations(char** out) {
  return control<int32_t>(__func__, [&] {
    if (out != nullptr) *out = nullptr;
    const auto texts = take_violations();
    std::string joined;
    for (const auto& text : texts) {
      joined += text;
      joined += '\n';
    }
    if (out != nullptr) hand_out(joined, out);
    return static_cast<int32_t>(texts.size());
  });
}

int32_t VESSAEMU_SetSsoPolicy(int32_t policy) {
  return control<int32_t>(__func__, [&] {
    settings().sso_policy = policy;
    return 0;
  });
}

int32_t VESSAEMU_IsStarted(void) {
  return control<int32_t>(__func__, [] { return engine_running() ? 1 : 0; });
}

int32_t VESSAEMU_PiiEnabled(void) {
  return control<int32_t>(__func__, [] { return settings().pii_enabled.load(); });
}

int32_t VESSAEMU_SetStringProtocol(int32_t first_call_error, int32_t negative_size,
                                   int32_t grow_by) {
  return control<int32_t>(__func__, [&] {
    Settings& s = settings();
    s.first_call_error = first_call_error != 0;
    s.negative_size = negative_size != 0;
    s.grow_by = grow_by;
    return 0;
  });
}

uint64_t VESSAEMU_MakeError(int32_t status, int64_t code, int32_t tag, VESSAEMU_TEXT context) {
  return control<uint64_t>(
      __func__,
      [&] { return handle_value(new_error(ErrorInfo{status, code, tag, text_of(context)})); },
      handle_value(reserved_control_error()));
}

int32_t VESSAEMU_AccountFieldCount(void) {
  return control<int32_t>(__func__, [] { return kAccountFieldCount; });
}

const char* VESSAEMU_AccountFieldName(int32_t field) {
  return control<const char*>(__func__, [&]() -> const char* {
    return field >= 0 && field < kAccountFieldCount
               ? account_field_name(static_cast<AccountField>(field))
               : nullptr;
  });
}

int32_t VESSAEMU_AddAccount(VESSAEMU_TEXT key, vessaemu_unit** out_key) {
  return control<int32_t>(__func__, [&] {
    if (out_key != nullptr) *out_key = nullptr;
    const auto record = add_account(text_of(key));
    if (!record) return -1;
    return hand_out(Text(record->key), out_key);
  });
}

int32_t VESSAEMU_SetAccountField(VESSAEMU_TEXT key, int32_t field, VESSAEMU_TEXT value) {
  return control<int32_t>(__func__, [&] {
    if (field < 0 || field >= kAccountFieldCount) return -2;
    const Text k = text_of(key);
    if (!k) return -1;
    return set_account_field(*k, static_cast<AccountField>(field), text_of(value)) ? 0 : -1;
  });
}

int32_t VESSAEMU_RemoveAccount(VESSAEMU_TEXT key) {
  return control<int32_t>(__func__, [&] {
    const Text k = text_of(key);
    return k && remove_account(*k) ? 0 : -1;
  });
}

int32_t VESSAEMU_AccountCount(void) {
  return control<int32_t>(__func__, [] { return static_cast<int32_t>(all_accounts().size()); });
}

int32_t VESSAEMU_AccountFieldAt(int32_t index, int32_t field, vessaemu_unit** out) {
  return control<int32_t>(__func__, [&] {
    if (out != nullptr) *out = nullptr;
    const auto accounts = all_accounts();
    if (index < 0 || static_cast<size_t>(index) >= accounts.size()) return -2;
    if (field < -1 || field >= kAccountFieldCount) return -2;
    const auto& record = *accounts[static_cast<size_t>(index)];
    if (field == -1) return hand_out(Text(record.key), out);
    return hand_out(account_field(record, static_cast<AccountField>(field)), out);
  });
}

uint64_t VESSAEMU_NewAccountHandle(VESSAEMU_TEXT key) {
  return control<uint64_t>(__func__, [&]() -> uint64_t {
    const Text k = text_of(key);
    if (!k) return 0;
    auto record = find_account(*k);
    return record ? handle_value(new_account_handle(std::move(record))) : 0;
  });
}

int32_t VESSAEMU_AuthParametersFieldCount(void) {
  return control<int32_t>(__func__, [] { return kAuthFieldCount; });
}

const char* VESSAEMU_AuthParametersFieldName(int32_t field) {
  return control<const char*>(__func__, [&]() -> const char* {
    return field >= 0 && field < kAuthFieldCount ? kAuthFieldNames[field] : nullptr;
  });
}

int32_t VESSAEMU_AuthParametersField(uint64_t handle, int32_t field, vessaemu_unit** out) {
  return control<int32_t>(__func__, [&] {
    if (out != nullptr) *out = nullptr;
    auto object = find_as<AuthParametersObject>(handle, nullptr);
    if (!object) return -2;
    if (field < 0 || field >= kAuthFieldCount) return -3;
    return hand_out(object->snapshot().field(static_cast<AuthField>(field)), out);
  });
}

int32_t VESSAEMU_AuthParametersAdditionalCount(uint64_t handle) {
  return control<int32_t>(__func__, [&] {
    auto object = find_as<AuthParametersObject>(handle, nullptr);
    if (!object) return -2;
    return static_cast<int32_t>(object->snapshot().additional.size());
  });
}

int32_t VESSAEMU_AuthParametersAdditional(uint64_t handle, int32_t index, int32_t which,
                                          vessaemu_unit** out) {
  return control<int32_t>(__func__, [&] {
    if (out != nullptr) *out = nullptr;
    auto object = find_as<AuthParametersObject>(handle, nullptr);
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
  return control<uint64_t>(__func__, [&]() -> uint64_t {
    if (spec == nullptr) return 0;
    auto result = make_ref<AuthResultObject>();
    if (!account_of(spec->account_key, &result->account)) return 0;
    result->id_token = text_of(spec->id_token);
    result->raw_id_token = text_of(spec->raw_id_token);
    result->access_token = text_of(spec->access_token);
    result->granted_scopes = text_of(spec->granted_scopes);
    result->authorization_header = text_of(spec->authorization_header);
    result->is_pop = spec->is_pop;
    result->expiry = spec->expiry;
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(std::move(result));
  });
}

uint64_t VESSAEMU_NewSignOutResult(const VESSAEMU_RESULT_SPEC* spec) {
  return control<uint64_t>(__func__, [&]() -> uint64_t {
    if (spec == nullptr) return 0;
    auto result = make_ref<SignOutResultObject>();
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(std::move(result));
  });
}

uint64_t VESSAEMU_NewReadAccountResult(const VESSAEMU_RESULT_SPEC* spec) {
  return control<uint64_t>(__func__, [&]() -> uint64_t {
    if (spec == nullptr) return 0;
    auto result = make_ref<ReadAccountResultObject>();
    if (!account_of(spec->account_key, &result->account)) return 0;
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(std::move(result));
  });
}

uint64_t VESSAEMU_NewDiscoverAccountsResult(const VESSAEMU_RESULT_SPEC* spec) {
  return control<uint64_t>(__func__, [&]() -> uint64_t {
    if (spec == nullptr || spec->account_count < 0 ||
        (spec->account_count > 0 && spec->account_keys == nullptr)) {
      return 0;
    }
    auto result = make_ref<DiscoverAccountsResultObject>();
    for (int32_t i = 0; i < spec->account_count; ++i) {
      Ref<AccountRecord> record;
      if (!account_of(spec->account_keys[i], &record) || !record) return 0;
      result->accounts.push_back(std::move(record));
    }
    result->error = error_of(spec->error);
    result->telemetry = text_of(spec->telemetry);
    return register_result(std::move(result));
  });
}

uint64_t VESSAEMU_NewAsyncHandle(void) {
  return control<uint64_t>(__func__, [] {
    return register_object(Kind::AsyncOperation, make_ref<AsyncOperationObject>());
  });
}

int32_t VESSAEMU_AsyncState(uint64_t handle) {
  return control<int32_t>(__func__, [&] {
    auto object = find_as<AsyncOperationObject>(handle, nullptr);
    return object ? static_cast<int32_t>(object->state()) : -1;
  });
}

int32_t VESSAEMU_SetCompletionMode(int32_t mode, int32_t delay_ms) {
  return control<int32_t>(__func__, [&] {
    if (mode < 0 || mode > static_cast<int32_t>(CompletionMode::Early)) return -1;
    set_completion_mode(static_cast<CompletionMode>(mode), delay_ms);
    return 0;
  });
}

int32_t VESSAEMU_CompletionMode(int32_t* delay_ms) {
  return control<int32_t>(__func__,
                          [&] { return static_cast<int32_t>(completion_mode(delay_ms)); });
}

int32_t VESSAEMU_ReleaseHeld(int32_t count) {
  return control<int32_t>(__func__, [&] { return release_held(count); });
}

int64_t VESSAEMU_PendingOperations(void) {
  return control<int64_t>(__func__, [] { return pending_operations(); });
}

int64_t VESSAEMU_HeldOperations(void) {
  return control<int64_t>(__func__, [] { return held_operations(); });
}

int32_t VESSAEMU_WorkerCount(void) {
  return control<int32_t>(__func__, [] { return worker_count(); });
}

int32_t VESSAEMU_WaitIdle(int64_t timeout_ms) {
  return control<int32_t>(__func__, [&] {
    return wait_idle(std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0)) ? 1 : 0;
  });
}

int32_t VESSAEMU_FailNextCompletion(const char* operation, int32_t status, int64_t code,
                                    int32_t tag, VESSAEMU_TEXT context) {
  return control<int32_t>(__func__, [&] {
    const int32_t checked = start_operation_of(operation);
    if (checked < 0) return checked;
    script_completion(static_cast<Op>(checked),
                      Outcome::failure(ErrorInfo{status, code, tag, text_of(context)}));
    return 0;
  });
}

int32_t VESSAEMU_NullNextCompletion(const char* operation) {
  return control<int32_t>(__func__, [&] {
    const int32_t checked = start_operation_of(operation);
    if (checked < 0) return checked;
    script_completion(static_cast<Op>(checked), Outcome{Outcome::Kind::NullResult, {}});
    return 0;
  });
}

int32_t VESSAEMU_ResetInteractiveUser(void) {
  return control<int32_t>(__func__, [] {
    reset_interactive_user();
    return 0;
  });
}

int32_t VESSAEMU_SetInteractiveUserField(int32_t field, VESSAEMU_TEXT value) {
  return control<int32_t>(__func__, [&] {
    if (field < 0 || field >= kAccountFieldCount) return -2;
    set_interactive_user_field(static_cast<AccountField>(field), text_of(value));
    return 0;
  });
}

int32_t VESSAEMU_InteractiveUserField(int32_t field, vessaemu_unit** out) {
  return control<int32_t>(__func__, [&] {
    if (out != nullptr) *out = nullptr;
    if (field < 0 || field >= kAccountFieldCount) return -2;
    return hand_out(interactive_user_field(static_cast<AccountField>(field)), out);
  });
}

int32_t VESSAEMU_CancelNextInteractive(int32_t status) {
  return control<int32_t>(__func__, [&] {
    cancel_next_interactive(status);
    return 0;
  });
}

int32_t VESSAEMU_EmitLog(VESSAEMU_TEXT message, int32_t level, int32_t threads) {
  return control<int32_t>(__func__, [&] {
    const std::u16string line = text_of(message).value_or(std::u16string());
    if (threads <= 0) {
      log_line(level, line);
      return 0;
    }
    // The threads write at once: each waits at the latch until all exist.
    std::latch ready(threads);
    std::vector<std::thread> writers;
    int32_t result = 0;
    try {
      writers.reserve(static_cast<size_t>(threads));
      for (int32_t i = 0; i < threads; ++i) {
        writers.emplace_back([&] { write_from_new_thread(ready, level, line); });
      }
    } catch (...) {
      result = writers.empty() ? -1 : 0;
      ready.count_down(threads - static_cast<int32_t>(writers.size()));
    }
    for (auto& writer : writers) writer.join();
    return result;
  });
}

int32_t VESSAEMU_LogRegistrations(void) {
  return control<int32_t>(__func__, [] { return log_registrations(); });
}

}  // extern "C"
