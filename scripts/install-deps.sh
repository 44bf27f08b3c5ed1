#!/usr/bin/env bash
# Installs every Debian package that quillgate's build, its tests and its peers need.
# Idempotent: does nothing when every package is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config g++ clang libclang-rt-dev
  libboost-dev libboost-system-dev libspdlog-dev libfmt-dev libglib2.0-dev
  libgtest-dev libgmock-dev
  clang-format-14   # the formatting check of scripts/test.sh, at the release the tree is formatted with
  rspamd postfix swaks iproute2 util-linux procps python3
  dpkg-dev systemd passwd   # the package: dpkg-shlibdeps, systemd-analyze, useradd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Postfix asks how to configure itself; the tests run private instances and need no system set-up.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
echo "postfix postfix/mailname string localhost" | $SUDO debconf-set-selections
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
