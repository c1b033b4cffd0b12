# Entry points for developers and CI. `make test` does all set-up itself on a
# fresh machine: it creates .venv, installs the dependencies, builds and
# installs the package, then runs the C++ and the Python tests.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
TOOLS  := $(VENV)/.tools-installed
DEPS   := $(VENV)/.deps-installed
WHEELS := build/wheel
BUILD  ?= build/dev
PYTEST_ARGS ?=

.PHONY: test python-test native-test native-tools native-unit-test native-sanitizer-test fuzz wheel install dev dev-test bench clean

# The build tools of requirements-dev.txt come first: with them the package builds (and
# the native tests configure) while the other dependencies install, under make -j2 as
# `make test` runs.
BUILD_TOOLS = $(shell grep -E '^(pybind11|scikit-build-core|ninja|cmake|nlohmann-json)[<>=~ ]' requirements-dev.txt | cut -d' ' -f1)
$(TOOLS): requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(BIN)/python -m pip install --quiet $(foreach tool,$(BUILD_TOOLS),'$(tool)')
	touch $@

$(DEPS): $(TOOLS)
	$(BIN)/python -m pip install --quiet -r requirements-dev.txt
	touch $@

## wheel: build the package's wheel into build/wheel
wheel: $(TOOLS)
	rm -rf $(WHEELS)
	$(BIN)/python -m pip wheel --quiet --no-build-isolation --no-deps -w $(WHEELS) .

