#!/usr/bin/env bash
# Usage: check_debs.sh BUILD_DIR VERSION CONFIG (the build type, lower case)
# Builds the Debian packages of BUILD_DIR with CPack into a scratch directory, extracts each
# with dpkg -x into a scratch root (never the live system) and fails, naming the package, when
# its files or its control fields differ from what it should hold. Removes what it made.
set -euo pipefail
build_dir=$1 version=$2 config=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/agentclient-debs.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

if ! (cd "$build_dir" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1); then
  cat "$scratch/cpack.log" >&2
  echo "FAIL: cpack could not build the packages" >&2
  exit 1
fi

# Package, the files it holds (regular files and links), and what its Depends must name
# (extended regular expressions, separated by commas).
declare -A files depends
files[libagentclient0]="./usr/lib/libagentclient.so.0 ./usr/lib/libagentclient.so.$version"
depends[libagentclient0]="libc6,libct4,libstdc\+\+6"
files[libagentclient-dev]="./usr/include/agentclient/agentclient.hpp ./usr/include/agentclient/pa.h
  ./usr/include/agentclient/records.hpp
  ./usr/lib/cmake/agentclient/agentclient-config-version.cmake ./usr/lib/cmake/agentclient/agentclient-config.cmake
  ./usr/lib/cmake/agentclient/agentclient-targets-$config.cmake ./usr/lib/cmake/agentclient/agentclient-targets.cmake
  ./usr/lib/libagentclient.a ./usr/lib/libagentclient.so ./usr/lib/pkgconfig/agentclient.pc"
depends[libagentclient-dev]="libagentclient0 \(= $version-1\),freetds-dev"
files[paagentd]="./usr/bin/pactl ./usr/bin/paexporter ./usr/lib/systemd/system/paagentd.service
  ./usr/lib/systemd/system/paexporter.service ./usr/libexec/paagentd/paagentd-log-writer ./usr/sbin/paagentd
  ./usr/share/bash-completion/completions/pactl ./usr/share/man/man1/pactl.1.gz ./usr/share/man/man1/paexporter.1.gz
  ./usr/share/man/man8/paagentd.8.gz"
depends[paagentd]="libc6,libct4,libcrypt1,libssl3,libsystemd0,libcpp-httplib0\\.11"
if grep -q '^AGENTCLIENT_BUILD_PYTHON:BOOL=ON$' "$build_dir/CMakeCache.txt"; then
  site=./usr/lib/python3/dist-packages/agentclient
  suffix=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  files[python3-agentclient]="$site/__init__.py $site/__init__.pyi $site/errors.py $site/py.typed $site/_agentclient$suffix"
  depends[python3-agentclient]="python3,libagentclient0 \(= $version-1\)"
fi

status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

architecture=$(dpkg --print-architecture)
for package in "${!files[@]}"; do
  deb="$scratch/out/${package}_$version-1_$architecture.deb"
  if [[ ! -f $deb ]]; then
    fail "no $(basename "$deb") among:" "$(cd "$scratch/out" && echo *.deb)"
    continue
  fi
  root="$scratch/root/$package"
  mkdir -p "$root"
  dpkg -x "$deb" "$root"
  held=$(cd "$root" && find . ! -type d | sort)
  wanted=$(tr -s ' \n' '\n' <<<"${files[$package]}" | sed '/^$/d' | sort)
  [[ $held == "$wanted" ]] ||
    fail "$package's files differ (< wanted, > held):" "$(diff <(echo "$wanted") <(echo "$held") | grep '^[<>]')"
  [[ $(dpkg-deb -f "$deb" Package) == "$package" ]] || fail "$package is named $(dpkg-deb -f "$deb" Package)"
  package_depends=$(dpkg-deb -f "$deb" Depends)
  IFS=, read -ra wanted_depends <<<"${depends[$package]}"
  for dependency in "${wanted_depends[@]}"; do
    grep -Eq "(^|, )$dependency( |,|$)" <<<"$package_depends" ||
      fail "$package depends on \"$package_depends\", without $dependency"
  done
done
unit=$scratch/root/paagentd/usr/lib/systemd/system/paexporter.service
# The unit names the program where the build's prefix installs it, as paagentd.service does.
grep -Eq '^ExecStart=/\S*/bin/paexporter --password-file %d/password ' "$unit" ||
  fail "paexporter.service does not start paexporter with the password systemd hands over"
grep -q '^DynamicUser=yes$' "$unit" || fail "paexporter.service does not run as an unprivileged user of its own"
[[ $(readlink "$scratch/root/libagentclient-dev/usr/lib/libagentclient.so") == libagentclient.so.0 ]] ||
  fail "libagentclient-dev's libagentclient.so does not point to the runtime package's libagentclient.so.0"

[[ $status -eq 0 ]] && echo "Debian packages: ${!files[*]} hold their files and name their dependencies"
exit $status
