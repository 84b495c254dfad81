// The two-call protocol of every string getter.
#pragma once

#include <cstdint>

#include "call.hpp"
#include "strings.hpp"

namespace vessaemu {

// Answers one string-getter call for `value`:
// - null buffer: writes the size needed including the terminator (0 for an absent value) and, for a
//   present value, answers Status_InsufficientBuffer (unless switched off);
// - a buffer: its capacity is the size the caller passed in; if it holds the text and terminator,
//   fills it and writes the units written, else writes the needed size and answers
//   Status_InsufficientBuffer without touching the buffer. Nothing is ever written past capacity.
VESSARUNTIME_ERROR_HANDLE write_text(Call& call, const Text& value, os_char* buffer,
                                     int32_t* bufferSize);

}  // namespace vessaemu
