#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing, without
# asking. Safe to run again. With --windows: those of the Windows build and its run under
# Wine instead (Wine's 32-bit half needs the i386 architecture, added here when missing).
set -euo pipefail
windows=0
[ "${1:-}" = --windows ] && windows=1
packages=(
  g++ cmake make pkg-config
  build-essential autoconf  # the thread-safe PHP of the threaded host suite (scripts/zts-php.sh)
  libsqlite3-dev sqlite3 nettle-dev
  libgtest-dev libgmock-dev
  php8.2-cli php8.2-dev php8.2-fpm
  clang-14 libclang-rt-14-dev
  slapd ldap-utils libldap-dev
  nginx curl  # the deployment test serves the installed console through nginx and PHP-FPM
  logrotate   # the installed trace's rotation (deploy/corvane.logrotate.in)
  chromium    # the browser suite
  debhelper dh-php lintian  # the Debian packages (debian/, tests/package/run.sh)
)
[ "${CV_WITH_VALGRIND:-0}" = 1 ] && packages+=(valgrind)
if [ $windows = 1 ]; then
  packages=(cmake make ccache file googletest g++-mingw-w64-i686-posix wine wine32:i386)
fi
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
# slapd and nginx are only ever run by the project as throwaway instances of its own (the
# tests, the deployment test): no system configuration for slapd, and no package's own
# service is started (policy-rc.d refuses every start while the packages are installed).
echo "slapd slapd/no_configuration boolean true" | $sudo debconf-set-selections
if [ $windows = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  $sudo apt-get update -q
fi
blocker=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  blocker=/usr/sbin/policy-rc.d
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$blocker" >/dev/null
  $sudo chmod 0755 "$blocker"
  trap '$sudo rm -f "$blocker"' EXIT
fi
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
