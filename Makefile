# One entry point for setting up, serving, testing and benchmarking. Every target sets up what it
# needs from a fresh clone: it finds CPython 3.13 (PYTHON, python3.13 or pyenv's), makes .venv and
# installs the project with its test tools. Re-running is cheap: the C++ build is incremental.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
CMAKE := $(VENV)/bin/cmake
ASAN_LIBS = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
# .venv's installs build in a tree of their own: a `pip wheel .` (isolated, so it reconfigures
# its build tree from scratch) leaves them incremental.
INSTALL_BUILD := -C build-dir=build/release
PYTEST_ARGS ?=
# $(call debian,<command>...,<package>...): installs Debian's packages when one of the commands is
# missing and we may (root); a tool that is still missing afterwards is said by its target, and
# the tests that need it skip with their reason.
debian = { $(foreach c,$(1),command -v $(c) >/dev/null &&) true; } || [ "$$(id -u)" != 0 ] || \
  { apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(2) >/dev/null; } || true

.PHONY: setup install serve serve-ib browser redis-server test typecheck asan clang check bench wrk load soak clean

$(VENV)/.stamp: pyproject.toml
	@py=$$(scripts/find-python); echo "using $$py"; \
	  [ -x $(PY) ] || "$$py" -m venv $(VENV)
	$(PIP) install scikit-build-core cmake ninja
	$(PIP) install --no-build-isolation $(INSTALL_BUILD) ".[test]"
	touch $@

setup: $(VENV)/.stamp

# (Re)builds the native modules and installs them with the host package into .venv.
install: setup
	$(PIP) install --no-build-isolation --no-deps --force-reinstall $(INSTALL_BUILD) .

serve: install
	$(VENV)/bin/quorvane serve

# IB mode without IB: the gateway simulator (`quorvane ib-sim`) in the background on a free port
# (IB_SIM_PORT to choose one), `quorvane serve --ib` against it over a temporary bar cache, and the
# simulator stopped when serve exits (Ctrl+C). SERVE_IB_ARGS go to serve (e.g. --port 8010). The
# simulator runs in a session of its own, so a Ctrl+C reaches serve alone and IB stays up while
# serve shuts down.
IB_SIM_PORT ?=
SERVE_IB_ARGS ?=
serve-ib: install
	@port=$${IB_SIM_PORT:-$$($(PY) -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}; \
	  data=$$(mktemp -d -t quorvane-serve-ib.XXXXXX); \
	  setsid $(VENV)/bin/quorvane ib-sim --port $$port & sim=$$!; \
	  trap 'kill $$sim 2>/dev/null; wait $$sim 2>/dev/null; rm -rf "$$data"' EXIT; trap 'exit 143' TERM; \
	  for _ in $$(seq 100); do \
	    kill -0 $$sim 2>/dev/null || { echo "serve-ib: the simulator did not start"; exit 1; }; \
	    (exec 3<>/dev/tcp/127.0.0.1/$$port) 2>/dev/null && break; sleep 0.1; \
	  done; \
	  $(VENV)/bin/quorvane serve --ib --ib-port $$port --data-dir "$$data" $(SERVE_IB_ARGS)

build/dev/testmods: setup FORCE
	$(CMAKE) -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TEST_MODULES=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/dev --target _frametest

# Debian's chromium and chromium-driver, which the browser tests (tests/dashboard) drive.
browser:
	@$(call debian,chromium chromedriver,chromium chromium-driver)

# Debian's redis-server, which the shared bar cache's tests start on a free loopback port.
redis-server:
	@$(call debian,redis-server,redis-server)
	@command -v redis-server >/dev/null || echo "redis-server is not installed: the shared bar cache tests will be SKIPPED"

test: install build/dev/testmods browser redis-server
	QUORVANE_TESTMODS=build/dev/testmods $(PY) -m pytest $(PYTEST_ARGS)

# The whole suite against an AddressSanitizer + UBSan build, installed into build/asan/install,
# which shadows the release install on sys.path.
asan: setup browser redis-server
	$(CMAKE) -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVANE_SANITIZE=ON \
	  -DQUORVANE_TEST_MODULES=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(CMAKE) --build build/asan
	$(CMAKE) --install build/asan --prefix build/asan/install >/dev/null
	LD_PRELOAD="$(ASAN_LIBS)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUORVANE_SANITIZED=1 \
	  PYTHONPATH=build/asan/install QUORVANE_TESTMODS=build/asan/testmods \
	  $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The whole suite against a clang build at -O0 too: g++ 12 and clang 14 get different coroutine
# code wrong, and the frame must be right under both. Installs Debian's clang when it is missing
# and we may (root); says so and skips otherwise.
clang: setup browser redis-server
	@$(call debian,clang++,clang)
	@if ! command -v clang++ >/dev/null; then echo "clang++ is not installed: clang run SKIPPED"; exit 0; fi; \
	  $(CMAKE) -S . -B build/clang -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
	    -DQUORVANE_TEST_MODULES=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null && \
	  $(CMAKE) --build build/clang && \
	  $(CMAKE) --install build/clang --prefix build/clang/install >/dev/null && \
	  PYTHONPATH=build/clang/install QUORVANE_TESTMODS=build/clang/testmods \
	    $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# mypy over the installed host package (the native modules' stubs included), with pyproject.toml's
# configuration; run from the source root, where no `quorvane` directory shadows the installed one.
typecheck: install
	$(PY) -m mypy --version >/dev/null 2>&1 || $(PIP) install "mypy>=1.11"
	$(PY) -m mypy -p quorvane

check: typecheck test asan clang

bench: install build/dev/testmods
	QUORVANE_TESTMODS=build/dev/testmods $(PY) bench/run.py

# wrk, the load generator of bench/load.py: Debian's package.
wrk:
	@$(call debian,wrk,wrk)
	@command -v wrk >/dev/null || { echo "wrk is not installed (apt-get install wrk)"; exit 1; }

# The served app under load, each comparison's two sides in one run (LOAD picks some:
# peak-rss stack mixed snapshots metrics shared-cache); `make soak` drives SOAK_REQUESTS (default 10**6)
# mixed requests. Loopback only. Not part of `make check`.
load: install wrk redis-server
	$(PY) bench/load.py $(LOAD)

soak: install wrk
	$(PY) bench/load.py soak

clean:
	rm -rf build $(VENV)

FORCE:
