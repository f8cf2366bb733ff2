#!/usr/bin/env bash
# Follows README.md's "Using varnok in scripts" literally: takes its shell
# function and its make recipe out of the README, runs them with the built
# program as `varnok`, and checks that every kind of failure gives a
# non-zero status, that success gives 0, and that varnok leaves the
# caller's standard input alone.
#
# Usage: readme_scripting_test.sh README.md path/to/varnok
set -uo pipefail
readme=$1
program=$2
work=$(mktemp -d)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
mkdir "$work/bin"
ln -s "$(realpath "$program")" "$work/bin/varnok"
export PATH=$work/bin:$PATH

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# The fenced block that follows the line matching $1, without its fences.
block_after() {
  awk -v start="$1" '
    index($0, start) { found = 1; next }
    found && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$readme"
}
function_text=$(block_after "This shell function")
recipe_text=$(block_after "In a makefile")
[[ $function_text == *"varnok_set()"* ]] || { echo "no varnok_set function in $readme" >&2; exit 1; }
[[ $recipe_text == setup:* ]] || { echo "no make recipe in $readme" >&2; exit 1; }
printf '%s\n' "$function_text" >"$work/varnok_set.sh"
printf '%s\n' "$recipe_text" >"$work/Makefile"

# A fresh project at $work/project (and its copy build/demo for the recipe).
new_project() {
  rm -rf "$work/project" "$work/build"
  mkdir -p "$work/project/installer" "$work/build"
  printf '[Setup]\r\nVersion = 1.0\r\n\r\n[Interface]\r\nTextBox1="Name",1,2,"Alice"\r\n' \
    >"$work/project/installer/setup.ini"
  cp -r "$work/project" "$work/build/demo"
}
script=$work/project/installer/setup.ini

# expect_status SHELL WANT ARGUMENT...: runs varnok_set in SHELL with the
# caller's input holding one line, which must still be there afterwards.
expect_status() {
  local shell=$1 want=$2 status left
  shift 2
  left=$(cd "$work" && printf 'next line\n' |
    "$shell" -c '. ./varnok_set.sh; varnok_set "$@"; status=$?; read -r line; echo "$status:$line"' \
      varnok_set "$@" 2>"$work/stderr")
  status=${left%%:*}
  if [[ $want == 0 && $status != 0 || $want != 0 && $status == 0 ]]; then
    fail "$shell: varnok_set $* ended with $status, expected $want ($(cat "$work/stderr"))"
  fi
  [[ ${left#*:} == "next line" ]] || fail "$shell: varnok_set $* took the caller's input"
}

for shell in sh bash; do
  new_project
  expect_status "$shell" 0 "-P:$work/project" "-O:setup.ini:Setup.Version=2.0"
  grep -q $'^Version = 2.0\r$' "$script" || fail "$shell: the setting was not changed"
  expect_status "$shell" 0 "-P:$work/project" "-O:setup.ini:Interface.TextBox1=Bob Smith"
  grep -q '"Bob Smith"' "$script" || fail "$shell: a value with blanks was not set whole"
  expect_status "$shell" 1 "-P:$work/project"                                  # syntax error
  expect_status "$shell" 1 "-P:$work/project" "-O:missing.ini:Setup.Version=3" # script not found
  expect_status "$shell" 1 "-P:$work/project" "-O:setup.ini:Setup.Missing=3"   # component not found
  expect_status "$shell" 1 "-P:$work/project" "-O:setup.ini:Interface.Box=3"   # component type not found
  chmod a-w "$script"
  expect_status "$shell" 1 "-P:$work/project" "-O:setup.ini:Setup.Version=3"   # unable to write
  grep -q "Unable to write" "$work/stderr" || fail "$shell: the write was not refused"
  chmod u+w "$script"
done

# With set -e, a failing varnok_set ends the script.
new_project
(cd "$work" && bash -ec '. ./varnok_set.sh; varnok_set "-P:$1"; echo went on' _ "$work/project" \
  </dev/null 2>/dev/null) | grep -q "went on" && fail "set -e went on after a usage screen"

# The make recipe stops on every failure it can meet, and passes on success.
if command -v make >/dev/null; then
  expect_make() {
    local want=$1 what=$2
    (cd "$work" && make -s setup </dev/null >/dev/null 2>&1)
    local status=$?
    if [[ $want == 0 && $status != 0 || $want != 0 && $status == 0 ]]; then
      fail "make: $what ended with $status, expected $want"
    fi
  }
  new_project
  expect_make 0 "a change"
  grep -q $'^Version = 2.0\r$' "$work/build/demo/installer/setup.ini" || fail "make: not changed"
  new_project; rm "$work/build/demo/installer/setup.ini"
  expect_make 1 "script not found"
  new_project; printf '[Setup]\r\n' >"$work/build/demo/installer/setup.ini"
  expect_make 1 "component not found"
  new_project; chmod a-w "$work/build/demo/installer/setup.ini"
  expect_make 1 "unable to write"
fi

((failures == 0)) && echo "README's scripting section detects every failure"
exit $((failures > 0))
