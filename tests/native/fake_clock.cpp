// A state of the emulator built with a clock the test moves: a cached token is reused while it
// stays valid for longer than the refresh margin, and not once the clock reaches that margin; a
// request's history entry has the clock's time. The process-wide state of the exported functions
// is never touched.
#include <cstdio>
#include <cstdlib>

#include "state.hpp"

namespace {

using namespace vessaemu;

class FakeClock : public Clock {
 public:
  int64_t system_time = 1'700'000'000;

 protected:
  int64_t system_now() const override { return system_time; }
};

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fake_clock: %s\n", what);
  std::exit(1);
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
  check(state().clock.now() != clock.now(), "the test's clock reached the process's state");
  std::puts("fake_clock: ok");
}
