"""A test that runs past its time limit ends the run, with its node id written before the stack
of every thread.

The timer is faulthandler's: a native thread that dumps the stacks and ends the process even
while the hung test holds the interpreter lock, which a timer written in Python would wait for.
faulthandler writes only its own text, so it writes into a pipe read by a small relay process that
is told the node id of each test as the test starts: when a dump arrives, the relay names that
test first, then passes the dump on to stderr. The limit is the ini value `test_time_limit`
(seconds, 0 for none) and covers the test's setup, call and teardown together. Under pytest-xdist
each worker has its own timer and relay.

Run as a program, this file is the relay.
"""

import faulthandler
import os
import subprocess
import sys
import time

import pytest

_limit = pytest.StashKey()  # seconds
_stderr = pytest.StashKey()  # the real stderr, kept before any test captures it
_relay = pytest.StashKey()  # (relay process, write end of its pipe), made for the first test
_deadline = pytest.StashKey()  # of the running test, on the monotonic clock


def pytest_addoption(parser):
    parser.addini("test_time_limit", "seconds a test may take (setup, call and teardown); past "
                  "them its node id and every thread's stack are written and the run ends "
                  "(0: no limit)", default="0")


def pytest_configure(config):
    limit = float(config.getini("test_time_limit") or 0)
    if limit > 0:
        config.stash[_limit] = limit
        config.stash[_stderr] = os.dup(2)


def pytest_unconfigure(config):
    faulthandler.cancel_dump_traceback_later()
    if _relay in config.stash:
        relay, pipe = config.stash[_relay]
        os.close(pipe)  # the relay ends on the end of its input
        relay.wait(timeout=10)
    if _stderr in config.stash:
        os.close(config.stash[_stderr])


def _pipe(config):
    if _relay not in config.stash:
        read, write = os.pipe()
        # A session of its own, so that an interrupt typed at the terminal does not end it
        # before it has passed on what it was given.
        relay = subprocess.Popen([sys.executable, os.path.abspath(__file__),
                                  f"{config.stash[_limit]:g}"], stdin=read,
                                 stdout=config.stash[_stderr], stderr=config.stash[_stderr],
                                 start_new_session=True)
        os.close(read)
        config.stash[_relay] = relay, write
    return config.stash[_relay][1]


@pytest.hookimpl(wrapper=True, tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    config = item.config
    if _limit not in config.stash:
        return (yield)
    os.write(_pipe(config), b"\0" + item.nodeid.encode("utf-8", "backslashreplace") + b"\n")
    config.stash[_deadline] = time.monotonic() + config.stash[_limit]
    try:
        return (yield)
    finally:
        faulthandler.cancel_dump_traceback_later()


# Armed again as each phase begins, for what is left of the test's time: pytest's faulthandler
# plugin cancels the timer whenever a phase fails, and the teardown after a failure must still be
# timed.
def _arm(item):
    config = item.config
    if _deadline in config.stash:
        left = max(config.stash[_deadline] - time.monotonic(), 0.001)
        faulthandler.dump_traceback_later(left, file=config.stash[_relay][1], exit=True)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    _arm(item)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_call(item):
    _arm(item)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_teardown(item):
    _arm(item)


def relay(limit):
    """Passes what arrives on stdin to stderr; a line that starts with a NUL names the test
    running from then on, and the first line of a dump is preceded by that name."""
    running, named = b"", False
    for line in sys.stdin.buffer:
        if line.startswith(b"\0"):
            running, named = line[1:].rstrip(b"\n"), False
            continue
        if not named:
            sys.stderr.buffer.write(b"\n*** %s ran past its time limit of %s s; every "
                                    b"thread's stack follows, then the run ends\n"
                                    % (running, limit.encode()))
            named = True
        sys.stderr.buffer.write(line)
        sys.stderr.buffer.flush()


if __name__ == "__main__":
    relay(sys.argv[1])
