// What the native module hands the package's typed layer: the readers of a result's values
// (handles/result_reader.hpp) and whether this thread is inside a routine the runtime called.
//
// The layer's own extension module, `pyvessaruntime._results`, cannot reach them through this
// module's namespace, which holds only the specified names. They are handed over in the
// dictionary of the interpreter that owns the module (a capsule under kLayerAccessKey), where a
// module imported in any other interpreter finds none.
#pragma once

#include "common/python.hpp"

namespace pvr {

struct LayerAccess {
  PyObject* (*read_token)(PyObject* result);
  PyObject* (*read_account)(PyObject* account);
  // True while this thread runs a routine the runtime called (a completion, a log line), the
  // layer's or an application's own, other than one delivered inside the module's own call on
  // this thread: a wait for the runtime there could never end.
  bool (*in_runtime_routine)();
  // True once the interpreter that owns the module has begun to end: nothing new is accepted.
  bool (*owner_ended)();
};

inline constexpr char kLayerAccessKey[] = "pyvessaruntime.pyvessaruntime layer access";
inline constexpr char kLayerAccessCapsule[] = "pyvessaruntime.pyvessaruntime.LayerAccess";

// Puts the access into the current interpreter's dictionary; the module's exec step calls it.
bool publish_layer_access();

}  // namespace pvr
