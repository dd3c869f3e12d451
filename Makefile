# The commands a person types. Every target sets up what it needs itself.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check -q
JOBS   ?= 2
CPP_BUILD := build/cpp
SAN_BUILD := build/sanitize

BUILD_DEPS := "scikit-build-core>=0.10" "pybind11>=3,<4" "numpy>=2"
TEST_DEPS  := "pytest>=8" "hypothesis>=6" "scipy>=1.11" "matplotlib>=3.8" "opencv-python-headless>=4.8"
DEMO_DEPS  := "scipy>=1.11" "matplotlib>=3.8"
BENCH_DEPS := "scipy>=1.11" "opencv-python-headless>=4.8"

SOURCES := $(wildcard src/*.cpp src/*.hpp src/simd/*.cpp src/simd/*.hpp src/*.map stubs/*.pyi) CMakeLists.txt pyproject.toml

.PHONY: test demo bench venv build cpp-test py-test sanitize sanitize-threads fuzz clean gtest

$(PY):
	@py=$$(scripts/find-python312) || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)

$(VENV)/.build-deps: Makefile | $(PY)
	$(PIP) install $(BUILD_DEPS) $(TEST_DEPS)
	@touch $@

$(VENV)/.demo-deps: $(VENV)/.build-deps
	$(PIP) install $(DEMO_DEPS)
	@touch $@

$(VENV)/.bench-deps: $(VENV)/.build-deps
	$(PIP) install $(DEMO_DEPS) $(BENCH_DEPS)
	@touch $@

venv: $(VENV)/.build-deps

# Installs the extension into the venv; scikit-build-core keeps its build tree
# under build/ so a rebuild only recompiles what changed.
$(VENV)/.installed: $(VENV)/.build-deps $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps .
	@touch $@

build: $(VENV)/.installed

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  echo "GoogleTest headers missing: installing Debian's libgtest-dev"; \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && apt-get install -y -qq libgtest-dev; \
	  else sudo apt-get update -qq && sudo apt-get install -y -qq libgtest-dev; fi \
	  || { echo "error: could not install libgtest-dev (needs root or sudo)"; exit 1; }; \
	fi

cpp-test: gtest
	cmake -S . -B $(CPP_BUILD) -DKESTRINE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release > /dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

py-test: build
	$(PY) -m pytest

test: cpp-test py-test sanitize sanitize-threads

# The C++ tests and the whole pytest suite again, against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize).
sanitize: venv gtest
	JOBS=$(JOBS) PYTHON=$(PY) BUILD=$(SAN_BUILD) scripts/sanitize

# The threaded C++ tests against a ThreadSanitizer build (build/tsan).
sanitize-threads: gtest
	JOBS=$(JOBS) BUILD=build/tsan scripts/sanitize-threads

# A longer fuzzing campaign under the sanitizers. KESTRINE_FUZZ_EXAMPLES sets the
# examples per function (default 20000), KESTRINE_FUZZ_SEED another fixed seed.
fuzz: venv gtest
	KESTRINE_FUZZ_EXAMPLES=$${KESTRINE_FUZZ_EXAMPLES:-20000} JOBS=$(JOBS) PYTHON=$(PY) BUILD=$(SAN_BUILD) \
	  scripts/sanitize tests/python/test_fuzz.py --hypothesis-show-statistics

demo: build $(VENV)/.demo-deps
	$(PY) -m examples.demo

bench: build $(VENV)/.bench-deps
	$(PY) benchmarks/run.py

clean:
	rm -rf build $(VENV) *.egg-info
