// The interpreter that owns the module: the one that imported it first, until it ends.
//
// All module state is process-wide, so one interpreter at a time owns the module; another one
// that imports it while the owner lives is refused, and one that imports it while the owner is
// ending waits for the end. When the owner ends (a subinterpreter destroyed, Py_FinalizeEx), the
// module lets go before anything of the owner is freed: runtime threads are let in no more, log
// registrations are released, the contexts handed to the runtime are forgotten, nothing new is
// accepted, and the next interpreter to import the module becomes its owner, with a fresh module.
// What the module kept of the owner's life goes as the owner's interpreter is cleared.
#pragma once

#include "common/python.hpp"

#include <cstdint>

namespace pvr::owner {

// Create step: records the current interpreter as the owner if there is none (or the owner has
// ended), refuses any other one with ImportError. Sets `*reuse` when the module object of the
// owner's life is to be reused. False with an exception set on failure.
bool claim(bool* reuse);

// Exec step: lets runtime threads into the owner and arranges for the module to let go as the
// owner ends. False with an exception set on failure.
bool adopt();

// The owner's life, as a token that a call compares after giving up the interpreter lock for
// the runtime: whether the owner that accepted the call still lives, the same life.
uint64_t life();
bool living(uint64_t life);
// Sets the RuntimeError of a call that came after the owner's end (or during it); returns null.
PyObject* raise_ended();

// Contexts handed to the runtime (the key objects of pending operations and registrations), so
// that a routine called with a context of an ended owner's life leaves it alone. All three are
// called with the interpreter lock held.
//
// Records `context` as handed out. False with an exception set if it cannot be recorded, or if
// the owner is no longer living (then nothing would take it back: the call is refused).
bool hand_out(void* context);
// Forgets `context`: true if it was handed out in the current owner's life, and the module's
// reference to its key is the caller's to drop.
bool take_back(void* context);
// Whether `context` was handed out in the current owner's life and not taken back.
bool handed_out(void* context);

}  // namespace pvr::owner
