// A stress program for the emulator: native threads drive the runtime's C API and the control
// interface directly, as a host application's own threads would. Python takes no part, so the
// program runs under ThreadSanitizer (`make tsan`) as well as at full size (`make stress`);
// tests/test_native.py runs it small. It is not shipped.
//
// Each round starts all eight operations from every thread, cancels some, releases every handle
// (some at once, some later), changes the completion mode, registers and releases log routines
// and writes log lines, while other threads script outcomes aimed at an account, set a latency,
// advance the clock, change account states and read the request history; it ends with a
// shut-down or a reset. The first round keeps to the
// workers, one operation at a time per thread, so that idle workers take each job at once. An
// extra round in the middle also resets and restarts the runtime from two threads while the
// others keep going ("chaos": starts are refused meanwhile, and contract violations are expected
// and not counted). Then threads race interactive sign-ins against each other.
//
// Besides what a sanitizer reports, it checks that:
// - every start of an orderly round is accepted and gets exactly one completion; in the chaos
//   round, every accepted start gets exactly one and a refused one none;
// - a routine running on another thread than its start call finds the operation's handle stored;
// - interactive sign-ins completing at once store one account, not one each;
// - after each orderly round no handle is live and no contract violation happened.
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vessaemu.h"
#include "vessaruntime.h"

