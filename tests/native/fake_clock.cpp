// A state of the emulator built with a clock the test moves: a cached token is reused while it
// stays valid for longer than the refresh margin, and not once the clock reaches that margin; a
// request's history entry has the clock's time; an account added to it gets a token silently from
// a worker of its own engine, expiring by its clock and its settings, with the scopes it scripted
// as granted. The process-wide state of the exported functions is never touched: no account, no
// history, no handle, no engine started.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "results.hpp"
#include "state.hpp"

namespace {

using namespace vessaemu;

class FakeClock : public Clock {
 public:
  int64_t system_time = 1'700'000'000;

 protected:
  int64_t system_now_microseconds() const override {
    return system_time * kMicrosecondsPerSecond;
  }
};

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fake_clock: %s\n", what);
  std::exit(1);
}

void keep_result(VESSARUNTIME_AUTH_RESULT_HANDLE result, void* context) {
  *static_cast<uint64_t*>(context) = handle_value(result);
}

// A silent token acquisition for the account, completed on the state's own worker threads.
uint64_t acquire_silently(State& st, Ref<AccountRecord> account, const Text& client,
                          const Text& scopes) {
  Request request;
  request.op = Op::AcquireTokenSilentlyAsync;
  request.params.fields[static_cast<int>(AuthField::ClientId)] = client;
  request.params.fields[static_cast<int>(AuthField::Authority)] = u"https://login.example.test/t";
  request.params.fields[static_cast<int>(AuthField::Scopes)] = scopes;
  request.correlation_id = u"fake-clock";
  request.account = std::move(account);
  request.history_id = record_request(st, request);
  uint64_t result = 0;
  auto job = make_ref<Job>();
  job->deliver = make_delivery(st, std::move(request), keep_result, &result);
  VESSARUNTIME_ASYNC_HANDLE operation = nullptr;
  check(engine_start(st), "the state's engine did not start");
  check(start_job(st, Op::AcquireTokenSilentlyAsync, job, &operation) == kOk,
        "the state's engine refused the job");
  check(wait_idle(st.engine, std::chrono::seconds(30)), "no worker of the state completed the job");
  engine_stop(st);
  return result;
}

}  // namespace

int main() {
  FakeClock clock;
  State st(clock);
  const Text client = u"client", scopes = u"read";
  auto record = make_ref<AccountRecord>();
  const int64_t expires_at = clock.now() + kDefaultAccessTokenLifetime;
  cache_token(st, *record, CachedToken{client, scopes, "access", "id", expires_at});

  check(reusable_token(st, *record, client, scopes).has_value(), "a fresh token is not reused");
  clock.system_time = expires_at - kDefaultRefreshMargin - 1;
  check(reusable_token(st, *record, client, scopes).has_value(),
        "a token is not reused a second before its refresh margin");
  clock.system_time += 1;
  check(!reusable_token(st, *record, client, scopes), "a token is reused within its margin");
  Request request;
  request.op = Op::SignInAsync;
  record_request(st, request);
  int32_t count = 0;
  const std::string time = "\"time\":" + std::to_string(clock.now()) + ",";
  check(history_json(st, &count).find(time) != std::string::npos && count == 1,
        "the history's entry has not the state's time");
  st.settings.access_token_lifetime = 600;
  Rule partial_grant;
  partial_grant.outcome = Outcome{Outcome::Kind::Normal, {}, u"read.basic"};
  script_outcome(st.outcomes, partial_grant);
  const uint64_t handle = acquire_silently(st, add_account(st, std::nullopt), client, scopes);
  const auto result = find_as<AuthResultObject>(st.registry, handle, nullptr);
  check(result && !result->error && result->expiry == clock.now() + 600,
        "the silent flow did not answer a token expiring by the state's clock and settings");
  check(result->granted_scopes == u"read.basic", "the state's scripted grant was not taken");
  check(history_json(st, &count).find("\"completed\":true") != std::string::npos,
        "the completion is not in the state's history");

  State& process = state();
  check(process.clock.now() != clock.now(), "the test's clock reached the process's state");
  int32_t process_requests = 0;
  history_json(process, &process_requests);
  const auto live = live_counts(process.registry);
  check(all_accounts(process.store).empty() && process_requests == 0 &&
            std::all_of(live.begin(), live.end(), [](int64_t n) { return n == 0; }) &&
            !engine_running(process.engine),
        "the test's state reached the process's state");
  std::puts("fake_clock: ok");
}
