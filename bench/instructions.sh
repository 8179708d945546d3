#!/usr/bin/env bash
# Instructions the core executes per document class, counted by callgrind: repeatable on a
# loaded machine where timings are not, so it is the figure to compare before and after a
# change of the core. bench/instructions.sh [PYTHON]
#
# PYTHON (default: scripts/find-python) only runs gen_docs.py, which writes the quick
# documents into bench/data/quick. Each file is parsed once by `core_bench --once` under
# callgrind, counting only inside parse_core; the table gives instructions per document,
# the median of ROUNDS runs (default 5): the hash key drawn per parse moves a count by up to
# about 2%. pugixml's parse of the same bytes is counted once (it draws nothing) beside it;
# PEER=0 leaves it out. ONLY, a pattern, keeps the documents whose name matches it. STRICT=1
# counts the core's strict mode.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
PY=${1:-$("$ROOT/scripts/find-python")}
[ -n "$PY" ] || { echo "no CPython 3.12+ found; pass one" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is needed (apt-get install valgrind)" >&2; exit 2; }

DATA=$HERE/data/quick
"$PY" "$HERE/gen_docs.py" --out "$DATA" --quick >&2
BIN=$("$HERE/build_core_bench.sh")
OUT=$ROOT/build/bench/callgrind
ROUNDS=${ROUNDS:-5}
mkdir -p "$OUT"

PEER=${PEER:-1}
MODE=()
[ "${STRICT:-0}" = 0 ] || MODE=(--strict)
ONLY=${ONLY:-}
echo "| Document | bytes | documents | instructions per document | per byte | spread of the runs | pugixml per document | core/pugixml |"
echo "|---|--:|--:|--:|--:|--:|--:|--:|"
"$PY" - "$DATA/manifest.json" <<'PYEOF' | while IFS=$'\t' read -r name path; do
import json, sys
for d in json.load(open(sys.argv[1]))["docs"]:
    print(f"{d['name']}\t{d['path']}")
PYEOF
  [[ -z $ONLY || $name =~ $ONLY ]] || continue
  file=$OUT/$(basename "$path").out
  counts=()
  for ((round = 0; round < ROUNDS; round++)); do
    counted=$(valgrind --tool=callgrind --callgrind-out-file="$file" --toggle-collect='vorlane::parse_core(*' \
              "$BIN" --once "${MODE[@]}" "$path" 2>/dev/null | tail -n 1)
    counts+=("$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$file")")
  done
  documents=$(cut -f2 <<<"$counted")
  sorted=($(printf '%s\n' "${counts[@]}" | sort -n))
  total=${sorted[$((ROUNDS / 2))]}
  spread=$(awk -v lo="${sorted[0]}" -v hi="${sorted[$((ROUNDS - 1))]}" -v m="$total" 'BEGIN { printf "%.1f%%", 100 * (hi - lo) / m }')
  bytes=$(stat -c %s "$path")
  bytes=$((bytes - documents + 1))  # the separators of a multi-document file are not parsed
  peer=- ratio=-
  if [ "$PEER" != 0 ]; then
    valgrind --tool=callgrind --callgrind-out-file="$file.pugixml" --toggle-collect='pugi::xml_document::load_buffer(*' \
      "$BIN" --once --pugixml "$path" >/dev/null 2>&1
    peer=$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$file.pugixml")
    ratio=$(awk -v c="$total" -v p="$peer" 'BEGIN { printf "%.2f", c / p }')
    peer=$((peer / documents))
  fi
  echo "| $name | $bytes | $documents | $((total / documents)) | $(awk -v t="$total" -v b="$bytes" 'BEGIN { printf "%.2f", t / b }') | $spread | $peer | $ratio |"
done
