#!/usr/bin/env bash
# Full walk: varnok searches a tree that lacks the script, against GNU find
# with the same pruning and matching. A broad tree of about 220,000 entries
# (20,020 directories of 10 files each, plus a .git directory of 2,000 files
# that both skip), then a chain of directories 2,000 deep; both with a warm
# cache, then the broad tree with a cold one: run as root, the page cache
# is dropped before every run (skipped where the system refuses that).
#
# Usage: bench/walk.sh [--smoke]   (VARNOK=path overrides build/varnok;
# BASELINE=path adds a comparison with another build of varnok, such as the
# one before a change, on the same trees)
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
varnok_walk() { "$VARNOK" "-P:$WALK_ROOT" "-O:$NAME:S.k=v"; }
find_walk() { find "$WALK_ROOT" -name '.*' -prune -o -iname "$NAME" -print; }
baseline_walk() { "$BASELINE" "-P:$WALK_ROOT" "-O:$NAME:S.k=v"; }

# Checks that varnok reports the script missing in $1, warms the cache,
# then compares varnok with find (and with the baseline) and reports each
# ratio under the label $2 against the goal $3.
measure() {
  WALK_ROOT=$1
  local screen
  screen=$("$VARNOK" "-P:$WALK_ROOT" "-O:$NAME:S.k=v" </dev/null)
  [[ $screen == *"Script not found"* ]] ||
    { echo "varnok did not report the script missing in $WALK_ROOT" >&2; exit 1; }
  varnok_walk </dev/null >/dev/null
  find_walk >/dev/null
  compare "$RUNS" varnok_walk find_walk
  report "$2" "find" "$3"
  if [[ -n ${BASELINE:-} ]]; then
    compare "$RUNS" varnok_walk baseline_walk
    report "$2" "baseline" 1
  fi
}

echo "building trees under $SCRATCH ..."
make_broad_tree "$TREE"
make_deep_tree "$DEEP"
# Writes the new trees out now, so that no writeback of them competes with
# the timed runs for the cores.
sync
echo "broad tree: $(count_entries "$TREE") entries; deep tree: depth $DEPTH; $RUNS runs each"

# Writes the dirty pages out and empties the page cache, dentries and inodes.
drop_caches() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
}

# The broad tree's walk, each run from a cold cache.
measure_cold() {
  if ((EUID != 0)) || ! drop_caches 2>/dev/null; then
    echo "cold walk            skipped: dropping the page cache needs root and a system that allows it"
    return
  fi
  WALK_ROOT=$TREE
  BEFORE_EACH_RUN=drop_caches compare "$COLD_RUNS" varnok_walk find_walk
  report "cold walk" "find" 0.5
  if [[ -n ${BASELINE:-} ]]; then
    BEFORE_EACH_RUN=drop_caches compare "$COLD_RUNS" varnok_walk baseline_walk
    report "cold walk" "baseline" 1
  fi
}

measure "$TREE" "full walk" 0.3
measure "$DEEP" "deep walk ($DEPTH)" -
measure_cold
