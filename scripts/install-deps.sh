#!/usr/bin/env bash
# Installs the Debian packages Korvanex needs to build, test and package.
# Only what is missing is installed; with everything present this does nothing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang-format
  qt6-base-dev qt6-base-dev-tools libqt6svg6 libgl-dev libicu-dev
  libgtest-dev googletest
  libldap-dev libsasl2-dev slapd ldap-utils
  hyperfine time
  desktop-file-utils shared-mime-info lintian dpkg-dev file man-db
  clang libclang-rt-14-dev
  openssl
  xvfb openbox xdotool x11-utils xauth locales appstream
  fonts-noto-cjk
  samba samba-ad-provision python3-samba samba-dsdb-modules samba-vfs-modules winbind iproute2
  krb5-user libsasl2-modules libsasl2-modules-gssapi-mit
  libgnutls28-dev qtkeychain-qt6-dev libsecret-1-0 gnome-keyring dbus-daemon dbus-bin
  libxlsxwriter-dev libminizip-dev libreoffice-calc-nogui python3-openpyxl
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
