#!/usr/bin/env bash
# Builds the three release artefacts into build/dist:
#   Tallyline-<version>-setup.exe   the setup program (NSIS, 64-bit)
#   Tallyline-<version>-x64.msi     the Windows Installer package (wixl), for
#                                   Group Policy and deployment tools
#   Tallyline-<version>-win64.zip   the two programs, the README, the
#                                   administrator's guide, the reference and
#                                   the licence, for administrators who deploy
#                                   without Setup
# The version is the one of project(... VERSION) in CMakeLists.txt.
#
# Signing (Authenticode, osslsigncode), when TALLY_SIGN_PFX names a PKCS#12
# file with a code-signing certificate and its key: both programs, the setup
# program, its uninstaller and the package. TALLY_SIGN_PASSWORD is the
# file's password, TALLY_SIGN_TIMESTAMP_URL an RFC 3161 time-stamping
# server (optional). Without TALLY_SIGN_PFX nothing is signed.
# TALLY_PACKAGE_OUT puts package/ and dist/ in another folder than the build;
# TALLY_PACKAGE_CLIENT packs that program as client.exe (tests: a stand-in).
#
#   tools/package.sh --sign FILE    signs FILE in place (makensis calls this)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${TALLY_BUILD_DIR:-$top/build}

sign() {
  local file=$1 pass
  pass=$(mktemp)
  trap 'rm -f "$pass"' RETURN
  # Through a file, not the command line, where other users could read it.
  printf '%s' "${TALLY_SIGN_PASSWORD:-}" > "$pass"
  local args=(sign -pkcs12 "$TALLY_SIGN_PFX" -readpass "$pass" -h sha256 -n Tallyline)
  if [ -n "${TALLY_SIGN_TIMESTAMP_URL:-}" ]; then
    args+=(-ts "$TALLY_SIGN_TIMESTAMP_URL")
  fi
  osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >/dev/null
  mv -f "$file.signed" "$file"
}

if [ "${1:-}" = "--sign" ]; then
  sign "$2"
  exit 0
fi

"$top/tools/setup-packages.sh"
"$top/tools/build.sh" --target client tallysvc tallyline_actions >/dev/null

header=$build/generated/TallyVersion.h
version=$(sed -n 's/^#define TALLY_VERSION_STRING "\(.*\)"$/\1/p' "$header")
company=$(sed -n 's/^#define TALLY_COMPANY_NAME "\(.*\)"$/\1/p' "$header")
[ -n "$version" ] || { echo "No version in $header" >&2; exit 1; }

out=${TALLY_PACKAGE_OUT:-$build}
stage=$out/package/Tallyline-$version
dist=$out/dist
rm -rf "$stage"
mkdir -p "$stage" "$dist"
# Without the debugging information of the RelWithDebInfo build.
for program in client.exe tallysvc.exe; do
  source=$build/bin/$program
  if [ "$program" = client.exe ] && [ -n "${TALLY_PACKAGE_CLIENT:-}" ]; then
    source=$TALLY_PACKAGE_CLIENT
  fi
  x86_64-w64-mingw32-strip -o "$stage/$program" "$source"
  if [ -n "${TALLY_SIGN_PFX:-}" ]; then
    sign "$stage/$program"
  fi
done
# Text files with CR LF, for Notepad on older Windows. The installers and the
# zip take the same four (installer/Tallyline.nsi, installer/Tallyline.wxs).
sed 's/$/\r/' "$top/README.md" > "$stage/README.txt"
sed 's/$/\r/' "$top/docs/administrators-guide.md" > "$stage/ADMIN-GUIDE.txt"
sed 's/$/\r/' "$top/docs/reference.md" > "$stage/REFERENCE.txt"
sed 's/$/\r/' "$top/LICENSE.txt" > "$stage/LICENSE.txt"

setup=$dist/Tallyline-$version-setup.exe
signing=()
if [ -n "${TALLY_SIGN_PFX:-}" ]; then
  # makensis signs the uninstaller before it embeds it, then the setup.
  signing=(-DSIGN_COMMAND="bash \"$top/tools/package.sh\" --sign")
