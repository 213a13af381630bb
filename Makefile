# Set-up and test commands. Everything runs in local virtual environments
# made with CPython 3.10 (selected by .python-version under pyenv).

PYTHON ?= python3.10
VENV := .venv
VENV_NUMPY1 := .venv-numpy1
NUMPY2 := numpy>=2.0,<2.3
NUMPY1 := numpy==1.26.*
WHEELHOUSE := build/wheelhouse
TEST_DEPS := "pytest>=7" "hypothesis>=6"

VENV_ASAN := .venv-asan
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libstdc++.so)

.PHONY: all wheel venv demo test test-numpy2 test-numpy1 test-asan bench clean

all: test

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip

$(VENV_NUMPY1)/bin/python:
	$(PYTHON) -m venv $(VENV_NUMPY1)
	$(VENV_NUMPY1)/bin/python -m pip install -q --upgrade pip

# One wheel, built against NumPy 2.x headers, serves both NumPy lines.
wheel: $(VENV)/bin/python
	rm -rf $(WHEELHOUSE)
	$(VENV)/bin/python -m pip wheel -q --no-deps -w $(WHEELHOUSE) .

venv: wheel
	$(VENV)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEELHOUSE)/kovar-*.whl
	$(VENV)/bin/python -m pip install -q "$(NUMPY2)" $(TEST_DEPS)

demo: venv
	$(VENV)/bin/python examples/closed_loop.py
	$(VENV)/bin/python examples/bank_step_response.py

test-numpy2: venv
	$(VENV)/bin/python -c "import numpy; print('Testing with NumPy', numpy.__version__)"
	$(VENV)/bin/python -m pytest -q

test-numpy1: wheel $(VENV_NUMPY1)/bin/python
	$(VENV_NUMPY1)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEELHOUSE)/kovar-*.whl
	$(VENV_NUMPY1)/bin/python -m pip install -q "$(NUMPY1)" $(TEST_DEPS)
	$(VENV_NUMPY1)/bin/python -c "import numpy; print('Testing with NumPy', numpy.__version__)"
	$(VENV_NUMPY1)/bin/python -m pytest -q

test: test-numpy2 test-numpy1 test-asan

# The suite against a build with AddressSanitizer and UBSan. Any report
# fails the run: UBSan is built without recovery and both halt at the first
# error. PYTHONMALLOC=malloc puts Python objects in ASan's heap, so a freed
# object used again is seen; --capture=sys lets the report reach the terminal.
# KOVAR_SANITIZED tells tests that cannot run under ASan (address-space
# limits) to skip.
test-asan:
	test -x $(VENV_ASAN)/bin/python || $(PYTHON) -m venv $(VENV_ASAN)
	$(VENV_ASAN)/bin/python -m pip install -q --upgrade pip
	$(VENV_ASAN)/bin/python -m pip install -q --force-reinstall --no-deps \
		--config-settings=cmake.define.KOVAR_SANITIZE=ON \
		--config-settings=cmake.build-type=Debug .
	$(VENV_ASAN)/bin/python -m pip install -q "$(NUMPY2)" $(TEST_DEPS)
	KOVAR_SANITIZED=1 PYTHONMALLOC=malloc LD_PRELOAD=$(ASAN_PRELOAD) \
		ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1 \
		UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		$(VENV_ASAN)/bin/python -m pytest -q --capture=sys

bench: venv
	$(VENV)/bin/python bench/bench_compute_control.py
	$(VENV)/bin/python -m pip install -q "simple-pid>=2"
	$(VENV)/bin/python bench/bench_bank.py

clean:
	rm -rf build $(VENV) $(VENV_NUMPY1) $(VENV_ASAN)
