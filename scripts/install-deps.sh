#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need (Debian 12).
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  libplist-dev libsqlite3-dev nlohmann-json3-dev libicu-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  locales tzdata sqlite3 procps
  qt6-base-dev libgl-dev dbus dbus-daemon
  libcurl4-openssl-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
