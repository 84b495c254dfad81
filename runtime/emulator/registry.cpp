// The handle registry (see registry.hpp).
#include "registry.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "failures.hpp"

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

using Entry = RegistryEntry;

// The entry of a live handle, permanent ones included; null if there is none. Lock held.
const Entry* find_locked(const Registry& reg, uint64_t handle) {
  if (auto it = reg.entries.find(handle); it != reg.entries.end()) return &it->second;
  if (auto it = reg.permanent.find(handle); it != reg.permanent.end()) return &it->second;
  return nullptr;
}

std::string describe_fault(const Registry& reg, uint64_t handle, Kind wanted) {
  const char* why;
  std::string detail;
  if (handle == 0) {
    why = "null";
  } else if (const Entry* entry = find_locked(reg, handle)) {
    detail = std::string("it is a live ") + kKindNames[static_cast<int>(entry->kind)] + " handle";
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

Registry::Registry() : next(kFirstHandle), reset_floor(kFirstHandle) {}

const char* kind_name(Kind kind) {
  return kKindNames[static_cast<int>(kind)];
}

uint64_t register_object(Registry& reg, Kind kind, Ref<Object> object, Holder holder) {
  check_memory();
  std::lock_guard lock(reg.mutex);
  const uint64_t handle = reg.next;
  reg.entries.emplace(handle, Entry{kind, std::move(object), holder});
  reg.next += kHandleStep;
  if (holder == Holder::Caller) ++reg.live[static_cast<int>(kind)];
  return handle;
}

uint64_t register_permanent(Registry& reg, Kind kind, Ref<Object> object) {
  std::lock_guard lock(reg.mutex);
  const uint64_t handle = reg.next;
  reg.permanent.emplace(handle, Entry{kind, std::move(object), Holder::Nobody});
  reg.next += kHandleStep;
  return handle;
}

Ref<Object> find_object(Registry& reg, uint64_t handle, Kind kind, std::string* fault) {
  std::lock_guard lock(reg.mutex);
  const Entry* entry = find_locked(reg, handle);
  if (entry != nullptr && entry->kind == kind) return entry->object;
  if (fault != nullptr) *fault = describe_fault(reg, handle, kind);
  return nullptr;
}

Ref<Object> unregister_object(Registry& reg, uint64_t handle, Kind kind, std::string* fault) {
  std::lock_guard lock(reg.mutex);
  auto it = reg.entries.find(handle);
  if (it == reg.entries.end() || it->second.kind != kind) {
    if (auto kept = reg.permanent.find(handle);
        kept != reg.permanent.end() && kept->second.kind == kind) {
      return kept->second.object;
    }
    if (auto was = reg.dropped.find(handle); was != reg.dropped.end() && was->second == kind) {
      reg.dropped.erase(was);
      return nullptr;
    }
    if (fault != nullptr) *fault = describe_fault(reg, handle, kind);
    return nullptr;
  }
  Ref<Object> object = std::move(it->second.object);
  if (it->second.holder == Holder::Caller) --reg.live[static_cast<int>(kind)];
  reg.entries.erase(it);
  return object;
}

std::optional<Kind> kind_of(Registry& reg, uint64_t handle) {
  std::lock_guard lock(reg.mutex);
  const Entry* entry = find_locked(reg, handle);
  if (entry == nullptr) return std::nullopt;
  return entry->kind;
}

std::array<int64_t, kKindCount> live_counts(Registry& reg) {
  std::lock_guard lock(reg.mutex);
  return reg.live;
}

std::vector<uint64_t> live_values(Registry& reg, std::optional<Kind> kind) {
  std::vector<uint64_t> values;
  {
    std::lock_guard lock(reg.mutex);
    for (const auto& [handle, entry] : reg.entries) {
      if (entry.holder == Holder::Caller && (!kind || entry.kind == *kind)) {
        values.push_back(handle);
      }
    }
  }
  std::sort(values.begin(), values.end());  // serial values: sorted is creation order
  return values;
}

void Registry::reset(bool keep_log_callbacks) {
  std::unordered_map<uint64_t, Entry> gone;
  {
    std::lock_guard lock(mutex);
    gone.swap(entries);
    const int64_t log_callbacks = live[static_cast<int>(Kind::LogCallback)];
    live = {};
    for (auto it = gone.begin(); it != gone.end();) {
      if (keep_log_callbacks && it->second.kind == Kind::LogCallback) {
        entries.insert(gone.extract(it++));
        continue;
      }
      if (it->second.holder == Holder::Caller) dropped.emplace(it->first, it->second.kind);
      ++it;
    }
    if (keep_log_callbacks) live[static_cast<int>(Kind::LogCallback)] = log_callbacks;
    reset_floor = next;
  }
  // The objects die here, outside the lock, in case one of them reaches the registry as it goes.
}

}  // namespace vessaemu
