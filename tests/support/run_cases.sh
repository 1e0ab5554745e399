#!/usr/bin/env bash
# Runs every GoogleTest case of one executable in a process of its own, so no case
# sees another's process-wide state (a loaded module, a bound function table, a
# card taken out). Prints each failing case's output and a closing count.
set -u
exe=$1
shift
list=$("$exe" --gtest_list_tests "$@") || { echo "cannot list the tests of $exe"; exit 1; }
cases=()
suite=""
while IFS= read -r line; do
  line=${line%%#*}
  [ -z "${line// /}" ] && continue
  if [[ $line != " "* ]]; then
    suite=${line%% *}
  else
    name=${line#"${line%%[! ]*}"}
    cases+=("$suite${name%% *}")
  fi
done <<< "$list"
passed=0
failed=0
failures=()
for c in "${cases[@]}"; do
  out=$("$exe" --gtest_filter="$c" "$@" 2>&1)
  rc=$?
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$c")
    printf '%s\n' "$out"
  fi
done
for c in "${failures[@]}"; do echo "FAILED: $c"; done
echo "$(basename "$exe"): $passed passed, $failed failed"
[ $failed -eq 0 ] && [ $((passed + failed)) -gt 0 ]