namespace {

struct Options {
  long operations = 100000;
  int threads = 8;
  int rounds = 10;
  // Interactive sign-in races: a store that looked up and added apart stored a duplicate
  // account about once in 2000.
  int races = 20000;
  bool log_flood = false;
};

std::atomic<long> g_failures{0};

void fail(const char* format, ...) {
  if (g_failures.fetch_add(1) >= 20) return;  // the first ones tell the story
  va_list args;
  va_start(args, format);
  std::fputs("stress: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// Errors the program does not look into still have to be released.
void drop(VESSARUNTIME_ERROR_HANDLE error) {
  if (error != nullptr) VESSARUNTIME_ReleaseError(error);
}

VESSAEMU_TEXT text(const std::u16string& value) {
  return VESSAEMU_TEXT{value.c_str(), static_cast<int32_t>(value.size())};
}

constexpr VESSAEMU_TEXT kNoText{nullptr, -1};

// One started operation; its address is the routine's context value.
struct Operation {
  VESSARUNTIME_ASYNC_HANDLE handle = nullptr;  // stored by the start call
  std::thread::id starter;
  bool accepted = false;
  std::atomic<int> completions{0};
  std::atomic<bool> handle_missing{false};
};

// What every routine does first. A plain read of the handle: ThreadSanitizer reports it if the
// start call stores the handle only after the job is published.
void observe(Operation* op) {
  if (std::this_thread::get_id() != op->starter && op->handle == nullptr) {
    op->handle_missing = true;
  }
}

void read_error(VESSARUNTIME_ERROR_HANDLE error) {
  if (error == nullptr) return;
  int32_t status = 0;
  drop(VESSARUNTIME_GetStatus(error, &status));
  drop(VESSARUNTIME_ReleaseError(error));
}

// The four routines read the result's error as a host would, and release the result.
void VESSARUNTIME_CALL on_auth(VESSARUNTIME_AUTH_RESULT_HANDLE result, void* context) {
  auto* op = static_cast<Operation*>(context);
  observe(op);
  if (result != nullptr) {
    VESSARUNTIME_ERROR_HANDLE error = nullptr;
    drop(VESSARUNTIME_GetError(result, &error));
    read_error(error);
    int32_t size = 0;
    drop(VESSARUNTIME_GetAccessToken(result, nullptr, &size));
    drop(VESSARUNTIME_ReleaseAuthResult(result));
  }
  op->completions.fetch_add(1);
}

void VESSARUNTIME_CALL on_sign_out(VESSARUNTIME_SIGNOUT_RESULT_HANDLE result, void* context) {
  auto* op = static_cast<Operation*>(context);
  observe(op);
  if (result != nullptr) {
    VESSARUNTIME_ERROR_HANDLE error = nullptr;
    drop(VESSARUNTIME_SignOutResult_GetError(result, &error));
    read_error(error);
    drop(VESSARUNTIME_ReleaseSignOutResult(result));
  }
  op->completions.fetch_add(1);
}

void VESSARUNTIME_CALL on_read(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE result, void* context) {
  auto* op = static_cast<Operation*>(context);
  observe(op);
  if (result != nullptr) {
    VESSARUNTIME_ACCOUNT_HANDLE account = nullptr;
    drop(VESSARUNTIME_ReadAccountResult_GetAccount(result, &account));
    if (account != nullptr) drop(VESSARUNTIME_ReleaseAccount(account));
    drop(VESSARUNTIME_ReleaseReadAccountResult(result));
  }
  op->completions.fetch_add(1);
}

void VESSARUNTIME_CALL on_discover(VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE result,
                                   void* context) {
  auto* op = static_cast<Operation*>(context);
  observe(op);
  if (result != nullptr) {
    VESSARUNTIME_ERROR_HANDLE error = nullptr;
    drop(VESSARUNTIME_DiscoverAccountsResult_GetError(result, &error));
    read_error(error);
    drop(VESSARUNTIME_ReleaseDiscoverAccountsResult(result));
  }
  op->completions.fetch_add(1);
}

std::atomic<long> g_log_lines{0};

void VESSARUNTIME_CALL on_log(const os_char* message, int32_t, void* context) {
  if (message[0] != 0) static_cast<std::atomic<long>*>(context)->fetch_add(1);
}

// A log registration that comes and goes.
struct Registration {
  VESSARUNTIME_LOG_CALLBACK_HANDLE handle = nullptr;
  void toggle() {
    if (handle != nullptr) {
      drop(VESSARUNTIME_ReleaseLogCallbackHandle(handle));
      handle = nullptr;
    } else {
      drop(VESSARUNTIME_RegisterLogCallback(on_log, &g_log_lines, &handle));
    }
  }
  ~Registration() {
    if (handle != nullptr) toggle();
  }
};

void emit(const char16_t* line, int32_t threads) {
  VESSAEMU_EmitLog(
      VESSAEMU_TEXT{line, static_cast<int32_t>(std::char_traits<char16_t>::length(line))}, 3,
      threads);
}

// The accounts of a round: keys in the store and account handles shared by every thread.
struct Accounts {
  std::vector<std::u16string> keys;
  std::vector<VESSARUNTIME_ACCOUNT_HANDLE> handles;

  void seed(int count) {
    for (int i = 0; i < count; ++i) {
      vessaemu_unit* key = nullptr;
      const int32_t length = VESSAEMU_AddAccount(kNoText, &key);
      if (length < 0) {
        fail("an account could not be added (%d)", length);
        continue;
      }
      keys.emplace_back(key, static_cast<size_t>(length));
      VESSAEMU_Free(key);
      handles.push_back(reinterpret_cast<VESSARUNTIME_ACCOUNT_HANDLE>(
          static_cast<uintptr_t>(VESSAEMU_NewAccountHandle(text(keys.back())))));
    }
  }
  void release() {
    for (auto handle : handles) drop(VESSARUNTIME_ReleaseAccount(handle));
    handles.clear();
    keys.clear();
  }
};

constexpr int kModes[] = {0, 1, 3, 2, 4};  // worker, inline, delayed, held, early

struct Round {
  const Accounts* accounts;
  bool chaos;
  bool change_modes;  // else every operation completes on a worker
};

// Starts operation `kind` (0..7) for `op`; returns what the start answered.
VESSARUNTIME_ERROR_HANDLE start(int kind, Operation& op, VESSARUNTIME_AUTH_PARAMETERS_HANDLE params,
                                VESSARUNTIME_ACCOUNT_HANDLE account, const os_char* account_id) {
  const os_char* corr = u"stress-correlation";
  const os_char* client = u"stress-client";
  switch (kind) {
    case 0:
      return VESSARUNTIME_SignInAsync(nullptr, params, corr, u"", on_auth, &op, &op.handle);
    case 1:
      return VESSARUNTIME_SignInSilentlyAsync(params, corr, on_auth, &op, &op.handle);
    case 2:
      return VESSARUNTIME_SignInInteractivelyAsync(nullptr, params, corr, u"", on_auth, &op,
                                                   &op.handle);
    case 3:
      return VESSARUNTIME_AcquireTokenSilentlyAsync(params, corr, account, on_auth, &op,
                                                    &op.handle);
    case 4:
      return VESSARUNTIME_AcquireTokenInteractivelyAsync(nullptr, params, corr, account, on_auth,
                                                         &op, &op.handle);
    case 5:
      return VESSARUNTIME_ReadAccountByIdAsync(account_id, corr, on_read, &op, &op.handle);
    case 6:
      return VESSARUNTIME_SignOutSilentlyAsync(client, corr, account, on_sign_out, &op, &op.handle);
    default:
      return VESSARUNTIME_DiscoverAccountsAsync(client, corr, on_discover, &op, &op.handle);
  }
}

// The scenario side of a round, from a few of the driving threads: outcomes aimed at an account
// (each taken by one completion, whichever), a latency, the clock, account states, the history.
void script(const Accounts& accounts, int index, long i, std::mt19937& random) {
  if (accounts.keys.empty()) return;
  if (index == 1 && i % 61 == 0) {
    std::string key;
    for (const char16_t unit : accounts.keys[random() % accounts.keys.size()]) {
      key += static_cast<char>(unit);  // generated keys are ASCII
    }
    const std::string scenario = R"({"settings": {"latency_ms": {"discover_accounts": )" +
                                 std::to_string(i % 2) + R"(}}, "outcomes": [{"account": ")" + key +
                                 R"(", "status": "NoNetwork"},
                             {"operation": "sign_in_silently", "null_result": true}]})";
    char* error = nullptr;
    if (VESSAEMU_LoadScenario(scenario.c_str(), static_cast<int64_t>(scenario.size()), &error) !=
        0) {
      fail("scenario refused: %s", error);
    }
    VESSAEMU_Free(error);
    VESSAEMU_AdvanceClock(3600);
  }
  if (index == 2 && i % 89 == 0) {
    const auto& key = accounts.keys[random() % accounts.keys.size()];
    VESSAEMU_SetAccountState(text(key), static_cast<int32_t>(random() % 5));
  }
  if (index == 3 && i % 211 == 0) {
    char* history = nullptr;
    if (VESSAEMU_History(&history) < 0 || history == nullptr || history[0] != '[') {
      fail("the request history could not be read");
    }
    VESSAEMU_Free(history);
    if (i % 422 == 0) VESSAEMU_ClearHistory();
  }
}

