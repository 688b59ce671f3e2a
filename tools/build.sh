#!/usr/bin/env bash
# Cross-builds both programs and the tests into build/ (programs in build/bin).
# Arguments go to "cmake --build" (tools/package.sh: --target client tallysvc).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLY_BUILD_DIR:-$top/build}
launcher=()
if command -v ccache >/dev/null; then
  # A compiler cache in the build folder (or CCACHE_DIR): a copy of the
  # sources laid out the same way (source/build) compiles from it, with paths
  # taken relative to the top, as the setup tests' next version does.
  export CCACHE_DIR=${CCACHE_DIR:-$build/ccache} CCACHE_BASEDIR=$top CCACHE_NOHASHDIR=1
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/tools/mingw-toolchain.cmake" \
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} "${launcher[@]}" >/dev/null
cmake --build "$build" "$@"
