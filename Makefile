# The commands a person types. Every target sets up what it needs itself.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV   := .venv
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip --disable-pip-version-check -q
JOBS   ?= 2
CPP_BUILD := build/cpp
SAN_BUILD := build/sanitize

# The venv's own CMake, CTest and Ninja (from PyPI): no system copy is assumed.
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest

SOURCES := $(wildcard src/*.cpp src/*.hpp src/simd/*.cpp src/simd/*.hpp src/*.map stubs/*.pyi) CMakeLists.txt pyproject.toml

.PHONY: test demo demo-images demo-sequence bench venv build cpp-test py-test sanitize \
	sanitize-threads test-aarch64 fuzz clean gtest

$(PY):
	@py=$$(scripts/find-python312) || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)

# One stamp per requirement group of pyproject.toml: "build" is the build
# system's, the others are its optional-dependency groups.
$(VENV)/.deps-%: pyproject.toml scripts/requirements | $(PY)
	$(PY) scripts/requirements $* > $@.txt
	$(PIP) install -r $@.txt
	@touch $@

venv: $(VENV)/.deps-build $(VENV)/.deps-test $(VENV)/.deps-cluster

# Installs the extension into the venv; scikit-build-core keeps its build tree
# under build/ so a rebuild only recompiles what changed.
$(VENV)/.installed: $(VENV)/.deps-build $(SOURCES)
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

cpp-test: gtest $(VENV)/.deps-build
	$(CMAKE) -S . -B $(CPP_BUILD) -DKESTRINE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release > /dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)
	$(CTEST) --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

py-test: build venv
	$(PY) -m pytest

test: cpp-test py-test sanitize sanitize-threads

# The C++ tests and the whole pytest suite again, against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (build/sanitize).
sanitize: venv gtest
	JOBS=$(JOBS) PYTHON=$(PY) BUILD=$(SAN_BUILD) scripts/sanitize

# The threaded C++ tests against a ThreadSanitizer build (build/tsan).
sanitize-threads: gtest $(VENV)/.deps-build
	JOBS=$(JOBS) BUILD=build/tsan CMAKE=$(CMAKE) scripts/sanitize-threads

# The C++ tests cross-built for aarch64 and run under qemu (the portable path).
test-aarch64: $(VENV)/.deps-build
	CMAKE=$(CMAKE) JOBS=$(JOBS) scripts/test-aarch64

# A longer fuzzing campaign under the sanitizers. KESTRINE_FUZZ_EXAMPLES sets the
# examples per function (default 20000), KESTRINE_FUZZ_SEED another fixed seed.
fuzz: venv gtest
	KESTRINE_FUZZ_EXAMPLES=$${KESTRINE_FUZZ_EXAMPLES:-20000} JOBS=$(JOBS) PYTHON=$(PY) BUILD=$(SAN_BUILD) \
	  scripts/sanitize tests/python/test_fuzz.py --hypothesis-show-statistics

demo: build $(VENV)/.deps-demo
	$(PY) -m examples.demo

# Speckle images rendered per camera, 2-D DIC on each, then the module.
demo-images: build $(VENV)/.deps-demo
	$(PY) -m examples.images

# A load sequence, one task per frame, on a Dask cluster (an embedded one by
# default; SCHEDULER=tcp://host:8786 uses an existing one).
demo-sequence: build $(VENV)/.deps-demo $(VENV)/.deps-cluster
	$(PY) -m examples.sequence $(if $(SCHEDULER),--scheduler $(SCHEDULER))

# Per-instruction-set kernel timings (C++), then the module against its baselines.
bench: build $(VENV)/.deps-bench gtest
	$(CMAKE) -S . -B $(CPP_BUILD) -DKESTRINE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release > /dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS) --target kernel_bench
	$(CPP_BUILD)/kernel_bench 1e5
	$(PY) benchmarks/run.py

clean:
	rm -rf build $(VENV) *.egg-info
