#!/usr/bin/env bash
# Usage: check_naming.sh SOURCE_DIR BUILD_DIR
# Runs the root .clang-tidy (naming and braces) over every C++ source the build compiles and the
# headers they include; fails, naming each finding, when one breaks the convention.
set -euo pipefail
source_dir=$1
build_dir=$2
mapfile -t files < <(python3 - "$build_dir/compile_commands.json" "$source_dir" <<'PY'
import json, os, sys
commands, root = sys.argv[1], os.path.realpath(sys.argv[2])
paths = set()
for entry in json.load(open(commands)):
    path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(root + "/") and path.endswith(".cc") and "/build" not in path[len(root):]:
        paths.add(path)
print("\n".join(sorted(paths)))
PY
)
if [[ ${#files[@]} -eq 0 ]]; then
  echo "FAIL: no sources in $build_dir/compile_commands.json" >&2
  exit 1
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The build's flags are gcc's: clang is told to pass over the warning options it lacks.
if ! run-clang-tidy -p "$build_dir" -j "$(nproc)" -quiet -extra-arg=-Wno-unknown-warning-option "${files[@]}" >"$log" 2>&1; then
  grep -E '(error|warning): ' "$log" | sort -u >&2 || cat "$log" >&2
  exit 1
fi
echo "naming: ${#files[@]} sources and their headers follow .clang-tidy"
