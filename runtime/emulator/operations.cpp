// Names, call counters and scripted failures of the runtime operations.
#include "operations.hpp"

#include <cctype>

#include "state.hpp"

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

constexpr std::string_view kPrefix = "VESSARUNTIME_";
constexpr std::string_view kAsync = "async";

// Lower case, no underscores, no "Async" ending: the form in which every spelling of a name
// compares equal.
std::string folded(std::string_view name) {
  if (name.starts_with(kPrefix)) name.remove_prefix(kPrefix.size());
  std::string out;
  for (const char c : name) {
    if (c != '_') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (out.size() > kAsync.size() && out.ends_with(kAsync)) out.resize(out.size() - kAsync.size());
  return out;
}

// "SignOutResult_GetError" -> "sign_out_result_get_error"; "SignInAsync" -> "sign_in".
std::string snake_case(std::string_view name) {
  std::string out;
  for (const char c : name) {
    if (std::isupper(static_cast<unsigned char>(c)) && !out.empty() && out.back() != '_') {
      out += '_';
    }
    out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (out.ends_with("_async")) out.resize(out.size() - 6);
  return out;
}

struct Spellings {
  std::array<std::string, kOperationCount> python;
  std::array<std::string, kOperationCount> folded;
};

// Made once, on first use; never destroyed (a runtime thread may look a name up at exit).
const Spellings& spellings() {
  static const Spellings* instance = [] {
    auto* s = new Spellings();
    for (int i = 0; i < kOperationCount; ++i) {
      s->python[i] = snake_case(kOperations[i].short_name);
      s->folded[i] = folded(kOperations[i].short_name);
    }
    return s;
  }();
  return *instance;
}

OperationTable& table() {
  return state().operations;
}

}  // namespace

const char* full_name(Op op) {
  return kOperations[static_cast<int>(op)].full;
}
const char* short_name(Op op) {
  return kOperations[static_cast<int>(op)].short_name;
}
const char* python_name(Op op) {
  return spellings().python[static_cast<int>(op)].c_str();
}
bool returns_error(Op op) {
  return kOperations[static_cast<int>(op)].returns_error;
}

bool is_token_flow(Op op) {
  switch (op) {
    case Op::SignInAsync:
    case Op::SignInSilentlyAsync:
    case Op::SignInInteractivelyAsync:
    case Op::AcquireTokenSilentlyAsync:
    case Op::AcquireTokenInteractivelyAsync:
      return true;
    default:
      return false;
  }
}

bool is_start_operation(Op op) {
  switch (op) {
    case Op::SignInAsync:
    case Op::SignInSilentlyAsync:
    case Op::SignInInteractivelyAsync:
    case Op::AcquireTokenSilentlyAsync:
    case Op::AcquireTokenInteractivelyAsync:
    case Op::ReadAccountByIdAsync:
    case Op::SignOutSilentlyAsync:
    case Op::DiscoverAccountsAsync:
      return true;
    default:
      return false;
  }
}

std::optional<Op> find_operation(std::string_view name) {
  const std::string key = folded(name);
  if (key == "readaccount") return Op::ReadAccountByIdAsync;
  if (key == "signout") return Op::SignOutSilentlyAsync;
  const Spellings& s = spellings();
  for (int i = 0; i < kOperationCount; ++i) {
    if (key == s.folded[i]) return static_cast<Op>(i);
  }
  return std::nullopt;
}

std::string operation_names(bool start_operations_only) {
  std::string out;
  for (int i = 0; i < kOperationCount; ++i) {
    if (start_operations_only && !is_start_operation(static_cast<Op>(i))) continue;
    if (!out.empty()) out += ", ";
    out += python_name(static_cast<Op>(i));
  }
  return out;
}

std::optional<Fault> enter(Op op) {
  const int i = static_cast<int>(op);
  OperationTable& s = table();
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
  return table().calls[static_cast<int>(op)].load(std::memory_order_relaxed);
}

void script_failure(Op op, Fault fault, int32_t count, int32_t after) {
  if (count <= 0) return;
  const int i = static_cast<int>(op);
  OperationTable& s = table();
  std::lock_guard lock(s.faults_mutex);
  s.faults[i].push_back(PendingFault{std::move(fault), count, after > 0 ? after : 0});
  s.has_faults[i].store(true, std::memory_order_release);
}

void OperationTable::reset() {
  std::lock_guard lock(faults_mutex);
  for (int i = 0; i < kOperationCount; ++i) {
    faults[i].clear();
    has_faults[i].store(false, std::memory_order_release);
    calls[i].store(0, std::memory_order_relaxed);
  }
}

}  // namespace vessaemu
