// The window-system calls behind get_console_window() and get_desktop_window().
//
// Kept free of Python so the Windows implementation compiles, and can be checked, without the
// interpreter's headers. Both are called with the interpreter lock released and touch no Python
// state. A window handle comes back as its bits in an integer, 0 for none.
#pragma once

#include <cstdint>

namespace pvr::native {

// The root owner of the window of the console the process is attached to; 0 when the process
// has no console or the lookup failed.
std::intptr_t console_root_owner_window() noexcept;

// The desktop window.
std::intptr_t desktop_window() noexcept;

}  // namespace pvr::native
