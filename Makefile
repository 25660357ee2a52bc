# The README's commands: `make test`, `make demo`, `make lint`, `make sanitize`, `make fuzz`,
# `make bench`, `make stubs`. Another interpreter: `make test PYTHON=python3.13 VENV=.venv-3.13`.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
PYTEST_ARGS ?=

.PHONY: install test lint demo bench fuzz clang sanitize stubs clean

$(BIN)/python:
	@echo "Creating $(VENV) with $(PYTHON) and installing the build tools"
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q "scikit-build-core>=0.10" "nanobind==3.1.0"

# Build without isolation so that build/ is reused and a rebuild only compiles what changed;
# the tested build treats compiler warnings as errors.
install: $(BIN)/python
	@echo "Building norvox into $(VENV) (the first build compiles the 22 C++ modules: a minute or two)"
	$(BIN)/python -m pip install -q --no-build-isolation -C cmake.define.NORVOX_WERROR=ON '.[test]'

test: install
	$(BIN)/python -m pytest $(PYTEST_ARGS)

# The sources follow .clang-format (C++) and the ruff settings in pyproject.toml (Python).
lint: install
	git ls-files '*.cpp' '*.h' | xargs $(BIN)/clang-format --dry-run --Werror
	$(BIN)/ruff check .
	$(BIN)/ruff format --check .

# The type stubs of the C++ modules, regenerated from the built modules into src/ (the tests
# check that the committed ones are current).
stubs: install
	$(BIN)/python tools/generate_stubs.py

# The fleet jobs against the simulated database and mediator fleet.
demo: install
	$(BIN)/python -m sim.demo

# Every benchmark compares with a peer in the same run and prints ratios beside absolute times.
bench: install
	@for f in bench/bench_*.py; do echo "== $$f"; $(BIN)/python $$f || exit 1; done

# Bounded fuzz runs (FUZZ_SECONDS each) of the DRAV CSV reader and of the daily file-name rule,
# with atheris, against the native modules built by clang with coverage instrumentation and
# AddressSanitizer (own venv and build folder, both under build/): edges inside the native parser guide the
# inputs. clang comes from Debian's packages, installed here when missing; libFuzzer is
# atheris's, preloaded with the sanitizer runtime. Crash inputs land in build/fuzz/.
FUZZ_SECONDS ?= 30
FUZZ_VENV := build/fuzz-venv
FUZZ_BIN  := $(FUZZ_VENV)/bin
FUZZ_CXX  ?= clang++
FUZZ_FLAGS := -fsanitize=address,fuzzer-no-link
FUZZ_ENV   = LD_PRELOAD="$$($(FUZZ_BIN)/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
             ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=64

$(FUZZ_BIN)/python:
	$(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_BIN)/python -m pip install -q --upgrade pip
	$(FUZZ_BIN)/python -m pip install -q "scikit-build-core>=0.10" "nanobind==3.1.0" atheris

clang:
	@command -v $(FUZZ_CXX) >/dev/null || { apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null; }

fuzz: clang $(FUZZ_BIN)/python
	$(FUZZ_BIN)/python -m pip install -q --no-build-isolation -C build-dir=build/fuzz \
	    -C cmake.define.CMAKE_CXX_COMPILER=$(FUZZ_CXX) -C "cmake.define.CMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
	    -C "cmake.define.CMAKE_MODULE_LINKER_FLAGS=$(FUZZ_FLAGS)" .
	$(FUZZ_ENV) $(FUZZ_BIN)/python fuzz/fuzz_drav_csv.py --native --seconds $(FUZZ_SECONDS) --artifacts build/fuzz/
	$(FUZZ_ENV) $(FUZZ_BIN)/python fuzz/fuzz_daily_name.py --native --seconds $(FUZZ_SECONDS) --artifacts build/fuzz/

# The native modules built with AddressSanitizer and UndefinedBehaviorSanitizer (own venv and
# build folder). First the settings are checked (tools/sanitizer/check.py: a planted leak is
# reported, also beside a dynamic TLS block where old runtimes misread one). Then every test
# runs in this process under them, leaks checked at exit (other packages' leaks suppressed:
# tests/lsan.supp); a test is skipped where it starts another program
# (tests/sanitize_plugin.py), so any new in-process test joins by being collected. Then short
# seeded fuzz loops of both targets.
SAN_VENV := .venv-sanitize
SAN_BIN  := $(SAN_VENV)/bin
# libstdc++ is preloaded too, so the runtime's C++ exception hooks find what they wrap.
# intercept_tls_get_addr=0: the runtime of GCC up to 13 takes a dynamic TLS block whose address
# is 16 past a page start for an old glibc allocator's header and gives the leak check a range
# read out of its own chunk header, which kills the check at exit ("Tracer caught signal 11")
# on whichever machine the heap layout puts a block there. glibc allocates those blocks with
# malloc, so they are ordinary heap chunks to the leak check, and leaks are still found.
SAN_ENV   = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
            PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1:intercept_tls_get_addr=0 \
            LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
            UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

$(SAN_BIN)/python:
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_BIN)/python -m pip install -q --upgrade pip
	$(SAN_BIN)/python -m pip install -q "scikit-build-core>=0.10" "nanobind==3.1.0"

sanitize: $(SAN_BIN)/python
	$(SAN_BIN)/python -m pip install -q --no-build-isolation -C cmake.define.NORVOX_SANITIZE=ON \
	    -C build-dir=build/sanitize '.[test]'
	$(CC) -shared -fPIC -O1 -o build/sanitize/libtls_block.so tools/sanitizer/tls_block.c
	$(SAN_ENV) $(SAN_BIN)/python tools/sanitizer/check.py build/sanitize/libtls_block.so
	$(SAN_ENV) $(SAN_BIN)/python -m pytest -q -p no:cacheprovider -p tests.sanitize_plugin $(PYTEST_ARGS)
	$(SAN_ENV) $(SAN_BIN)/python fuzz/fuzz_drav_csv.py --mutate --seconds 15
	$(SAN_ENV) $(SAN_BIN)/python fuzz/fuzz_daily_name.py --mutate --seconds 5

clean:
	rm -rf build $(VENV) $(SAN_VENV) .venv-3.13
