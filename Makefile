# Entry points for developers and CI. `make test` does all set-up itself on a
# fresh machine: it creates .venv, installs the dependencies, builds and
# installs the package, then runs the C++ and the Python tests.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed
BUILD  ?= build/dev
PYTEST_ARGS ?=

.PHONY: test python-test native-test native-unit-test native-sanitizer-test fuzz install dev dev-test bench clean

$(DEPS): requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install --quiet --upgrade pip
	$(BIN)/python -m pip install --quiet -r requirements-dev.txt
	touch $@

## install: build the package and install it into .venv
install: $(DEPS)
	$(BIN)/python -m pip install --quiet --no-build-isolation --no-deps .

## demo: the set-up of `make test`, then train the example detector on the embedded dataset
.PHONY: demo
DEMO_ARGS ?=
demo: install
	$(BIN)/kestrix train $(DEMO_ARGS)

## test: C++ unit tests of the native kernels, then the Python tests
test: native-test python-test

# The Python tests run twice: under Keras 3, then under tf-keras (TensorFlow's Keras 2).
python-test: install
	$(BIN)/python -m pytest $(PYTEST_ARGS)
	TF_USE_LEGACY_KERAS=1 $(BIN)/python -m pytest $(PYTEST_ARGS)

# GoogleTest comes from the system (Debian's libgtest-dev); as root it is
# installed on demand. Without it the native tests are skipped with a notice.
native-test: native-unit-test native-sanitizer-test

native-unit-test: $(DEPS)
	@if [ ! -f /usr/include/gtest/gtest.h ] && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing GoogleTest (libgtest-dev)"; \
	    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	fi
	@if [ -f /usr/include/gtest/gtest.h ]; then \
	    $(BIN)/cmake -S tests/native -B build/native-tests -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null && \
	    $(BIN)/cmake --build build/native-tests && \
	    $(BIN)/ctest --test-dir build/native-tests --output-on-failure; \
	else \
	    echo "NOTICE: GoogleTest not found (install libgtest-dev); C++ unit tests skipped"; \
	fi

# The same tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# built with Clang in build/native-asan together with the fuzz targets of
# tests/fuzz (libFuzzer), each run for FUZZ_TEST_SECONDS. Clang and its
# sanitizer runtime come from Debian (clang, libclang-rt-dev), installed on
# demand as root; without them this part is skipped with a notice.
FUZZ_TEST_SECONDS ?= 4
FUZZ_SECONDS ?= 300
SANITIZER_ENV := ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Builds build/native-asan; the shell variable `sanitized` tells whether it could.
define sanitizer_build
	probe() { printf 'int main() { return 0; }\n' | clang++ -x c++ -fsanitize=address,undefined -o build/.sanitizer-probe - 2>/dev/null; }; \
	mkdir -p build; \
	if ! probe && [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
	    echo "Installing Clang and its sanitizer runtime (clang, libclang-rt-dev)"; \
	    apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null; \
	fi; \
	sanitized=no; \
	if [ ! -f /usr/include/gtest/gtest.h ]; then \
	    echo "NOTICE: GoogleTest not found (install libgtest-dev); sanitizer tests and fuzzing skipped"; \
	elif ! probe; then \
	    echo "NOTICE: Clang with its sanitizer runtime not found (install clang and libclang-rt-dev); sanitizer tests and fuzzing skipped"; \
	else \
	    CC=clang CXX=clang++ $(BIN)/cmake -S tests/native -B build/native-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	        -DKESTRIX_SANITIZE=ON -DKESTRIX_FUZZ_SECONDS=$(1) >/dev/null && \
	    $(BIN)/cmake --build build/native-asan && sanitized=yes || exit 1; \
	fi; \
	rm -f build/.sanitizer-probe
endef

native-sanitizer-test: $(DEPS)
	@$(call sanitizer_build,$(FUZZ_TEST_SECONDS)); \
	if [ $$sanitized = yes ]; then \
	    $(SANITIZER_ENV) $(BIN)/ctest --test-dir build/native-asan -j2 --output-on-failure; \
	fi

## fuzz: every fuzz target of tests/fuzz for FUZZ_SECONDS (default 300) each, two at a time
fuzz: $(DEPS)
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
	rm -rf build src/orvane/**/*.so
