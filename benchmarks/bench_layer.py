"""What applications call: the typed layer (`Client`, `AsyncClient`, `log_to`) against its floor,
the same native calls made by a plain function of the benchmark.

- Blocking client, completion inline: `Client.acquire_token_silently(account, scopes)`. Floor: a
  new `VESSARuntimeAuthParameters` with the scopes, the start, every getter the layer reads
  (once each, in the callback), the values handed back through a `concurrent.futures.Future`.
- Async client, 500 concurrent: 500 tasks of `AsyncClient.acquire_token_silently` started, then
  completed back to back by one native thread Python has never seen; timed from the first start
  to the last result. Floor: 500 tasks of a coroutine that makes the same native calls and
  awaits an asyncio future that the callback resolves with `call_soon_threadsafe`. Both sides
  pay for their tasks, which the application would make either way.
- `log_to`: lines from a native thread to an enabled logger (its handler counts the records).
  Floor: `register_logging_callback` with a callable that logs each line at the mapped level,
  with the same ``runtime_level`` attribute the routing gives each record.

Every getter the minimal runtime answers returns one JSON object text, so the claims, the
additional fields and the telemetry parse as they would from a real runtime. Run by
`make bench`, or alone: `.venv-bench/bin/python -P benchmarks/bench_layer.py [count] [rounds]`
"""

import asyncio
import concurrent.futures
import ctypes
import gc
import logging
import sys
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))  # -P leaves the script's folder off the path
import harness  # noqa: E402

harness.run_in_minimal_runtime()

import pyvessaruntime as vrt  # noqa: E402
import pyvessaruntime.pyvessaruntime as m  # noqa: E402

CLIENT_ID = "client-id"
AUTHORITY = "https://authority.example.test/common"
SCOPES = ["user.read", "mail.read"]
TEXT = '{"name": "Benchmark User", "tid": "0123"}'
CONCURRENT = 500
LOG_LEVELS = {m.LogLevel.TRACE: logging.DEBUG, m.LogLevel.DEBUG: logging.DEBUG,
              m.LogLevel.INFO: logging.INFO, m.LogLevel.WARNING: logging.WARNING,
              m.LogLevel.ERROR: logging.ERROR, m.LogLevel.FATAL: logging.CRITICAL}


def read_everything(result):
    """Every getter the layer reads, once: the floor's share of reading a result."""
    error = result.get_error()
    if error is not None:
        raise RuntimeError("the minimal runtime answered an error")
    account = result.get_account()
    return (result.get_access_token(), result.get_authorization_header(),
            result.get_access_token_expiry_time(), result.get_granted_scopes(),
            result.get_id_token(), result.get_raw_id_token(), result.get_telemetry_data(),
            result.is_pop_authorization(),
            (account.get_account_id(), account.get_home_account_id(), account.get_environment(),
             account.get_realm(), account.get_local_account_id(), account.get_user_name(),
             account.get_given_name(), account.get_family_name(), account.get_middle_name(),
             account.get_display_name(), account.get_additional_fields_json(),
             account.get_home_environment(), account.get_client_info(), account))


def floor_params():
    params = m.VESSARuntimeAuthParameters(CLIENT_ID, AUTHORITY)
    params.set_requested_scopes(SCOPES)
    return params


def floor_blocking(native_account):
    future = concurrent.futures.Future()

    def callback(result):
        future.set_result(read_everything(result))

    m.acquire_token_silently(floor_params(), "correlation-id", native_account, callback)
    return future.result()


async def floor_async(native_account):
    loop = asyncio.get_running_loop()
    waiter = loop.create_future()

    def callback(result):
        loop.call_soon_threadsafe(waiter.set_result, read_everything(result))

    m.acquire_token_silently(floor_params(), "correlation-id", native_account, callback)
    return await waiter


def blocking(count, call):
    def run():
        call()  # warm
        return harness.timed(lambda: [call() for _ in repeat(None, count)]) / count
    return run


