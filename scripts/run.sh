#!/usr/bin/env bash
# Installs what is missing, builds, seeds the machine root ($CORVANE_ROOT, default
# /var/lib/corvane) when it has no registry yet, starts the management agent, seeds its
# policy with every setting at its default when the policy is empty, starts the storage
# server and (when slapd is installed) the sample directory, and serves the sample
# console at http://127.0.0.1:8080 from one PHP process with the host extension
# (cvwwwui.so) and settingsext.so loaded. One process: the console keeps uncommitted
# changes and stored lists in the process that serves it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
"$here/scripts/build.sh" build
root=${CORVANE_ROOT:-/var/lib/corvane}
export CORVANE_ROOT=$root
# Not world-readable: the hive, the policy and the logs are the owner's and its group's.
install -d -m 0750 "$root" "$root/logs"
if [ ! -f "$root/registry.db" ]; then
  "$here/build/bin/cvreg" import "$here/examples/machine.reg"
  "$here/build/bin/cvreg" add 'HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid' \
    /v DebugOutput /t REG_DWORD /d 1 /f
  "$here/build/bin/cvreg" add 'HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid' \
    /v DebugLogFile /t REG_SZ /d "$root/logs/settingsext.log,a" /f
  echo "Seeded $root"
fi
# The module finds the agent's libraries through the delay-loading key.
for library in libcvma32.so libcvpmapi.so; do
  "$here/build/bin/cvreg" add 'HKLM\Software\Veltmark\Corvane\delay loading' \
    /v "$library" /t REG_SZ /d "$here/build/lib/$library" /f >/dev/null
done
# The management agent, for as long as the console is served.
"$here/build/bin/cvmad" &
agent=$!
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null' EXIT INT TERM
for _ in $(seq 1 500); do [ -S "$root/cvmad.sock" ] && break; sleep 0.01; done
# The mail store: the sample mailboxes and public folders (made once), and the storage
# server that serves them, registered by its class identifiers.
install -d -m 0750 "$root/mail" "$root/mail/public"
[ -f "$root/mail/passwd" ] || install -m 0640 "$here/examples/mail/passwd" "$root/mail/passwd"
while IFS= read -r folder; do
  case "$folder" in '' | '#'*) continue ;; esac
  install -d -m 0750 "$root/mail/public/.${folder//\//.}/cur"
done <"$here/examples/mail/public-folders.txt"
"$here/build/bin/cvreg" import "$here/standins/cvstorage/registration.reg"
"$here/build/bin/cvstorage" &
storage=$!
trap 'kill $agent $storage 2>/dev/null; wait $agent $storage 2>/dev/null' EXIT INT TERM
for _ in $(seq 1 500); do [ -S "$root/cvstorage.sock" ] && break; sleep 0.01; done
# The directory and the information store keys, which the mail store reads when the storage
# server is not running: this machine is the store server MAILSRV01 of the sample directory
# (examples/directory), served by a slapd of the machine's own on the socket
# $root/directory/ldapi, loaded anew at each start.
"$here/build/bin/cvreg" import "$here/examples/directory/information-store.reg" >/dev/null
directory=()
slapd_ctl="$here/standins/directory/cvslapd"
if [ -x /usr/sbin/slapd ]; then
  "$slapd_ctl" stop --instance "$root/directory" 2>/dev/null || true  # one left by a killed run
  if uri=$("$slapd_ctl" start --instance "$root/directory" --suffix DC=corvane,DC=example \
             --config-ldif "$here/examples/directory/config.ldif" \
             --domain-ldif "$here/examples/directory/domain.ldif"); then
    directory=(LDAPURI="$uri")
    echo "Directory: $uri"
  else
    echo "warning: the sample directory did not start; the mail store has no directory" >&2
  fi
fi
trap '"$slapd_ctl" stop --instance "$root/directory" 2>/dev/null || true
      kill $agent $storage 2>/dev/null; wait $agent $storage 2>/dev/null' EXIT INT TERM
echo "Storage server: pid $storage (kill $storage, then \"Read both lists again\" on the mail" \
     "store page, to see the lists of the directory and the public folder store)"
# The list of policy settings at their defaults: the console lists the settings from it,
# and a new (empty) policy is seeded with it (every setting at its default, a few final).
"$here/build/bin/settings_policy_seed" >"$root/policy-seed.jsonl"
if [ -z "$("$here/build/bin/cvmactl" export)" ]; then
  "$here/build/bin/cvmactl" import "$root/policy-seed.jsonl"
fi
extensions=()
if [ -f "$here/build/lib/cvwwwui.so" ]; then
  extensions+=(-d extension="$here/build/lib/cvwwwui.so")
else
  echo "warning: build/lib/cvwwwui.so is not built; the console cannot reach the agent" >&2
fi
extensions+=(-d extension="$here/build/lib/settingsext.so")
echo "Serving the console at http://127.0.0.1:8080 (trace: $root/logs/settingsext.log)"
# No PHP_CLI_SERVER_WORKERS: one process serves every request. LDAPURI points libldap,
# and so the mail store's directory, at the sample directory (LDAPNOINIT would make
# libldap ignore it).
env -u PHP_CLI_SERVER_WORKERS -u LDAPNOINIT "${directory[@]}" php -n "${extensions[@]}" -S 127.0.0.1:8080 -t "$here/examples"
