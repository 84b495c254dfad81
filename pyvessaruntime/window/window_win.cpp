// Window handles from the Windows window system.
#include "window/native_window.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace pvr::native {
namespace {

using GetConsoleWindowFunction = HWND(WINAPI*)();

// GetConsoleWindow is found at run time rather than imported, so the module still loads where
// kernel32 does not export it; the console window is then simply absent.
//
// The lookup runs once per process and is never retried, also when it found nothing. It runs
// with the interpreter lock released, so first calls may race: each of them stores the same
// address, and the flag is published after the address, so a reader that sees the flag set also
// sees the address, which no longer changes.
std::atomic<GetConsoleWindowFunction> console_window_address{nullptr};
std::atomic<bool> console_window_looked_up{false};

GetConsoleWindowFunction find_console_window_function() {
  if (console_window_looked_up.load(std::memory_order_acquire)) {
    return console_window_address.load(std::memory_order_relaxed);
  }
  GetConsoleWindowFunction found = nullptr;
  // kernel32 is mapped into every process; a null handle means something is badly wrong, and
  // the answer is then "no console window" rather than loading the module ourselves.
  if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
    // FARPROC is a generic function pointer; going through void(*)() tells the compiler the
    // type change is deliberate.
    found = reinterpret_cast<GetConsoleWindowFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "GetConsoleWindow")));
  }
  console_window_address.store(found, std::memory_order_relaxed);
  console_window_looked_up.store(true, std::memory_order_release);
  return found;
}

std::intptr_t window_bits(HWND window) {
  return reinterpret_cast<std::intptr_t>(window);
}

}  // namespace

std::intptr_t console_root_owner_window() noexcept {
  const GetConsoleWindowFunction get_console_window = find_console_window_function();
  const HWND window_handle = get_console_window ? get_console_window() : nullptr;
  // The root owner, not the console window itself, is what a prompt is parented to. GetAncestor
  // answers null for a null window, so it is asked unconditionally.
  const UINT ga_root = GA_ROOTOWNER;
  const HWND vrt_window = GetAncestor(window_handle, ga_root);
  return window_bits(vrt_window);
}

std::intptr_t desktop_window() noexcept {
  return window_bits(GetDesktopWindow());
}

}  // namespace pvr::native
