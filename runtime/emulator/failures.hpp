// Failures inside the emulator: exceptions injected on purpose (VESSAEMU_FailInside), the
// exhaustion of memory one of them simulates, and the errors reserved for when memory runs out.
//
// Every export runs inside a guard (guarded, control in call.hpp) that turns an exception into an
// answer; these let tests reach each guard's handlers, and let a guard answer without memory.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "operations.hpp"
#include "registry.hpp"
#include "vessaruntime.h"

namespace vessaemu {

struct State;

enum class Injected : int32_t {
  NoMemory = 0,   // every handle the call tries to make fails with std::bad_alloc
  Exception = 1,  // the call throws a std::runtime_error as it begins
  Foreign = 2,    // the call throws something that is no std::exception as it begins
};
inline constexpr int32_t kInjectedKinds = 3;

struct PendingInjection {
  std::string function;
  Injected kind;
  int32_t remaining;
};

// The injections' part of the emulator's state (state.hpp): `pending` is guarded by `mutex`.
struct Injections {
  std::mutex mutex;
  std::vector<PendingInjection> pending;
  // Lets every call that nothing is scripted for pass with one load.
  std::atomic<bool> any{false};

  void reset();
};

// The next `count` calls of the exported function `function` (its full name) fail inside.
void inject_failure(Injections& in, std::string function, Injected kind, int32_t count);

// Marks one call of an export: throws an injected exception, or lets the call run out of memory
// (check_memory) until the point is left. Nested calls (a routine calling the runtime) get a
// state of their own. Whether the call is out of memory belongs to the thread making the call,
// not to the emulator's state.
class FailurePoint {
 public:
  FailurePoint(Injections& in, const char* function);
  FailurePoint(const FailurePoint&) = delete;
  FailurePoint& operator=(const FailurePoint&) = delete;
  ~FailurePoint();

 private:
  bool saved_;
};

// Throws std::bad_alloc while the current call runs out of memory by injection; called wherever
// the emulator makes a handle.
void check_memory();

// Errors made with the state (as the library loads), for when even making an error fails: always
// live, never counted, releasing one does nothing. Status_Unexpected, context "<function>: out of
// memory"; one per operation, and the last for the control interface.
struct ReservedErrors {
  explicit ReservedErrors(Registry& registry);
  VESSARUNTIME_ERROR_HANDLE of(Op op) const;
  VESSARUNTIME_ERROR_HANDLE of_control() const;

  const std::array<uint64_t, kOperationCount + 1> handles;
};

// Status_Unexpected with the context "VESSARUNTIME_<op>: <what>", or the reserved error when
// that cannot be made.
VESSARUNTIME_ERROR_HANDLE failure_error(State& st, Op op, const char* what);

}  // namespace vessaemu
