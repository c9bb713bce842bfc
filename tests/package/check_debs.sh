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
files[paagentd]="./usr/bin/pactl ./usr/lib/systemd/system/paagentd.service ./usr/libexec/paagentd/paagentd-log-writer
  ./usr/sbin/paagentd
  ./usr/share/bash-completion/completions/pactl ./usr/share/man/man1/pactl.1.gz ./usr/share/man/man8/paagentd.8.gz"
depends[paagentd]="libc6,libct4,libcrypt1,libssl3,libsystemd0"

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
[[ $(readlink "$scratch/root/libagentclient-dev/usr/lib/libagentclient.so") == libagentclient.so.0 ]] ||
  fail "libagentclient-dev's libagentclient.so does not point to the runtime package's libagentclient.so.0"

[[ $status -eq 0 ]] && echo "Debian packages: ${!files[*]} hold their files and name their dependencies"
exit $status
