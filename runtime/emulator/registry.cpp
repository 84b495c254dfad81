// The handle registry (see registry.hpp).
#include "registry.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vessaemu {
namespace {

// Handles start above 4 GiB so that a caller that truncates them to 32 bits is caught, and step
// by 16 so they look like aligned addresses.
constexpr uint64_t kFirstHandle = 0x7E5A00000000ull;
constexpr uint64_t kHandleStep = 0x10;

constexpr std::array<const char*, kKindCount> kKindNames = {"auth_parameters",
                                                            "account",
                                                            "auth_result",
                                                            "signout_result",
                                                            "read_account_result",
                                                            "discover_accounts_result",
                                                            "error",
                                                            "async_operation",
                                                            "log_callback"};

struct Entry {
  Kind kind;
  Ref<Object> object;
};

struct Registry {
  std::mutex mutex;
  std::unordered_map<uint64_t, Entry> entries;
  std::array<int64_t, kKindCount> live{};
  uint64_t next = kFirstHandle;
  // Handles below this value were dropped by a reset rather than released.
  uint64_t reset_floor = kFirstHandle;
};

Registry& registry() {
  // Never destroyed: worker threads may still reach the registry while the process exits.
  static Registry* instance = new Registry();
  return *instance;
}

std::string describe_fault(const Registry& reg, uint64_t handle, Kind wanted) {
  const char* why;
  std::string detail;
  if (handle == 0) {
    why = "null";
  } else if (auto it = reg.entries.find(handle); it != reg.entries.end()) {
    detail =
        std::string("it is a live ") + kKindNames[static_cast<int>(it->second.kind)] + " handle";
    why = detail.c_str();
  } else if (handle >= kFirstHandle && handle < reg.next &&
             (handle - kFirstHandle) % kHandleStep == 0) {
    why = handle < reg.reset_floor ? "it was dropped by a reset" : "it was released";
  } else {
    why = "unknown handle";
  }
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, "handle 0x%" PRIx64 " is not a live %s handle (%s)", handle,
                kKindNames[static_cast<int>(wanted)], why);
  return buffer;
}

}  // namespace

const char* kind_name(Kind kind) {
  return kKindNames[static_cast<int>(kind)];
}

uint64_t register_object(Kind kind, Ref<Object> object) {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  const uint64_t handle = reg.next;
  reg.next += kHandleStep;
  reg.entries.emplace(handle, Entry{kind, std::move(object)});
  ++reg.live[static_cast<int>(kind)];
  return handle;
}

Ref<Object> find_object(uint64_t handle, Kind kind, std::string* fault) {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto it = reg.entries.find(handle);
  if (it != reg.entries.end() && it->second.kind == kind) return it->second.object;
  if (fault != nullptr) *fault = describe_fault(reg, handle, kind);
  return nullptr;
}

Ref<Object> unregister_object(uint64_t handle, Kind kind, std::string* fault) {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto it = reg.entries.find(handle);
  if (it == reg.entries.end() || it->second.kind != kind) {
    if (fault != nullptr) *fault = describe_fault(reg, handle, kind);
    return nullptr;
  }
  Ref<Object> object = std::move(it->second.object);
  reg.entries.erase(it);
  --reg.live[static_cast<int>(kind)];
  return object;
}

std::optional<Kind> kind_of(uint64_t handle) {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  auto it = reg.entries.find(handle);
  if (it == reg.entries.end()) return std::nullopt;
  return it->second.kind;
}

std::array<int64_t, kKindCount> live_counts() {
  Registry& reg = registry();
  std::lock_guard lock(reg.mutex);
  return reg.live;
}

std::vector<uint64_t> live_values(std::optional<Kind> kind) {
  std::vector<uint64_t> values;
  {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (const auto& [handle, entry] : reg.entries) {
      if (!kind || entry.kind == *kind) values.push_back(handle);
    }
  }
  std::sort(values.begin(), values.end());  // serial values: sorted is creation order
  return values;
}

void reset_registry() {
  std::unordered_map<uint64_t, Entry> dropped;
  {
    Registry& reg = registry();
    std::lock_guard lock(reg.mutex);
    dropped.swap(reg.entries);
    reg.live = {};
    reg.reset_floor = reg.next;
  }
  // The objects die here, outside the lock, in case one of them reaches the registry as it goes.
}

}  // namespace vessaemu
