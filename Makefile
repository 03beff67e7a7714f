# Every target installs what it is missing, so each works on a fresh clone.
#   make demo            mask the bundled sample
#   make test            build, then run the C++ and Python tests (CPython 3.9)
#   make test PY=3.13    the same on another CPython from pyenv
#   make test-asan / test-tsan, bench-kernel, bench-pipeline, bench-e2e

PY ?= 3.9
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON_BASE := $(or $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(PY).*/bin/python$(PY)))),$(shell command -v python$(PY)))

ifeq ($(PY),3.9)
VENV := .venv
PY_PACKAGES := pyarrow==21.0.0 "pandas>=2.2,<3" pytest scikit-build-core
else
VENV := .venv-$(PY)
# The newest pyarrow and pandas for that interpreter.
PY_PACKAGES := pyarrow pandas pytest scikit-build-core
endif
# For the Dask example and its test (which is skipped where they are missing);
# 2024.8 is the last release for CPython 3.9.
ifeq ($(PY),3.9)
PY_PACKAGES += "dask[dataframe]==2024.8.0" distributed==2024.8.0
endif
VPY := $(CURDIR)/$(VENV)/bin/python
BUILD := build/py$(PY)
CMAKE_ARGS := -G Ninja -DQM_PYTHON=$(VPY) -DCMAKE_BUILD_TYPE=Release
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: setup system-packages venv build test test-cpp test-python demo \
        test-asan test-tsan bench-kernel bench-pipeline bench-e2e clean

setup: system-packages venv

# Debian packages, installed only when their files are missing.
system-packages:
	@missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	[ -f /usr/include/openssl/hmac.h ] || missing="$$missing libssl-dev"; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v ninja >/dev/null || missing="$$missing ninja-build"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# Redone when the Makefile (and so the package list) changes.
$(VENV)/.installed: Makefile
	@[ -n "$(PYTHON_BASE)" ] || { echo "no CPython $(PY) found (pyenv or PATH)"; exit 1; }
	$(PYTHON_BASE) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q --upgrade $(PY_PACKAGES)
	@# A replaced pyarrow leaves its old library symlinks dangling, and
	@# pyarrow.create_library_symlinks() then fails on them.
	find $(VENV) -xtype l -name 'lib*.so*' -delete
	touch $@

venv: $(VENV)/.installed

# Configured on every run (about a second) so a build dir made with other
# options picks up the module.
build: setup
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DQM_BUILD_PYMODULE=ON
	cmake --build $(BUILD)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j2

# The module is imported straight from the build tree.
MODULE_PATH := PYTHONPATH=$(CURDIR)/$(BUILD)/src/py_module

test-python: build
	$(MODULE_PATH) $(VPY) -m pytest -q tests/python

test: test-cpp test-python

demo: build
	$(MODULE_PATH) $(VPY) examples/demo.py

# The cluster's worker processes inherit PYTHONPATH and so find the module.
.PHONY: demo-dask
demo-dask: build
	$(MODULE_PATH) $(VPY) examples/dask_mask.py --out $(CURDIR)/$(BUILD)/dask_masked

test-asan: setup
	cmake -S . -B build/asan $(CMAKE_ARGS) -DQM_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/asan
	cd build/asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2

test-tsan: setup
	cmake -S . -B build/tsan $(CMAKE_ARGS) -DQM_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/tsan
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2

bench-kernel: build
	$(BUILD)/bench/hash_kernel_bench

bench-pipeline: build
	bench/pipeline_scaling.sh $(BUILD)/bench/pipeline_bench

bench-e2e: build
	$(MODULE_PATH) $(VPY) bench/e2e_bench.py

clean:
	rm -rf build
