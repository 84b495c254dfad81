"""Which runtime library the extension binds, chosen before the extension loads.

The extension needs the runtime by its plain name (``libvessaruntime.so``, ``vessaruntime.dll``)
and carries no search path of its own, so by default it binds the runtime installed on the
system, found as the platform finds an extension's libraries. `ENV` chooses otherwise: the
emulator, which ships in a folder of its own inside the package where no search finds it, or a
runtime library named by its path. Either is loaded here first; the platform then satisfies the
extension's need with the library already loaded under that name (Linux matches its SONAME,
Windows its base name) instead of searching.

Only the standard library is imported here, and ctypes only when a library is to be preloaded
or looked at. The package imports this module before the extension only when something could ask
for another runtime (`ENV` is set, or the demo runs): a program that uses the system's runtime
pays nothing for the choice, and loads this module only for what it asks later (`path()`,
`EmulatorWarning`, or an import that failed). The pytest plugin loads it on its own, outside the
package, to check a session's choice (`library_for`) before anything binds a runtime.
"""

import os
import sys

# `typing` would be most of the package's import time; type checkers treat TYPE_CHECKING as true.
# Annotations naming its types are quoted: they are evaluated at run time, and this module does
# without `from __future__ import annotations`, which imports a module of its own.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

#: The environment variable choosing the runtime.
ENV = "PYVESSARUNTIME_RUNTIME"
SYSTEM = "system"
EMULATOR = "emulator"
WINDOWS = sys.platform == "win32"
LIBRARY = "vessaruntime.dll" if WINDOWS else "libvessaruntime.so"
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
EMULATOR_PATH = os.path.join(PACKAGE_DIR, "_emulator", LIBRARY)

_ACCEPTED = (f"{SYSTEM!r} (the runtime installed on the system, as when {ENV} is unset), "
             f"{EMULATOR!r} (the emulator shipped with this package, a test double) or the path "
             "of a runtime library")
_EMULATOR_HINT = (f"set {ENV}={EMULATOR} to run against the emulator shipped with this package "
                  "(a test double: its tokens are unsigned)")


class ChoiceError(ImportError):
    """`ENV` names no runtime that can be loaded (raised to the importer as a plain
    ImportError)."""


class EmulatorWarning(RuntimeWarning):
    """The runtime in use is the emulator, a test double: nobody authenticates users and its
    tokens are unsigned. Issued once, at the first start-up."""


_preloaded: "Any" = None  # the library loaded before the extension, kept loaded for the process
_path: str | None = None
_warned = False


def _running_the_demo() -> bool:
    # `python -m pyvessaruntime` imports this package before its __main__ can say anything; while
    # the module is being located, sys.argv[0] is "-m".
    if sys.argv[:1] != ["-m"]:
        return False
    args = sys.orig_argv
    return any(arg == "-mpyvessaruntime"
               or (arg == "-m" and args[i + 1:i + 2] == ["pyvessaruntime"])
               for i, arg in enumerate(args))


def requested() -> str | None:
    """The path of the library to load before the extension, None for the system's runtime.

    Raises ChoiceError for a value of `ENV` that names no runtime."""
    value = os.environ.get(ENV)
    if value is None and _running_the_demo():
        return EMULATOR_PATH
    return library_for(value)


def library_for(value: str | None, name: str = ENV) -> str | None:
    """The path of the library that `value`, a value of `ENV` (None: unset), chooses; None for
    the system's runtime. Raises ChoiceError for one that names no runtime, calling the setting
    it came from `name`."""
    if value is None or value == SYSTEM:
        return None
    if value == EMULATOR:
        return EMULATOR_PATH
    if not value:
        raise ChoiceError(f"{name} is set but empty: set it to {_ACCEPTED}, or unset it")
    separators = (os.sep, os.altsep) if os.altsep else (os.sep,)
    if not any(separator in value for separator in separators):
        raise ChoiceError(f"{name}={value!r} names no runtime: set it to {_ACCEPTED}")
    path = os.path.abspath(os.path.expanduser(value))
    if os.path.isdir(path):
        raise ChoiceError(f"{name}={value!r}: {path} is a folder; set it to the runtime library "
                          f"file, such as {os.path.join(path, LIBRARY)}")
    if not os.path.isfile(path):
        raise ChoiceError(f"{name}={value!r}: there is no runtime library at {path}")
    return path


