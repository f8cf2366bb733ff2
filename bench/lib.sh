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

# Times `runs` rounds of the commands named by the functions given after
# `runs`, each round starting with another one (the order rotates); sets
# MEDIAN_US, MIN_US and MAX_US, keyed by function name. Each function gets
# the round number; BEFORE_EACH_RUN as for compare.
declare -A MEDIAN_US=() MIN_US=() MAX_US=()
compare_all() {
  local runs=$1 i j name
  shift
  local -a names=("$@")
  local -A times=()
  for ((i = 0; i < runs; i++)); do
    for ((j = 0; j < ${#names[@]}; j++)); do
      name=${names[(i + j) % ${#names[@]}]}
      times[$name]+="$(timed_run "$name" "$i") "
    done
  done
  for name in "${names[@]}"; do
    # shellcheck disable=SC2086  # the times, split into arguments
    MEDIAN_US[$name]=$(median ${times[$name]})
    # shellcheck disable=SC2086
    MIN_US[$name]=$(minimum ${times[$name]})
    # shellcheck disable=SC2086
    MAX_US[$name]=$(printf '%s\n' ${times[$name]} | sort -n | tail -n 1)
  done
}

# Prints one result line of compare_all's times: label, the medians of the
# commands named by the functions $2 (varnok) and $3 (the reference, called
# $4 in the line) in milliseconds with their spread (fastest-slowest), and
# the ratio of the medians held against the goal $5 ("-" for none).
report_all() {
  local label=$1 candidate=$2 reference=$3 reference_name=$4 goal=$5
  ((SMOKE)) && goal=smoke
  awk -v l="$label" -v r="$reference_name" -v g="$goal" \
    -v m="${MEDIAN_US[$candidate]}" -v ml="${MIN_US[$candidate]}" -v mh="${MAX_US[$candidate]}" \
    -v t="${MEDIAN_US[$reference]}" -v tl="${MIN_US[$reference]}" -v th="${MAX_US[$reference]}" \
    'BEGIN { ratio = m / t
      verdict = g == "-" ? "no goal" : "goal <= " g ": " (ratio <= g + 0 ? "met" : "NOT met")
      if (g == "smoke") verdict = "smoke run, no measurement"
      printf "%-22s varnok %8.2f ms (%.0f-%.0f)   %-10s %8.2f ms (%.0f-%.0f)   ratio %5.2f (%s)\n",
        l, m / 1000, ml / 1000, mh / 1000, r, t / 1000, tl / 1000, th / 1000, ratio, verdict }'
}

# The program to compare varnok's search with when it walks with one thread
# only: BASELINE if set, else the program as of REFERENCE_COMMIT (6f0ec26,
# the last version before the search read ahead), built from this
# repository once into build-bench-<commit>/ beside the tree and kept there.
# Prints its path; prints nothing where it cannot be had (no git, no such
# commit, the build failed).
reference_program() {
  if [[ -n ${BASELINE:-} ]]; then
    echo "$BASELINE"
    return
  fi
  local commit=${REFERENCE_COMMIT:-6f0ec26} repo dir
  repo=$(cd "$BENCH_DIR/.." && pwd)
  dir=$repo/build-bench-$commit
  if [[ ! -x $dir/varnok ]]; then
    git -C "$repo" rev-parse -q --verify "$commit^{commit}" >/dev/null 2>&1 || return 0
    echo "building the reference program of $commit in $dir (once) ..." >&2
    rm -rf "$dir"
    mkdir -p "$dir/source"
    git -C "$repo" archive "$commit" | tar -x -C "$dir/source" &&
      cmake -S "$dir/source" -B "$dir/build" -DCMAKE_BUILD_TYPE=Release >"$dir/build.log" 2>&1 &&
      cmake --build "$dir/build" --target varnok >>"$dir/build.log" 2>&1 &&
      cp "$dir/build/varnok" "$dir/varnok" || { echo "  failed: see $dir/build.log" >&2; return 0; }
  fi
  echo "$dir/varnok"
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
