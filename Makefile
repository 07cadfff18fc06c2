# make demo  - set up everything and run hls_encoder on a built-in sample
# make test  - set up everything and run the test suite
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: demo test deps venv build py39 players bench bench-chunked asan tsan memcheck fuzz debian13 wheel wheel-test wheel-check clean

demo: build
	PYTHON=$(PY) scripts/demo.sh

# The tests run on every core (pytest-xdist), each in a directory of its own.
test: build py39 players
	$(PY) -m pytest -q -n auto

deps:
	scripts/install-deps.sh

venv: deps
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check pytest pytest-xdist distributed

build: venv
	$(PY) -m pip install -q --disable-pip-version-check . 2>&1 \
	    | grep -v "is ignored: it is neither a file nor a directory" || true
	$(PY) -c "import corvane"

py39: deps
	scripts/build-py39.sh

# Chromium and the web players that tests/test_players.py plays packages with.
players:
	scripts/install-players.sh

# (CMake builds the source stage's own tools; the module's build brings its own.)
bench: build
	scripts/install-deps.sh cmake
	$(PY) bench/ladder_bench.py $(ARGS)

# The chunked job against the single call (make bench ARGS=--chunked does the same).
bench-chunked: build
	$(PY) bench/chunked_bench.py

# Sanitizers, leak checks and fuzzing (each installs what it needs).
asan: venv
	VENV=$(VENV) scripts/sanitize-asan.sh

tsan: venv
	VENV=$(VENV) scripts/sanitize-tsan.sh

memcheck: build
	VENV=$(VENV) scripts/memcheck.sh

fuzz: venv
	VENV=$(VENV) fuzz/run-asan.sh

# Self-contained wheels (their own static FFmpeg) for CPython 3.9-3.13 in dist/; see README.
wheel: venv
	VENV=$(VENV) scripts/build-wheel.sh

# The test suite against the wheel for this Python, installed in a venv of
# its own (the tests run every job with the interpreter that runs pytest).
WHEEL_VENV := build/wheel/test-venv
wheel-test: wheel
	rm -rf $(WHEEL_VENV) && $(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/pip install -q --disable-pip-version-check pytest distributed \
	    dist/corvane-*-cp$$($(PYTHON) -c 'import sys; print("%d%d" % sys.version_info[:2])')-*.whl
	$(WHEEL_VENV)/bin/python -m pytest -q

# The wheels where there is nothing but Python: Debian 11, 12 and 13 minbase
# chroots (3.9, 3.11, 3.13) and pyenv's 3.10 and 3.12 in clean venvs.
wheel-check: wheel
	VENV=$(VENV) scripts/wheel-check.sh

# The CI job on Debian 13 (FFmpeg 7.1), in a debootstrap chroot.
debian13:
	scripts/debian13.sh

clean:
	rm -rf build demo .pytest_cache
