// See unwind.hpp.
#include "unwind.hpp"

#if defined(_LIBCPP_VERSION)
#include <cxxabi.h>
#include <unwind.h>

#include <cstddef>

// The C++ ABI's per-thread exception globals; their first member is the header of the exception
// handled last. libc++abi keeps a foreign exception there too, at the place a C++ exception's
// header would have if its object were the unwinder's record. (Not in libc++abi's public header.)
extern "C" void* __cxa_get_globals();

namespace vessaemu {
namespace {

char*& handled_header() {
  return *static_cast<char**>(__cxa_get_globals());
}

// The distance from an exception's header to its object, measured once on an exception of our
// own: the header's size is libc++abi's to choose.
std::ptrdiff_t measure_header() {
  struct Probe {};
  try {
    throw Probe{};
  } catch (Probe& probe) {
    return reinterpret_cast<char*>(&probe) - handled_header();
  }
}

// Measured as the library loads, so that no thread pays for it while being ended.
const std::ptrdiff_t header_size = measure_header();

}  // namespace

void pass_foreign_unwind() {
  if (abi::__cxa_current_exception_type() != nullptr) return;
  char*& handled = handled_header();
  auto* unwinding = reinterpret_cast<_Unwind_Exception*>(handled + header_size) - 1;
  // Off the handled stack first, as libc++abi's own rethrow of a foreign exception does, so the
  // end of this handler does not destroy what the unwinder still owns.
  handled = nullptr;
  // Continues a forced unwind with its stop function (which glibc needs to end the thread), and
  // raises any other as it was; returns only when no frame is left to take it.
  _Unwind_Resume_or_Rethrow(unwinding);
  std::terminate();
}

}  // namespace vessaemu
#endif
