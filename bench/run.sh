#!/usr/bin/env bash
# Benchmarks: bench/run.sh PYTHON [--quick]
#
# PYTHON is an interpreter (normally a venv's) in which vorlane is installed. Installs
# what is missing (lxml into that interpreter, pugixml's headers from Debian), generates
# the documents into bench/data/, builds the native core benchmark and prints one
# markdown table. --quick uses small documents and few rounds (a smoke run of well
# under a minute).
set -euo pipefail

usage() { echo "usage: $0 PYTHON [--quick]" >&2; exit 2; }
[ $# -ge 1 ] || usage
PY=$1
shift
QUICK=
for arg in "$@"; do
  case $arg in
    --quick) QUICK=--quick ;;
    *) usage ;;
  esac
done

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
# An absolute path without resolving symlinks: a venv's python is a symlink to the base
# interpreter, and resolving it would leave the venv.
case $PY in
  */*) PY="$(cd "$(dirname "$PY")" && pwd)/$(basename "$PY")" ;;
  *) PY=$(command -v "$PY") || { echo "no interpreter '$1'" >&2; exit 2; } ;;
esac
[ -x "$PY" ] || { echo "no interpreter '$PY'" >&2; exit 2; }

"$PY" -c 'import vorlane' 2>/dev/null || {
  echo "vorlane is not importable with $PY; install the package first (make venv)" >&2
  exit 1
}

# ---- dependencies
if ! "$PY" -c 'import lxml.etree' 2>/dev/null; then
  echo "== installing lxml into $PY" >&2
  "$PY" -m pip install --quiet lxml
fi
CXX=${CXX:-g++}
if ! echo '#include <pugixml.hpp>' | "$CXX" -std=c++20 -x c++ -fsyntax-only - 2>/dev/null; then
  echo "== installing libpugixml-dev" >&2
  SUDO=
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libpugixml-dev >/dev/null
fi

# ---- documents
DATA=$HERE/data/full
[ -z "$QUICK" ] || DATA=$HERE/data/quick
echo "== documents in $DATA" >&2
"$PY" "$HERE/gen_docs.py" --out "$DATA" $QUICK

# ---- native core benchmark: the core's sources at -O2 on the x86-64 baseline, no Python.
# Objects are kept and rebuilt, in parallel, only when a source or any header changed.
BIN=$ROOT/build/bench/core_bench
OBJ=$ROOT/build/bench/obj
CXXFLAGS_BENCH=(-std=c++20 -O2 -DNDEBUG -Wall -Wextra -I"$ROOT/src")
mkdir -p "$OBJ"
JOBS=$(nproc 2>/dev/null || echo 2)
newest_header=$(ls -t "$ROOT"/src/*/*.h | head -n 1)
objects=()
pids=()
for src in "$HERE/core_bench.cpp" "$ROOT"/src/tokenizer/*.cpp "$ROOT"/src/parser/*.cpp "$ROOT"/src/doctype/*.cpp; do
  rel=${src#"$ROOT"/}
  obj=$OBJ/${rel//\//_}.o
  objects+=("$obj")
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
    echo "== compiling $rel" >&2
    "$CXX" "${CXXFLAGS_BENCH[@]}" -c "$src" -o "$obj" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$JOBS" ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  fi
done
for pid in "${pids[@]}"; do wait "$pid"; done
"$CXX" "${objects[@]}" -lpugixml -o "$BIN"

# ---- measure and print
echo "== measuring (progress on stderr, the table on stdout)" >&2
"$PY" "$HERE/bench.py" --data "$DATA" --core-bin "$BIN" $QUICK
