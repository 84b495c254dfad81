// Injected failures and the reserved errors (see failures.hpp).
#include "failures.hpp"

#include <array>
#include <atomic>
#include <mutex>
#include <optional>
#include <new>
#include <stdexcept>
#include <vector>

#include "call.hpp"
#include "errors.hpp"
#include "state.hpp"

namespace vessaemu {
namespace {

std::optional<Injected> take(Injections& in, const char* function) {
  std::lock_guard lock(in.mutex);
  for (auto it = in.pending.begin(); it != in.pending.end(); ++it) {
    if (it->function != function) continue;
    const Injected kind = it->kind;
    if (--it->remaining <= 0) in.pending.erase(it);
    in.any.store(!in.pending.empty(), std::memory_order_release);
    return kind;
  }
  return std::nullopt;
}

// Not derived from std::exception, as a foreign library's exception might not be.
struct ForeignFailure {
  int code = 0;
};

thread_local bool t_out_of_memory = false;

uint64_t make_reserved(Registry& registry, const std::string& function) {
  return register_permanent(registry, Kind::Error,
                            make_ref<ErrorObject>(ErrorInfo{kStatusUnexpected, 0, 0,
                                                            widen(function + ": out of memory")}));
}

std::array<uint64_t, kOperationCount + 1> make_reserve(Registry& registry) {
  std::array<uint64_t, kOperationCount + 1> handles{};
  for (int i = 0; i < kOperationCount; ++i)
    handles[i] = make_reserved(registry, full_name(static_cast<Op>(i)));
  handles[kOperationCount] = make_reserved(registry, "VESSAEMU");
  return handles;
}

}  // namespace

ReservedErrors::ReservedErrors(Registry& registry) : handles(make_reserve(registry)) {}

void inject_failure(Injections& in, std::string function, Injected kind, int32_t count) {
  if (count <= 0) return;
  std::lock_guard lock(in.mutex);
  in.pending.push_back(PendingInjection{std::move(function), kind, count});
  in.any.store(true, std::memory_order_release);
}

void Injections::reset() {
  std::lock_guard lock(mutex);
  pending.clear();
  any.store(false, std::memory_order_release);
}

FailurePoint::FailurePoint(Injections& in, const char* function) : saved_(t_out_of_memory) {
  t_out_of_memory = false;
  if (!in.any.load(std::memory_order_acquire)) return;
  const auto kind = take(in, function);
  if (!kind) return;
  switch (*kind) {
    case Injected::NoMemory:
      t_out_of_memory = true;
      return;
    case Injected::Exception:
      t_out_of_memory = saved_;
      throw std::runtime_error("injected failure");
    case Injected::Foreign:
      t_out_of_memory = saved_;
      throw ForeignFailure{};
  }
}

FailurePoint::~FailurePoint() {
  t_out_of_memory = saved_;
}

void check_memory() {
  if (t_out_of_memory) throw std::bad_alloc();
}

VESSARUNTIME_ERROR_HANDLE ReservedErrors::of(Op op) const {
  return as_handle<VESSARUNTIME_ERROR_HANDLE>(handles[static_cast<int>(op)]);
}

VESSARUNTIME_ERROR_HANDLE ReservedErrors::of_control() const {
  return as_handle<VESSARUNTIME_ERROR_HANDLE>(handles[kOperationCount]);
}

VESSAEMU_FORCED_UNWIND_PATH VESSARUNTIME_ERROR_HANDLE failure_error(State& st, Op op,
                                                                    const char* what) {
  try {
    return unexpected(st.registry, op, what);
  }
  VESSAEMU_PASS_FORCED_UNWIND
  catch (...) {
    pass_foreign_unwind();
    return st.reserved.of(op);
  }
}

}  // namespace vessaemu
