#!/usr/bin/env bash
# Usage: check_exports.sh PA_H SHARED_LIBRARY STATIC_LIBRARY
# Fails when the C-linkage functions that either library defines differ from the functions
# pa.h declares, or when one the shared library exports lacks the AGENTCLIENT_0 version: an
# internal helper with the public prefix would clash with a caller's names, and an unversioned
# export escapes the version script. C++-linkage (mangled) internals cannot clash and are not
# compared.
set -euo pipefail
header=$1 shared=$2 static=$3

declared=$(sed -nE 's/^PA_EXPORT .*[^A-Za-z0-9_](Pa[A-Za-z0-9_]+)\(.*/\1/p' "$header" | sort -u)
if [[ -z $declared ]]; then
  echo "FAIL: $header declares no functions; the check cannot see the interface" >&2
  exit 1
fi

status=0
# compare WHAT LIST: reports the names only in one of pa.h and LIST.
compare() {
  local what=$1 list=$2 extra missing
  extra=$(comm -13 <(echo "$declared") <(echo "$list"))
  missing=$(comm -23 <(echo "$declared") <(echo "$list"))
  if [[ -n $extra ]]; then
    echo "FAIL: $what defines functions pa.h does not declare: ${extra//$'\n'/ }" >&2
    status=1
  fi
  if [[ -n $missing ]]; then
    echo "FAIL: $what lacks functions pa.h declares: ${missing//$'\n'/ }" >&2
    status=1
  fi
}

# The version definition itself shows as an absolute symbol; every other export is versioned.
dynamic=$(nm -D --defined-only "$shared" | awk '$2 != "A" { print $3 }')
unversioned=$(grep -v '@@AGENTCLIENT_0$' <<<"$dynamic" || true)
if [[ -n $unversioned ]]; then
  echo "FAIL: $shared exports symbols outside AGENTCLIENT_0: ${unversioned//$'\n'/ }" >&2
  status=1
fi
compare "$shared" "$(cut -d@ -f1 <<<"$dynamic" | sort -u)"
compare "$static" "$(nm -g --defined-only "$static" | awk 'NF == 3 && $3 !~ /^_Z/ { print $3 }' | sort -u)"

[[ $status -eq 0 ]] && echo "exports: both libraries define exactly the $(wc -l <<<"$declared") functions of pa.h"
exit $status
