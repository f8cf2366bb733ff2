#!/usr/bin/env bash
# Checks the one-way rule of src/: a file includes only headers of its own
# folder and of the folders below it. Prints each include that breaks it;
# fails when there is one.
set -euo pipefail
cd "${1:-$(dirname "$0")/../..}/src"

# The folders each folder may include from, besides its own.
declare -A allowed=(
  [base]=""
  [os]="base"
  [ini]="base os"
  [search]="base os"
  [file]="base os"
  [script]="base os ini search file"
  [cli]="base os script"
  [.]="cli"
)

broken=0
while IFS= read -r file; do
  folder=$(dirname "$file")
  [[ -v allowed[$folder] ]] || { echo "$file: folder $folder has no place in the layers"; broken=1; continue; }
  while IFS= read -r header; do
    target=${header%%/*}
    [[ $header == */* ]] || target=.
    if [[ $target != "$folder" && " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "$file includes $header: $folder/ may include only ${allowed[$folder]:-nothing} besides itself"
      broken=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(find . -name '*.cc' -o -name '*.h' | sed 's|^\./||' | sort)
exit "$broken"
