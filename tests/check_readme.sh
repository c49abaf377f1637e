#!/usr/bin/env bash
# Keeps the README and CONTRIBUTING.md true where a machine can tell: every
# file or folder of the checkout they name exists, every test and benchmark
# they name is built, and the stages they list are the test script's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
failures=0
fail() { echo "check_readme: $*" >&2; failures=$((failures + 1)); }

for doc in README.md CONTRIBUTING.md; do
  # Backticked words that look like paths of the checkout.
  while IFS= read -r word; do
    case "$word" in
      /*|~*|build*|'<'*|*'<'*|*'*'*|*…*|*...*|../*|http*) continue ;;
    esac
    path=${word%%[ :]*}
    # Only paths into the checkout's own folders (install paths and the
    # like name other places).
    [ -d "${path%%/*}" ] && [ "${path%%/*}" != "$path" ] || continue
    # A settings key (`export/last_folder`) is a text of the program's.
    [ -e "$path" ] || git grep -q "\"$path\"" -- '*.cpp' '*.h' ||
      fail "$doc names $path, which does not exist"
  done < <(grep -o '`[a-z_]*/[A-Za-z0-9_./-]*`' "$doc" | tr -d '`' | sort -u)

  # Tests and benchmarks by name.
  while IFS= read -r name; do
    case "$name" in
      tst_*) [ -f "tests/$name.cpp" ] || grep -qE "NAME $name( |$)" tests/CMakeLists.txt ||
               fail "$doc names the suite $name, which does not exist" ;;
      bench_*) [ -f "bench/$name.cpp" ] || fail "$doc names the benchmark $name, which does not exist" ;;
    esac
  done < <(grep -oE '\b(tst|bench)_[a-z_]+' "$doc" | sort -u)
done

# The stages the README and CONTRIBUTING.md list are those test.sh takes.
stages=$(sed -n 's/^  all|\(.*\)) ;;$/\1/p' scripts/test.sh)
grep -q "scripts/test.sh $stages\`" README.md ||
  fail "README does not list the stages of scripts/test.sh ($stages)"
for stage in ${stages//|/ }; do
  grep -q "^| \`$stage\` |" CONTRIBUTING.md || fail "CONTRIBUTING.md's stage table lacks $stage"
done

# Every benchmark that is built is named in CONTRIBUTING.md and the README.
for source in bench/bench_*.cpp; do
  name=$(basename "$source" .cpp)
  grep -q "$name" CONTRIBUTING.md || fail "CONTRIBUTING.md does not name $name"
  grep -q "$name" README.md || fail "README does not name $name"
done

if [ "$failures" -ne 0 ]; then
  echo "check_readme: $failures statement(s) to correct" >&2
  exit 1
fi
echo "check_readme: every named file, test, benchmark and stage exists"
