#!/usr/bin/env bash
# Usage: check_deb.sh BUILD_DIR TESTS_DIR
# Builds python3-agentclient and the library's runtime package with CPack, extracts both into a
# scratch root (never the live system) and runs the connection tests with the package imported
# from there, so that the installed module, its files and its path to the library are checked.
# Then checks that make install to /usr/local, staged in the scratch root, puts the package where
# Debian's Python looks under /usr/local.
set -euo pipefail
build_dir=$1 tests_dir=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/agentclient-python-deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if ! (cd "$build_dir" && cpack -G DEB -D CPACK_COMPONENTS_ALL="runtime;python" -B "$scratch/out" \
  >"$scratch/cpack.log" 2>&1); then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack could not build the packages" >&2
  exit 1
fi
for deb in "$scratch"/out/python3-agentclient_*.deb "$scratch"/out/libagentclient0_*.deb; do
  [[ -f $deb ]] || { echo "FAIL: no $deb among: $(ls "$scratch/out")" >&2; exit 1; }
  dpkg-deb -x "$deb" "$scratch/root"
done

site="$scratch/root/usr/lib/python3/dist-packages"
export PYTHONPATH=$site
cd "$scratch"  # not the build tree, whose agentclient the current directory would import
/usr/bin/python3 - "$site" <<'PY'
import sys, agentclient
assert agentclient.__file__.startswith(sys.argv[1]), agentclient.__file__
assert agentclient._agentclient.__file__.startswith(sys.argv[1]), agentclient._agentclient.__file__
PY
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$tests_dir/test_agentclient.py" -k "connecting or closes"

DESTDIR=$scratch/local cmake --install "$build_dir" --prefix /usr/local --component python \
  >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log" >&2; exit 1; }
/usr/bin/python3 - "$scratch/local" <<'PY'
import os, site, sys
local = [d for d in site.getsitepackages() if d.startswith("/usr/local/")]
assert any(os.path.isfile(sys.argv[1] + d + "/agentclient/__init__.py") for d in local), local
PY
