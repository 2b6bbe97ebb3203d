# `make demo` and `make test` do all the set-up: a Python 3.13 virtual
# environment in .venv with the package and its test dependencies, and
# GoogleTest for the C++ unit tests.

VENV      := .venv
PY        := $(VENV)/bin/python
INSTALLED := $(VENV)/.installed
CPP_BUILD := build/cpp
SOURCES   := pyproject.toml CMakeLists.txt $(shell find src python tests/cpp -type f -not -name '*.pyc')

.PHONY: demo test test-python test-cpp bench clean

demo: $(INSTALLED)
	$(PY) -m tarvimo demo

test: test-cpp test-python

test-python: $(INSTALLED)
	$(PY) -m pytest

test-cpp:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; }
	cmake -S . -B $(CPP_BUILD) -DTARVIMO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(CPP_BUILD) -j 2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

# The benchmark suite: writes docs/benchmarks.md and docs/benchmarks.png.
# Options through BENCH_ARGS, e.g. make bench BENCH_ARGS=--quick
bench: $(INSTALLED)
	$(PY) bench/run.py $(BENCH_ARGS)

$(PY):
	python=$$(scripts/find-python313) && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(INSTALLED): $(PY) $(SOURCES)
	$(PY) -m pip install --quiet '.[test,plot]'
	touch $@

clean:
	rm -rf $(VENV) build
