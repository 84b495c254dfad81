# Sourced by scripts/dist, scripts/dist-check, scripts/smoke-linux and scripts/old-glibc-check:
# the CPythons the Linux wheels are built for, where each runs on this machine, each wheel's tags,
# and how pip installs from dist/ alone.
source scripts/sid-root.sh

# offline COMMAND...: runs a command with no pip configuration of this machine (indexes, local
# wheel folders), so that a pip it runs with --no-index finds only what it is given.
offline() {
  env $(env | sed -n 's/^\(PIP_[A-Z_]*\)=.*/-u \1/p') PIP_CONFIG_FILE=/dev/null "$@"
}

# wheel_python VERSION: sets `runner` to what runs a command where that CPython is (nothing, or
# scripts/sid-run) and `interpreter` to its path there; fails, saying what provides it, when this
# machine has none. 3.13t is the free-threaded build of scripts/provide-free-threaded.
wheel_python() {
  local version=$1
  runner=()
  if [[ $version == *t ]]; then
    interpreter=$FREE_THREADED_PREFIX/bin/python$version
    [ "$version" = 3.13t ] && [ -e "$FREE_THREADED_PREFIX/.complete" ] && return 0
    echo "no free-threaded CPython $version here (\`make free-threaded\` provides 3.13t)" >&2
    return 1
  fi
  interpreter=$(scripts/find-python "$version" 2>/dev/null) && return 0
  if [[ " $SID_PYTHONS " == *" $version "* ]] && [ -x "$SID_ROOT/usr/bin/python$version" ]; then
    runner=(scripts/sid-run)
    interpreter=/usr/bin/python$version
    return 0
  fi
  echo "no CPython $version here (\`make pythons\` provides $SID_PYTHONS)" >&2
  return 1
}

# wheel_tags VERSION: the interpreter and ABI tags of its wheels: cp313-cp313, cp313-cp313t.
wheel_tags() {
  local digits=${1//./}
  echo "cp${digits%t}-cp$digits"
}
