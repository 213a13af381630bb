# Set-up and test commands. Everything runs in environments under build/
# (and .venv-dev for `make dev`); the sessions themselves are in noxfile.py.
#
#   make test       the suite on the default interpreter and its newest NumPy
#   make test-all   the matrix, the docs, CPython 3.14 (CI or KOVAR_TEST_314=1), the sanitizer run
#   make dev        an editable install in .venv-dev, rebuilt on import
#   make demo       the closed-loop examples and build/closed_loop.png
#   make bench      the benchmarks
#   make docs       the documentation site, build/docs/index.html

# The default interpreter: the newest CPython 3.10-3.14 found here (pyenv
# first, then python3.X on the PATH). nox runs on it.
PYTHON ?= $(word 2,$(shell tools/find_python.sh 3.14 3.13 3.12 3.11 3.10 | head -n 1))

BUILD := build
TOOLS := $(BUILD)/tools
NOX := $(TOOLS)/bin/nox
NUMPYS_314 := 2.3.2 2.5.5

.PHONY: all test test-all test-matrix dev demo bench docs test-asan wheel-3.14 test-3.14 check-3.14 \
	compile-check-3.14 clean

all: test

# nox in an environment of its own, made by the project's files, on
# PYTHON; made again when PYTHON changes.
ifneq ($(shell cat $(TOOLS)/python 2>/dev/null),$(PYTHON))
.PHONY: $(NOX)
endif
$(NOX):
	@test -n "$(PYTHON)" || { echo "No CPython 3.10-3.14 found: install one (pyenv, or python3.X on the PATH), or name it: make PYTHON=/path/to/python3.12"; exit 1; }
	rm -rf $(TOOLS)
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/python -m pip install -q --upgrade pip
	$(TOOLS)/bin/python -m pip install -q "nox>=2025.2"
	echo "$(PYTHON)" > $(TOOLS)/python

test: $(NOX)
	@start=$$(date +%s); \
	$(NOX) -s interpreters test || exit 1; \
	echo "make test: passed in $$(( $$(date +%s) - start )) s"

dev: $(NOX)
	$(NOX) -s dev

demo: $(NOX)
	$(NOX) -s demo

bench: $(NOX)
	$(NOX) -s bench

# Built from the wheel of the newest CPython here; warnings are errors.
docs: $(NOX)
	$(NOX) -s docs

test-asan: $(NOX)
	$(NOX) -s asan

# One wheel per CPython, repaired to manylinux2014, each in fresh
# environments with the oldest and the newest NumPy for it. Missing
# interpreters are skipped, or fail the run in CI (CI set).
test-matrix: $(NOX)
	$(NOX) -s interpreters
	$(NOX) -t tests

# Everything: the matrix, the docs, CPython 3.14, the sanitizer run; timed.
test-all: $(NOX)
	@start=$$(date +%s); \
	$(MAKE) --no-print-directory test-matrix docs check-3.14 test-asan || exit 1; \
	echo "make test-all: matrix, docs, CPython 3.14 and sanitizer run passed in $$(( $$(date +%s) - start )) s"

