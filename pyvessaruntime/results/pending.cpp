// A pending operation's fields change inside its critical section, which makes each step (the
// claim, the outcome, the wake-up) atomic for the other threads, with or without a GIL. What
// calls Python (the conversion, the notification, the cancel) runs outside it: a critical
// section is not held across anything that may wait.
#include "results/pending.hpp"

#include <atomic>
#include <cstddef>
#include <iterator>
#include <new>
#include <utility>

namespace pvr {
namespace {

struct Pending {
  PyObject_HEAD PyObject* convert;
  PyObject* handle;  // the start's async handle; unset until the start returned
  PyObject* value;
  PyObject* error;
  PyObject* notify;
  // Made by the first wait that must block, held until the outcome is in; every waiter that
  // gets it hands it on at once.
  PyThread_type_lock wakeup;
  bool claimed;     // by the completion or by `cancel`, whichever came first
  bool completing;  // claimed by the completion, whose outcome is not in yet
  bool done;
};

struct Delivery {
  PyObject_HEAD vectorcallfunc vectorcall;
  Pending* pending;  // the operation it completes, or null for a caller's own callables
  PyObject* deliver;
  PyObject* undelivered;
  std::atomic<bool> called;
};

PyObject* object_of(Pending* self) {
  return reinterpret_cast<PyObject*>(self);
}

ResultsState* state_of_type(PyTypeObject* type) {
  return static_cast<ResultsState*>(PyType_GetModuleState(type));
}

// ---- the outcome ---------------------------------------------------------------------------

int forget_started(Pending* self, const LayerHooks& hooks) {
  return hooks.started ? PySet_Discard(hooks.started, reinterpret_cast<PyObject*>(self)) : 0;
}

// One of the object's flags, read inside its critical section.
bool flag_of(Pending* self, bool Pending::*flag) {
  bool value = false;
  Py_BEGIN_CRITICAL_SECTION(object_of(self));
  value = self->*flag;
  Py_END_CRITICAL_SECTION();
  return value;
}

bool is_done(Pending* self) {
  return flag_of(self, &Pending::done);
}

// The outcome is in (`value` and `error` stolen), unless another came first: the operation
// leaves the started ones only now, so that a fork until then finds it there and fails it in
// the child; then the waiters wake, and whoever asked is told.
int finish(Pending* self, PyObject* value, PyObject* error) {
  const int forgotten = forget_started(self, state_of_type(Py_TYPE(self))->hooks);
  bool put = false;
  PyObject* notify = nullptr;
  Py_BEGIN_CRITICAL_SECTION(object_of(self));
  if (!self->done) {
    put = true;
    std::swap(self->value, value);
    std::swap(self->error, error);
    self->done = true;
    self->completing = false;
    if (self->wakeup) PyThread_release_lock(self->wakeup);
    notify = Py_XNewRef(self->notify);
  }
  Py_END_CRITICAL_SECTION();
  // What was replaced, or what came too late: dropped outside, as dropping may run anything.
  Py_XDECREF(value);
  Py_XDECREF(error);
  if (!put || forgotten < 0 || !notify) {
    Py_XDECREF(notify);
    return forgotten;
  }
  PyObject* told = PyObject_CallOneArg(notify, object_of(self));
  Py_DECREF(notify);
  if (!told) return -1;
  Py_DECREF(told);
  return 0;
}

// Also one whose completion is converting its result: the fork hook fails those in the child,
// where the converting thread is gone.
int fail(Pending* self, PyObject* error) {
  bool failing = false;
  Py_BEGIN_CRITICAL_SECTION(object_of(self));
  failing = !self->claimed || self->completing;
  self->claimed = true;
  Py_END_CRITICAL_SECTION();
  return failing ? finish(self, nullptr, Py_NewRef(error)) : 0;
}

// Claims the outcome for the completion: false if a cancel or a failure claimed it first.
bool claim_for_completion(Pending* self) {
  bool claimed = false;
  Py_BEGIN_CRITICAL_SECTION(object_of(self));
  if (!self->claimed) {
    self->claimed = self->completing = true;
    claimed = true;
  }
  Py_END_CRITICAL_SECTION();
  return claimed;
}

// The exception `convert` raised, as the layer hands it to the waiting side; the exception
// itself should the layer's own choice fail.
PyObject* handed_failure(const LayerHooks& hooks, PyObject* raised) {
  if (!hooks.failure) return raised;
  PyObject* handed = PyObject_CallOneArg(hooks.failure, raised);
  if (!handed) {
    PyErr_WriteUnraisable(hooks.failure);
    return raised;
  }
  Py_DECREF(raised);
  return handed;
}

int complete(Pending* self, PyObject* result) {
  const LayerHooks& hooks = state_of_type(Py_TYPE(self))->hooks;
  // The wait was given up: nobody reads the outcome.
  if (!claim_for_completion(self)) return forget_started(self, hooks);
  // `convert` is set once, at the start, and never changes.
  PyObject* value = PyObject_CallOneArg(self->convert, result);
  PyObject* error = value ? nullptr : handed_failure(hooks, PyErr_GetRaisedException());
  // A failure while converting (in a forked child) stands: `finish` drops this outcome then.
  return finish(self, value, error);
}

int end_without_result(Pending* self) {
  const LayerHooks& hooks = state_of_type(Py_TYPE(self))->hooks;
  if (flag_of(self, &Pending::claimed)) return forget_started(self, hooks);  // the wait was given up
  PyObject* error = hooks.no_result ? PyObject_CallNoArgs(hooks.no_result) : nullptr;
  if (!error) {
    PyErr_Clear();
    error = PyObject_CallFunction(PyExc_RuntimeError, "s", "the operation ended without a result");
    if (!error) return -1;
  }
  const int failed = fail(self, error);
  Py_DECREF(error);
  return failed;
}

// ---- Pending's methods ---------------------------------------------------------------------

PyObject* pending_result(PyObject* op, PyObject*) {
  auto* self = reinterpret_cast<Pending*>(op);
  PyObject* error = nullptr;
  PyObject* value = nullptr;
  Py_BEGIN_CRITICAL_SECTION(op);
  error = Py_XNewRef(self->error);
  value = Py_XNewRef(self->value);
  Py_END_CRITICAL_SECTION();
  if (error) {
    Py_XDECREF(value);
    PyErr_SetRaisedException(error);
    return nullptr;
  }
  return value ? value : Py_NewRef(Py_None);
}

// Microseconds to wait for, -1 for ever; false with an exception for a bad timeout.
bool wait_microseconds(PyObject* timeout, PY_TIMEOUT_T* microseconds) {
  *microseconds = -1;
  if (timeout == Py_None) return true;
  const double seconds = PyFloat_AsDouble(timeout);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (!(seconds >= 0)) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number of seconds or None");
    return false;
  }
  // Rounded up: a wait never ends before its time.
  const double whole = seconds * 1e6;
  if (whole < static_cast<double>(PY_TIMEOUT_MAX)) {
    *microseconds = static_cast<PY_TIMEOUT_T>(whole);
    if (static_cast<double>(*microseconds) < whole) ++*microseconds;
  }
  return true;
}

// The lock a blocking wait waits on, made by the first one, or null once the outcome is in;
// `*no_memory` if it could not be made.
PyThread_type_lock wakeup_of(Pending* self, bool* no_memory) {
  PyThread_type_lock wakeup = nullptr;
  *no_memory = false;
  Py_BEGIN_CRITICAL_SECTION(object_of(self));
  if (!self->done) {
    if (!self->wakeup && (self->wakeup = PyThread_allocate_lock()))
      PyThread_acquire_lock(self->wakeup, NOWAIT_LOCK);
    wakeup = self->wakeup;
    *no_memory = !wakeup;
  }
  Py_END_CRITICAL_SECTION();
  return wakeup;
}

PyObject* pending_wait(PyObject* op, PyObject* timeout) {
  auto* self = reinterpret_cast<Pending*>(op);
  if (is_done(self)) Py_RETURN_TRUE;
  PY_TIMEOUT_T microseconds;
  if (!wait_microseconds(timeout, &microseconds)) return nullptr;
  bool no_memory = false;
  // The caller's reference keeps `self`, and with it the lock, alive.
  PyThread_type_lock wakeup = wakeup_of(self, &no_memory);
  if (no_memory) return PyErr_NoMemory();
  if (!wakeup) Py_RETURN_TRUE;
  PyTime_t deadline = 0;
  if (microseconds > 0) {
    if (PyTime_Monotonic(&deadline) < 0) return nullptr;
    deadline += microseconds * 1000;
  }
  for (;;) {
    PyLockStatus status;
    Py_BEGIN_ALLOW_THREADS status = PyThread_acquire_lock_timed(wakeup, microseconds, 1);
    Py_END_ALLOW_THREADS if (status == PY_LOCK_ACQUIRED) {
      PyThread_release_lock(wakeup);  // for the next waiter
      Py_RETURN_TRUE;
    }
    if (status == PY_LOCK_FAILURE || is_done(self)) return PyBool_FromLong(is_done(self));
    // Interrupted by a signal: its handler runs here, and may raise (KeyboardInterrupt).
    if (PyErr_CheckSignals() < 0) return nullptr;
    if (is_done(self)) Py_RETURN_TRUE;
    if (microseconds > 0) {
      PyTime_t now;
      if (PyTime_Monotonic(&now) < 0) return nullptr;
      if (now >= deadline) Py_RETURN_FALSE;
      microseconds = (deadline - now + 999) / 1000;
    }
  }
}

PyObject* pending_when_done(PyObject* op, PyObject* notify) {
  auto* self = reinterpret_cast<Pending*>(op);
  PyObject* replaced = Py_NewRef(notify);
  Py_BEGIN_CRITICAL_SECTION(op);
  std::swap(self->notify, replaced);
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(replaced);
  Py_RETURN_NONE;
}

// The start's async handle (a new reference), or null while the start has not returned.
PyObject* handle_of(Pending* self) {
  return Py_XNewRef(std::atomic_ref(self->handle).load(std::memory_order_acquire));
}

PyObject* pending_cancel(PyObject* op, PyObject*) {
  auto* self = reinterpret_cast<Pending*>(op);
  bool cancelling = false;
  Py_BEGIN_CRITICAL_SECTION(op);
  cancelling = !self->claimed;
  self->claimed = true;
  Py_END_CRITICAL_SECTION();
  if (!cancelling) Py_RETURN_FALSE;
  if (PyObject* handle = handle_of(self)) {
    PyObject* cancelled = PyObject_CallMethod(handle, "cancel_async_operation", nullptr);
    Py_DECREF(handle);
    if (cancelled) {
      Py_DECREF(cancelled);
    } else if (PyErr_ExceptionMatches(PyExc_RuntimeError) ||
               PyErr_ExceptionMatches(PyExc_ValueError)) {
      // The runtime may already have completed it, or refuse for a reason of its own (reported
      // as the native module reports failures): either way nobody waits for it any more.
      PyErr_Clear();
    } else {
      return nullptr;
    }
  }
  Py_RETURN_TRUE;
}

PyObject* pending_fail(PyObject* op, PyObject* error) {
  if (fail(reinterpret_cast<Pending*>(op), error) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* pending_done(PyObject* op, void*) {
  return PyBool_FromLong(is_done(reinterpret_cast<Pending*>(op)));
}

int pending_traverse(PyObject* op, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Pending*>(op);
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(self->convert);
  Py_VISIT(self->handle);
  Py_VISIT(self->value);
  Py_VISIT(self->error);
  Py_VISIT(self->notify);
  return 0;
}

int pending_clear(PyObject* op) {
  auto* self = reinterpret_cast<Pending*>(op);
  Py_CLEAR(self->convert);
  Py_CLEAR(self->handle);
  Py_CLEAR(self->value);
  Py_CLEAR(self->error);
  Py_CLEAR(self->notify);
  return 0;
}

void pending_dealloc(PyObject* op) {
  auto* self = reinterpret_cast<Pending*>(op);
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  pending_clear(op);
  if (self->wakeup) {
    // Released whether a timed-out wait left it held or not, as some platforms require.
    PyThread_acquire_lock(self->wakeup, NOWAIT_LOCK);
    PyThread_release_lock(self->wakeup);
    PyThread_free_lock(self->wakeup);
  }
  type->tp_free(op);
  Py_DECREF(type);
}

PyMethodDef pending_methods[] = {
    {"result", pending_result, METH_NOARGS,
     "The converted result, or the exception its conversion raised (once `done`)."},
    {"wait", pending_wait, METH_O,
     "Block until the outcome is in, at most `timeout` seconds (None: for ever); whether it is."},
    {"when_done", pending_when_done, METH_O,
     "Have `notify(self)` called on the completing thread once the outcome is in.\n\nSet before "
     "the outcome came, it is called; set as the outcome comes it may be called or not: the "
     "caller looks at `done` after setting it, and must bear being told twice."},
    {"cancel", pending_cancel, METH_NOARGS,
     "Give up the wait and ask the runtime to cancel; False if the result came first (it is "
     "then, or soon will be, `done`)."},
    {"_fail", pending_fail, METH_O,
     "End the operation with `error`, unless its outcome is in or its wait was given up; also "
     "while its result is being converted (in a forked child, the converting thread is gone)."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef pending_members[] = {
    {"handle", Py_T_OBJECT_EX, offsetof(Pending, handle), 0,
     "The operation's VESSARuntimeAsyncHandle."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef pending_getset[] = {
    {"done", pending_done, nullptr, "Whether the outcome is in.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pending_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A started operation: its handle and, once the runtime completed it, its "
                       "outcome. Made by start().")},
    {Py_tp_methods, pending_methods},
    {Py_tp_members, pending_members},
    {Py_tp_getset, pending_getset},
    {Py_tp_traverse, reinterpret_cast<void*>(pending_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(pending_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pending_dealloc)},
    {0, nullptr},
};

// ---- Delivery ------------------------------------------------------------------------------

PyObject* delivery_call(PyObject* op, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* self = reinterpret_cast<Delivery*>(op);
  if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames))) {
    PyErr_SetString(PyExc_TypeError, "a delivery takes the result as its one argument");
    return nullptr;
  }
  self->called.store(true);
  if (self->pending) {
    if (complete(self->pending, args[0]) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  PyObject* delivered = PyObject_CallOneArg(self->deliver, args[0]);
  if (!delivered) return nullptr;
  Py_DECREF(delivered);
  Py_RETURN_NONE;
}

// Dropped uncalled: whoever waits for the operation would wait for ever. A finalizer must not
// raise, so what this raises goes nowhere.
void delivery_finalize(PyObject* op) {
  auto* self = reinterpret_cast<Delivery*>(op);
  if (self->called.exchange(true)) return;
  PyObject* saved = PyErr_GetRaisedException();
  if (self->pending) {
    if (end_without_result(self->pending) < 0) PyErr_Clear();
  } else if (self->undelivered) {
    PyObject* told = PyObject_CallNoArgs(self->undelivered);
    if (told) {
      Py_DECREF(told);
    } else {
      PyErr_Clear();
    }
  }
  PyErr_SetRaisedException(saved);
}

Delivery* new_delivery(PyTypeObject* type, Pending* pending, PyObject* deliver,
                       PyObject* undelivered) {
  auto* self = PyObject_GC_New(Delivery, type);
  if (!self) return nullptr;
  self->vectorcall = delivery_call;
  self->pending = reinterpret_cast<Pending*>(Py_XNewRef(reinterpret_cast<PyObject*>(pending)));
  self->deliver = Py_XNewRef(deliver);
  self->undelivered = Py_XNewRef(undelivered);
  new (&self->called) std::atomic<bool>(false);
  PyObject_GC_Track(self);
  return self;
}

PyObject* delivery_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject *deliver, *undelivered;
  static const char* keywords[] = {"deliver", "undelivered", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Delivery", const_cast<char**>(keywords),
                                   &deliver, &undelivered))
    return nullptr;
  return reinterpret_cast<PyObject*>(new_delivery(type, nullptr, deliver, undelivered));
}

int delivery_traverse(PyObject* op, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Delivery*>(op);
  Py_VISIT(Py_TYPE(op));
  Py_VISIT(reinterpret_cast<PyObject*>(self->pending));
  Py_VISIT(self->deliver);
  Py_VISIT(self->undelivered);
  return 0;
}

int delivery_clear(PyObject* op) {
  auto* self = reinterpret_cast<Delivery*>(op);
  Py_CLEAR(self->pending);
  Py_CLEAR(self->deliver);
  Py_CLEAR(self->undelivered);
  return 0;
}

void delivery_dealloc(PyObject* op) {
  if (PyObject_CallFinalizerFromDealloc(op) < 0) return;  // brought back to life
  PyTypeObject* type = Py_TYPE(op);
  PyObject_GC_UnTrack(op);
  delivery_clear(op);
  type->tp_free(op);
  Py_DECREF(type);
}

PyMemberDef delivery_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Delivery, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot delivery_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Delivery(deliver, undelivered)\n--\n\nThe callback of a started operation: "
                       "``deliver(result)`` when the runtime completes it, ``undelivered()`` when "
                       "it is dropped uncalled (a completion that brought no result).")},
    {Py_tp_new, reinterpret_cast<void*>(delivery_new)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, delivery_members},
    {Py_tp_finalize, reinterpret_cast<void*>(delivery_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(delivery_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(delivery_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(delivery_dealloc)},
    {0, nullptr},
};

// ---- start ---------------------------------------------------------------------------------

Pending* new_pending(PyTypeObject* type, PyObject* convert) {
  auto* self = PyObject_GC_New(Pending, type);
  if (!self) return nullptr;
  self->convert = Py_NewRef(convert);
  self->handle = nullptr;
  self->value = nullptr;
  self->error = nullptr;
  self->notify = nullptr;
  self->wakeup = nullptr;
  self->claimed = false;
  self->completing = false;
  self->done = false;
  PyObject_GC_Track(self);
  return self;
}

// ``operation(*args, delivery)``: the new reference it returns, or null with its exception.
PyObject* call_with_delivery(PyObject* operation, PyObject* args, PyObject* delivery) {
  const Py_ssize_t count = PyTuple_GET_SIZE(args);
  PyObject* few[8];
  PyObject** stack = few;
  if (count + 1 > static_cast<Py_ssize_t>(std::size(few))) {
    stack = PyMem_New(PyObject*, static_cast<std::size_t>(count) + 1);
    if (!stack) return PyErr_NoMemory();
  }
  for (Py_ssize_t i = 0; i < count; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  stack[count] = delivery;
  PyObject* returned =
      PyObject_Vectorcall(operation, stack, static_cast<std::size_t>(count) + 1, nullptr);
  if (stack != few) PyMem_Free(stack);
  return returned;
}

// The layer's report of a refused start, raised in place of the native module's exception.
void raise_refusal(const LayerHooks& hooks, PyObject* raised, PyObject* delivery) {
  if (!hooks.refused) return PyErr_SetRaisedException(raised);
  PyObject* reported = PyObject_CallFunctionObjArgs(hooks.refused, raised, delivery, nullptr);
  if (!reported) {
    Py_DECREF(raised);
    return;
  }
  if (reported != raised) {
    // As ``raise reported from None`` in the handler of `raised`.
    PyException_SetContext(reported, raised);
    PyException_SetCause(reported, nullptr);
  } else {
    Py_DECREF(raised);
  }
  PyErr_SetRaisedException(reported);
}

}  // namespace

PyObject* start_operation(PyObject* module, PyObject* const* args, Py_ssize_t count) {
  if (count != 3 || !PyTuple_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError,
                    "start() takes an operation, a tuple of its arguments and "
                    "a converter of its result");
    return nullptr;
  }
  ResultsState* state = results_state(module);
  Pending* pending = new_pending(state->pending_type, args[2]);
  if (!pending) return nullptr;
  auto* as_object = reinterpret_cast<PyObject*>(pending);
  Delivery* delivery = new_delivery(state->delivery_type, pending, nullptr, nullptr);
  // Before the start: the completion may come on another thread before the start returns.
  if (!delivery || (state->hooks.started && PySet_Add(state->hooks.started, as_object) < 0)) {
    Py_XDECREF(delivery);
    Py_DECREF(as_object);
    return nullptr;
  }
  auto* callback = reinterpret_cast<PyObject*>(delivery);
  PyObject* handle = call_with_delivery(args[0], args[1], callback);
  if (!handle) {
    PyObject* raised = PyErr_GetRaisedException();
    if (forget_started(pending, state->hooks) < 0) PyErr_Clear();
    raise_refusal(state->hooks, raised, callback);
    Py_DECREF(callback);
    Py_DECREF(as_object);
    return nullptr;
  }
  Py_DECREF(callback);
  // A cancel on another thread may read it at once.
  std::atomic_ref(pending->handle).store(handle, std::memory_order_release);
  return as_object;
}

PyType_Spec kPendingSpec = {
    "pyvessaruntime._results.Pending",
    sizeof(Pending),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    pending_slots,
};

PyType_Spec kDeliverySpec = {
    "pyvessaruntime._results.Delivery",
    sizeof(Delivery),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE,
    delivery_slots,
};

}  // namespace pvr
