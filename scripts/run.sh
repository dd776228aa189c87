#!/usr/bin/env bash
# Installs what is missing, builds, seeds the machine root ($CORVANE_ROOT, default
# /var/lib/corvane) when it has no registry yet, starts the management agent, seeds its
# policy with every setting at its default when the policy is empty, starts the storage
# server and (when slapd is installed) the sample directory, and serves the sample
# console at http://127.0.0.1:8080 (--port N for another port) from one PHP process with
# the host extension (cvwwwui.so) and settingsext.so loaded. One process: the console keeps
# uncommitted changes and stored lists in the process that serves it. The console asks for
# a login: at each start the account admin gets a fresh random password (or the first line
# of --admin-password-file F), printed as "Console login: admin PASSWORD".
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
port=8080 admin_password_file=""
usage="usage: $0 [--port N] [--admin-password-file F]"
while [ $# -gt 0 ]; do
  case "$1" in
    --port)
      [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || { echo "$usage" >&2; exit 2; }
      port=$2; shift 2 ;;
    --admin-password-file)
      [ $# -ge 2 ] && [ -f "$2" ] && [ -r "$2" ] || { echo "$usage (F: a readable file)" >&2; exit 2; }
      admin_password_file=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
"$here/scripts/setup.sh"
"$here/scripts/build.sh" build
root=${CORVANE_ROOT:-/var/lib/corvane}
export CORVANE_ROOT=$root
# The machine root, not world-readable, as the installed system's corvane-seed makes it,
# from the build tree and the examples, all of it this account's.
seed=("$here/scripts/corvane-seed" --root "$root" --bin "$here/build/bin" --lib "$here/build/lib"
      --share "$here/examples" --registration "$here/standins/cvstorage/registration.reg")
"${seed[@]}" --no-policy
# The management agent, for as long as the console is served.
"$here/build/bin/cvmad" &
agent=$!
echo "Agent: pid $agent"
trap 'kill $agent 2>/dev/null; wait $agent 2>/dev/null' EXIT INT TERM
for _ in $(seq 1 500); do [ -S "$root/run/cvmad.sock" ] && break; sleep 0.01; done
# The storage server of the sample mailboxes and public folders.
"$here/build/bin/cvstorage" &
storage=$!
trap 'kill $agent $storage 2>/dev/null; wait $agent $storage 2>/dev/null' EXIT INT TERM
for _ in $(seq 1 500); do [ -S "$root/run/cvstorage.sock" ] && break; sleep 0.01; done
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
# A new (empty) policy is seeded with every setting at its default, a few final.
"${seed[@]}" --policy
extensions=()
if [ -f "$here/build/lib/cvwwwui.so" ]; then
  extensions+=(-d extension="$here/build/lib/cvwwwui.so")
else
  echo "warning: build/lib/cvwwwui.so is not built; the console cannot reach the agent" >&2
fi
extensions+=(-d extension="$here/build/lib/settingsext.so")
# The console's accounts file and its sessions (and the counts of failed logins beside
# them), in folders of this account's under the machine root rather than in /tmp.
accounts="$root/console-accounts"
sessions="$root/console-sessions"
mkdir -p -m 0700 "$sessions"
if [ -n "$admin_password_file" ]; then
  admin_password=$(head -n 1 "$admin_password_file")
else
  admin_password=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
fi
tool=("$here/scripts/corvane-console-account" --file "$accounts")
if "${tool[@]}" list 2>/dev/null | grep -qx admin; then command=reset; else command=add; fi
printf '%s\n' "$admin_password" | "${tool[@]}" "$command" admin
echo "Console login: admin $admin_password"
echo "Serving the console at http://127.0.0.1:$port (trace: $root/logs/settingsext.log)"
# No PHP_CLI_SERVER_WORKERS: one process serves every request. LDAPURI points libldap,
# and so the mail store's directory, at the sample directory (LDAPNOINIT would make
# libldap ignore it).
env -u PHP_CLI_SERVER_WORKERS -u LDAPNOINIT "${directory[@]}" CORVANE_CONSOLE_ACCOUNTS="$accounts" \
  php -n "${extensions[@]}" -d session.save_path="$sessions" -S "127.0.0.1:$port" -t "$here/examples"
