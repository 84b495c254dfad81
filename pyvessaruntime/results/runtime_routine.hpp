// Which threads must not wait for the runtime: a thread inside a routine the runtime called (a
// completion, a log line routed to `logging`), and a thread the runtime owns, once it has called
// back on it. Waiting there for an operation would need that very thread to finish it.
//
// Kept per OS thread rather than per interpreter: a thread blocked in a wait cannot deliver the
// runtime's completions whichever interpreter it waits in.
#pragma once

#include <Python.h>

namespace pvr {

// Marks this thread as running a routine the runtime called, until the matching leave. The first
// entry on a thread decides whether it is one Python did not start (a runtime thread).
void enter_runtime_routine();
void leave_runtime_routine();

// Whether a wait for the runtime on this thread could never end.
bool on_runtime_thread();

// The type of `runtime_routine`, whose instance brackets a routine in a ``with`` block.
extern PyType_Spec kRuntimeRoutineSpec;

}  // namespace pvr
