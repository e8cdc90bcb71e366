#!/usr/bin/env bash
# scripts/run-ctest over a tiny CTest project: a test that passes, one that
# fails, one that skips, and one named after each test the sanitizer tree
# allows to skip (skipping as well).
#   RunCtestTest.sh RUN_CTEST CMAKE CTEST
set -uo pipefail
runner=$1
cmake=$2
ctest_dir=$(dirname "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

mapfile -t by_design < <("$runner" --by-design)
((${#by_design[@]})) || fail "--by-design lists no test"

{
  echo 'cmake_minimum_required(VERSION 3.16)'
  echo 'project(tiny NONE)'
  echo 'enable_testing()'
  echo 'add_test(NAME Passes COMMAND true)'
  echo 'add_test(NAME Fails COMMAND false)'
  for name in Skips "${by_design[@]}"; do
    echo "add_test(NAME $name COMMAND sh -c \"exit 77\")"
    echo "set_tests_properties($name PROPERTIES SKIP_RETURN_CODE 77)"
  done
} >"$work/CMakeLists.txt"
"$cmake" -S "$work" -B "$work/build" >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  exit 1
}

# Runs the runner in the tiny tree; sets $status, $out and $err.
run() {
  status=0
  (cd "$work/build" && PATH="$ctest_dir:$PATH" "$runner" "$@") >"$work/out" 2>"$work/err" || status=$?
  out=$(cat "$work/out")
  err=$(cat "$work/err")
}

expect_status() {  # expect_status zero|nonzero WHAT
  if [[ $1 == zero ]] && ((status != 0)); then fail "$2: status $status, expected 0"; fi
  if [[ $1 == nonzero ]] && ((status == 0)); then fail "$2: status 0, expected a failure"; fi
}

expect_in() {  # expect_in TEXT NEEDLE WHAT
  if [[ $1 != *"$2"* ]]; then fail "$3: '$2' missing in: $1"; fi
}

expect_not_in() {
  if [[ $1 == *"$2"* ]]; then fail "$3: '$2' unexpected in: $1"; fi
}

by_design_pattern=$(printf '|^%s$' "${by_design[@]}")

unset TRELLIUM_ALLOW_SKIPS

run -R '^Passes$'
expect_status zero "nothing skipped"
expect_not_in "$err" "skipped" "nothing skipped"

run -R '^(Passes|Skips)$'
expect_status nonzero "a skipped test"
expect_in "$err" "1 test(s) skipped" "a skipped test"
expect_in "$err" "  Skips" "a skipped test"

# A by-design skip outside the sanitizer tree is a skip like any other.
run -R "^Passes\$$by_design_pattern"
expect_status nonzero "a by-design skip without --sanitize"
expect_in "$err" "  ${by_design[0]}" "a by-design skip without --sanitize"

run -R '^Fails$'
expect_status nonzero "a failing test"

TRELLIUM_ALLOW_SKIPS=1 run -R '^(Passes|Skips)$'
expect_status zero "skips allowed"
expect_in "$out" "Skipped (allowed by TRELLIUM_ALLOW_SKIPS=1):" "skips allowed"
expect_in "$out" "  Skips" "skips allowed"

TRELLIUM_ALLOW_SKIPS=1 run -R '^(Fails|Skips)$'
expect_status nonzero "a failing test with skips allowed"

run --sanitize -R "^Passes\$$by_design_pattern"
expect_status zero "by-design skips in the sanitizer tree"
expect_not_in "$err" "skipped" "by-design skips in the sanitizer tree"

run --sanitize -R "^Skips\$$by_design_pattern"
expect_status nonzero "another skip in the sanitizer tree"
expect_in "$err" "1 test(s) skipped" "another skip in the sanitizer tree"
expect_in "$err" "  Skips" "another skip in the sanitizer tree"
for name in "${by_design[@]}"; do
  expect_not_in "$err" "  $name" "another skip in the sanitizer tree"
done

run --sanitize -R '^Fails$'
expect_status nonzero "a failing test in the sanitizer tree"

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