## install: build the package and install it into .venv
install: $(DEPS) wheel
	$(BIN)/python -m pip install --quiet --no-deps --force-reinstall $(WHEELS)/*.whl

## demo: the set-up of `make test`, then train the example detector on the embedded dataset
.PHONY: demo
DEMO_ARGS ?= --time 3
demo: install
	$(BIN)/kestrix train $(DEMO_ARGS)

## test: C++ unit tests of the native kernels and the Python tests
# Two jobs at a time: the package builds while its dependencies install, and the native
# tools' installation and builds overlap the Python tests. Each job's output is shown when
# it ends.
test:
	@$(MAKE) --no-print-directory -j2 --output-sync=target python-test native-test

# A command started with & by a non-interactive shell has Ctrl-C (SIGINT) ignored, and so would
# every process it starts: the tests of interrupted runs need the default back, so the
# background pass runs pytest through this restorer.
export RESTORE_SIGINT := import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_DFL); \
    os.execv(sys.executable, [sys.executable] + sys.argv[1:])

# The Python tests run twice: under Keras 3 and under tf-keras (TensorFlow's Keras 2), both
# at once (one pass keeps only about 1.2 cores busy: much of its time is spent in single-
# threaded Python and in the subprocesses of the command-line tests), each in its own
# temporary folder. The tf-keras pass's output follows the Keras 3 pass's.
python-test: install
	@mkdir -p build; \
	TF_USE_LEGACY_KERAS=1 $(BIN)/python -c "$$RESTORE_SIGINT" -m pytest --basetemp=build/pytest-tf-keras $(PYTEST_ARGS) \
	    > build/pytest-tf-keras.log 2>&1 & legacy=$$!; \
	trap 'kill $$legacy 2>/dev/null' INT TERM; \
	echo "== Python tests under Keras 3"; \
	$(BIN)/python -m pytest --basetemp=build/pytest-keras3 $(PYTEST_ARGS); keras3=$$?; \
	wait $$legacy; legacy_status=$$?; \
	echo "== Python tests under tf-keras (TF_USE_LEGACY_KERAS=1)"; cat build/pytest-tf-keras.log; \
	[ $$keras3 = 0 ] && [ $$legacy_status = 0 ]

# GoogleTest and Clang with its sanitizer runtime come from the system (Debian's libgtest-dev,
# clang, libclang-rt-dev); as root, whichever is missing is installed on demand, all in one
# apt-get run. Without them the native tests, or their sanitizer and fuzzing part, are
# skipped with a notice.
SANITIZER_PROBE := printf 'int main() { return 0; }\n' | clang++ -x c++ -fsanitize=address,undefined \
    -o build/.sanitizer-probe - 2>/dev/null
# The sanitizer build compiles and runs the same unit tests (and the fuzz targets), so the plain
# build runs only where Clang's sanitizer runtime is missing: one build of the tests, not two.
native-test: $(TOOLS) native-tools
	@mkdir -p build; \
	if [ -f /usr/include/gtest/gtest.h ] && $(SANITIZER_PROBE); then \
	    rm -f build/.sanitizer-probe; $(MAKE) --no-print-directory native-sanitizer-test; \
	else \
	    rm -f build/.sanitizer-probe; $(MAKE) --no-print-directory native-unit-test native-sanitizer-test; \
	fi

native-tools:
	@mkdir -p build; missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="libgtest-dev"; \
	$(SANITIZER_PROBE) || missing="$$missing clang libclang-rt-dev"; \
	rm -f build/.sanitizer-probe; \
	if [ -n "$$missing" ] && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing$$(printf ' %s' $$missing)"; \
	    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	fi

native-unit-test: $(TOOLS) native-tools
	@if [ -f /usr/include/gtest/gtest.h ]; then \
	    $(BIN)/cmake -S tests/native -B build/native-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$(abspath $(BIN))/python >/dev/null && \
	    $(BIN)/cmake --build build/native-tests && \
	    $(BIN)/ctest --test-dir build/native-tests -j2 --output-on-failure; \
	else \
	    echo "NOTICE: GoogleTest not found (install libgtest-dev); C++ unit tests skipped"; \
	fi

# The same tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# built with Clang in build/native-asan together with the fuzz targets of
# tests/fuzz (libFuzzer), each run for FUZZ_TEST_SECONDS.
FUZZ_TEST_SECONDS ?= 4
FUZZ_SECONDS ?= 300
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Builds build/native-asan; the shell variable `sanitized` tells whether it could.
define sanitizer_build
	mkdir -p build; \
	sanitized=no; \
	if [ ! -f /usr/include/gtest/gtest.h ]; then \
	    echo "NOTICE: GoogleTest not found (install libgtest-dev); sanitizer tests and fuzzing skipped"; \
	elif ! $(SANITIZER_PROBE); then \
	    echo "NOTICE: Clang with its sanitizer runtime not found (install clang and libclang-rt-dev); sanitizer tests and fuzzing skipped"; \
	else \
	    CC=clang CXX=clang++ $(BIN)/cmake -S tests/native -B build/native-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(BIN))/python \
	        -DKESTRIX_SANITIZE=ON -DKESTRIX_FUZZ_SECONDS=$(1) >/dev/null && \
	    $(BIN)/cmake --build build/native-asan && sanitized=yes || exit 1; \
	fi; \
	rm -f build/.sanitizer-probe
endef

native-sanitizer-test: $(TOOLS) native-tools
	@$(call sanitizer_build,$(FUZZ_TEST_SECONDS)); \
	if [ $$sanitized = yes ]; then \
	    $(SANITIZER_ENV) $(BIN)/ctest --test-dir build/native-asan -j2 --output-on-failure; \
	fi

## fuzz: every fuzz target of tests/fuzz for FUZZ_SECONDS (default 300) each, two at a time
fuzz: $(TOOLS) native-tools
	@$(call sanitizer_build,$(FUZZ_SECONDS)); \
	if [ $$sanitized = yes ]; then \
	    $(SANITIZER_ENV) $(BIN)/ctest --test-dir build/native-asan -L fuzz -j2 --output-on-failure; \
	fi

## dev: incremental in-place build (modules land under src/); TARGET=<target> builds one module
dev: $(DEPS)
	$(BIN)/cmake -S . -B $(BUILD) -G Ninja -DKESTRIX_INPLACE=ON \
	    -DPython_EXECUTABLE=$(abspath $(BIN)/python) \
	    -Dpybind11_DIR=$$($(BIN)/python -m pybind11 --cmakedir) >/dev/null
	$(BIN)/cmake --build $(BUILD) $(if $(TARGET),--target $(TARGET))

## dev-test: tests against the in-place build, e.g. make dev-test PYTEST_ARGS=tests/python/test_x.py
dev-test: dev
	PYTHONPATH=src $(BIN)/python -m pytest $(PYTEST_ARGS)

## bench: every benchmark under bench/, against the installed package
bench: install
	@for script in bench/*.py; do echo "== $$script"; $(BIN)/python $$script || exit 1; done

clean:
	rm -rf build
	find src/orvane -name "*.so" -delete
