// The request history: every operation a start accepted, with what it was given, kept after its
// handles are released (applications release their parameters right after the start) until a
// reset or VESSAEMU_ClearHistory.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auth_parameters.hpp"
#include "operations.hpp"
#include "strings.hpp"

namespace vessaemu {

struct State;

struct Request;

struct HistoryEntry {
  uint64_t id = 0;
  Op op = Op::Count;
  int64_t time = 0;  // the emulator's clock at the start
  AuthParametersData params;
  std::u16string correlation_id;
  Text account_hint;
  std::optional<uint64_t> window;
  Text account;  // the key of the account the operation was given
  std::u16string account_id;
  std::u16string client_id;
  bool completed = false;
  std::optional<int32_t> status;  // of the error it completed with
  std::vector<uint64_t> routes;   // the scripted outcomes its completion took (scenario.hpp)
};

// The history's part of the emulator's state (state.hpp); every field is guarded by `mutex`.
// The oldest entries go once there are kLimit, so a long run does not fill the memory.
struct History {
  static constexpr size_t kLimit = 10000;
  std::mutex mutex;
  std::deque<HistoryEntry> entries;  // by id, ascending
  uint64_t next_id = 1;

  void reset();
};

// Records a start; its id goes into the request, for request_completed.
uint64_t record_request(State& st, const Request& request);
// A start that was refused after all leaves no entry.
void forget_request(State& st, uint64_t id);
void request_completed(State& st, uint64_t id, std::optional<int32_t> status);
// The completion of the request `id` took the scripted outcome `route`.
void note_route(State& st, uint64_t id, uint64_t route);
// The entries as a JSON array (ASCII), oldest first; `count` gets how many.
std::string history_json(State& st, int32_t* count);

}  // namespace vessaemu
