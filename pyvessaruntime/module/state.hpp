// Process-wide state of the module.
//
// The module keeps its state in static storage rather than in the module object: one
// interpreter at a time owns the module (module/owner.hpp), and the runtime's threads reach this
// state from completion and log routines that have no module object at hand.
#pragma once

#include "common/python.hpp"

#include "common/ref.hpp"

namespace pvr::state {

// Interned names used across the module, built once by the exec step.
#define PVR_NAMES(X)                                       \
  X(module_name, "pyvessaruntime.pyvessaruntime")          \
  X(callbackStorage, "_callbackStorage")                   \
  X(logCallbackStorage, "_logCallbackStorage")             \
  X(VESSARuntimeCallBackData, "_VESSARuntimeCallBackData") \
  X(get_VESSARuntime_event, "_get_VESSARuntime_event")     \
  X(get_encoded_bytes, "_get_encoded_bytes")               \
  X(Event, "Event")                                        \
  X(Enum, "Enum")                                          \
  X(IntEnum, "IntEnum")                                    \
  X(json, "json")                                          \
  X(loads, "loads")                                        \
  X(Response_Status, "Response_Status")                    \
  X(LogLevel, "LogLevel")                                  \
  X(SsoPolicyType, "SsoPolicyType")                        \
  X(callback, "callback")                                  \
  X(id, "id")                                              \
  X(pop, "pop")                                            \
  X(get, "get")                                            \
  X(signal, "signal")                                      \
  X(result, "result")                                      \
  X(set, "set")                                            \
  X(release_logging_callback, "release_logging_callback")  \
  X(dunder_module, "__module__")                           \
  X(dunder_qualname, "__qualname__")                       \
  X(dunder_prepare, "__prepare__")

struct Names {
#define PVR_DECLARE_NAME(field, text) PyObject* field;
  PVR_NAMES(PVR_DECLARE_NAME)
#undef PVR_DECLARE_NAME
};

// Valid from the exec step on, for the life of the module's owner.
extern Names names;
bool init_names();

// The executed module (strong reference) and its namespace (borrowed from it); null until the
// exec step runs and again if it fails.
extern PyObject* module;
extern PyObject* ns;
// The builtins' dictionary: the fallback of every lookup by name.
extern PyObject* builtins;
// The builtin `id`, fetched once at initialisation.
extern PyObject* builtin_id;

// Looks `name` up in the module namespace, then in the builtins, at the time of the call, so
// that rebinding a name on the module takes effect at its next use. NameError if neither has it.
//
// The hot names (the storages, the record class, the encoder, the enumerations) are answered
// from a cache that the namespace keeps exact: the module watches its own dictionary, and the
// interpreter tells the watcher of every change before it is made, so a cached binding is the
// one the dictionary holds at the moment of the lookup, and still alive. A name the namespace
// lacks is looked up afresh every time (then the builtins answer), and so is every name in a
// free-threaded interpreter.
Ref lookup(PyObject* name);

// What `name` is bound to in the module namespace right now (borrowed, valid until the
// namespace changes, and in a free-threaded interpreter not even that long), or null when it is
// not bound there or the answer would take anything but a plain read. Never raises: only for
// comparing a binding with an object the module holds.
PyObject* peek(PyObject* name);

// Starts watching the namespace; called by the exec step once `ns` is set. Without a watcher
// (the interpreter has none left) every lookup reads the dictionary.
void watch_namespace();

// Forgets the module object and every object the module kept of an owner's life; the next owner's
// exec step builds all of them anew. With `release`, called in the owner as its interpreter is
// cleared, they go; otherwise (the owner has ended already) they are left untouched: they were
// that interpreter's, freed with it or left to it until the process ends.
void forget_owner_objects(bool release);

}  // namespace pvr::state
