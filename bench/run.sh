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

# ---- documents
DATA=$HERE/data/full
[ -z "$QUICK" ] || DATA=$HERE/data/quick
echo "== documents in $DATA" >&2
"$PY" "$HERE/gen_docs.py" --out "$DATA" $QUICK

# ---- native core benchmark (pugixml installed on the way when missing)
BIN=$("$HERE/build_core_bench.sh")

# ---- measure and print
echo "== measuring (progress on stderr, the table on stdout)" >&2
"$PY" "$HERE/bench.py" --data "$DATA" --core-bin "$BIN" $QUICK
