// Names, call counters and scripted failures of the runtime operations.
#include "operations.hpp"

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

// A spelling of an operation's name made at compile time, as much of std::string as the
// spellings need: room for the longest name, with its terminating zero (a longer one fails the
// build).
class Spelling {
 public:
  constexpr void push_back(char c) {
    if (size_ + 1 >= text_.size()) throw "an operation's name outgrew its spelling";
    text_[size_++] = c;
  }
  constexpr void resize(size_t size) {
    while (size_ > size) text_[--size_] = '\0';
  }
  constexpr bool empty() const { return size_ == 0; }
  constexpr char back() const { return text_[size_ - 1]; }
  constexpr size_t size() const { return size_; }
  constexpr const char* data() const { return text_.data(); }
  constexpr std::string_view view() const { return {text_.data(), size_}; }

 private:
  std::array<char, 64> text_{};
  size_t size_ = 0;
};

constexpr bool is_upper(char c) {
  return c >= 'A' && c <= 'Z';
}

constexpr char lower(char c) {
  return is_upper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

template <class Text>
constexpr void drop_suffix(Text& text, std::string_view suffix) {
  const std::string_view whole(text.data(), text.size());
  if (whole.size() > suffix.size() && whole.ends_with(suffix)) {
    text.resize(whole.size() - suffix.size());
  }
}

// Lower case, no underscores, no "Async" ending: the form in which every spelling of a name
// compares equal.
template <class Text>
constexpr Text folded(std::string_view name) {
  if (name.starts_with(kPrefix)) name.remove_prefix(kPrefix.size());
  Text out;
  for (const char c : name) {
    if (c != '_') out.push_back(lower(c));
  }
  drop_suffix(out, kAsync);
  return out;
}

// "SignOutResult_GetError" -> "sign_out_result_get_error"; "SignInAsync" -> "sign_in".
constexpr Spelling snake_case(std::string_view name) {
  Spelling out;
  for (const char c : name) {
    if (is_upper(c) && !out.empty() && out.back() != '_') out.push_back('_');
    out.push_back(lower(c));
  }
  drop_suffix(out, "_async");
  return out;
}

struct Spellings {
  std::array<Spelling, kOperationCount> python;
  std::array<Spelling, kOperationCount> folded;
};

constexpr Spellings make_spellings() {
  Spellings s;
  for (int i = 0; i < kOperationCount; ++i) {
    s.python[i] = snake_case(kOperations[i].short_name);
    s.folded[i] = folded<Spelling>(kOperations[i].short_name);
  }
  return s;
}

constexpr Spellings kSpellings = make_spellings();

}  // namespace

const char* full_name(Op op) {
  return kOperations[static_cast<int>(op)].full;
}
const char* short_name(Op op) {
  return kOperations[static_cast<int>(op)].short_name;
}
const char* python_name(Op op) {
  return kSpellings.python[static_cast<int>(op)].data();
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
  return is_token_flow(op) || op == Op::ReadAccountByIdAsync || op == Op::SignOutSilentlyAsync ||
         op == Op::DiscoverAccountsAsync;
}

std::optional<Op> find_operation(std::string_view name) {
  const auto key = folded<std::string>(name);
  if (key == "readaccount") return Op::ReadAccountByIdAsync;
  if (key == "signout") return Op::SignOutSilentlyAsync;
  for (int i = 0; i < kOperationCount; ++i) {
    if (key == kSpellings.folded[i].view()) return static_cast<Op>(i);
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

std::optional<Fault> enter(OperationTable& s, Op op) {
  const int i = static_cast<int>(op);
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

uint64_t call_count(const OperationTable& table, Op op) {
  return table.calls[static_cast<int>(op)].load(std::memory_order_relaxed);
}

void script_failure(OperationTable& s, Op op, Fault fault, int32_t count, int32_t after) {
  if (count <= 0) return;
  const int i = static_cast<int>(op);
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
