#!/usr/bin/env bash
# Installs what the benchmarks compare against, beside what scripts/setup.sh installs for
# the build and the tests. Run as root.
#
#   bench/setup.sh
set -euo pipefail
packages=()

# --- The directory listing's peer (bench/directory_peer.sh): PHP's ldap extension.
packages+=(php8.2-ldap)

# --- The mail store lists' peers (bench/mailstore_peers.sh): PHP's imap extension and
# Dovecot's IMAP server. The bench runs a Dovecot of its own with a configuration in a
# temporary folder; the package's system service is not used, so it is stopped and
# disabled where the package started it.
packages+=(php8.2-imap dovecot-imapd)
stop_dovecot_service() {
  if command -v systemctl >/dev/null && systemctl is-enabled dovecot >/dev/null 2>&1; then
    systemctl disable --now dovecot || true
  fi
}

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
stop_dovecot_service
