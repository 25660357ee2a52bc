# The README's commands: `make test` and `make demo`; `make bench` for the benchmarks.
PYTHON ?= python3
VENV   := .venv
BIN    := $(VENV)/bin
PYTEST_ARGS ?=

.PHONY: install test demo bench clean

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4"

# Build without isolation so that build/ is reused and a rebuild only compiles what changed.
install: $(BIN)/python
	$(BIN)/python -m pip install -q --no-build-isolation '.[test]'

test: install
	$(BIN)/python -m pytest $(PYTEST_ARGS)

# The fleet jobs against the simulated database and mediator fleet.
demo: install
	$(BIN)/python -m sim.demo

# Every benchmark compares with a peer in the same run and prints ratios beside absolute times.
bench: install
	@for f in bench/bench_*.py; do echo "== $$f"; $(BIN)/python $$f || exit 1; done

clean:
	rm -rf build $(VENV)
