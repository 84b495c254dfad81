// Letting a thread's forced unwind (pthread_exit, or the host ending a thread inside a routine)
// through a catch (...) under libc++.
//
// libstdc++ names that unwind abi::__forced_unwind, and the handlers let it pass with a clause of
// their own (VESSAEMU_PASS_FORCED_UNWIND in call.hpp). libc++abi has no such type: a catch (...)
// takes the unwind like any exception of another language, and `throw;` starts it anew as an
// ordinary exception, which no frame catches, so the process is terminated. Every catch (...) a
// routine's unwind can reach therefore calls pass_foreign_unwind() first.
#pragma once

#include <exception>

namespace vessaemu {

#if defined(_LIBCPP_VERSION)
// When the exception being handled is not a C++ one, gives it back to the unwinder, which goes on
// with it (a forced unwind as forced) from the caller's frame; returns otherwise.
void pass_foreign_unwind();
#else
inline void pass_foreign_unwind() {}
#endif

}  // namespace vessaemu