def concurrent_on_native_thread(lib, rounds_per_measure, make):
    async def batch():
        lib.VESSABENCH_SetHoldCompletions(1)
        try:
            tasks = [asyncio.ensure_future(make()) for _ in repeat(None, CONCURRENT)]
            await asyncio.sleep(0)  # every task runs up to its wait: all operations started
            assert lib.VESSABENCH_HeldCount() == CONCURRENT
        finally:
            lib.VESSABENCH_SetHoldCompletions(0)
        lib.VESSABENCH_DeliverHeld()
        results = await asyncio.gather(*tasks)
        assert len(results) == CONCURRENT

    def run():
        async def measure():
            await batch()  # warm
            elapsed = 0.0
            for _ in range(rounds_per_measure):
                start = loop.time()
                await batch()
                elapsed += loop.time() - start
            return elapsed / (rounds_per_measure * CONCURRENT)
        return loop.run_until_complete(measure())

    loop = asyncio.new_event_loop()
    return run


class Counting(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.count = 0

    def emit(self, record):
        self.count += 1


def log_lines(lib, lines, logger, handler, register, release):
    def run():
        registration = register()
        handler.count = 0
        elapsed = harness.timed(lambda: lib.VESSABENCH_EmitLogs(lines))
        release(registration)
        assert handler.count == lines, handler.count
        return elapsed / lines
    return run


def check_balanced(lib):
    gc.collect()
    live = lib.VESSABENCH_LiveHandles()
    if live or m._callbackStorage:
        raise RuntimeError(f"{live} handles live, {len(m._callbackStorage)} records stored")


def main(count: int, rounds: int) -> None:
    lib = harness.runtime()
    units = TEXT.encode("utf-16-le")
    lib.VESSABENCH_SetText((ctypes.c_uint16 * len(TEXT)).from_buffer_copy(units), len(TEXT))
    vrt.start()
    try:
        client = vrt.Client(CLIENT_ID, AUTHORITY)
        account = client.read_account("account-id")
        # The runtime's account object the layer keeps beside the account's fields.
        native_account = vars(account).get("_native") or vars(account).get("native")
        variants = {
            "layer": blocking(count, lambda: client.acquire_token_silently(account, SCOPES)),
            "floor": blocking(count, lambda: floor_blocking(native_account)),
        }
        times = harness.compare(variants, rounds)
        harness.record("Client.acquire_token_silently, completion inline", times, 1.3,
                       subject="layer", unit="call")
        check_balanced(lib)

        async_client = vrt.AsyncClient(CLIENT_ID, AUTHORITY)
        batches = max(1, count // (10 * CONCURRENT))
        variants = {
            "layer": concurrent_on_native_thread(
                lib, batches, lambda: async_client.acquire_token_silently(account, SCOPES)),
            "floor": concurrent_on_native_thread(lib, batches,
                                                 lambda: floor_async(native_account)),
        }
        times = harness.compare(variants, rounds)
        harness.record(f"AsyncClient.acquire_token_silently, {CONCURRENT} concurrent, "
                       "completions on a native thread", times, 1.5, subject="layer",
                       unit="call")
        check_balanced(lib)

        logger = logging.getLogger("bench.runtime")
        logger.setLevel(logging.DEBUG)
        logger.propagate = False
        handler = Counting()
        logger.addHandler(handler)

        def floor_line(message, level):
            logger.log(LOG_LEVELS[level], "%s", message, extra={"runtime_level": level.value})

        lines = 2 * count
        variants = {
            "layer": log_lines(lib, lines, logger, handler, lambda: vrt.log_to(logger),
                               lambda routing: routing.close()),
            "floor": log_lines(lib, lines, logger, handler,
                               lambda: m.register_logging_callback(floor_line),
                               lambda registration: registration.release_logging_callback()),
        }
        times = harness.compare(variants, rounds)
        harness.record("log_to, lines from a native thread to an enabled logger", times, 1.1,
                       subject="layer", unit="line")
    finally:
        vrt.shutdown()
    check_balanced(lib)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10_000,
         int(sys.argv[2]) if len(sys.argv) > 2 else 7)
