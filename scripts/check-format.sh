#!/usr/bin/env bash
# Checks that every C++ source and header follows .clang-format (clang-format 14).
# With --fix, formats them in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$format" -i "${files[@]}"
else
  "$format" --dry-run -Werror "${files[@]}"
fi
