#!/usr/bin/env bash
# Formats every tracked C++ source in place with the project's .clang-format
# (after a merge, for example); `scripts/test.sh format` checks the same files.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format -i
git status --short -- '*.cpp' '*.h'