# CPython 3.14 is not in pyenv here: Debian's development suite has it.
# Its packages come through a private apt configuration under build/ (the
# system's apt state is left alone): the headers, which the 3.14 wheel is
# compiled against with this machine's g++, and debootstrap for a chroot
# where the suite runs on that wheel (as root).
APT_314 := $(BUILD)/apt-3.14
HEADERS_314 := $(APT_314)/root/usr/include
CHROOT_314 := $(BUILD)/chroot-3.14
# The Debian archive this machine's apt is configured with, asked only by
# the recipes that need it.
DEBIAN_MIRROR = $(or $(shell tools/debian_mirror.sh),$(error No Debian archive in this machine's apt sources))
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
	touch $@  # dpkg-deb keeps the package's dates; make needs the extraction's

# The 3.14 wheel, in build/wheelhouse/cp314 (rebuilt when sources change).
wheel-3.14: $(HEADERS_314)/python3.14/Python.h $(NOX)
	$(NOX) -s wheel-3.14

compile-check-3.14: wheel-3.14
	@echo "The sources compile against the CPython 3.14 headers."

# A minimal Debian sid with python3.14. Mounts made while it is set up stay
# in a mount namespace of their own, so none can outlive the target (and
# `make clean` never descends into a mounted /proc). pip inside trusts the
# certificates the host's pip trusts.
HOST_CA := $(or $(PIP_CERT),/etc/ssl/certs/ca-certificates.crt)
$(CHROOT_314)/usr/bin/python3.14: $(HEADERS_314)/python3.14/Python.h
	rm -rf $(CHROOT_314)
	DEBOOTSTRAP_DIR=$(abspath $(APT_314))/root/usr/share/debootstrap \
		unshare -m --propagation private $(APT_314)/root/usr/sbin/debootstrap \
		--variant=minbase --include=python3.14,python3.14-venv \
		sid $(CHROOT_314) $(DEBIAN_MIRROR) > $(BUILD)/debootstrap.log
	cp /etc/resolv.conf $(CHROOT_314)/etc/resolv.conf
	cp $(HOST_CA) $(CHROOT_314)/etc/host-ca.crt
	touch $@

in_chroot := unshare -m --propagation private tools/in_chroot.sh $(CHROOT_314)

# The requirements of the extras named in $(1), quoted for the shell, as
# pyproject.toml lists them.
extras = $(shell $(TOOLS)/bin/python -c "import sys, nox.project as p; \
	extras = p.load_toml('pyproject.toml')['project']['optional-dependencies']; \
	print(' '.join(repr(r) for name in sys.argv[1:] for r in extras[name]))" $(1))

# The wheel as shipped, installed in a fresh environment inside the chroot
# for each NumPy of NUMPYS_314, and the suite run there; the newest NumPy
# also gets the test references and the optional extras.
test-3.14: wheel-3.14 $(CHROOT_314)/usr/bin/python3.14
	rm -rf $(CHROOT_314)/kovar && mkdir -p $(CHROOT_314)/kovar/src
	tar --exclude=./build --exclude='./.venv*' --exclude=./.git -cf - . | tar xf - -C $(CHROOT_314)/kovar/src
	cp $(BUILD)/wheelhouse/cp314/kovar-*.whl $(CHROOT_314)/kovar/
	set -e; for numpy in $(NUMPYS_314); do \
		deps="$(call extras,test)"; \
		[ $$numpy = $(lastword $(NUMPYS_314)) ] && deps="$(call extras,test reference dask progress)"; \
		echo "Testing on CPython 3.14 with NumPy $$numpy"; \
		$(in_chroot) sh -c "python3.14 -m venv /kovar/venv-$$numpy && cd /kovar/src && \
			/kovar/venv-$$numpy/bin/python -m pip install -q --only-binary=:all: numpy==$$numpy /kovar/kovar-*.whl $$deps && \
			/kovar/venv-$$numpy/bin/python -m pytest -q -p no:cacheprovider"; \
	done

# The suite on CPython 3.14 in the chroot needs root, and fetches a Debian
# system (about 1 GB): only in CI or when asked with KOVAR_TEST_314=1.
# Otherwise the 3.14 wheel is built (which compiles every source against
# the 3.14 headers) and checked by auditwheel.
check-3.14:
	@if [ -n "$$CI$$KOVAR_TEST_314" ] && [ "$$(id -u)" = 0 ]; then \
		$(MAKE) --no-print-directory test-3.14; \
	else \
		echo "CPython 3.14: the wheel is built, not tested (the chroot runs as root, in CI or with KOVAR_TEST_314=1)."; \
		$(MAKE) --no-print-directory wheel-3.14; \
	fi

clean:
	rm -rf $(BUILD) .venv-dev
