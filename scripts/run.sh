#!/usr/bin/env bash
# Installs what is missing, builds, seeds the machine root ($CORVANE_ROOT, default
# /var/lib/corvane) when it has no registry yet, and serves the sample console at
# http://127.0.0.1:8080 from one PHP process with the extension loaded.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh" build
root=${CORVANE_ROOT:-/var/lib/corvane}
export CORVANE_ROOT=$root
mkdir -p "$root/logs"
if [ ! -f "$root/registry.db" ]; then
  "$here/build/bin/cvreg" import "$here/examples/machine.reg"
  "$here/build/bin/cvreg" add 'HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid' \
    /v DebugOutput /t REG_DWORD /d 1 /f
  "$here/build/bin/cvreg" add 'HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid' \
    /v DebugLogFile /t REG_SZ /d "$root/logs/settingsext.log,a" /f
  echo "Seeded $root"
fi
echo "Serving the console at http://127.0.0.1:8080 (trace: $root/logs/settingsext.log)"
exec php -n -d extension="$here/build/lib/settingsext.so" -S 127.0.0.1:8080 -t "$here/examples"