fi
makensis -V2 -NOCD -DVERSION_HEADER="$header" -DSTAGE="$stage" -DICON="$top/client/res/Tallyline.ico" \
         -DOUTFILE="$setup" "${signing[@]}" "$top/installer/Tallyline.nsi"

msi=$dist/Tallyline-$version-x64.msi
rm -f "$msi"
# wixl finds sources by relative paths only. The package's custom actions
# travel in it, without their debugging information.
cp "$top/client/res/Tallyline.ico" "$out/package/Tallyline.ico"
x86_64-w64-mingw32-strip -o "$out/package/TallylineActions.dll" "$build/bin/TallylineActions.dll"
if [ -n "${TALLY_SIGN_PFX:-}" ]; then
  sign "$out/package/TallylineActions.dll"
fi
(cd "$out/package" && wixl -a x64 -D Version="$version" -D Manufacturer="$company" -D Stage="Tallyline-$version" \
                           -D Icon=Tallyline.ico -D Actions=TallylineActions.dll -o "$msi" "$top/installer/Tallyline.wxs")
# What wixl 0.101 cannot write: CONFIG as a secure property (an install that
# Windows elevates drops others); the custom actions' types, where it leaves
# out in-script 1024 with rollback 256 or commit 512 (DLL 1 + no
# impersonation 2048, + continue 64 for the rollback actions), and adds no
# impersonation 2048 to a property set 51; the programs' file versions,
# without which an upgrade replaces a program only when the installed file
# looks unmodified; and the permissions of the folder and of each file
# (MsiLockPermissionsEx, Windows Installer 5), which the installer sets as it
# makes the folder and lays down each file, before anything from there runs
# (Wine's msiexec ignores them; client.exe /start-instances protects them
# there afterwards).
sddl=$(sed -n 's/^#define PROTECTED_FOLDER_SDDL "\(.*\)"$/\1/p' "$top/client/instances/ProgramFolder.h")
[ -n "$sddl" ] || { echo "No PROTECTED_FOLDER_SDDL in client/instances/ProgramFolder.h" >&2; exit 1; }
locks=(-q "CREATE TABLE \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\` CHAR(72) NOT NULL, \`LockObject\` CHAR(72) NOT NULL, \`Table\` CHAR(32) NOT NULL, \`SDDLText\` LONGCHAR NOT NULL, \`Condition\` CHAR(255) PRIMARY KEY \`MsiLockPermissionsEx\`)"
       -q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDLText\`) VALUES ('ProgramFolder', 'INSTALLDIR', 'CreateFolder', '$sddl')")
for file in client.exe tallysvc.exe README.txt LICENSE.txt ADMIN_GUIDE.txt REFERENCE.txt; do
  locks+=(-q "INSERT INTO \`MsiLockPermissionsEx\` (\`MsiLockPermissionsEx\`, \`LockObject\`, \`Table\`, \`SDDLText\`) VALUES ('$file', '$file', 'File', '$sddl')")
done
msibuild "$msi" -q "UPDATE \`Property\` SET \`Value\` = 'OLDERFOUND;NEWERFOUND;CONFIG' WHERE \`Property\` = 'SecureCustomProperties'" \
                -q "UPDATE \`CustomAction\` SET \`Type\` = 3393 WHERE \`Type\` = 2113" \
                -q "UPDATE \`CustomAction\` SET \`Type\` = 3585 WHERE \`Type\` = 2049" \
                -q "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Type\` = 2099" \
                -q "UPDATE \`File\` SET \`Version\` = '$version.0' WHERE \`File\` = 'client.exe' OR \`File\` = 'tallysvc.exe'" \
                "${locks[@]}"
if [ -n "${TALLY_SIGN_PFX:-}" ]; then
  sign "$msi"
fi

zip=$dist/Tallyline-$version-win64.zip
rm -f "$zip"
(cd "$out/package" && zip -q -X "$zip" "Tallyline-$version/client.exe" "Tallyline-$version/tallysvc.exe" \
                                       "Tallyline-$version/README.txt" "Tallyline-$version/ADMIN-GUIDE.txt" \
                                       "Tallyline-$version/REFERENCE.txt" "Tallyline-$version/LICENSE.txt")
echo "$setup"
echo "$msi"
echo "$zip"
