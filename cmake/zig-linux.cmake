# Linux wheels for old systems: zig's clang, targeting glibc 2.17 with its own libc++ and
# libc++abi linked into each library, so the binaries need neither a newer glibc nor the
# system's libstdc++. PYVESSA_ZIG is the zig executable (PyPI's ziglang ships one).
# The unwinder stays the system's libgcc_s: glibc ends threads through it (a forced unwind), and
# its exception objects must meet the same unwinder in every frame they pass.
if(NOT PYVESSA_ZIG)
  message(FATAL_ERROR "set PYVESSA_ZIG to the zig executable")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PYVESSA_ZIG)

set(PYVESSA_ZIG_TARGET x86_64-linux-gnu.2.17)
set(CMAKE_C_COMPILER "${PYVESSA_ZIG}" cc -target ${PYVESSA_ZIG_TARGET})
set(CMAKE_CXX_COMPILER "${PYVESSA_ZIG}" c++ -target ${PYVESSA_ZIG_TARGET})

# The system's libgcc_s named as a file: zig takes -lgcc_s for its own unwinder. Listed before
# the libraries zig adds, it answers every _Unwind_* call, so LLVM's unwinder is not linked.
find_file(PYVESSA_LIBGCC_S libgcc_s.so.1
  PATHS /lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu /lib64 /usr/lib64 NO_DEFAULT_PATH)
if(NOT PYVESSA_LIBGCC_S)
  message(FATAL_ERROR "libgcc_s.so.1 not found")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PYVESSA_LIBGCC_S)
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${PYVESSA_LIBGCC_S}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${PYVESSA_LIBGCC_S}")
