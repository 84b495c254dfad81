// Log lines from the runtime to a Python callable: registration, release, delivery, and the
// switch for personal data in log lines.
//
// The callable lives in `_callbackStorage` through a `_VESSARuntimeCallBackData` record, like the
// callbacks of pending operations; `_logCallbackStorage` maps each live registration handle
// object to that record's key, so shut-down can release whatever is still registered.
#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "async/callback_records.hpp"
#include "async/python_entry.hpp"
#include "common/args.hpp"
#include "common/gil.hpp"
#include "common/mutex.hpp"
#include "common/ref.hpp"
#include "handles/handle_object.hpp"
#include "marshal/errors.hpp"
#include "logging/log_registrations.hpp"
#include "marshal/text.hpp"
#include "module/enumerations.hpp"
#include "module/owner.hpp"
#include "module/registry.hpp"
#include "module/state.hpp"

namespace pvr {
namespace {

using state::names;

struct LogCallbackObject {
  PyObject_HEAD VESSARUNTIME_LOG_CALLBACK_HANDLE handle;
  // The record's key, whose address is the registration's context value. The module keeps its
  // own reference for as long as the runtime may pass that address to the log routine.
  PyObject* context_key;
};

LogCallbackObject* as_registration(PyObject* self) {
  return reinterpret_cast<LogCallbackObject*>(self);
}

// Every registration the runtime holds for the module, for the owner's end. `object` is null
// once the handle object is gone (the registration is not); `key` is the registration's key, the
// object's reference while the object lives, and then the one it left behind.
struct LiveRegistration {
  VESSARUNTIME_LOG_CALLBACK_HANDLE handle;
  LogCallbackObject* object;
  PyObject* key;
};
std::vector<LiveRegistration> live;
// Guards `live` and the `handle` of every listed object, which a release, the object's end and
// the owner's end may change on different threads at once.
PyMutex live_mutex{};

std::vector<LiveRegistration>::iterator live_entry_of(LogCallbackObject* registration) {
  return std::find_if(live.begin(), live.end(),
                      [&](const LiveRegistration& entry) { return entry.object == registration; });
}

// Ends the registration `registration` holds: the runtime releases it (the lock given up
// meanwhile), and then no line comes for its key any more.
// Returns false, doing nothing, when the registration had ended already.
bool unregister(LogCallbackObject* registration) {
  // The field is cleared before the release, so that a second release on another thread (an
  // application thread racing shut-down, say) finds nothing to release instead of releasing the
  // registration twice.
  VESSARUNTIME_LOG_CALLBACK_HANDLE handle = nullptr;
  {
    Locked lock(live_mutex);
    handle = std::exchange(registration->handle, nullptr);
    auto entry = live_entry_of(registration);
    if (entry != live.end()) live.erase(entry);
  }
  if (!handle) return false;
  release_handle<VESSARUNTIME_LOG_CALLBACK_HANDLE, VESSARUNTIME_ReleaseLogCallbackHandle>(handle);
  // The runtime calls the routine no more for this registration: the key may go.
  owner::take_back(registration->context_key);
  Py_CLEAR(registration->context_key);
  return true;
}

void dealloc(PyObject* self) {
  // Destroying the object ends no registration. A registration still live (its object dropped
  // from the storage by other code) keeps its key: the runtime may still pass its address.
  LogCallbackObject* registration = as_registration(self);
  bool registered = false;
  {
    Locked lock(live_mutex);
    registered = registration->handle != nullptr;
    auto entry = registered ? live_entry_of(registration) : live.end();
    if (entry != live.end()) entry->object = nullptr;
  }
  if (!registered) Py_CLEAR(registration->context_key);
  Py_TYPE(self)->tp_free(self);
}

// `_callbackStorage.get(key, None)`: the record, None, or null with an exception.
Ref get_record(PyObject* storage, PyObject* key) {
  if (PyDict_CheckExact(storage)) {
    // A dict's own get, which no instance or subclass can have replaced here, without the
    // method lookup and the call.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(storage, key, &found) < 0) return Ref();
    return Ref::steal(found ? found : Py_NewRef(Py_None));
  }
  PyObject* get_args[] = {storage, key, Py_None};
  return Ref::steal(
      PyObject_VectorcallMethod(names.get, get_args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

void VESSARUNTIME_CALL log_routine(const os_char* message, int32_t level, void* context) {
  PythonEntry python;
  if (!python.entered()) return;  // the interpreter is finalizing or gone: the line is dropped
  mark_abandonment_of([&] {
    // A context of an ended owner's life is no key of this one.
    if (!owner::handed_out(context)) return;
    {
      Ref key = Ref::borrow(static_cast<PyObject*>(context));
      Ref text = Ref::steal(message ? decode_native_string(message) : PyUnicode_New(0, 0));
      Ref storage = text ? state::lookup(names.callbackStorage) : Ref();
      Ref record = storage ? get_record(storage.get(), key.get()) : Ref();
      int registered = record ? PyObject_IsTrue(record.get()) : -1;
      if (registered > 0) {
        PyObject* member = tabled_member(Enumeration::kLogLevel, level);
        Ref looked_up;
        if (!member) member = (looked_up = enumeration_member(Enumeration::kLogLevel, level)).get();
        Ref callback = member ? Ref::steal(PyObject_GetAttr(record.get(), names.callback)) : Ref();
        if (callback) {
          PyObject* call_args[] = {text.get(), member};
          Ref returned = Ref::steal(PyObject_Vectorcall(callback.get(), call_args, 2, nullptr));
        }
      }
    }
    report_unraisable("pyvessaruntime.pyvessaruntime._VESSARUNTIMELogCallback");
  });
}

// VESSARuntimeLogCallbackHandle.release_logging_callback(self)
PyObject* release_logging_callback(PyObject* self, PyObject* const*) {
  if (!unregister(as_registration(self))) Py_RETURN_NONE;
  // _callbackStorage.pop(_logCallbackStorage.pop(self)), both without default.
  Ref callback_storage = state::lookup(names.callbackStorage);
  Ref pop_record =
      callback_storage ? Ref::steal(PyObject_GetAttr(callback_storage.get(), names.pop)) : Ref();
  Ref log_storage = pop_record ? state::lookup(names.logCallbackStorage) : Ref();
  if (!log_storage) return nullptr;
  Ref key = Ref::steal(PyObject_CallMethodOneArg(log_storage.get(), names.pop, self));
  if (!key) return nullptr;
  Ref record = Ref::steal(PyObject_CallOneArg(pop_record.get(), key.get()));
  if (!record) return nullptr;
  Py_RETURN_NONE;
}

// register_logging_callback(py_callback)
PyObject* register_logging_callback(PyObject*, PyObject* const* args) {
  PyObject* py_callback = args[0];
  if (!args::not_none(py_callback, "py_callback")) return nullptr;
  Ref handle_object = Ref::steal(new_empty(&LogCallbackHandleType, nullptr, nullptr));
  if (!handle_object) return nullptr;
  // The record goes into _callbackStorage first, so lines emitted during the registration
  // already find the callable.
  Ref record = new_callback_record(py_callback);
  if (!record) return nullptr;
  LogCallbackObject* registration = as_registration(handle_object.get());
  registration->context_key = PyObject_GetAttr(record.get(), names.id);
  if (!registration->context_key) return nullptr;
  void* context = registration->context_key;
  if (!owner::hand_out(context)) return nullptr;
  const uint64_t life = owner::life();
  VESSARUNTIME_ERROR_HANDLE error = without_gil([&] {
    return VESSARUNTIME_RegisterLogCallback(log_routine, context, &registration->handle);
  });
  if (!check_error(error)) {
    owner::take_back(context);
    return nullptr;
  }
  if (!owner::living(life)) {
    // The owner ended while the runtime registered the routine: its end released the
    // registrations it knew of, and this one goes the same way.
    unregister(registration);
    return owner::raise_ended();
  }
  bool listed = false;
  try {
    Locked lock(live_mutex);
    live.push_back({registration->handle, registration, registration->context_key});
    listed = true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  Ref storage = listed ? state::lookup(names.logCallbackStorage) : Ref();
  Ref key = storage ? Ref::steal(PyObject_GetAttr(record.get(), names.id)) : Ref();
  if (!key || PyObject_SetItem(storage.get(), handle_object.get(), key.get()) < 0) {
    // Nobody could release the registration after this failure: it goes now, and the failure
    // is what the caller sees.
    PyObject* failure = PyErr_GetRaisedException();
    unregister(registration);
    PyErr_SetRaisedException(failure);
    return nullptr;
  }
  return handle_object.release();
}

// set_is_pii_enabled(int32_t enabled)
PyObject* set_is_pii_enabled(PyObject*, PyObject* const* args) {
  int32_t enabled = 0;
  if (!args::to_int32(args[0], &enabled)) return nullptr;
  without_gil([&] { VESSARUNTIME_SetIsPiiEnabled(enabled); });
  Py_RETURN_NONE;
}

const FunctionDef kLogCallbackHandleMethods[] = {
    {"release_logging_callback",
     release_logging_callback,
     "VESSARuntimeLogCallbackHandle.release_logging_callback(self)",
     {}},
};

const FunctionDef kLoggingFunctions[] = {
    {"register_logging_callback",
     register_logging_callback,
     "register_logging_callback(py_callback)",
     {"py_callback"}},
    {"set_is_pii_enabled", set_is_pii_enabled, "set_is_pii_enabled(int32_t enabled)", {"enabled"}},
};

}  // namespace

void end_log_registrations(bool owner_alive, bool runtime_free) {
  std::vector<LiveRegistration> ending;
  // The objects learn of the end before the first release: another thread may then release one
  // (and find nothing to release) or drop it. Each entry then owns its key: the object's
  // reference, or the one an object gone before left behind.
  {
    Locked lock(live_mutex);
    ending.swap(live);
    if (owner_alive) {
      for (LiveRegistration& entry : ending) {
        if (!entry.object) continue;
        entry.object->handle = nullptr;
        entry.key = std::exchange(entry.object->context_key, nullptr);
      }
    }
  }
  if (!runtime_free) return;
  for (const LiveRegistration& entry : ending) {
    release_handle<VESSARUNTIME_LOG_CALLBACK_HANDLE, VESSARUNTIME_ReleaseLogCallbackHandle>(
        entry.handle);
  }
  if (!owner_alive) return;  // the keys were the ended interpreter's
  for (const LiveRegistration& entry : ending) Py_DECREF(entry.key);
}

PyTypeObject LogCallbackHandleType = make_class(PVR_CLASS_NAME("VESSARuntimeLogCallbackHandle"),
                                                sizeof(LogCallbackObject), new_empty, dealloc);

const FunctionTable log_callback_handle_methods = kLogCallbackHandleMethods;
const FunctionTable logging_functions = kLoggingFunctions;

}  // namespace pvr