void drive(const Round& round, int index, long count, std::deque<Operation>& ops) {
  std::mt19937 random(static_cast<unsigned>(index) * 7919u + 17u);
  const Accounts& accounts = *round.accounts;
  VESSARUNTIME_AUTH_PARAMETERS_HANDLE params = nullptr;
  VESSARUNTIME_ASYNC_HANDLE kept = nullptr;  // released a few operations later
  Registration registration;
  size_t mode = 0;
  for (long i = 0; i < count; ++i) {
    if (i % 16 == 0) {
      if (params != nullptr) drop(VESSARUNTIME_ReleaseAuthParameters(params));
      params = nullptr;
      drop(VESSARUNTIME_CreateAuthParameters(u"stress-client", u"https://authority.example",
                                             &params));
      drop(VESSARUNTIME_SetRequestedScopes(params, u"read write"));
      if (i % 32 == 0) drop(VESSARUNTIME_SetPopParams(params, u"GET", u"host", u"/", u"nonce"));
    }
    if (i % 50 == index % 50) registration.toggle();
    if (i % 32 == 7) emit(u"a line from a host thread", 0);
    if (round.change_modes && index == 0 && i % 97 == 0) {
      mode = (mode + 1) % std::size(kModes);
      VESSAEMU_SetCompletionMode(kModes[mode], kModes[mode] == 3 ? 1 : 0);
    }
    if (index == 0 && i % 13 == 0) VESSAEMU_ReleaseHeld(-1);
    if (round.chaos && index == 1 && i % 700 == 350) {
      VESSAEMU_Reset(0);
      drop(VESSARUNTIME_Startup());
    }
    if (round.chaos && index == 2 && i % 500 == 250) {
      VESSARUNTIME_Shutdown();
      drop(VESSARUNTIME_Startup());
    }
    script(accounts, index, i, random);

    Operation& op = ops.emplace_back();
    op.starter = std::this_thread::get_id();
    const size_t which = accounts.handles.empty() ? 0 : random() % accounts.handles.size();
    VESSARUNTIME_ACCOUNT_HANDLE account =
        accounts.handles.empty() ? nullptr : accounts.handles[which];
    const os_char* account_id = accounts.keys.empty() ? u"none" : accounts.keys[which].c_str();
    VESSARUNTIME_ERROR_HANDLE error =
        start(static_cast<int>(random() % 8), op, params, account, account_id);
    if (error != nullptr) {
      read_error(error);
      // A refused start hands out no handle, but one stored anyway must not be lost.
      if (op.handle != nullptr) drop(VESSARUNTIME_ReleaseAsyncHandle(op.handle));
      continue;
    }
    op.accepted = true;
    // One at a time: the workers are idle when the next one starts, the likeliest moment for a
    // routine to run before its start call stored the handle.
    if (!round.change_modes) {
      while (op.completions.load() == 0) std::this_thread::yield();
    }
    const unsigned roll = random() % 8;
    if (roll < 2) drop(VESSARUNTIME_CancelAsyncOperation(op.handle));
    if (roll == 7) {
      if (kept != nullptr) drop(VESSARUNTIME_ReleaseAsyncHandle(kept));
      kept = op.handle;
    } else {
      drop(VESSARUNTIME_ReleaseAsyncHandle(op.handle));
    }
  }
  if (kept != nullptr) drop(VESSARUNTIME_ReleaseAsyncHandle(kept));
  if (params != nullptr) drop(VESSARUNTIME_ReleaseAuthParameters(params));
}

