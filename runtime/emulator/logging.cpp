// RegisterLogCallback and ReleaseLogCallbackHandle, and the delivery of log lines.
#include "logging.hpp"

#include <algorithm>
#include <atomic>
#include <new>

#include "call.hpp"
#include "errors.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace vessaemu {
namespace {

std::vector<Ref<LogCallbackObject>> snapshot(Registrations& r) {
  std::lock_guard lock(r.mutex);
  return r.live;
}

bool forget(Registrations& r, LogCallbackObject* object) {
  std::lock_guard lock(r.mutex);
  auto it = std::find_if(r.live.begin(), r.live.end(),
                         [&](const Ref<LogCallbackObject>& live) { return live.get() == object; });
  if (it == r.live.end()) return false;
  r.live.erase(it);
  r.count.store(static_cast<int32_t>(r.live.size()));
  return true;
}

// Ends one call of a routine, also when the host ends the thread inside the routine.
struct CallGuard {
  LogCallbackObject& object;
  ~CallGuard() { object.leave(); }
};

}  // namespace

bool LogCallbackObject::enter() {
  std::lock_guard lock(mutex);
  if (closed) return false;
  callers.push_back(std::this_thread::get_id());
  return true;
}

void LogCallbackObject::leave() {
  {
    std::lock_guard lock(mutex);
    auto it = std::find(callers.begin(), callers.end(), std::this_thread::get_id());
    if (it != callers.end()) callers.erase(it);
  }
  left.notify_all();
}

void LogCallbackObject::close() {
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex);
  closed = true;
  left.wait(lock, [&] {
    return std::all_of(callers.begin(), callers.end(), [&](auto id) { return id == self; });
  });
}

void log_line(State& st, int32_t level, const std::u16string& message) {
  if (!logging_wanted(st)) return;
  for (const auto& registration : snapshot(st.registrations)) {
    if (!registration->enter()) continue;
    CallGuard guard{*registration};
    registration->routine(reinterpret_cast<const os_char*>(message.c_str()), level,
                          registration->context);
  }
}

void log(State& st, int32_t level, std::string_view message) {
  if (logging_wanted(st)) log_line(st, level, widen(message));
}

int32_t completion_level(int32_t status) {
  switch (status) {
    case kStatusInteractionRequired:
    case kStatusUserCanceled:
    case kStatusApplicationCanceled:
    case kStatusUserSwitch:
    case kStatusAccountSwitch:
      return kLogInfo;
    default:
      return kLogWarning;
  }
}

bool logging_wanted(const State& st) {
  return st.registrations.count.load(std::memory_order_relaxed) > 0;
}

std::string pii(const State& st, std::u16string_view text) {
  return st.settings.pii_enabled.load() != 0 ? narrow(text) : std::string("(PII hidden)");
}

int32_t log_registrations(const Registrations& r) {
  return r.count.load();
}

void Registrations::reset() {
  std::vector<Ref<LogCallbackObject>> dropped;
  {
    std::lock_guard lock(mutex);
    dropped.swap(live);
    count.store(0);
  }
  for (auto& registration : dropped) registration->close();
}

void Registrations::hold_for_fork() {
  mutex.lock();
  for (auto& registration : live) registration->mutex.lock();
}

void Registrations::release_after_fork(bool in_child) {
  const auto self = std::this_thread::get_id();
  for (auto& registration : live) {
    if (in_child) {
      auto& callers = registration->callers;
      callers.erase(std::remove_if(callers.begin(), callers.end(),
                                   [&](std::thread::id id) { return id != self; }),
                    callers.end());
      // Its waiters were threads of the parent: the child's waits start afresh.
      new (&registration->left) std::condition_variable();
    }
    registration->mutex.unlock();
  }
  mutex.unlock();
}

}  // namespace vessaemu

using namespace vessaemu;

extern "C" {

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_RegisterLogCallback(VESSARUNTIME_LOG_ROUTINE callback, void* callbackData,
                                 VESSARUNTIME_LOG_CALLBACK_HANDLE* callbackHandle) {
  return guarded(Op::RegisterLogCallback, [&](Call& call) {
    if (!call.out(reinterpret_cast<void*>(callback), "callback") ||
        !call.out(callbackHandle, "callbackHandle")) {
      return call.error();
    }
    auto object = make_ref<LogCallbackObject>(callback, callbackData);
    // Registered and handed to the caller before any line can reach the routine: a routine may
    // read its handle through the context value, and a registration that could not get a handle
    // must never have been listed.
    const uint64_t handle = register_object(call.state().registry, Kind::LogCallback, object);
    const VESSARUNTIME_LOG_CALLBACK_HANDLE previous = *callbackHandle;
    *callbackHandle = as_handle<VESSARUNTIME_LOG_CALLBACK_HANDLE>(handle);
    try {
      Registrations& r = call.state().registrations;
      std::lock_guard lock(r.mutex);
      r.live.push_back(object);
      r.count.store(static_cast<int32_t>(r.live.size()));
    } catch (...) {
      pass_foreign_unwind();
      *callbackHandle = previous;
      unregister_object(call.state().registry, handle, Kind::LogCallback, nullptr);
      throw;
    }
    return kOk;
  });
}

VESSARUNTIME_ERROR_HANDLE VESSARUNTIME_CALL
VESSARUNTIME_ReleaseLogCallbackHandle(VESSARUNTIME_LOG_CALLBACK_HANDLE callbackHandle) {
  return guarded(Op::ReleaseLogCallbackHandle, [&](Call& call) {
    std::string fault;
    auto object = ref_cast<LogCallbackObject>(unregister_object(
        call.state().registry, handle_value(callbackHandle), Kind::LogCallback, &fault));
    if (!object) {
      if (fault.empty()) return kOk;  // dropped by a reset, and closed then
      call.fail(fault);
      return call.error();
    }
    // A registration dropped by a reset is no longer listed, and closed already.
    if (forget(call.state().registrations, object.get())) object->close();
    return kOk;
  });
}

}  // extern "C"
