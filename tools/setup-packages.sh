#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Idempotent:
# does nothing when every package is already there.
set -euo pipefail

PACKAGES=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine64 fonts-wine
  xvfb xauth x11-utils imagemagick openbox
  socat openssl rsyslog rsyslog-gnutls
  ser2net python3-serial
  nsis zip unzip msitools wixl osslsigncode
  python3-aiosmtpd python3-pytest python3-cryptography
  cmake ninja-build ccache g++ googletest
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
