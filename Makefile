# `make demo` and `make test` do all the set-up: a Python 3.13 virtual
# environment in .venv with the package and its test dependencies, and
# GoogleTest for the C++ unit tests. `make sanitize` and `make valgrind` run
# the tests under AddressSanitizer/UndefinedBehaviorSanitizer and valgrind.
# `make lint` checks the Python and C++ sources against ruff and clang-format,
# `make format` rewrites them to match. `make docs` builds the documentation
# site into build/docs.

VENV      := .venv
PY        := $(VENV)/bin/python
INSTALLED := $(VENV)/.installed
CPP_BUILD := build/cpp
SOURCES   := pyproject.toml CMakeLists.txt $(shell find src python tests/cpp -type f -not -name '*.pyc')

# The linters, at the versions pinned in the `lint` extra, are installed into
# .venv on their own: installing the extra would build the package.
LINTERS    := $(VENV)/.linters
LINT_PINS   = $(shell $(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"])')
PY_SOURCES := python tests bench examples scripts docs

# The documentation tools, pinned in the `docs` extra, are installed like the
# linters. The build treats warnings as errors and, being nitpicky, also every
# cross-reference that does not resolve; the validation study it runs is cached
# in build/docs-cache.
DOCS_TOOLS := $(VENV)/.docs-tools
DOCS_PINS   = $(shell $(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"])')
CPP_SOURCES = $(shell find src python tests/cpp -type f \( -name '*.cpp' -o -name '*.hpp' \))

# The sanitized extension is installed into its own directory, put in front of
# the virtual environment's site-packages by PYTHONPATH, so that the test
# dependencies are shared with .venv. The interpreter is not instrumented: the
# sanitizer runtimes are preloaded, and leak detection is left to the C++ tests
# (the interpreter keeps its own allocations until exit). Every report goes to
# a file under ASAN_LOGS, also from child processes, and any report fails the run.
ASAN_CPP_BUILD := build/asan-cpp
ASAN_SITE      := build/asan-site
ASAN_LOGS      := build/asan-logs
ASAN_RUNTIMES   = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
SANITIZE_CALLS ?= 100000
ASAN_ENV        = PYTHONPATH=$(ASAN_SITE) LD_PRELOAD="$(ASAN_RUNTIMES)" \
                  ASAN_OPTIONS=detect_leaks=0:log_path=$(CURDIR)/$(ASAN_LOGS)/asan \
                  UBSAN_OPTIONS=print_stacktrace=1:log_path=$(CURDIR)/$(ASAN_LOGS)/ubsan \
                  TARVIMO_FUZZ_CALLS=$(SANITIZE_CALLS) TARVIMO_SANITIZED=1

.PHONY: demo test test-python test-cpp gtest sanitize valgrind bench lint format docs docs-linkcheck clean

demo: $(INSTALLED)
	$(PY) -m tarvimo demo

test: test-cpp test-python

test-python: $(INSTALLED)
	$(PY) -m pytest

gtest:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; }

test-cpp: gtest
	cmake -S . -B $(CPP_BUILD) -DTARVIMO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	cmake --build $(CPP_BUILD) -j 2
	ctest --test-dir $(CPP_BUILD) --output-on-failure

sanitize: gtest $(INSTALLED)
	cmake -S . -B $(ASAN_CPP_BUILD) -DTARVIMO_BUILD_TESTS=ON -DTARVIMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(ASAN_CPP_BUILD) -j 2
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_CPP_BUILD) --output-on-failure
	rm -rf $(ASAN_SITE) $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	$(PY) -m pip install --quiet --no-deps --target $(ASAN_SITE) \
	  -C cmake.define.TARVIMO_SANITIZE=ON -C build-dir=build/asan-python .
	env $(ASAN_ENV) $(PY) -c 'import tarvimo._vardo as v; assert "$(ASAN_SITE)/" in v.__file__, v.__file__'
	status=0; env $(ASAN_ENV) $(PY) -m pytest || status=$$?; \
	if [ -n "$$(ls $(ASAN_LOGS))" ]; then cat $(ASAN_LOGS)/*; echo "sanitizer reports above"; status=1; fi; \
	exit $$status

valgrind: gtest
	@command -v valgrind >/dev/null 2>&1 || \
	  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; }
	cmake -S . -B build/valgrind -DTARVIMO_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/valgrind -j 2
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=all --show-leak-kinds=all \
	  build/valgrind/tests/cpp/core_tests

# The benchmark suite: writes docs/benchmarks.md and docs/benchmarks.png.
# Options through BENCH_ARGS, e.g. make bench BENCH_ARGS=--quick
bench: $(INSTALLED)
	$(PY) bench/run.py $(BENCH_ARGS)

lint: $(LINTERS)
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)
	$(VENV)/bin/clang-format --dry-run -Werror $(CPP_SOURCES)

# Import order is a ruff lint rule, so it is applied with --fix here too.
format: $(LINTERS)
	$(VENV)/bin/ruff check --select I --fix $(PY_SOURCES)
	$(VENV)/bin/ruff format $(PY_SOURCES)
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)

docs: $(INSTALLED) $(DOCS_TOOLS)
	$(VENV)/bin/sphinx-build -W --keep-going -n -q -b html docs build/docs
	@echo "The site is in build/docs/index.html"

# External links, which need the internet: not part of make docs or CI.
docs-linkcheck: $(INSTALLED) $(DOCS_TOOLS)
	$(VENV)/bin/sphinx-build -W --keep-going -n -q -b linkcheck docs build/docs-linkcheck

$(DOCS_TOOLS): $(PY) pyproject.toml
	$(PY) -m pip install --quiet $(foreach pin,$(DOCS_PINS),'$(pin)')
	touch $@

$(LINTERS): $(PY) pyproject.toml
	$(PY) -m pip install --quiet $(LINT_PINS)
	touch $@

$(PY):
	python=$$(scripts/find-python313) && "$$python" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

$(INSTALLED): $(PY) $(SOURCES)
	$(PY) -m pip install --quiet '.[test,plot,dask]'
	touch $@

clean:
	rm -rf $(VENV) build
