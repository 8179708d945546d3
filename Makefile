# Two commands on a fresh machine: `make demo` and `make test`. Everything else is set up here.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

PYTHON_FOUND := $(shell scripts/find-python)
VENV := .venv
VENV_PY := $(VENV)/bin/python
DIST := dist
NATIVE := build/native
CORE_SOURCES := $(wildcard src/tokenizer/*.cpp src/parser/*.cpp src/doctype/*.cpp)
NATIVE_TESTS := $(wildcard tests/native/*.cpp)
CXX ?= g++
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all
NATIVE_FLAGS := -std=c++20 -Wall -Wextra -Werror -Isrc

.PHONY: help demo test wheel native-test sanitize-test fuzz-smoke fuzz venv bench bench-quick attack-bench corpus-diff clean

help:
	@echo "make demo   set everything up and parse the bundled examples"
	@echo "make test   set everything up and run the whole test suite"
	@echo "make bench  benchmarks against the standard library, lxml and pugixml (slow)"
	@echo "make attack-bench  every attack class at n and 4n: outcome, times, growth"
	@echo "make corpus-diff   Debian's XML files parsed by vorlane and by the standard library, compared"

# The development venv: vorlane installed from this checkout, with the test tools.
$(VENV)/.stamp: pyproject.toml CMakeLists.txt $(CORE_SOURCES) $(wildcard src/*/*.h src/module/*.cpp python/vorlane/*)
	@test -n "$(PYTHON_FOUND)" || { echo "no CPython 3.12+ found; set PYTHON=" >&2; exit 1; }
	test -x $(VENV_PY) || $(PYTHON_FOUND) -m venv $(VENV)
	$(VENV_PY) -m pip install --quiet --upgrade pip
	$(VENV_PY) -m pip install --quiet ".[test]" abi3audit
	touch $@

venv: $(VENV)/.stamp

demo: venv
	@echo "== python -m vorlane examples/*.xml"
	@status=0; $(VENV_PY) -m vorlane examples/*.xml || status=$$?; \
	echo "== exit status $$status (1: some documents were refused, as intended)"; \
	test $$status -le 1

# One abi3 wheel, built once with warnings as errors, then installed under every Python 3.12+ found.
wheel: venv
	rm -rf $(DIST)
	$(VENV_PY) -m pip wheel --quiet --no-deps --wheel-dir $(DIST) \
	  --config-settings=cmake.define.VORLANE_WERROR=ON .
	$(VENV)/bin/abi3audit --strict --summary $(DIST)/*.whl

native-test: $(NATIVE)/tests
	$(NATIVE)/tests

$(NATIVE)/tests: $(CORE_SOURCES) $(NATIVE_TESTS) $(wildcard src/*/*.h tests/native/*.h)
	@mkdir -p $(NATIVE)
	$(CXX) $(NATIVE_FLAGS) -O1 -g $(SANITIZE) -Itests/native $(CORE_SOURCES) $(NATIVE_TESTS) -o $@

# The extension itself under AddressSanitizer and UBSan, driven by the whole pytest suite.
# The interpreter is not instrumented, so the runtime is preloaded; PYTHONMALLOC=malloc routes
# every Python object through the sanitizer's allocator, so a reference released once too
# often shows up as a use after free. Leak checking is off: the interpreter keeps memory
# until exit by design (tests/test_leaks.py measures our leaks instead).
SANITIZE_VENV := .venv-sanitize
sanitize-test:
	@test -n "$(PYTHON_FOUND)" || { echo "no CPython 3.12+ found; set PYTHON=" >&2; exit 1; }
	test -x $(SANITIZE_VENV)/bin/python || $(PYTHON_FOUND) -m venv $(SANITIZE_VENV)
	$(SANITIZE_VENV)/bin/python -m pip install --quiet --upgrade pip
	$(SANITIZE_VENV)/bin/python -m pip install --quiet \
	  --config-settings=cmake.define.VORLANE_SANITIZE=ON --config-settings=cmake.build-type=RelWithDebInfo ".[test]"
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0 \
	  PYTHONMALLOC=malloc VORLANE_SANITIZED=1 \
	  $(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider tests

# A short mutation run of the core's fuzz targets under the sanitizers, without libFuzzer.
FUZZ_TARGETS := $(wildcard fuzz/fuzz_*.cpp)
fuzz-smoke: $(patsubst fuzz/%.cpp,$(NATIVE)/%-smoke,$(FUZZ_TARGETS))
	@for target in $^; do $$target --rounds=20000 examples/*.xml; done

$(NATIVE)/%-smoke: fuzz/%.cpp fuzz/standalone_main.cpp $(CORE_SOURCES) $(wildcard src/*/*.h)
	@mkdir -p $(NATIVE)
	$(CXX) $(NATIVE_FLAGS) -O1 -g $(SANITIZE) $(CORE_SOURCES) $< fuzz/standalone_main.cpp -o $@

# Coverage-guided campaigns with libFuzzer (clang from Debian); not part of `make test`.
FUZZ_SECONDS ?= 300
fuzz:
	command -v clang++-14 >/dev/null || { apt-get update -qq && apt-get install -y -qq clang-14 libclang-rt-14-dev; }
	@mkdir -p build/fuzz
	@for src in $(FUZZ_TARGETS); do \
	  name=$$(basename $$src .cpp); \
	  clang++-14 -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -Isrc $(CORE_SOURCES) $$src -o build/fuzz/$$name; \
	  mkdir -p build/fuzz/$$name-corpus; cp examples/*.xml build/fuzz/$$name-corpus/; \
	  echo "== $$name for $(FUZZ_SECONDS)s"; \
	  build/fuzz/$$name -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -timeout=10 build/fuzz/$$name-corpus || exit 1; \
	done

test: native-test fuzz-smoke wheel bench-quick sanitize-test
	@for py in $$(scripts/find-python --all); do \
	  ver=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  env=.venv-test/$$ver; \
	  echo "== Python $$ver ($$py)"; \
	  test -x $$env/bin/python || $$py -m venv $$env; \
	  $$env/bin/python -m pip install --quiet --upgrade pip; \
	  $$env/bin/python -m pip install --quiet --force-reinstall --no-deps $(DIST)/*.whl; \
	  $$env/bin/python -m pip install --quiet "$$(ls $(DIST)/*.whl)[test]"; \
	  $$env/bin/python -m pytest -q -p no:cacheprovider tests || exit 1; \
	done

bench: venv
	bench/run.sh $(VENV_PY)

bench-quick: venv
	bench/run.sh $(VENV_PY) --quick

# The attack classes of tests/attack_table.py at large sizes, as one markdown table.
attack-bench: venv
	$(VENV_PY) bench/attack_bench.py

# Some 16,000 XML files from Debian packages (fetched and unpacked, not installed),
# parsed by vorlane and by xml.etree.ElementTree; build/corpus-diff/report.md lists the
# differences. Fails on any difference it cannot explain.
corpus-diff: venv
	$(VENV_PY) scripts/corpus_diff.py

clean:
	rm -rf build $(DIST) $(VENV) .venv-test $(SANITIZE_VENV) bench/data