// Lines from the calling thread and from bursts of new native threads, while registrations of
// its own come and go, until `done`.
void flood(const std::atomic<bool>& done) {
  Registration registration;
  for (long n = 0; !done.load(); ++n) {
    if (n % 256 == 0) registration.toggle();
    emit(u"a line of the flood", n % 64 == 0 ? 4 : 0);
  }
}

void check_operations(const std::vector<std::deque<Operation>>& all, long* accepted) {
  for (const auto& ops : all) {
    for (const auto& op : ops) {
      const int expected = op.accepted ? 1 : 0;
      if (op.completions.load() != expected) {
        fail("an operation %s completed %d times", op.accepted ? "accepted" : "refused",
             op.completions.load());
      }
      if (op.handle_missing.load()) fail("a routine ran before its operation's handle was stored");
      *accepted += expected;
    }
  }
}

void check_clean(const char* when) {
  const int64_t live = VESSAEMU_LiveHandles(-1);
  if (live != 0) fail("%lld handles live %s", static_cast<long long>(live), when);
  if (VESSAEMU_ContractViolations() != 0) {
    char* texts = nullptr;
    const int32_t count = VESSAEMU_TakeContractViolations(&texts);
    fail("%d contract violations %s, the first: %.300s", count, when, texts ? texts : "");
    VESSAEMU_Free(texts);
  }
}

struct Tally {
  long started = 0;
  long accepted = 0;
};

Tally run_round(const Options& options, int number, bool chaos) {
  VESSAEMU_Reset(0);
  Accounts accounts;
  accounts.seed(4);
  drop(VESSARUNTIME_Startup());
  const Round round{&accounts, chaos, chaos || number > 0};
  const long per_thread = options.operations / (options.threads * options.rounds);
  std::vector<std::deque<Operation>> ops(static_cast<size_t>(options.threads));
  std::atomic<bool> done{false};
  std::thread flooder;
  if (options.log_flood) flooder = std::thread(flood, std::cref(done));
  std::vector<std::thread> threads;
  for (int t = 0; t < options.threads; ++t) {
    threads.emplace_back(drive, std::cref(round), t, per_thread, std::ref(ops[t]));
  }
  for (auto& thread : threads) thread.join();
  done = true;
  if (flooder.joinable()) flooder.join();

  accounts.release();
  if (chaos) {
    VESSAEMU_Reset(0);  // completes what is pending; the violations of the round go with it
  } else if (number % 2 == 0) {
    VESSARUNTIME_Shutdown();
    check_clean("after a shut-down");
  } else {
    // Held operations wait for the reset; nothing else may still hold a handle.
    VESSAEMU_WaitIdle(60000);
    check_clean("before a reset");
    VESSAEMU_Reset(0);
    check_clean("after a reset");  // a routine still running would have released into it
  }
  Tally tally{per_thread * options.threads, 0};
  check_operations(ops, &tally.accepted);
  if (!chaos && tally.accepted != tally.started) {
    fail("%ld starts refused in an orderly round", tally.started - tally.accepted);
  }
  return tally;
}

