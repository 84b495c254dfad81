// Window handles where there is no Windows window system.
#include "window/native_window.hpp"

namespace pvr::native {

// There is no console window to parent a prompt to, so get_console_window() answers None, as it
// does for a Windows process without a console.
std::intptr_t console_root_owner_window() noexcept {
  return 0;
}

// 0 rather than None: get_desktop_window() returns an int on every platform, so callers can pass
// it on as parentWindowHandle without a check.
std::intptr_t desktop_window() noexcept {
  return 0;
}

}  // namespace pvr::native
