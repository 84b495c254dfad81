// The typed layer's started operations: `Pending` (the waiting side) and `Delivery` (the
// callback the native module stores and calls once the runtime completes the operation).
//
// `start(operation, args, convert)` calls ``operation(*args, delivery)`` and returns the
// operation's `Pending`, whose `handle` is what the start returned. The delivery converts the
// result with `convert` on the completing thread, so a native result object is read and released
// where it arrives; the waiting side gets the value or the exception. Exactly one of the
// completion and `Pending.cancel` wins the operation: a result that comes after a cancel is
// dropped unread.
//
// The native module drops its record of an operation, and the delivery with it, once the
// completion came, whether it called back or not (a completion without a result object calls
// nothing and is reported as unraisable). A delivery dropped uncalled fails its operation, so
// that nobody waits for ever. `Delivery(deliver, undelivered)` is the same for a caller of its
// own: ``deliver(result)`` when called, ``undelivered()`` when dropped uncalled.
//
// What the layer decides is handed over once, with `configure`: the set of operations started
// and not completed (each is in it from before its start until its outcome is in, also while its
// result is converted), how a failure of `convert` is handed to the waiting side, how a refused
// start is reported, and the failure of an operation that ended without a result.
#pragma once

#include "common/python.hpp"

#include "module/layer_access.hpp"
#include "results/values.hpp"

namespace pvr {

struct LayerHooks {
  PyObject* started = nullptr;    // set
  PyObject* failure = nullptr;    // failure(exception) -> the exception the waiting side gets
  PyObject* refused = nullptr;    // refused(exception, delivery) -> the exception to raise
  PyObject* no_result = nullptr;  // no_result() -> the exception the waiting side gets
};

// The state of `pyvessaruntime._results` in one interpreter.
struct ResultsState {
  const LayerAccess* native = nullptr;  // what the native module hands over
  PyTypeObject* pending_type = nullptr;
  PyTypeObject* delivery_type = nullptr;
  LayerHooks hooks;
  ValueMakers makers;
};

inline ResultsState* results_state(PyObject* module) {
  return static_cast<ResultsState*>(PyModule_GetState(module));
}

extern PyType_Spec kPendingSpec;
extern PyType_Spec kDeliverySpec;

// start(operation, args, convert), as the module's function.
PyObject* start_operation(PyObject* module, PyObject* const* args, Py_ssize_t count);

}  // namespace pvr
