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

// The entry of a live handle in its shard, whose lock is held, or a permanent one; null if
// there is none.
const Entry* find_locked(const Registry& reg, const RegistryShard& shard, uint64_t handle) {
  if (auto it = shard.entries.find(handle); it != shard.entries.end()) return &it->second;
  if (auto it = reg.permanent.find(handle); it != reg.permanent.end()) return &it->second;
  return nullptr;
}

std::string describe_fault(const Registry& reg, const RegistryShard& shard, uint64_t handle,
                           Kind wanted) {
  const char* why;
  std::string detail;
  if (handle == 0) {
    why = "null";
  } else if (const Entry* entry = find_locked(reg, shard, handle)) {
    detail = std::string("it is a live ") + kKindNames[static_cast<int>(entry->kind)] + " handle";
    why = detail.c_str();
  } else if (handle >= kFirstHandle && handle < reg.next.load() &&
             (handle - kFirstHandle) % kHandleStep == 0) {
    why = handle < reg.reset_floor.load() ? "it was dropped by a reset" : "it was released";
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

RegistryShard& Registry::shard_of(uint64_t handle) {
  // Serial values: consecutive handles go to consecutive shards.
  return shards[(handle / kHandleStep) % kShards];
}

const char* kind_name(Kind kind) {
  return kKindNames[static_cast<int>(kind)];
}

uint64_t register_object(Registry& reg, Kind kind, Ref<Object> object, Holder holder) {
  check_memory();
  const uint64_t handle = reg.next.fetch_add(kHandleStep);
  RegistryShard& shard = reg.shard_of(handle);
  std::lock_guard lock(shard.mutex);
  shard.entries.emplace(handle, Entry{kind, std::move(object), holder});
  if (holder == Holder::Caller) ++reg.live[static_cast<int>(kind)];
  return handle;
}

uint64_t register_permanent(Registry& reg, Kind kind, Ref<Object> object) {
  const uint64_t handle = reg.next.fetch_add(kHandleStep);
  reg.permanent.emplace(handle, Entry{kind, std::move(object), Holder::Nobody});
  return handle;
}

Ref<Object> find_object(Registry& reg, uint64_t handle, Kind kind, std::string* fault) {
  RegistryShard& shard = reg.shard_of(handle);
  std::lock_guard lock(shard.mutex);
  const Entry* entry = find_locked(reg, shard, handle);
  if (entry != nullptr && entry->kind == kind) return entry->object;
  if (fault != nullptr) *fault = describe_fault(reg, shard, handle, kind);
  return nullptr;
}

Ref<Object> unregister_object(Registry& reg, uint64_t handle, Kind kind, std::string* fault) {
  RegistryShard& shard = reg.shard_of(handle);
  {
    std::lock_guard lock(shard.mutex);
    auto it = shard.entries.find(handle);
    if (it != shard.entries.end() && it->second.kind == kind) {
      Ref<Object> object = std::move(it->second.object);
      if (it->second.holder == Holder::Caller) --reg.live[static_cast<int>(kind)];
      shard.entries.erase(it);
      return object;
    }
    if (auto kept = reg.permanent.find(handle);
        kept != reg.permanent.end() && kept->second.kind == kind) {
      return kept->second.object;
    }
  }
  // Not live: a reset, which moves entries from the shards to `dropped` under both locks, has
  // dropped it if anything has.
  std::lock_guard reset_lock(reg.reset_mutex);
  if (auto was = reg.dropped.find(handle); was != reg.dropped.end() && was->second == kind) {
    reg.dropped.erase(was);
    return nullptr;
  }
  if (fault != nullptr) {
    std::lock_guard lock(shard.mutex);
    *fault = describe_fault(reg, shard, handle, kind);
  }
  return nullptr;
}

std::optional<Kind> kind_of(Registry& reg, uint64_t handle) {
  RegistryShard& shard = reg.shard_of(handle);
  std::lock_guard lock(shard.mutex);
  const Entry* entry = find_locked(reg, shard, handle);
  if (entry == nullptr) return std::nullopt;
  return entry->kind;
}

std::array<int64_t, kKindCount> live_counts(Registry& reg) {
  std::array<int64_t, kKindCount> counts{};
  for (int i = 0; i < kKindCount; ++i) counts[i] = reg.live[i].load();
  return counts;
}

std::vector<uint64_t> live_values(Registry& reg, std::optional<Kind> kind) {
  std::vector<uint64_t> values;
  for (RegistryShard& shard : reg.shards) {
    std::lock_guard lock(shard.mutex);
    for (const auto& [handle, entry] : shard.entries) {
      if (entry.holder == Holder::Caller && (!kind || entry.kind == *kind)) {
        values.push_back(handle);
      }
    }
  }
  std::sort(values.begin(), values.end());  // serial values: sorted is creation order
  return values;
}

void Registry::reset(bool keep_log_callbacks) {
  std::vector<std::unordered_map<uint64_t, Entry>> gone(kShards);
  {
    std::lock_guard reset_lock(reset_mutex);
    std::vector<std::unique_lock<std::mutex>> held;
    held.reserve(kShards);
    for (RegistryShard& shard : shards) held.emplace_back(shard.mutex);
    const int64_t log_callbacks = live[static_cast<int>(Kind::LogCallback)].load();
    for (auto& count : live) count.store(0);
    for (std::size_t i = 0; i < kShards; ++i) {
      gone[i].swap(shards[i].entries);
      for (auto it = gone[i].begin(); it != gone[i].end();) {
        if (keep_log_callbacks && it->second.kind == Kind::LogCallback) {
          shards[i].entries.insert(gone[i].extract(it++));
          continue;
        }
        if (it->second.holder == Holder::Caller) dropped.emplace(it->first, it->second.kind);
        ++it;
      }
    }
    if (keep_log_callbacks) live[static_cast<int>(Kind::LogCallback)].store(log_callbacks);
    reset_floor.store(next.load());
  }
  // The objects die here, outside the locks, in case one of them reaches the registry as it goes.
}

}  // namespace vessaemu
