#!/usr/bin/env bash
# Installs what the benchmarks compare against, beside what scripts/setup.sh installs for
# the build and the tests: PHP's ldap extension for bench/directory_peer.sh. Run as root.
#
#   bench/setup.sh
set -euo pipefail
packages=(php8.2-ldap)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
