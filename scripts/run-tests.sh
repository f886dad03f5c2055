#!/usr/bin/env bash
# Builds Korvalo and runs every test: the full build (warnings as errors), the core under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the threaded tests under
# ThreadSanitizer. Ends with one line of counts over all runs.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

passed=0
failed=0
status=0

run_suite() {   # run_suite <name> <build folder> <ctest options> -- <cmake options...>
  local name=$1 dir=$2 ctest_opts=$3; shift 3
  echo "=== $name ==="
  if ! cmake -S "$top" -B "$dir" -G Ninja -DKORVALO_WERROR=ON -DKORVALO_BENCH=OFF "$@" >/dev/null ||
     ! ninja -C "$dir" -j "$jobs"; then
    echo "$name: build failed"
    failed=$((failed + 1)); status=1
    return
  fi
  local log
  log=$(mktemp)
  # shellcheck disable=SC2086
  (cd "$dir" && ctest --output-on-failure -j "$jobs" $ctest_opts) 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    bad=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad)); failed=$((failed + bad))
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  fi
  [ "$rc" -eq 0 ] || status=1
  rm -f "$log"
}

run_suite "full build" build-test "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite "address and undefined-behaviour sanitizers" build-asan "" \
  -DCMAKE_BUILD_TYPE=Debug -DKORVALO_UI=OFF -DKORVALO_SANITIZE=address,undefined
run_suite "thread sanitizer" build-tsan "-L ^(platform|net|engine|app)$" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALO_UI=OFF -DKORVALO_SANITIZE=thread

echo "tests: $passed passed, $failed failed"
exit $status