void VESSARUNTIME_CALL on_race(VESSARUNTIME_AUTH_RESULT_HANDLE result, void*) {
  if (result != nullptr) drop(VESSARUNTIME_ReleaseAuthResult(result));
}

// Interactive sign-ins from every thread at once, inline, into an empty store: one account.
void race_sign_ins(const Options& options) {
  VESSAEMU_Reset(0);
  drop(VESSARUNTIME_Startup());
  VESSAEMU_SetCompletionMode(1, 0);
  VESSARUNTIME_AUTH_PARAMETERS_HANDLE params = nullptr;
  drop(VESSARUNTIME_CreateAuthParameters(u"stress-client", u"https://authority.example", &params));
  int trial = 0;
  auto between = [&]() noexcept {
    const int32_t stored = VESSAEMU_AccountCount();
    if (trial++ > 0 && stored != 1) fail("%d accounts stored by racing sign-ins", stored);
    for (;;) {
      vessaemu_unit* key = nullptr;
      const int32_t length = VESSAEMU_AccountFieldAt(0, -1, &key);
      if (length < 0) break;
      VESSAEMU_RemoveAccount(VESSAEMU_TEXT{key, length});
      VESSAEMU_Free(key);
    }
  };
  std::barrier sync(options.threads, between);
  std::vector<std::thread> threads;
  for (int t = 0; t < options.threads; ++t) {
    threads.emplace_back([&] {
      for (int k = 0; k < options.races; ++k) {
        sync.arrive_and_wait();
        VESSARUNTIME_ASYNC_HANDLE handle = nullptr;
        drop(VESSARUNTIME_SignInInteractivelyAsync(nullptr, params, u"race", u"", on_race, nullptr,
                                                   &handle));
        if (handle != nullptr) drop(VESSARUNTIME_ReleaseAsyncHandle(handle));
      }
      sync.arrive_and_wait();
    });
  }
  for (auto& thread : threads) thread.join();
  drop(VESSARUNTIME_ReleaseAuthParameters(params));
  VESSARUNTIME_Shutdown();
  check_clean("after the sign-in races");
}

long number_of(const char* value) {
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || number < 0) {
    std::fprintf(stderr, "stress: not a count: %s\n", value);
    std::exit(2);
  }
  return number;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--operations" && has_value) {
      options.operations = number_of(argv[++i]);
    } else if (arg == "--threads" && has_value) {
      options.threads = static_cast<int>(number_of(argv[++i]));
    } else if (arg == "--rounds" && has_value) {
      options.rounds = static_cast<int>(number_of(argv[++i]));
    } else if (arg == "--races" && has_value) {
      options.races = static_cast<int>(number_of(argv[++i]));
    } else if (arg == "--log-flood") {
      options.log_flood = true;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--operations N] [--threads N] [--rounds N] [--races N] "
                   "[--log-flood]\n",
                   argv[0]);
      return 2;
    }
  }
  if (options.threads < 3 || options.rounds < 1) {
    std::fprintf(stderr, "stress: at least 3 threads and 1 round\n");
    return 2;
  }
  const auto began = std::chrono::steady_clock::now();
  long orderly = 0;
  Tally chaos;
  for (int r = 0; r < options.rounds; ++r) {
    if (r == options.rounds / 2) chaos = run_round(options, r, true);
    orderly += run_round(options, r, false).started;
  }
  race_sign_ins(options);
  VESSAEMU_Reset(0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf(
      "stress: %ld operations from %d threads in %d rounds%s; a chaos round of %ld (%ld "
      "accepted); %d sign-in races; %ld log lines delivered; %.1f s: %ld failures\n",
      orderly, options.threads, options.rounds,
      g_failures.load() == 0 ? ", each accepted and completed once" : "", chaos.started,
      chaos.accepted, options.races, g_log_lines.load(), seconds, g_failures.load());
  return g_failures.load() == 0 ? 0 : 1;
}