def preload() -> None:
    """Loads the library `ENV` asks for, before the extension; nothing for the system's."""
    global _preloaded
    path = requested()
    if path is None:
        return
    import ctypes

    try:
        _preloaded = ctypes.CDLL(path)
    except OSError as error:
        raise ChoiceError(f"{ENV}: the runtime library {path} could not be loaded: {error}",
                          path=path) from error


def where_searched() -> str:
    """Where the platform looks for the system's runtime, as said to a person."""
    if WINDOWS:
        return (f"the folder of the extension ({PACKAGE_DIR}), the interpreter's folder "
                f"({os.path.dirname(sys.executable)}), the Windows system folder and the folders "
                "added with os.add_dll_directory()")
    return ("the folders of LD_LIBRARY_PATH, the dynamic linker's cache (/etc/ld.so.conf) and "
            "its default folders (/lib, /usr/lib)")


# What the dynamic linker says of an operation the runtime it bound lacks.
_UNDEFINED = "undefined symbol: VESSARUNTIME_"


def _not_a_runtime() -> str | None:
    """What to say of the preloaded library when it has none of the runtime's operations (its
    start-up stands for them all), so that no SONAME would make it one; else None."""
    if hasattr(_preloaded, "VESSARUNTIME_Startup"):
        return None
    return (f"{ENV}: {_preloaded._name} is not a runtime library: it lacks the runtime's "
            "operations (VESSARUNTIME_Startup and the others)")


def not_found(error: ImportError) -> ImportError | None:
    """The ImportError to raise when the runtime could not be had (`ENV` named none, or none
    was found, or one lacks operations); None when the import failed for another reason."""
    text = str(error)
    if isinstance(error, ChoiceError):
        return ImportError(text, path=error.path)
    operation = "VESSARUNTIME_" + text.partition(_UNDEFINED)[2].split(" ")[0]
    if _preloaded is not None:
        if _UNDEFINED not in text and LIBRARY not in text:
            return None
        unfit = _not_a_runtime()
        if unfit is None and _UNDEFINED in text:
            unfit = (f"{ENV}: the runtime library {_preloaded._name} lacks the runtime's "
                     f"operation {operation}, which the extension needs")
        if unfit is not None:
            return ImportError(unfit, name=error.name, path=_preloaded._name)
        # The library was loaded, yet the extension looked for its runtime by name: Linux
        # matches a loaded library by its SONAME only.
        return ImportError(
            f"{ENV}: the extension did not take the runtime library {_preloaded._name} for its "
            f"{LIBRARY}: a runtime library must be linked with that SONAME "
            f"(-Wl,-soname,{LIBRARY}). ({text})", name=error.name, path=_preloaded._name)
    if _UNDEFINED in text:
        return ImportError(
            f"pyvessaruntime could not use the vessaruntime runtime: the {LIBRARY} found where "
            f"the system looks for it ({where_searched()}) lacks the runtime's operation "
            f"{operation}, which the extension needs. Install a complete runtime, set {ENV} to "
            f"the path of one, or {_EMULATOR_HINT}.", name=error.name)
    if WINDOWS:
        # The runtime is the one DLL the extension needs that neither Windows nor the
        # interpreter provides, and Windows does not say which one it missed.
        if "DLL load failed" not in text:
            return None
    elif LIBRARY not in text:
        return None
    return ImportError(
        f"pyvessaruntime could not load the vessaruntime runtime: {LIBRARY} is not installed "
        f"where the system looks for it ({where_searched()}). Install the runtime, set {ENV} "
        f"to the path of a runtime library, or {_EMULATOR_HINT}. ({text})", name=error.name)


def _bound_address(ctypes: "Any") -> int:
    """The address of the runtime's start-up operation, as the extension resolved it."""
    from . import pyvessaruntime as extension

    if WINDOWS:
        found = ctypes.WinDLL(LIBRARY)  # the module loaded under that base name, not a search
    else:
        # Looked up through the extension's handle: its own dependencies answer.
        found = ctypes.CDLL(extension.__file__, mode=os.RTLD_NOLOAD | os.RTLD_NOW)
    return ctypes.cast(found.VESSARUNTIME_Startup, ctypes.c_void_p).value or 0


