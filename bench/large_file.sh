#!/usr/bin/env bash
# Large file: varnok changes the last key of an INI file of about 90 MB
# (20,000 sections of 50 keys), against copying the file and flushing the
# copy, which any atomic rewrite has to match. Also reports varnok's peak
# resident memory against the file size plus 16 MB.
#
# Usage: bench/large_file.sh [--smoke]   (VARNOK=path overrides build/varnok)
source "$(dirname "$0")/lib.sh"

if ((SMOKE)); then
  SECTIONS=200 KEYS=50 RUNS=3
else
  SECTIONS=20000 KEYS=50 RUNS=15
fi
RSS_SLACK_KB=$((16 * 1024))
PROJECT=$SCRATCH/project
FILE=$PROJECT/big.ini
COPY=$SCRATCH/copy.ini
LAST_SECTION=Section$((SECTIONS - 1))
LAST_KEY=Key$((KEYS - 1))
PAD=$(printf '%064d' 0)

make_file() {
  mkdir -p "$PROJECT"
  awk -v sections="$SECTIONS" -v keys="$KEYS" -v pad="$PAD" 'BEGIN {
    for (s = 0; s < sections; s++) {
      printf "[Section%d]\r\n", s
      for (k = 0; k < keys; k++) printf "Key%d = \"value %d.%d %s\"\r\n", k, s, k, pad
    }
  }' >"$FILE"
}

# Each run stores a new value, so every run rewrites the file.
varnok_set() { "$VARNOK" "-P:$PROJECT" "-O:big.ini:$LAST_SECTION.$LAST_KEY=run $1"; }
copy_and_flush() { rm -f "$COPY" && cp --reflink=never "$FILE" "$COPY" && sync "$COPY"; }

check_written() {
  local last
  last=$(tail -n 1 "$FILE")
  [[ $last == "$LAST_KEY = $1"$'\r' ]] || { echo "last line is '$last'" >&2; exit 1; }
}

make_file
SIZE_KB=$(( $(stat -c %s "$FILE") / 1024 ))
echo "file: $SIZE_KB KB, $SECTIONS sections of $KEYS keys; $RUNS runs each"

varnok_set 0 </dev/null >/dev/null
check_written "run 0"
copy_and_flush
compare "$RUNS" varnok_set copy_and_flush
check_written "run $RUNS"
report "large file" "cp+sync" 1.5

PEAK_KB=0
for run in 1 2 3; do
  kb=$( { /usr/bin/time -f %M "$VARNOK" "-P:$PROJECT" "-O:big.ini:$LAST_SECTION.$LAST_KEY=rss $run" \
          </dev/null >/dev/null; } 2>&1 )
  ((kb > PEAK_KB)) && PEAK_KB=$kb
done
check_written "rss 3"
LIMIT_KB=$((SIZE_KB + RSS_SLACK_KB))
printf 'peak RSS             %d KB for a %d KB file (goal <= %d KB: %s)\n' "$PEAK_KB" "$SIZE_KB" \
  "$LIMIT_KB" "$( ((PEAK_KB <= LIMIT_KB)) && echo met || echo "NOT met")"
