# Sourced by the scripts that make and use the cached roots and CPythons: where the Debian sid
# root with the CPythons this machine's own distribution lacks is kept, and what goes into it;
# likewise the free-threaded CPython and the old-glibc root. They live outside the clone so every
# clone and worktree of the project shares them.
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
# The root of scripts/provide-old-glibc: an older Debian release, whose C library is older than
# any this project builds on, with CPythons built inside it from the archive's source (each in
# /opt/pythonVERSION there), where the Linux wheels are tried. bullseye (glibc 2.31) is the oldest
# release the mirror still serves.
OLD_GLIBC_ROOT=$SID_CACHE/old-glibc-root
OLD_GLIBC_SUITE=bullseye
OLD_GLIBC_PACKAGES="gcc make libc6-dev pkg-config xz-utils zlib1g-dev libffi-dev"
OLD_GLIBC_PYTHONS="3.13 3.13t"
