#!/usr/bin/env bash
# Runs every test from a fresh Debian 12 machine: installs what is missing,
# builds (the programs, the tests, the setup program and the zip), runs the
# unit tests under Wine (ctest), then the end-to-end tests (pytest) against
# the real programs, services, serial ports, SMTP sinks and setup program.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLY_BUILD_DIR:-$top/build}
source "$top/tools/wine-session.sh"
wine_fixed_layout "$0" "$@"

"$top/tools/setup-packages.sh"
/usr/bin/python3 "$top/tools/check-layers.py"
"$top/tools/build.sh"
TALLY_BUILD_DIR="$build" "$top/tools/package.sh"

wine_session_env "$build"
trap wine_session_stop EXIT

echo "== Unit tests (GoogleTest under Wine)"
wine_session_start
(cd "$build" && ctest --output-on-failure --timeout 300)
wine_session_stop

if [ -d "$top/tests/e2e" ] && ls "$top"/tests/e2e/test_*.py >/dev/null 2>&1; then
  echo "== End-to-end tests (pytest)"
  cd "$top/tests/e2e"
  TALLY_BUILD_DIR="$build" /usr/bin/python3 -m pytest -p no:cacheprovider -q --durations=25 "$@"
fi
