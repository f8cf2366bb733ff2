# Shared helpers of the benchmark scripts: the program under test, a scratch
# directory removed on exit, wall-clock timing, medians and the report line.
# Sourced, not run.

export LC_ALL=C
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
VARNOK=${VARNOK:-$BENCH_DIR/../build/varnok}
SMOKE=0
[[ ${1:-} == --smoke ]] && SMOKE=1

if [[ ! -x $VARNOK ]]; then
  echo "no program at $VARNOK: build it (cmake --workflow --preset test) or set VARNOK" >&2
  exit 2
fi
VARNOK=$(cd "$(dirname "$VARNOK")" && pwd)/$(basename "$VARNOK")

SCRATCH=$(mktemp -d "${TMPDIR:-/tmp}/varnok-bench.XXXXXX")
cleanup() {
  chmod -R u+rwx "$SCRATCH" 2>/dev/null || true
  rm -rf "$SCRATCH"
}
trap cleanup EXIT

# Microseconds since the epoch, without starting a process.
now_us() {
  local t=$EPOCHREALTIME
  echo $((10#${t/./}))
}

# Runs "$@" with no input and no output; prints its wall time in microseconds.
# A failing command ends the benchmark: a fast wrong answer is no result.
time_us() {
  local start end
  start=$(now_us)
  "$@" </dev/null >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }
  end=$(now_us)
  echo $((end - start))
}

# time_us after BEFORE_EACH_RUN, if set.
timed_run() {
  [[ -z ${BEFORE_EACH_RUN:-} ]] || "$BEFORE_EACH_RUN"
  time_us "$@"
}

# The median of the numbers given as arguments.
median() {
  printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The smallest of the numbers given as arguments.
minimum() {
  printf '%s\n' "$@" | sort -n | head -n 1
}

# Times `runs` rounds of the two commands named by the functions $2 and $3,
# alternating which goes first; sets VARNOK_US and REFERENCE_US to the
# medians in microseconds, VARNOK_MIN_US and REFERENCE_MIN_US to the fastest
# runs (the least disturbed by other work). Each function gets the round
# number. When BEFORE_EACH_RUN names a function, it runs untimed before
# every timed run.
compare() {
  local runs=$1 candidate=$2 reference=$3 i
  local -a mine=() theirs=()
  for ((i = 1; i <= runs; i++)); do
    if ((i % 2)); then
      mine+=("$(timed_run "$candidate" "$i")")
      theirs+=("$(timed_run "$reference" "$i")")
    else
      theirs+=("$(timed_run "$reference" "$i")")
      mine+=("$(timed_run "$candidate" "$i")")
    fi
  done
  VARNOK_US=$(median "${mine[@]}")
  REFERENCE_US=$(median "${theirs[@]}")
  VARNOK_MIN_US=$(minimum "${mine[@]}")
  REFERENCE_MIN_US=$(minimum "${theirs[@]}")
}

# Prints one result line: label, both medians in milliseconds, their ratio
# held against the goal ("-" for none), and the ratio of the fastest runs.
report() {
  local label=$1 reference_name=$2 goal=$3
  ((SMOKE)) && goal=smoke
  awk -v l="$label" -v r="$reference_name" -v m="$VARNOK_US" -v t="$REFERENCE_US" -v g="$goal" \
    -v mm="$VARNOK_MIN_US" -v tm="$REFERENCE_MIN_US" \
    'BEGIN { ratio = m / t
      verdict = g == "-" ? "no goal" : "goal <= " g ": " (ratio <= g + 0 ? "met" : "NOT met")
      if (g == "smoke") verdict = "smoke run, no measurement"
      printf "%-20s varnok %8.2f ms   %-9s %8.2f ms   ratio %5.2f (%s; fastest runs %.2f)\n",
        l, m / 1000, r, t / 1000, ratio, verdict, mm / tm }'
}
