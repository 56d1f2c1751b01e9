# make test: set up everything on a fresh machine, build, run the C++ and Python tests.
# make demo: set up, build and run the demo.
# make lint: clang-format and clang-tidy's naming rules (.clang-tidy) on our C++ (after build-tests).
# make local-model-check: a real small model (llama.cpp server, Gemma 3 270M) runs norviai eval.
SHELL := /bin/bash
PYTHON3 ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.norviai-deps
TEST_BUILD := build/test
BUILD_TOOLS := scikit-build-core==1.1.2 pybind11==3.1.0

.PHONY: test demo deps build build-tests lint clean local-model-check

# Every C++ file of ours; `make lint LINT_SKIP="a.cpp b.hpp"` leaves some out while working on them.
LINT_SKIP :=
LINT_FILES = $(filter-out $(LINT_SKIP),$(sort $(wildcard cpp/*/*.[ch]pp cpp/*/*/*.[ch]pp \
  tests/cpp/*.[ch]pp)))
# clang-tidy reads the flags of build/test; pybind11's GCC-only LTO flag would only add noise.
CLANG_TIDY := clang-tidy -p $(TEST_BUILD) --quiet --extra-arg=-Wno-ignored-optimization-argument

$(STAMP): constraints.txt pyproject.toml
	test -x $(PY) || $(PYTHON3) -m venv $(VENV)
	$(PY) -m pip install -q -c constraints.txt $(BUILD_TOOLS) pytest pytest-timeout selenium
	touch $(STAMP)

deps:
	bash scripts/install-deps.sh

build: deps $(STAMP)
	$(PY) -m pip install -q --no-build-isolation -c constraints.txt .

build-tests: deps $(STAMP)
	$(PY) -m pip install -q --no-build-isolation -c constraints.txt \
	  -C build-dir=$(TEST_BUILD) -C cmake.define.NORVIAI_BUILD_TESTS=ON \
	  -C cmake.define.NORVIAI_WERROR=ON .

lint: deps
	@test -f $(TEST_BUILD)/compile_commands.json || \
	  { echo "lint: no $(TEST_BUILD)/compile_commands.json, run make build-tests first"; exit 1; }
	clang-format --dry-run -Werror $(LINT_FILES)
	@echo "clang-tidy on $(words $(filter %.cpp,$(LINT_FILES))) files"
	@printf '%s\n' $(filter %.cpp,$(LINT_FILES)) | \
	  xargs -P2 -n1 $(CLANG_TIDY) 2> >(grep -v -E '^[0-9]+ warnings? generated\.$$' >&2)

test: build-tests
	$(MAKE) --no-print-directory lint
	set -o pipefail; ctest --test-dir $(TEST_BUILD) --output-on-failure -j2 | tee $(TEST_BUILD)/ctest.log
	$(PY) -m pytest
	@echo "C++: $$(grep -E 'tests passed' $(TEST_BUILD)/ctest.log)"

demo: build
	$(VENV)/bin/norviai demo

# Not part of make test: a real small model on loopback, in an environment of its own.
local-model-check: build
	bash scripts/local-model-check.sh

clean:
	rm -rf build $(VENV)
