// The log registrations the module holds with the runtime, as the module's owner ends.
#pragma once

namespace pvr {

// Releases every log registration still held, so that no line is written for the owner any
// more. With `owner_alive`, the registration handle objects learn of it (they then hold no
// registration) and the keys go; otherwise the ended owner's objects are left untouched. Called
// with the interpreter lock held, which each runtime call gives up.
void end_log_registrations(bool owner_alive);

}  // namespace pvr
