#!/usr/bin/env bash
# Usage: check_format.sh SOURCE_DIR
# Fails, naming the files, when a C or C++ source differs from what the root .clang-format makes of it.
set -euo pipefail
cd "$1"
mapfile -d '' files < <(git ls-files -z '*.cc' '*.h' '*.c')
if [[ ${#files[@]} -eq 0 ]]; then
  echo "FAIL: no sources to check" >&2
  exit 1
fi
clang-format --dry-run --Werror "${files[@]}"
echo "source format: ${#files[@]} files follow .clang-format"
