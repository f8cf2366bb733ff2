#!/usr/bin/env bash
# Small run: varnok sets one key of a 100-line script in a project of 100
# files, against starting /bin/true. Two cases: a run that rewrites the file
# (new value each time, so it includes the flushes of the atomic write), and
# a run whose value is already stored (no write: start, search and read).
#
# Usage: bench/small_run.sh [--smoke]   (VARNOK=path overrides build/varnok)
source "$(dirname "$0")/lib.sh"

if ((SMOKE)); then RUNS=21; else RUNS=301; fi
PROJECT=$SCRATCH/project
SCRIPT_DIR=$PROJECT/Source/Setup

# Ten directories of ten files each, the script one of them; it lies in the
# sixth directory in listing order, so the search lists most of the tree.
make_project() {
  local d f s k
  for d in Docs Include Lib Resources Scripts Source Source/Setup Tests Tools _build; do
    mkdir -p "$PROJECT/$d"
    for ((f = 0; f < 10; f++)); do echo "file $f" >"$PROJECT/$d/file$f.txt"; done
  done
  rm "$SCRIPT_DIR/file9.txt"
  for ((s = 0; s < 10; s++)); do
    echo "[Section$s]"
    for ((k = 0; k < 9; k++)); do echo "Key$k=value $s.$k"; done
  done >"$SCRIPT_DIR/setup.ini"
}

varnok_write() { "$VARNOK" "-P:$PROJECT" "-O:setup.ini:Section5.Key4=run $1"; }
varnok_same() { "$VARNOK" "-P:$PROJECT" "-O:setup.ini:Section5.Key4=same"; }
process_start() { /bin/true; }

make_project
echo "project: $(find "$PROJECT" -type f | wc -l) files, script of $(wc -l <"$SCRIPT_DIR/setup.ini") lines; $RUNS runs each"
varnok_write 0
grep -qx "Key4=run 0" "$SCRIPT_DIR/setup.ini" || { echo "the key was not set" >&2; exit 1; }
/bin/true

compare "$RUNS" varnok_write process_start
report "small run, write" "/bin/true" 3
varnok_same
compare "$RUNS" varnok_same process_start
report "small run, no write" "/bin/true" 3
