#!/usr/bin/env bash
# Usage: check_consumers.sh SOURCE_DIR BUILD_DIR VERSION
# Installs BUILD_DIR into a scratch prefix and builds the programs of tests/consumer against it
# as another project would: with the CMake package (C with the archive, C++ with the shared
# library) and with the pkg-config file (both with the shared library, and C with the archive
# and `pkg-config --static`). Runs each against the installed paagentd on loopback and fails
# when a build, a run or the version a program was built with goes wrong. Removes what it made.
set -euo pipefail
source_dir=$1 build_dir=$2 version=$3
consumer_dir=$source_dir/tests/consumer
# shellcheck source=scripts/local_agent.bash
source "$source_dir/scripts/local_agent.bash"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/agentclient-consumer.XXXXXX")
trap 'stop_local_agent >/dev/null; rm -rf "$scratch"' EXIT

prefix=$scratch/prefix
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name libagentclient.a)")
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion agentclient) == "$version" ]] ||
  { echo "FAIL: agentclient.pc says version $(pkg-config --modversion agentclient), not $version" >&2; exit 1; }

cmake -S "$consumer_dir" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DAGENTCLIENT_VERSION="$version" >/dev/null
cmake --build "$scratch/cmake" -j 2 >/dev/null
read -ra flags <<<"$(pkg-config --cflags --libs agentclient)"
read -ra static_flags <<<"$(pkg-config --cflags --static --libs agentclient)"
cc "$consumer_dir/consumer.c" -o "$scratch/pc_c" "${flags[@]}"
c++ -std=c++20 "$consumer_dir/consumer.cc" -o "$scratch/pc_cpp" "${flags[@]}"
# The static flags name the library as -lagentclient, which the linker resolves to the shared
# library when both are there; ask for the archive by its file name.
cc "$consumer_dir/consumer.c" -o "$scratch/pc_c_static" "${static_flags[@]/#-lagentclient/-l:libagentclient.a}"

start_local_agent "$prefix/sbin/paagentd" >/dev/null
export LD_LIBRARY_PATH=$libdir
status=0
# Program, and whether it must load libagentclient.so.0.
for entry in cmake/consumer_c:static cmake/consumer_cpp:shared pc_c:shared pc_cpp:shared pc_c_static:static; do
  program=$scratch/${entry%:*} linkage=${entry#*:}
  shared=static
  readelf -d "$program" | grep -q 'NEEDED.*\[libagentclient\.so\.0\]' && shared=shared
  if [[ $shared != "$linkage" ]]; then
    echo "FAIL: ${entry%:*} links the $shared library, not the $linkage one" >&2
    status=1
  fi
  if ! output=$(timeout 30 "$program" 2>&1) || ! grep -q "^agentclient $version (" <<<"$output"; then
    echo "FAIL: ${entry%:*} did not survey the agent as agentclient $version:" >&2
    echo "$output" >&2
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "consumers: five programs built with find_package and pkg-config ran against paagentd"
exit $status
