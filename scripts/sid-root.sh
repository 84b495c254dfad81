# Sourced by scripts/provide-pythons and scripts/sid-run: where the Debian sid root with the
# CPythons this machine's own distribution lacks is kept, and what goes into it. It lives outside
# the clone so every clone and worktree of the project shares one.
SID_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/pyvessaruntime
SID_ROOT=$SID_CACHE/sid-root
SID_LOCK=$SID_CACHE/sid-root.lock
# The codename, not "unstable": a later rename of the alias cannot move the root elsewhere.
SID_SUITE=sid
SID_MIRROR=http://deb.debian.org/debian
# The CPythons the root serves; scripts/test-python sends these versions into it (a trailing d:
# a debug build).
SID_PYTHONS="3.14 3.15 3.13d 3.14d"
# What the build and the suite need. The debug builds let the suite run on a CPython that checks
# reference counts and the interpreter lock's use.
SID_PACKAGES="g++ make cmake ca-certificates
  python3.14 python3.14-dev python3.14-venv python3.14-dbg
  python3.15 python3.15-dev python3.15-venv
  python3.13-dbg python3.13-dev python3.13-venv"
# The free-threaded CPython of scripts/provide-free-threaded, built from the archive's source.
FREE_THREADED_PREFIX=$SID_CACHE/python3.13t
FREE_THREADED_TSAN_PREFIX=$SID_CACHE/python3.13t-tsan
