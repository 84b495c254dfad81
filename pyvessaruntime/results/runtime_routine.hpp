// Which threads must not wait for the runtime: a thread inside a routine the runtime called,
// marked here with ``with runtime_routine:``. Waiting there for an operation would need that very
// thread to finish it. The native module knows the routines it enters itself (its
// `inside_runtime_routine`); this mark is for those it does not see.
//
// Kept per OS thread rather than per interpreter: a thread blocked in a wait cannot deliver the
// runtime's completions whichever interpreter it waits in.
#pragma once

#include "common/python.hpp"

namespace pvr {

// Whether this thread is inside a marked routine.
bool on_runtime_thread();

// The type of `runtime_routine`, whose instance brackets a routine in a ``with`` block.
extern PyType_Spec kRuntimeRoutineSpec;

}  // namespace pvr
