# make test: set up everything on a fresh machine, build, run the C++ and Python tests.
# make demo: set up, build and run the demo.
SHELL := /bin/bash
PYTHON3 ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.norviai-deps
TEST_BUILD := build/test
BUILD_TOOLS := scikit-build-core==1.1.2 pybind11==3.1.0

.PHONY: test demo deps build build-tests clean

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

test: build-tests
	set -o pipefail; ctest --test-dir $(TEST_BUILD) --output-on-failure -j2 | tee $(TEST_BUILD)/ctest.log
	$(PY) -m pytest
	@echo "C++: $$(grep -E 'tests passed' $(TEST_BUILD)/ctest.log)"

demo: build
	$(VENV)/bin/norviai demo

clean:
	rm -rf build $(VENV)
