#!/bin/sh
# Runs systemd-analyze verify on the unit with its ExecStart pointing at the built agent and its
# manual page made from its source, and fails on any complaint.
# Usage: verify_unit.sh SYSTEMD_ANALYZE UNIT BUILT_PAAGENTD INSTALLED_PAAGENTD SCDOC MANUAL_SOURCE
set -eu
analyze=$1 unit=$2 built=$3 installed=$4
directory=$(mktemp -d)
trap 'rm -rf "$directory"' EXIT
sed "s|$installed|$built|" "$unit" > "$directory/paagentd.service"
mkdir -p "$directory/man/man8"
"$5" < "$6" > "$directory/man/man8/paagentd.8"
complaints=$(MANPATH="$directory/man" "$analyze" verify "$directory/paagentd.service" 2>&1) || {
    echo "$complaints"
    exit 1
}
if [ -n "$complaints" ]; then
    echo "$complaints"
    exit 1
fi
