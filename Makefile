# `make example` builds, installs and runs the quick start; `make test` runs every test.
PYTHON ?= python3
BUILD ?= build
JOBS ?= $(shell nproc)
BENCH ?= ON

.PHONY: setup build test test-build test-cpp test-asan test-python test-python-build \
  test-fresh-install install example bench clean

setup:
	PYTHON=$(PYTHON) bash scripts/setup.sh

build:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMIX_BUILD_BENCH=$(BENCH) \
	  $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

# What the tests need: no benchmarks (`make build` turns them back on), and the module built
# from the same libraries as the C++ tests instead of compiled again by pip.
test-build:
	$(MAKE) build BENCH=OFF CMAKE_ARGS="-DTAMIX_BUILD_PYTHON=ON \
	  -DPython_EXECUTABLE=$$($(PYTHON) -c 'import sys; print(sys.executable)')"

test-cpp: test-build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The C++ tests again under AddressSanitizer and UBSan.
test-asan:
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAMIX_SANITIZE=ON -DTAMIX_BUILD_BENCH=OFF
	cmake --build $(BUILD)-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS)

# A build directory kept between installs makes reinstalls incremental; a plain `pip install .`
# builds in a temporary one.
install:
	$(PYTHON) -m pip install -q --disable-pip-version-check --no-build-isolation \
	  -C build-dir=$(BUILD)/python-{wheel_tag} .

test-python: install
	$(PYTHON) -m pytest -q tests/python

# The Python tests against the test build's module; `make test-python` tests the installed one.
test-python-build: test-build
	PYTHONPATH=$(abspath $(BUILD)) $(PYTHON) -m pytest -q tests/python

# A clean clone of the committed HEAD installed into a new venv with build isolation, the way
# the README promises `pip install .` works; then the quick start against it.
test-fresh-install:
	PYTHON=$(PYTHON) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) bash scripts/fresh_install_check.sh

# The phases share nothing but the processor and the test build, so they run side by side;
# each one's output is printed whole when it ends, and any failure fails the whole.
test: setup
	$(MAKE) -j 4 --keep-going --output-sync=recurse test-asan test-cpp test-python-build \
	  test-fresh-install

example: setup install
	$(PYTHON) examples/quickstart.py

bench: setup build install
	$(PYTHON) -m pip install -q -r bench/requirements.txt

clean:
	rm -rf $(BUILD) $(BUILD)-asan
