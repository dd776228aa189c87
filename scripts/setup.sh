#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing, without
# asking. Safe to run again.
set -euo pipefail
packages=(
  g++ cmake make pkg-config
  libsqlite3-dev sqlite3 nettle-dev
  libgtest-dev libgmock-dev
  php8.2-cli php8.2-dev php8.2-fpm
  clang-14 libclang-rt-14-dev
)
[ "${CV_WITH_VALGRIND:-0}" = 1 ] && packages+=(valgrind)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
