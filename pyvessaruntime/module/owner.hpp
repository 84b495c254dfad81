// The interpreter that owns the module: the one that imported it first, until it ends.
//
// All module state is process-wide, so one interpreter at a time owns the module; another one
// that imports it while the owner lives is refused. When the owner ends (a subinterpreter
// destroyed, Py_FinalizeEx), the module lets go before anything of the owner is freed: runtime
// threads are let in no more, log registrations are released, the contexts handed to the
// runtime are forgotten, and the next interpreter to import the module becomes its owner, with a
// fresh module.
#pragma once

#include <Python.h>

namespace pvr::owner {

// Create step: records the current interpreter as the owner if there is none (or the owner has
// ended), refuses any other one with ImportError. Sets `*reuse` when the module object of the
// owner's life is to be reused. False with an exception set on failure.
bool claim(bool* reuse);

// Exec step: lets runtime threads into the owner and arranges for the module to let go as the
// owner ends. False with an exception set on failure.
bool adopt();

// Contexts handed to the runtime (the key objects of pending operations and registrations), so
// that a routine called with a context of an ended owner's life leaves it alone. All three are
// called with the interpreter lock held.
//
// Records `context` as handed out, unless the owner has ended (then nothing will take it back).
// False with MemoryError set if it cannot be recorded.
bool hand_out(void* context);
// Forgets `context`: true if it was handed out in the current owner's life, and the module's
// reference to its key is the caller's to drop.
bool take_back(void* context);
// Whether `context` was handed out in the current owner's life and not taken back.
bool handed_out(void* context);

}  // namespace pvr::owner
