"""How the emulator's work grows with what a test gives it: scenario documents of many accounts,
and an account asked for ever new scopes (its token cache). Both must grow linearly (loading)
or not at all (a cache call, memory); the test suite only checks them against generous bounds.

Against the emulator itself, not the minimal runtime; not part of `make bench`. Run it as
`.venv/bin/python -P benchmarks/emulator_scale.py`.
"""

import resource
import time

import pyvessaruntime as vrt
from pyvessaruntime import emulator


def rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def load(accounts: int) -> float:
    emulator.reset()
    document = {"accounts": [{"account_id": f"id-{i}", "user_name": f"user{i}@example.test"}
                             for i in range(accounts)]}
    started = time.perf_counter()
    emulator.load_scenario(document)
    return time.perf_counter() - started


def token_cache(requests: int, window: int = 4000) -> tuple[float, float, float]:
    """Seconds per call for the first and the last `window` distinct requests, and peak RSS."""
    emulator.reset()
    with vrt.running():
        client = vrt.Client("bench", "https://login.example.test/t")
        account = client.sign_in_interactively(["user.read"]).account
        timings = []
        for i in range(requests):
            started = time.perf_counter()
            client.acquire_token_silently(account, [f"scope.{i}"])
            timings.append(time.perf_counter() - started)
    first = sum(timings[:window]) / window
    last = sum(timings[-window:]) / window
    return first, last, rss_mb()


def main() -> None:
    for accounts in (5_000, 20_000, 80_000):
        seconds = load(accounts)
        print(f"scenario of {accounts:>6} accounts: {seconds:6.2f} s "
              f"({seconds / accounts * 1e6:5.1f} us per account)")
    first, last, rss = token_cache(40_000)
    print(f"40,000 distinct token requests: first 4,000 {first * 1e6:.0f} us per call, last 4,000 "
          f"{last * 1e6:.0f} us per call ({last / first:.2f}x), peak RSS {rss:.0f} MB")
    emulator.reset()


if __name__ == "__main__":
    main()
