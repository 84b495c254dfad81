// The handle registry: every object the emulator hands out is registered under a serial handle
// value of one of nine kinds. Values are never reused, so a stale handle is always recognised.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "ref.hpp"
#include "vessaruntime.h"

namespace vessaemu {

enum class Kind : int {
  AuthParameters,
  Account,
  AuthResult,
  SignOutResult,
  ReadAccountResult,
  DiscoverAccountsResult,
  Error,
  AsyncOperation,
  LogCallback,
  Count
};

inline constexpr int kKindCount = static_cast<int>(Kind::Count);

// "auth_parameters", "account", ... (the control interface's names).
const char* kind_name(Kind kind);

// Base of every registered object. Objects are shared: an operation keeps its own reference while
// it works outside the registry lock, so a concurrent release never frees an object in use.
struct Object : RefCounted {
  virtual ~Object() = default;
};

template <class H>
struct HandleKind;
#define VESSAEMU_HANDLE_KIND(type, kind) \
  template <>                            \
  struct HandleKind<type> {              \
    static constexpr Kind value = kind;  \
  };
VESSAEMU_HANDLE_KIND(VESSARUNTIME_AUTH_PARAMETERS_HANDLE, Kind::AuthParameters)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_ACCOUNT_HANDLE, Kind::Account)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_AUTH_RESULT_HANDLE, Kind::AuthResult)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_SIGNOUT_RESULT_HANDLE, Kind::SignOutResult)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_READ_ACCOUNT_RESULT_HANDLE, Kind::ReadAccountResult)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_DISCOVER_ACCOUNTS_RESULT_HANDLE, Kind::DiscoverAccountsResult)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_ERROR_HANDLE, Kind::Error)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_ASYNC_HANDLE, Kind::AsyncOperation)
VESSAEMU_HANDLE_KIND(VESSARUNTIME_LOG_CALLBACK_HANDLE, Kind::LogCallback)
#undef VESSAEMU_HANDLE_KIND

template <class H>
uint64_t handle_value(H handle) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
}
template <class H>
H as_handle(uint64_t value) {
  return reinterpret_cast<H>(static_cast<uintptr_t>(value));
}

// Who has to release a handle.
enum class Holder {
  Caller,  // the caller: counted as live until released (or dropped by a reset)
  Nobody,  // nobody: not counted, so a caller that ignores it leaks nothing; releasable once
};

struct RegistryEntry {
  Kind kind;
  Ref<Object> object;
  Holder holder = Holder::Caller;
};

// The live entries whose handle values fall to one shard, under its own lock: a program's
// threads that make and use handles at once seldom meet at one (every runtime call looks one up).
struct alignas(64) RegistryShard {
  std::mutex mutex;
  std::unordered_map<uint64_t, RegistryEntry> entries;
};

// The registry's part of the emulator's state (state.hpp).
struct Registry {
  static constexpr std::size_t kShards = 16;
  std::array<RegistryShard, kShards> shards;
  // Made as the state is made, before any other thread can see it; never released nor reset.
  std::unordered_map<uint64_t, RegistryEntry> permanent;
  // Changed under the lock of the shard that holds the entry.
  std::array<std::atomic<int64_t>, kKindCount> live{};
  std::atomic<uint64_t> next;
  // Guards the two below; a reset holds it and then every shard's lock, in order.
  std::mutex reset_mutex;
  // Handles below this value were dropped by a reset rather than released.
  std::atomic<uint64_t> reset_floor;
  // Handles a reset dropped that have not been released since, by kind: their objects may still
  // be held by a program that releases them when they die, which is no fault of the program.
  std::unordered_map<uint64_t, Kind> dropped;

  Registry();
  RegistryShard& shard_of(uint64_t handle);
  // Drops every handle (those of log registrations too, unless `keep_log_callbacks`); handle
  // values handed out before stay unusable.
  void reset(bool keep_log_callbacks);
  // Every lock of the registry, in the order a reset takes them (for a fork).
  template <class Each>
  void each_mutex(Each each) {
    each(reset_mutex);
    for (RegistryShard& shard : shards) each(shard.mutex);
  }
};

// Registers the object and returns its new handle value. Throws std::bad_alloc when it cannot
// (really, or because the current call runs out of memory by injection).
uint64_t register_object(Registry& reg, Kind kind, Ref<Object> object,
                         Holder holder = Holder::Caller);

// Registers an object for the life of the registry, as its state is made: its handle is always
// live, never counted nor dropped by a reset, and releasing it does nothing.
uint64_t register_permanent(Registry& reg, Kind kind, Ref<Object> object);

// The live object of that kind, or null with `fault` describing why the handle is not acceptable
// (e.g. "handle 0x7e5a00000010 is not a live account handle (it was released)").
Ref<Object> find_object(Registry& reg, uint64_t handle, Kind kind, std::string* fault);

// Removes the handle and returns its object (destroy it outside any lock), or null with `fault`;
// null with `fault` left empty for the first release of a handle a reset dropped, which is not a
// fault.
Ref<Object> unregister_object(Registry& reg, uint64_t handle, Kind kind, std::string* fault);

std::optional<Kind> kind_of(Registry& reg, uint64_t handle);
// Live handles the caller has to release, per kind.
std::array<int64_t, kKindCount> live_counts(Registry& reg);
// Values of the live handles the caller has to release, of a kind (of all kinds without one), in
// creation order.
std::vector<uint64_t> live_values(Registry& reg, std::optional<Kind> kind);

template <class T>
Ref<T> find_as(Registry& reg, uint64_t handle, std::string* fault) {
  static_assert(std::is_base_of_v<Object, T>);
  return ref_cast<T>(find_object(reg, handle, T::kKind, fault));
}

}  // namespace vessaemu
