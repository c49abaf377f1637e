#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds Velmora and runs the whole test suite:
#   0. the formatting check: every tracked C++ source as .clang-format wants it, and the
#      layer check: every include within the table of CONTRIBUTING.md;
#   1. the normal build, every suite, on the offscreen platform;
#   2. the same suites again under a German locale (a comma as decimal separator);
#   3. the same suites built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   4. the device layer and the simulated device built with ThreadSanitizer;
#   5. short libFuzzer runs on the simulated device's configuration reader and on the remote
#      interface's parser.
# One stage alone: scripts/test.sh format|layers|plain|locale|asan|tsan|fuzz.
# Build folders: build/, build-asan/, build-tsan/, build-fuzz/ under the checkout (or $VELMORA_BUILD_ROOT).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
root=${VELMORA_BUILD_ROOT:-$here}
jobs=${VELMORA_JOBS:-$(nproc)}

"$here/scripts/setup.sh"

export QT_QPA_PLATFORM=offscreen

configure_and_build() {
  local dir=$1; shift
  cmake -S "$here" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j "$jobs"
}

run_suite() {
  local dir=$1; shift
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}

# The C++ sources under version control (every .cpp and .h when the tree is
# not a git checkout), NUL-separated.
cxx_sources() {
  if git -C "$here" rev-parse --is-inside-work-tree > /dev/null 2>&1; then
    git -C "$here" ls-files -z -- '*.cpp' '*.h'
  else
    ( cd "$here" && find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0 )
  fi
}

stage=${1:-all}
case "$stage" in
  all|format|layers|plain|locale|asan|tsan|fuzz) ;;
  *) echo "usage: scripts/test.sh [all|format|layers|plain|locale|asan|tsan|fuzz]" >&2; exit 2 ;;
esac

# First, since it takes seconds: a file that clang-format would change fails
# the run like a failing test (the fix: clang-format -i on that file, or
# scripts/format.sh for every tracked source).
if [ "$stage" = all ] || [ "$stage" = format ]; then
  echo "== formatting (clang-format --dry-run -Werror)"
  ( cd "$here" && cxx_sources | xargs -0 clang-format --dry-run -Werror )
  echo "formatting: every C++ source is formatted"
fi

# Seconds as well: an include that crosses the layers of CONTRIBUTING.md's
# table fails the run.
if [ "$stage" = all ] || [ "$stage" = layers ]; then
  echo "== layers (scripts/check-layers.sh)"
  "$here/scripts/check-layers.sh"
fi

if [ "$stage" = all ] || [ "$stage" = plain ]; then
  echo "== build and test"
  configure_and_build "$root/build"
  run_suite "$root/build"
fi

# The program takes its locale from the environment; numbers it reads or
# writes must not follow it. setup.sh generates the locale.
if [ "$stage" = all ] || [ "$stage" = locale ]; then
  echo "== every suite under LANG=de_DE.UTF-8"
  configure_and_build "$root/build"
  LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 run_suite "$root/build"
fi

if [ "$stage" = all ] || [ "$stage" = asan ]; then
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  configure_and_build "$root/build-asan" -DVELMORA_SANITIZE=address,undefined -DVELMORA_BUILD_BENCH=OFF
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
  LSAN_OPTIONS="suppressions=$here/tests/sanitizers/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    run_suite "$root/build-asan"
fi

if [ "$stage" = all ] || [ "$stage" = tsan ]; then
  echo "== ThreadSanitizer (device layer and simulated device)"
  configure_and_build "$root/build-tsan" -DVELMORA_SANITIZE=thread -DVELMORA_DEVICE_ONLY=ON -DVELMORA_BUILD_BENCH=OFF
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$here/tests/sanitizers/tsan.supp" \
    run_suite "$root/build-tsan"
fi

if [ "$stage" = all ] || [ "$stage" = fuzz ]; then
  echo "== libFuzzer on the simulated device's configuration reader (${VELMORA_FUZZ_SECONDS:-60} s)"
  CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$root/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_FUZZ=ON
  cmake --build "$root/build-fuzz" -j "$jobs" --target fuzz_simconfig
  mkdir -p "$root/build-fuzz/corpus"
  ( cd "$root/build-fuzz" &&
    ./bin/fuzz_simconfig -max_total_time="${VELMORA_FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 corpus "$here/tests/fuzz/corpus" 2>&1 | tail -n 8 )  # pipefail: a crash fails the run
  echo "== libFuzzer on the remote interface's parser (${VELMORA_FUZZ_SECONDS:-60} s)"
  cmake --build "$root/build-fuzz" -j "$jobs" --target fuzz_scpi
  mkdir -p "$root/build-fuzz/corpus-scpi"
  ( cd "$root/build-fuzz" &&
    ./bin/fuzz_scpi -max_total_time="${VELMORA_FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 corpus-scpi "$here/tests/fuzz/corpus-scpi" 2>&1 | tail -n 8 )
fi

echo "== all tests passed"
