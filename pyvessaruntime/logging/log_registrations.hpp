// The log registrations the module holds with the runtime, as the module's owner ends.
#pragma once

namespace pvr {

// Releases every log registration still held, so that no line is written for the owner any
// more. With `owner_alive`, the registration handle objects learn of it (they then hold no
// registration) and the keys go; otherwise the ended owner's objects are left untouched. Called
// with the interpreter lock held, which each runtime call gives up.
//
// Without `runtime_free` (a runtime thread is held for ever inside the ended owner, which a
// release could wait for), the registrations stay with the runtime instead and their keys are
// kept: the lines it still writes find no owner of theirs and are dropped.
void end_log_registrations(bool owner_alive, bool runtime_free);

}  // namespace pvr
