# `make example` builds, installs and runs the quick start; `make test` runs every test.
PYTHON ?= python3
VENV ?= .venv
# Every target runs PY: PYTHON itself when it already runs in a virtual environment (an
# active one, say), else the project's environment that setup makes from it, since a
# system's interpreter (Debian's) refuses pip's installs.
PY := $(or $(shell $(PYTHON) -c 'import sys; sys.prefix != sys.base_prefix and \
  print(sys.executable)' 2>/dev/null),$(abspath $(VENV))/bin/python)
BUILD ?= build
JOBS ?= $(shell nproc)
BENCH ?= ON

.PHONY: setup build test test-build test-cpp test-asan test-python test-python-build \
  test-fresh-install install example bench clean

setup:
	PYTHON=$(PYTHON) PY=$(PY) VENV=$(abspath $(VENV)) bash scripts/setup.sh

# Configuring may fetch SimSIMD with PY's pip (cmake/SimSimd.cmake): the interpreter setup
# provided, not whichever python3 CMake finds first.
build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMIX_BUILD_BENCH=$(BENCH) \
	  -DPython_EXECUTABLE=$(PY) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

# What the tests need: no benchmarks (`make build` turns them back on), and the module built
# from the same libraries as the C++ tests instead of compiled again by pip.
test-build:
	$(MAKE) build BENCH=OFF CMAKE_ARGS=-DTAMIX_BUILD_PYTHON=ON

test-cpp: test-build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The C++ tests again under AddressSanitizer and UBSan.
test-asan:
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMIX_SANITIZE=ON \
	  -DTAMIX_BUILD_BENCH=OFF -DPython_EXECUTABLE=$(PY)
	cmake --build $(BUILD)-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS)

# A build directory kept between installs makes reinstalls incremental; a plain `pip install .`
# builds in a temporary one.
install:
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation \
	  --config-settings=build-dir=$(BUILD)/python-{wheel_tag} .

test-python: install
	$(PY) -m pytest -q tests/python

# The Python tests against the test build's module; `make test-python` tests the installed one.
test-python-build: test-build
	PYTHONPATH=$(abspath $(BUILD)) $(PY) -m pytest -q tests/python

# A clean clone of the committed HEAD installed into a new venv with build isolation, the way
# the README promises `pip install .` works; then the quick start against it.
test-fresh-install:
	PYTHON=$(PY) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) bash scripts/fresh_install_check.sh

# The phases share nothing but the processor and the test build, so they run side by side;
# each one's output is printed whole when it ends, and any failure fails the whole.
test: setup
	$(MAKE) -j 4 --keep-going --output-sync=recurse test-asan test-cpp test-python-build \
	  test-fresh-install

example: setup install
	$(PY) examples/quickstart.py

bench: setup build install
	$(PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt

clean:
	rm -rf $(BUILD) $(BUILD)-asan
