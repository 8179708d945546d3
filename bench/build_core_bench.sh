#!/usr/bin/env bash
# Builds build/bench/core_bench: the core's sources at -O2 on the x86-64 baseline with
# pugixml, no Python. Installs pugixml's headers from Debian when they are missing. Objects
# are kept and rebuilt, in parallel, only when a source or any header changed.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
CXX=${CXX:-g++}
if ! echo '#include <pugixml.hpp>' | "$CXX" -std=c++20 -x c++ -fsyntax-only - 2>/dev/null; then
  echo "== installing libpugixml-dev" >&2
  SUDO=
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libpugixml-dev >/dev/null
fi

BIN=$ROOT/build/bench/core_bench
OBJ=$ROOT/build/bench/obj
CXXFLAGS_BENCH=(-std=c++20 -O2 -g -DNDEBUG -Wall -Wextra -I"$ROOT/src")
mkdir -p "$OBJ"
JOBS=$(nproc 2>/dev/null || echo 2)
newest_header=$(ls -t "$ROOT"/src/*/*.h | head -n 1)
objects=()
pids=()
# Every folder of the core, i.e. every one but the module's (the only one needing Python).
sources=("$HERE/core_bench.cpp")
for src in "$ROOT"/src/*/*.cpp; do
  case $src in "$ROOT"/src/module/*) ;; *) sources+=("$src") ;; esac
done
for src in "${sources[@]}"; do
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
echo "$BIN"
