#!/usr/bin/env bash
# Cross-builds both programs and the tests into build/ (programs in build/bin).
# Arguments go to "cmake --build" (tools/package.sh: --target client tallysvc).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLY_BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/tools/mingw-toolchain.cmake" \
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} >/dev/null
cmake --build "$build" "$@"
