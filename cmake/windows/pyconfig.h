/* The configuration header of the official CPython 3.12 and 3.13 for 64-bit Windows, as an
 * extension module built with MinGW-w64 needs it.
 *
 * Every other CPython header is the same on all platforms; this one states the facts of the
 * platform the interpreter (python312.dll, python313.dll) was built for, so that the extension
 * agrees with it on type sizes, alignment, and how the interpreter's functions and data are
 * imported. Only what an extension's compilation reads is here; what only the interpreter's own
 * build uses is left out. The two versions' public headers read the same facts, which both
 * builds share, except the mimalloc allocator, new in 3.13; a version whose headers have not been
 * compared with these facts is refused. Python.h includes patchlevel.h first, so the version is
 * known here. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__MINGW64__)
#error "this configuration is for 64-bit Windows with MinGW-w64"
#endif

#if !defined(PY_VERSION_HEX) || PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#error "this configuration is for CPython 3.12 and 3.13"
#endif

#include <io.h>
#include <stdio.h>

/* The platform. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"
#define COMPILER "[gcc]"
#define PYD_PLATFORM_TAG "win_amd64"

/* The interpreter is a DLL: its functions and data are imported with __declspec(dllimport). */
#define Py_ENABLE_SHARED 1
#define MS_COREDLL
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits while pointers and sizes are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define ALIGNOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define LONG_BIT 32
#define WORD_BIT 32
#define HAVE_LARGEFILE_SUPPORT

#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define PY_UINT32_T uint32_t
#define PY_UINT64_T uint64_t
#define PY_INT32_T int32_t
#define PY_INT64_T int64_t
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* The interpreter's build options that change its object layouts and allocators. */
#define WITH_PYMALLOC 1
#if PY_VERSION_HEX >= 0x030D0000
#define WITH_MIMALLOC 1
#endif
#define WITH_DOC_STRINGS 1
#define HAVE_DYNAMIC_LOADING

/* Headers and functions of the Windows C runtime. */
#define HAVE_WCHAR_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_PROCESS_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_IO_H
#define HAVE_DIRECT_H 1
#define HAVE_CONIO_H 1
#define HAVE_CLOCK
#define HAVE_STRFTIME
#define HAVE_STRERROR
#define HAVE_FTIME
#define HAVE_GETPID
#define HAVE_MKTIME
#define HAVE_PUTENV
#define HAVE_SETVBUF
#define HAVE_UMASK 1
#define HAVE_WCSCOLL 1
#define HAVE_WCSXFRM 1
#define HAVE_DECL_TZNAME 1
#define HAVE_TZNAME
#define HAVE_ERF 1
#define HAVE_ERFC 1
#define STDC_HEADERS 1
#define RETSIGTYPE void
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE

#endif /* !Py_CONFIG_H */
