# The README's commands: `make test` and `make demo`; `make bench` for the benchmarks.
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
PYTEST_ARGS ?=

.PHONY: install test demo bench fuzz sanitize stubs clean

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q "scikit-build-core>=0.10" "nanobind==3.1.0"

# Build without isolation so that build/ is reused and a rebuild only compiles what changed;
# the tested build treats compiler warnings as errors.
install: $(BIN)/python
	$(BIN)/python -m pip install -q --no-build-isolation -C cmake.define.NORVOX_WERROR=ON '.[test]'

test: install
	$(BIN)/python -m pytest $(PYTEST_ARGS)

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

# Bounded fuzz run of the DRAV CSV reader: atheris when it installs, else a seeded mutation loop.
FUZZ_SECONDS ?= 30
fuzz: install
	-@$(BIN)/python -m pip install -q atheris >/dev/null 2>&1
	$(BIN)/python fuzz/fuzz_drav_csv.py --seconds $(FUZZ_SECONDS)

# The native modules built with AddressSanitizer and UndefinedBehaviorSanitizer (own venv and
# build folder); runs the DRAV tests and a short fuzz run with the sanitizer runtime preloaded.
SAN_VENV := .venv-sanitize
SAN_BIN  := $(SAN_VENV)/bin
# libstdc++ is preloaded too, so the runtime's C++ exception hooks find what they wrap.
SAN_ENV   = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
            PYTHONMALLOC=malloc \
            ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

$(SAN_BIN)/python:
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_BIN)/python -m pip install -q --upgrade pip
	$(SAN_BIN)/python -m pip install -q "scikit-build-core>=0.10" "nanobind==3.1.0"

sanitize: $(SAN_BIN)/python
	$(SAN_BIN)/python -m pip install -q --no-build-isolation -C cmake.define.NORVOX_SANITIZE=ON \
	    -C build-dir=build/sanitize '.[test]'
	$(SAN_ENV) $(SAN_BIN)/python -m pytest -q -p no:cacheprovider \
	    tests/test_drav_csv_record.py tests/test_drav_csv.py tests/test_drav_locator.py
	$(SAN_ENV) $(SAN_BIN)/python fuzz/fuzz_drav_csv.py --mutate --seconds 15

clean:
	rm -rf build $(VENV) $(SAN_VENV)
