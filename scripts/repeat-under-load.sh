#!/usr/bin/env bash
# Shows that the test suite does not depend on timing: every suite, in the
# normal build and in the AddressSanitizer + UndefinedBehaviorSanitizer build,
# must pass 20 times in a row while two busy loops keep both cores loaded.
# Not part of scripts/test.sh. Builds build/ and build-asan/ under the checkout
# (or $VELMORA_BUILD_ROOT) first, with the same options as scripts/test.sh.
# Usage: scripts/repeat-under-load.sh [repeats]   (VELMORA_JOBS: parallel builds and tests)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
root=${VELMORA_BUILD_ROOT:-$here}
jobs=${VELMORA_JOBS:-$(nproc)}
repeats=${1:-20}
export QT_QPA_PLATFORM=offscreen

build() {
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  nice cmake --build "$dir" -j "$jobs" >/dev/null
}

echo "== building build/ and build-asan/"
build "$root/build"
build "$root/build-asan" -DVELMORA_SANITIZE=address,undefined -DVELMORA_BUILD_BENCH=OFF

busy=()
stop_load() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait "${busy[@]}" 2>/dev/null || true
}
trap stop_load EXIT
for _ in 1 2; do
  ( while :; do :; done ) &
  busy+=($!)
done
echo "== two busy loops running (pids ${busy[*]})"

logs=$(mktemp -d)
summary=()
failed=0
run_stage() {
  local name=$1 dir=$2 started=$SECONDS
  echo "== $name: every suite, until-fail:$repeats"
  if ctest --test-dir "$dir" --output-on-failure -j "$jobs" --repeat "until-fail:$repeats" \
      >"$logs/$name.log" 2>&1; then
    summary+=("$name: PASSED $repeats times in a row, $((SECONDS - started)) s")
  else
    failed=1
    summary+=("$name: FAILED after $((SECONDS - started)) s (log: $logs/$name.log)")
    grep -E '^(FAIL!|[0-9]+/[0-9]+ Test .*(Failed|Timeout|Exception))' "$logs/$name.log" | head -n 20 || true
  fi
  grep -E 'tests passed|Total Test time' "$logs/$name.log" | sed 's/^/   /' || true
}

run_stage plain "$root/build"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
LSAN_OPTIONS="suppressions=$here/tests/sanitizers/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  run_stage asan "$root/build-asan"

echo "== summary (load: two busy loops, $(nproc) cores)"
printf '   %s\n' "${summary[@]}"
exit "$failed"
