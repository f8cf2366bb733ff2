#!/usr/bin/env bash
# Neighbours: a run whose script shares its directory with 100,000 other
# files, against a run whose script has 10 neighbours: the cost of a run
# should not grow with its directory. Two cases, each in the same rounds: the
# value already stored (no write: start, search, lock and read), and a new
# value each round (a real atomic write with both flushes).
#
# Usage: bench/neighbours.sh [--smoke]   (VARNOK=path overrides build/varnok)
source "$(dirname "$0")/lib.sh"

if ((SMOKE)); then
  RUNS=11 MANY=1000
else
  RUNS=101 MANY=100000
fi

# A project whose script lies in Setup/ beside $2 other files.
make_project() {
  local project=$1 count=$2
  mkdir -p "$project/Setup" "$project/Docs"
  printf '[S]\nk=old\n' >"$project/Setup/setup.ini"
  (cd "$project/Setup" && seq -f 'neighbour_%06g.dat' 1 "$count" | xargs touch)
  touch "$project/Docs/readme.txt"
}

FEW=$SCRATCH/few
MANY_DIR=$SCRATCH/many
make_project "$FEW" 10
make_project "$MANY_DIR" "$MANY"
sync
echo "scripts beside 10 and $MANY files; $RUNS runs each"

few_same() { "$VARNOK" "-P:$FEW" "-O:setup.ini:S.k=same"; }
many_same() { "$VARNOK" "-P:$MANY_DIR" "-O:setup.ini:S.k=same"; }
few_write() { "$VARNOK" "-P:$FEW" "-O:setup.ini:S.k=run $1"; }
many_write() { "$VARNOK" "-P:$MANY_DIR" "-O:setup.ini:S.k=run $1"; }

for project in "$FEW" "$MANY_DIR"; do
  "$VARNOK" "-P:$project" "-O:setup.ini:S.k=same" </dev/null >/dev/null
  grep -qx "k=same" "$project/Setup/setup.ini" || { echo "the key was not set in $project" >&2; exit 1; }
done

compare_all "$RUNS" few_same many_same
report_all "$MANY beside, no write" many_same few_same "10 beside" 1.2
compare_all "$RUNS" few_write many_write
report_all "$MANY beside, write" many_write few_write "10 beside" 1.2
