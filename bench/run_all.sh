#!/usr/bin/env bash
# Runs every benchmark: bench/run_all.sh [--smoke]. With --smoke each builds
# a small data set and runs a few rounds (seconds, for CI); the ratios are
# then no measurement, only a check that the scripts and the program work.
set -euo pipefail
dir=$(dirname "$0")
for bench in walk large_file small_run neighbours; do
  "$dir/$bench.sh" "$@"
done
