"""The calls of the benchmarks written with ctypes, as an application could bind the runtime
without the extension: the same runtime calls and the same bookkeeping, in Python.

Benchmark code only; it covers what the benchmarks call and nothing else.
"""

from __future__ import annotations

import ctypes
from ctypes import POINTER, byref, c_int32, c_uint16, c_void_p
from typing import Any

INSUFFICIENT_BUFFER = 10

COMPLETION = ctypes.CFUNCTYPE(None, c_void_p, c_void_p)
LOG_ROUTINE = ctypes.CFUNCTYPE(None, c_void_p, c_int32, c_void_p)


class Binding:
    def __init__(self, lib: ctypes.CDLL, log_levels: Any) -> None:
        self.lib = lib
        self.storage: dict[int, Any] = {}
        self.log_levels = log_levels
        for name in ("GetDisplayName",):
            getattr(lib, f"VESSARUNTIME_{name}").argtypes = [c_void_p, c_void_p, POINTER(c_int32)]
            getattr(lib, f"VESSARUNTIME_{name}").restype = c_void_p
        lib.VESSARUNTIME_GetStatus.argtypes = [c_void_p, POINTER(c_int32)]
        lib.VESSARUNTIME_GetStatus.restype = c_void_p
        lib.VESSARUNTIME_ReleaseError.argtypes = [c_void_p]
        lib.VESSARUNTIME_ReleaseError.restype = c_void_p
        for name in ("ReleaseReadAccountResult", "ReleaseAsyncHandle", "ReleaseAccount",
                     "ReleaseLogCallbackHandle"):
            getattr(lib, f"VESSARUNTIME_{name}").argtypes = [c_void_p]
            getattr(lib, f"VESSARUNTIME_{name}").restype = c_void_p
        lib.VESSARUNTIME_ReadAccountByIdAsync.argtypes = [c_void_p, c_void_p, COMPLETION, c_void_p,
                                                          POINTER(c_void_p)]
        lib.VESSARUNTIME_ReadAccountByIdAsync.restype = c_void_p
        lib.VESSARUNTIME_RegisterLogCallback.argtypes = [LOG_ROUTINE, c_void_p, POINTER(c_void_p)]
        lib.VESSARUNTIME_RegisterLogCallback.restype = c_void_p
        self._completion = COMPLETION(self._complete_read_account)
        self._log_routine = LOG_ROUTINE(self._log_line)
        binding = self

        class Record:
            def __init__(self, callback: Any) -> None:
                self.callback = callback
                self.id = id(self)
                binding.storage[self.id] = self

        class Handle:
            release = lib.VESSARUNTIME_ReleaseAsyncHandle

            def __init__(self, handle: int | None) -> None:
                self.handle = handle

            def __del__(self) -> None:
                if self.handle:
                    self.release(self.handle)

        class ReadAccountResult(Handle):
            release = lib.VESSARUNTIME_ReleaseReadAccountResult

        class Account(Handle):
            release = lib.VESSARUNTIME_ReleaseAccount
            read = lib.VESSARUNTIME_GetDisplayName

            def get_display_name(self) -> str | None:
                size = c_int32(0)
                error = self.read(self.handle, None, byref(size))
                if error:
                    status = c_int32(0)
                    failed = lib.VESSARUNTIME_GetStatus(error, byref(status))
                    lib.VESSARUNTIME_ReleaseError(error)
                    if failed or status.value != INSUFFICIENT_BUFFER:
                        raise RuntimeError("the runtime refused")
                if size.value == 0:
                    return None
                buffer = (c_uint16 * size.value)()
                if self.read(self.handle, buffer, byref(size)):
                    raise RuntimeError("the runtime refused")
                return bytes(buffer)[: (size.value - 1) * 2].decode("utf-16-le")

        self.Record = Record
        self.AsyncHandle = Handle
        self.ReadAccountResult = ReadAccountResult
        self.Account = Account

    def read_account_by_id(self, accountid: str, correlationId: str, py_callback: Any) -> Any:
        if type(accountid) is not str or type(correlationId) is not str:
            raise TypeError("incorrect type")
        if py_callback is None:
            raise TypeError("py_callback must not be None")
        record = self.Record(py_callback)
        account_id = accountid.encode("utf-16-le") + b"\0\0"
        correlation = correlationId.encode("utf-16-le") + b"\0\0"
        async_handle = c_void_p()
        if self.lib.VESSARUNTIME_ReadAccountByIdAsync(account_id, correlation, self._completion,
                                                      record.id, byref(async_handle)):
            raise RuntimeError("the runtime refused")
        return self.AsyncHandle(async_handle.value)

    def _complete_read_account(self, result: int, context: int) -> None:
        record = self.storage.pop(context, None)
        if record:
            record.callback(self.ReadAccountResult(result))

    def register_logging_callback(self, py_callback: Any) -> int:
        record = self.Record(py_callback)
        handle = c_void_p()
        if self.lib.VESSARUNTIME_RegisterLogCallback(self._log_routine, record.id, byref(handle)):
            raise RuntimeError("the runtime refused")
        return handle.value or 0

    def release_logging_callback(self, handle: int) -> None:
        self.lib.VESSARUNTIME_ReleaseLogCallbackHandle(handle)

    def _log_line(self, message: int, level: int, context: int) -> None:
        units = ctypes.cast(message, POINTER(c_uint16))
        length = 0
        while units[length]:
            length += 1
        text = ctypes.string_at(message, length * 2).decode("utf-16-le", "replace")
        record = self.storage.get(context)
        if record:
            record.callback(text, self.log_levels(level))
