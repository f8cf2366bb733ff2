#!/usr/bin/env bash
# Full walk: varnok searches a tree that lacks the script, against GNU find
# with the same pruning and matching and against the one-thread walk (the
# program as of 6f0ec26, before the search read ahead, built once from this
# repository; see reference_program in lib.sh). A broad tree of about 220,000
# entries (20,020 directories of 10 files each, plus a .git directory of 2,000
# files that all skip), with a warm cache, free and pinned to one core
# (taskset -c 0); then a chain of directories 2,000 deep; then the broad tree
# with a cold cache: run as root, the page cache is dropped before every run
# (skipped where the system refuses that), and fd with 16 threads (fdfind or
# fd, where installed; unordered output, hidden entries skipped, no ignore
# files) runs in the same rounds. The programs run in the same rounds, each
# round in another order.
#
# Usage: bench/walk.sh [--smoke]   (VARNOK=path overrides build/varnok;
# BASELINE=path takes another build of varnok as the one-thread walk;
# REFERENCE_COMMIT=commit builds that one instead of 6f0ec26. --smoke builds
# no reference.)
source "$(dirname "$0")/lib.sh"

if ((SMOKE)); then
  TOPS=2 MIDS=4 LEAVES=10 DEPTH=200 RUNS=3 COLD_RUNS=1
else
  TOPS=20 MIDS=20 LEAVES=49 DEPTH=2000 RUNS=11 COLD_RUNS=7
fi
NAME=absent.ini
WORDS=(src Lib _build Docs test Module assets Include util Zeta)

# Ten files in each of the directories given.
add_files() {
  local dir files=()
  for dir in "$@"; do
    files+=("$dir"/{file_{0..4}.txt,File_{5..8}.TXT,Makefile})
  done
  touch "${files[@]}"
}

# TOPS x MIDS x LEAVES directories below $1, with mixed-case names.
make_broad_tree() {
  local root=$1 t m l top mid leaves
  mkdir -p "$root"
  for ((t = 0; t < TOPS; t++)); do
    top=$root/${WORDS[t % 10]}$t
    mkdir "$top"
    add_files "$top"
    for ((m = 0; m < MIDS; m++)); do
      mid=$top/${WORDS[(t + m) % 10]}_$m
      leaves=()
      for ((l = 0; l < LEAVES; l++)); do leaves+=("$mid/${WORDS[(m + l) % 10]}$l"); done
      mkdir "$mid" "${leaves[@]}"
      add_files "$mid" "${leaves[@]}"
    done
  done
  local g
  for ((g = 0; g < 20; g++)); do
    mkdir -p "$root/.git/objects/$g"
    touch "$root/.git/objects/$g/"obj_{0..99}
  done
}

# A chain of DEPTH directories below $1, one file at each level.
make_deep_tree() {
  local level
  mkdir -p "$1"
  (
    cd "$1"
    for ((level = 0; level < DEPTH; level++)); do
      mkdir d
      : >d/file.txt
      cd d
    done
  )
}

count_entries() { find "$1" -mindepth 1 | wc -l; }

TREE=$SCRATCH/broad
DEEP=$SCRATCH/deep
REFERENCE=
FD=$(command -v fdfind || command -v fd || true)
WITH_FD=0
((SMOKE)) && [[ -z ${BASELINE:-} ]] || REFERENCE=$(reference_program)

varnok_walk() { "$VARNOK" "-P:$WALK_ROOT" "-O:$NAME:S.k=v"; }
find_walk() { find "$WALK_ROOT" -name '.*' -prune -o -iname "$NAME" -print; }
reference_walk() { "$REFERENCE" "-P:$WALK_ROOT" "-O:$NAME:S.k=v"; }
pinned_varnok_walk() { taskset -c 0 "$VARNOK" "-P:$WALK_ROOT" "-O:$NAME:S.k=v"; }
pinned_find_walk() { taskset -c 0 find "$WALK_ROOT" -name '.*' -prune -o -iname "$NAME" -print; }
fd_walk() { "$FD" --no-ignore --ignore-case --glob -j 16 "$NAME" "$WALK_ROOT"; }
pinned_reference_walk() { taskset -c 0 "$REFERENCE" "-P:$WALK_ROOT" "-O:$NAME:S.k=v"; }

# Checks that varnok reports the script missing in $1 and warms the cache.
prepare() {
  WALK_ROOT=$1
  local screen
  screen=$("$VARNOK" "-P:$WALK_ROOT" "-O:$NAME:S.k=v" </dev/null)
  [[ $screen == *"Script not found"* ]] ||
    { echo "varnok did not report the script missing in $WALK_ROOT" >&2; exit 1; }
  varnok_walk </dev/null >/dev/null
  find_walk >/dev/null
}

# Times varnok, find and the reference (functions named with the prefix
# $1) in the same rounds and reports both ratios under the label $2: against
# find with the goal $3, against the one-thread walk with the goal $4.
measure() {
  local prefix=$1 label=$2 find_goal=$3 reference_goal=$4
  local names=("${prefix}varnok_walk" "${prefix}find_walk")
  [[ -z $REFERENCE ]] || names+=("${prefix}reference_walk")
  ((WITH_FD)) && names+=("${prefix}fd_walk")
  compare_all "$RUNS" "${names[@]}"
  report_all "$label" "${prefix}varnok_walk" "${prefix}find_walk" "find" "$find_goal"
  [[ -z $REFERENCE ]] ||
    report_all "$label" "${prefix}varnok_walk" "${prefix}reference_walk" "one-thread" "$reference_goal"
  if ((WITH_FD)); then report_all "$label" "${prefix}varnok_walk" "${prefix}fd_walk" "fd -j16" 1; fi
}

echo "building trees under $SCRATCH ..."
make_broad_tree "$TREE"
make_deep_tree "$DEEP"
# Writes the new trees out now, so that no writeback of them competes with
# the timed runs for the cores.
sync
echo "broad tree: $(count_entries "$TREE") entries; deep tree: depth $DEPTH; $RUNS runs each"
echo "one-thread walk: ${REFERENCE:-none}; fd: ${FD:-none}; cores: $(nproc) of $(nproc --all)"

# Writes the dirty pages out and empties the page cache, dentries and inodes.
drop_caches() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
}

# The broad tree's walk, each run from a cold cache.
measure_cold() {
  if ((EUID != 0)) || ! drop_caches 2>/dev/null; then
    echo "cold walk              skipped: dropping the page cache needs root and a system that allows it"
    return
  fi
  WALK_ROOT=$TREE
  [[ -z $FD ]] && echo "cold walk              no fd to compare with: install fd-find"
  WITH_FD=$([[ -n $FD ]] && echo 1 || echo 0) RUNS=$COLD_RUNS BEFORE_EACH_RUN=drop_caches \
    measure "" "cold walk" 0.4 1
}

prepare "$TREE"
measure "" "full walk, free" 0.3 1
measure pinned_ "full walk, one core" - 1
prepare "$DEEP"
measure "" "deep walk ($DEPTH)" - 1
measure_cold