def _file_of(ctypes: "Any", address: int) -> str:
    if WINDOWS:
        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        kernel32.GetModuleHandleExW.argtypes = (ctypes.c_uint32, ctypes.c_void_p,
                                                ctypes.POINTER(ctypes.c_void_p))
        kernel32.GetModuleFileNameW.argtypes = (ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32)
        module = ctypes.c_void_p()
        # FROM_ADDRESS | UNCHANGED_REFCOUNT
        if not kernel32.GetModuleHandleExW(0x4 | 0x2, address, ctypes.byref(module)):
            raise OSError(ctypes.get_last_error(), "GetModuleHandleExW failed")
        name = ctypes.create_unicode_buffer(32768)
        kernel32.GetModuleFileNameW(module, name, len(name))
        file_name: str = name.value
        return os.path.abspath(file_name)
    # Dl_info: the file name, its base address, the symbol's name and address.
    info = (ctypes.c_void_p * 4)()
    process = ctypes.CDLL(None)
    process.dladdr.argtypes = (ctypes.c_void_p, ctypes.c_void_p)
    if not process.dladdr(address, info) or not info[0]:
        raise OSError(f"the dynamic linker does not know the runtime at {address:#x}")
    return os.path.realpath(os.fsdecode(ctypes.string_at(info[0])))


def path() -> str:
    """The file of the runtime library the extension bound."""
    global _path
    # Unguarded: threads that ask at once each look it up and store the same text.
    if _path is None:
        import ctypes

        _path = _file_of(ctypes, _bound_address(ctypes))
    return _path


def check_bound() -> None:
    """Raises ImportError when the extension bound another runtime than the one preloaded
    (a library without the runtime's SONAME, beside one installed on the system)."""
    if _preloaded is None:
        return
    bound = path()
    if not os.path.samefile(bound, _preloaded._name):
        unfit = _not_a_runtime()
        if unfit is not None:
            raise ImportError(unfit, path=_preloaded._name)
        raise ImportError(
            f"{ENV}: the extension bound the runtime {bound}, not {_preloaded._name}: a runtime "
            f"library must be linked with the SONAME {LIBRARY} (-Wl,-soname,{LIBRARY})",
            path=_preloaded._name)


def library() -> "Any":
    """The runtime library the extension bound, as a new ``ctypes.CDLL`` over that very
    instance (not a second copy with a state of its own)."""
    import ctypes

    if WINDOWS:
        return ctypes.CDLL(path())  # a full path names the module already loaded
    return ctypes.CDLL(path(), mode=os.RTLD_NOLOAD | os.RTLD_NOW)


def is_emulator() -> bool:
    """Whether the runtime in use is the emulator (it alone has the control interface)."""
    return hasattr(library(), "VESSAEMU_Reset")


def warn_if_emulator() -> None:
    """Issues `EmulatorWarning` once per process, when the runtime in use is the emulator (again
    at each call while a filter makes it an error, which refuses each start); it
    points at the application's code, past this package and contextlib (through which
    `running` starts the runtime)."""
    global _warned
    # The check and the setting below are one step only because `client.start`, the one caller,
    # holds its lifetime lock: without the interpreter lock nothing else would keep two
    # threads from both warning.
    if _warned:
        return
    if is_emulator():
        import contextlib
        import warnings

        # A whole file name as a prefix would never match: the C implementation leaves the
        # name's last character out of the comparison.
        contextlib_file = os.path.splitext(contextlib.contextmanager.__code__.co_filename)[0]
        warnings.warn(EmulatorWarning(
            f"pyvessaruntime runs against the emulator ({path()}), a test double: no real "
            "runtime is present, nobody authenticates users, and its tokens are unsigned. "
            f"{ENV} chooses the runtime; unset, it is the one installed on the system."),
            skip_file_prefixes=(PACKAGE_DIR + os.sep, contextlib_file))
    # Only once issued: a warning made an error refuses this start, and so every start after it.
    _warned = True
