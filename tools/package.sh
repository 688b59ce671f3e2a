#!/usr/bin/env bash
# Builds the two release artefacts into build/dist:
#   Tallyline-<version>-setup.exe   the setup program (NSIS, 64-bit)
#   Tallyline-<version>-win64.zip   the two programs, README and licence, for
#                                   administrators who deploy without Setup
# The version is the one of project(... VERSION) in CMakeLists.txt.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLY_BUILD_DIR:-$top/build}

"$top/tools/setup-packages.sh"
"$top/tools/build.sh" --target client tallysvc >/dev/null

header=$build/generated/TallyVersion.h
version=$(sed -n 's/^#define TALLY_VERSION_STRING "\(.*\)"$/\1/p' "$header")
[ -n "$version" ] || { echo "No version in $header" >&2; exit 1; }

stage=$build/package/Tallyline-$version
dist=$build/dist
rm -rf "$stage"
mkdir -p "$stage" "$dist"
# Without the debugging information of the RelWithDebInfo build.
for program in client.exe tallysvc.exe; do
  x86_64-w64-mingw32-strip -o "$stage/$program" "$build/bin/$program"
done
# Text files with CR LF, for Notepad on older Windows.
sed 's/$/\r/' "$top/README.md" > "$stage/README.txt"
sed 's/$/\r/' "$top/LICENSE.txt" > "$stage/LICENSE.txt"

setup=$dist/Tallyline-$version-setup.exe
makensis -V2 -NOCD -DVERSION_HEADER="$header" -DSTAGE="$stage" -DICON="$top/client/res/Tallyline.ico" \
         -DOUTFILE="$setup" "$top/installer/Tallyline.nsi"

zip=$dist/Tallyline-$version-win64.zip
rm -f "$zip"
(cd "$build/package" && zip -q -X "$zip" "Tallyline-$version/client.exe" "Tallyline-$version/tallysvc.exe" \
                                         "Tallyline-$version/README.txt" "Tallyline-$version/LICENSE.txt")
echo "$setup"
echo "$zip"
