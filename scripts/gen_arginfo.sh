#!/usr/bin/env bash
# Regenerates php/settingsext_arginfo.h from php/settingsext.stub.php with PHP's own
# gen_stub.php, offline: Debian's php-parser package stands in for the parser that
# gen_stub.php would otherwise download. The generated header is committed, so builds
# and CI never run this.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
gen=$(php-config --extension-dir)/build/gen_stub.php
[ -f "$gen" ] || gen=/usr/lib/php/20220829/build/gen_stub.php
dpkg -s php-parser >/dev/null 2>&1 || apt-get install -y -q php-parser >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$gen" "$work/gen_stub.php"
mkdir -p "$work/PHP-Parser-4.15.1"
ln -s /usr/share/php "$work/PHP-Parser-4.15.1/lib"
php "$work/gen_stub.php" -f "$here/php/settingsext.stub.php"
