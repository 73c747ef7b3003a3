#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, run and test.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-qpa-plugins libgl-dev
  libsqlite3-dev sqlite3
  libpq-dev postgresql unixodbc-dev odbc-postgresql tdsodbc
  libdcmtk-dev dcmtk libopenjp2-7-dev libssl-dev openssl
  libgtest-dev libgdcm-tools bc python3
  clang libclang-rt-14-dev ccache
  systemd
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
