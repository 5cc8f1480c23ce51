#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs every Debian package Chipwright needs to build, run and test.
# Quick no-op when everything is already present; uses sudo only when not root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins libgl-dev
  libusb-1.0-0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev
  srecord binutils
  nlohmann-json3-dev zlib1g-dev libssl-dev
  libsqlite3-dev libpq-dev postgresql
  flashrom python3 python3-jsonschema
  clang libclang-rt-14-dev clang-format
  fonts-dejavu-core fonts-urw-base35 fonts-liberation fonts-wqy-zenhei
  qt6-translations-l10n
  xvfb xauth xdotool
  dpkg-dev desktop-file-utils appstream bash-completion
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

echo "bootstrap: installing ${missing[*]}"
"${as_root[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
