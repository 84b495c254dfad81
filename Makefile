# Everything a fresh machine needs: `make demo` runs the demo, `make test` the whole test suite.
PYTHON313 := $(shell scripts/find-python)
VENV      ?= .venv
PY        := $(VENV)/bin/python
BUILD_DIR ?= build/{wheel_tag}
INSTALL   := $(PY) -m pip install --quiet --no-build-isolation -C build-dir=$(BUILD_DIR)

.PHONY: venv install demo test sanitize stress valgrind bench windows-check format clean

$(PY):
	$(PYTHON313) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "pytest>=8" "mypy>=2.4" "pyright>=1.1.400"

venv: $(PY)

# Warnings are errors here, so what CI builds is warning-free.
install: $(PY)
	$(INSTALL) -C cmake.define.PYVESSA_WERROR=ON .

demo: install
	$(PY) -P -m pyvessaruntime

# -P keeps the source tree off sys.path, so the tests exercise the installed package.
test: install
	cd tests && ../$(PY) -P -m pytest -q $(PYTEST_ARGS)

# The suite under AddressSanitizer and UndefinedBehaviorSanitizer (separate venv and build).
sanitize:
	$(MAKE) VENV=.venv-asan BUILD_DIR=build/asan .venv-asan/bin/python
	.venv-asan/bin/python -m pip install --quiet --no-build-isolation -C build-dir=build/asan \
	  -C cmake.define.PYVESSA_SANITIZE=ON -C cmake.build-type=Debug .
	cd tests && LD_PRELOAD=$$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	  ../.venv-asan/bin/python -P -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# The threaded completion test at fifty times its usual size.
stress: install
	cd tests && STRESS_SCALE=50 ../$(PY) -P -m pytest -q -p no:cacheprovider \
	  test_completion.py -k stress $(PYTEST_ARGS)

# The single-process tests under valgrind's memcheck (PYTHONMALLOC=malloc lets it see every
# allocation); the subprocess, exit-time and stress tests are left to `make sanitize`.
valgrind: install
	cd tests && PYTHONMALLOC=malloc valgrind -q --error-exitcode=99 --suppressions=valgrind.supp \
	  ../$(PY) -P -m pytest -q -p no:cacheprovider -k "not exit and not stress and not system_exit" \
	  test_marshal.py test_errors.py test_lifecycle.py test_account.py test_auth_parameters.py \
	  test_results.py test_async_handle.py test_completion.py test_logging.py test_client.py \
	  test_log_bridge.py $(PYTEST_ARGS)

# The benchmarks, in a venv of their own with matplotlib for the plot; the C compiler builds the
# minimal runtime and the floor extension they compare against (benchmarks/README.md).
BENCH_PY := .venv-bench/bin/python
$(BENCH_PY):
	$(PYTHON313) -m venv .venv-bench
	$(BENCH_PY) -m pip install --quiet --upgrade pip
	$(BENCH_PY) -m pip install --quiet "scikit-build-core>=0.10" matplotlib

bench: $(BENCH_PY)
	$(BENCH_PY) -m pip install --quiet --no-build-isolation -C build-dir=build/bench .
	rm -f build/bench-results.json
	for b in benchmarks/bench_*.py; do $(BENCH_PY) -P $$b || exit 1; done
	$(BENCH_PY) -P benchmarks/report.py

# The Windows build, cross-compiled here: installs the MinGW-w64 compiler from the distribution's
# packages when it is missing (refreshing the package lists only if the first attempt fails).
MINGW_CXX     := x86_64-w64-mingw32-g++
MINGW_INSTALL := DEBIAN_FRONTEND=noninteractive apt-get install -y -q g++-mingw-w64-x86-64
windows-check:
	command -v $(MINGW_CXX) >/dev/null 2>&1 || $(MINGW_INSTALL) || \
	  { apt-get update -q && $(MINGW_INSTALL); }
	scripts/check-windows-build

format: $(PY)
	$(PY) -m pip install --quiet clang-format
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h')

clean:
	rm -rf build $(VENV) .venv-asan .venv-bench
