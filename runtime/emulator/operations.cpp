// Names, call counters and scripted failures of the runtime operations.
#include "operations.hpp"

#include <array>
#include <atomic>
#include <deque>
#include <mutex>

namespace vessaemu {
namespace {

struct OperationInfo {
  const char* full;
  const char* short_name;
  bool returns_error;
};

constexpr std::array<OperationInfo, kOperationCount> kOperations = {{
#define VESSAEMU_OP_INFO(name, returns_error) {"VESSARUNTIME_" #name, #name, returns_error},
    VESSAEMU_OPERATIONS(VESSAEMU_OP_INFO)
#undef VESSAEMU_OP_INFO
}};

struct PendingFault {
  Fault fault;
  int32_t remaining;
  int32_t skip;
};

// Counters are atomics so the common path (no failure scripted) costs one increment and one load.
struct OperationState {
  std::array<std::atomic<uint64_t>, kOperationCount> calls{};
  std::array<std::atomic<bool>, kOperationCount> has_faults{};
  std::mutex faults_mutex;
  std::array<std::deque<PendingFault>, kOperationCount> faults;
};

// Never destroyed: a runtime thread may still enter an operation while the process exits.
OperationState& state() {
  static OperationState* instance = new OperationState();
  return *instance;
}

constexpr std::string_view kPrefix = "VESSARUNTIME_";

}  // namespace

const char* full_name(Op op) {
  return kOperations[static_cast<int>(op)].full;
}
const char* short_name(Op op) {
  return kOperations[static_cast<int>(op)].short_name;
}
bool returns_error(Op op) {
  return kOperations[static_cast<int>(op)].returns_error;
}

std::optional<Op> find_operation(std::string_view name) {
  if (name.starts_with(kPrefix)) name.remove_prefix(kPrefix.size());
  for (int i = 0; i < kOperationCount; ++i) {
    if (name == kOperations[i].short_name) return static_cast<Op>(i);
  }
  return std::nullopt;
}

std::optional<Fault> enter(Op op) {
  const int i = static_cast<int>(op);
  OperationState& s = state();
  s.calls[i].fetch_add(1, std::memory_order_relaxed);
  if (!s.has_faults[i].load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard lock(s.faults_mutex);
  auto& queue = s.faults[i];
  if (queue.empty()) return std::nullopt;
  if (queue.front().skip > 0) {
    --queue.front().skip;
    return std::nullopt;
  }
  Fault fault = queue.front().fault;
  if (--queue.front().remaining <= 0) queue.pop_front();
  if (queue.empty()) s.has_faults[i].store(false, std::memory_order_release);
  return fault;
}

uint64_t call_count(Op op) {
  return state().calls[static_cast<int>(op)].load(std::memory_order_relaxed);
}

void script_failure(Op op, Fault fault, int32_t count, int32_t after) {
  if (count <= 0) return;
  const int i = static_cast<int>(op);
  OperationState& s = state();
  std::lock_guard lock(s.faults_mutex);
  s.faults[i].push_back(PendingFault{std::move(fault), count, after > 0 ? after : 0});
  s.has_faults[i].store(true, std::memory_order_release);
}

void reset_operations() {
  OperationState& s = state();
  std::lock_guard lock(s.faults_mutex);
  for (int i = 0; i < kOperationCount; ++i) {
    s.faults[i].clear();
    s.has_faults[i].store(false, std::memory_order_release);
    s.calls[i].store(0, std::memory_order_relaxed);
  }
}

}  // namespace vessaemu
