#!/usr/bin/env bash
# Installs what is missing, builds, seeds a machine root of its own (build/run-root, or
# --root DIR / $CORVANE_ROOT) when it has no registry yet, starts the management agent, seeds
# its policy with every setting at its default when the policy is empty, starts the storage
# server and (when slapd is installed) the sample directory, and serves the sample console at
# http://127.0.0.1:8080 (--port N for another port) from one PHP process with the host
# extension (cvwwwui.so) and settingsext.so loaded. One process: the console keeps
# uncommitted changes and stored lists in the process that serves it. The console asks for
# a login: at each start the account admin gets a fresh random password (or the first line
# of --admin-password-file F), printed as "Console login: admin PASSWORD".
#
# It leaves an installed system alone: a root that one uses (/var/lib/corvane, one of the
# account corvane's or named in an installed configuration) is refused unless
# --use-installed-root is given. Nothing runs as root: started as root, it builds and then
# runs everything as the build tree's owner, or as nobody when that is root, with the
# machine root made that account's. A server is named only once it runs and answers; one
# that stopped is reported with the end of its log, and the script fails.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
self=$here/scripts/run.sh
port=8080 admin_password_file="" root=${CORVANE_ROOT:-} use_installed=0 trace=0
usage="usage: $0 [--port N] [--root DIR] [--use-installed-root] [--trace] [--admin-password-file F]"
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --port)
      [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || { echo "$usage" >&2; exit 2; }
      port=$2; shift 2 ;;
    --root)
      [ $# -ge 2 ] && [ -n "$2" ] || { echo "$usage" >&2; exit 2; }
      root=$2; shift 2 ;;
    --use-installed-root) use_installed=1; shift ;;
    --trace) trace=1; shift ;;
    --admin-password-file)
      [ $# -ge 2 ] && [ -f "$2" ] && [ -r "$2" ] || { echo "$usage (F: a readable file)" >&2; exit 2; }
      admin_password_file=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
fail() {
  echo "run.sh: $*" >&2
  exit 1
}
default_root=$here/build/run-root
root=${root:-$default_root}
case "$root" in /*) ;; *) root=$(pwd)/$root ;; esac
root=$(readlink -m "$root")

# Why ROOT is a root of the installed system's, or nothing: the installed default, a root of
# the servers' account, or one that an installed configuration (the units, the console's
# pool, the trace's rotation) names.
installed_use() {
  [ "$root" = /var/lib/corvane ] && { echo "it is the installed system's machine root"; return; }
  if [ -e "$root" ] && { [ "$(stat -c %U "$root")" = corvane ] || [ "$(stat -c %G "$root")" = corvane ]; }; then
    echo "it is the account corvane's, the installed servers' account"
    return
  fi
  local pattern named
  pattern="$(sed 's/[][\.*^$+?(){}|]/\\&/g' <<<"$root")([/\"' ;,]|\$)"
  named=$(grep -rlsE -- "$pattern" /etc/corvane /usr/local/etc/corvane /etc/logrotate.d/corvane \
            /usr/local/etc/logrotate.d/corvane /etc/systemd/system /lib/systemd/system \
            /usr/local/lib/systemd/system 2>/dev/null | grep -E '/corvane|/cv[a-z]+\.service$' | head -1) || true
  if [ -n "$named" ]; then echo "the installed configuration $named names it"; fi
}
if [ "$use_installed" = 0 ]; then
  why=$(installed_use)
  [ -z "$why" ] || fail "refusing the machine root $root: $why. This script would repoint its hive at the build tree and change its files; use another root (--root DIR, default $default_root), or --use-installed-root if that is really meant"
fi

if [ -z "${CV_RUN_SH_ACCOUNT:-}" ]; then
  "$here/scripts/setup.sh"
  "$here/scripts/build.sh" build
fi

# As root: the rest runs as an account of its own, on a root that is that account's.
if [ "$(id -u)" -eq 0 ]; then
  if [ "$use_installed" = 1 ]; then
    [ -d "$root" ] || fail "$root does not exist: --use-installed-root runs on a seeded root"
    account=$(stat -c %U "$root")
  else
    account=$(stat -c %U "$here")
    [ "$account" = root ] && account=nobody
  fi
  [ "$account" != root ] || fail "$root is root's: the servers do not run as root"
  group=$(id -gn "$account")
  as_account=(setpriv --reuid="$account" --regid="$group" --init-groups)
  if [ "$use_installed" = 0 ]; then
    if [ ! -e "$root" ]; then
      mkdir -p -m 0755 "$(dirname "$root")"
      mkdir -m 0750 "$root"
      chown "$account:$group" "$root"
    elif [ "$(stat -c %U "$root")" != "$account" ]; then
      # The script's own root (made by an earlier run as another account) is handed over
      # whole; any other is the caller's to sort out.
      [ "$root" = "$default_root" ] && [ ! -L "$root" ] ||
        fail "$root belongs to $(stat -c %U "$root"); the servers run as $account: choose another root or chown -R $account:$group $root"
      chown -R "$account:$group" "$root"
    fi
  fi
  for path in "$root" "$here/build/lib/settingsext.so" "$here/examples/index.php" "$self"; do
    "${as_account[@]}" test -r "$path" ||
      fail "$account cannot reach $path: every folder above it must let other accounts pass (o+x)"
  done
  password=""
  [ -n "$admin_password_file" ] && password=$(head -n 1 "$admin_password_file")
  # The password on a descriptor of its own, not on the command line or in the environment.
  exec 3<<<"$password"
  echo "Running as $account"
  run_args=(--root "$root" --port "$port")
  [ "$use_installed" = 1 ] && run_args+=(--use-installed-root)
  [ "$trace" = 1 ] && run_args+=(--trace)
  exec "${as_account[@]}" env HOME="$root" USER="$account" LOGNAME="$account" \
    CV_RUN_SH_ACCOUNT="$account" CV_RUN_SH_PASSWORD_FD=${admin_password_file:+3} \
    "$self" "${run_args[@]}"
fi

export CORVANE_ROOT=$root
# The machine root, not world-readable, as the installed system's corvane-seed makes it,
# from the build tree and the examples, all of it this account's (on an installed root, as
# its own account and group: its modes stay as installed).
seed=("$here/scripts/corvane-seed" --root "$root" --bin "$here/build/bin" --lib "$here/build/lib"
      --share "$here/examples" --registration "$here/standins/cvstorage/registration.reg")
[ "$use_installed" = 1 ] && seed+=(--user "$(id -un)" --group "$(stat -c %G "$root")")
"${seed[@]}" --no-policy
# The trace as this run asks: off unless --trace (a page view writes thousands of lines).
trace_key='HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid'
"$here/build/bin/cvreg" add "$trace_key" /v DebugOutput /t REG_DWORD /d "$trace" /f >/dev/null

cvmactl=("$here/build/bin/cvmactl" --root "$root")
"${cvmactl[@]}" export >/dev/null 2>&1 &&
  fail "an agent already serves $root (another run of this script?): stop it first"
pids=()
stop_all() {
  [ -n "${directory_started:-}" ] && "$slapd_ctl" stop --instance "$root/directory" 2>/dev/null
  [ ${#pids[@]} -gt 0 ] && kill "${pids[@]}" 2>/dev/null && wait "${pids[@]}" 2>/dev/null
  return 0
}
trap stop_all EXIT
trap 'exit 130' INT TERM
# start NAME LOG READY PROGRAM...: starts PROGRAM with its output in LOG, then waits up to
# 10 s until the function READY succeeds while it runs; the pid is in $started. One that
# stops, or does not get ready, fails the script with the end of its log.
start() {
  local name=$1 log=$2 ready=$3
  shift 3
  : >"$log"
  "$@" >>"$log" 2>&1 &
  started=$!
  pids+=("$started")
  for _ in $(seq 1 200); do
    kill -0 "$started" 2>/dev/null || break
    if "$ready" 2>/dev/null; then
      kill -0 "$started" 2>/dev/null && return 0
      break
    fi
    sleep 0.05
  done
  if kill -0 "$started" 2>/dev/null; then
    echo "run.sh: the $name did not get ready within 10 s; the end of $log:" >&2
  else
    echo "run.sh: the $name stopped; the end of $log:" >&2
  fi
  tail -n 15 "$log" | sed 's/^/  /' >&2
  exit 1
}

# The management agent, for as long as the console is served; it answers once its socket,
# made anew by it, takes a request.
agent_log=$root/logs/cvmad.log
# new_socket PATH BEFORE: PATH is a socket other than the one stat described as BEFORE.
new_socket() { [ -S "$1" ] && [ "$(stat -c '%i %y' "$1")" != "$2" ]; }
agent_socket=$(stat -c '%i %y' "$root/run/cvmad.sock" 2>/dev/null || true)
agent_ready() { new_socket "$root/run/cvmad.sock" "$agent_socket" && "${cvmactl[@]}" export >/dev/null; }
start "management agent" "$agent_log" agent_ready "$here/build/bin/cvmad" --root "$root"
echo "Agent: pid $started"
# The storage server of the sample mailboxes and public folders.
storage_log=$root/logs/cvstorage.log
storage_socket=$(stat -c '%i %y' "$root/run/cvstorage.sock" 2>/dev/null || true)
storage_ready() { new_socket "$root/run/cvstorage.sock" "$storage_socket"; }
start "storage server" "$storage_log" storage_ready "$here/build/bin/cvstorage" --root "$root"
storage=$started
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
    directory_started=1
    echo "Directory: $uri"
  else
    echo "warning: the sample directory did not start; the mail store has no directory" >&2
  fi
fi
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
if [ -n "${CV_RUN_SH_PASSWORD_FD:-}" ]; then
  read -r admin_password <&"$CV_RUN_SH_PASSWORD_FD"
elif [ -n "$admin_password_file" ]; then
  admin_password=$(head -n 1 "$admin_password_file")
else
  admin_password=$(head -c 18 /dev/urandom | base64 | tr '+/' '-_')
fi
[ -n "$admin_password" ] || fail "the admin password is empty"
tool=("$here/scripts/corvane-console-account" --file "$accounts")
if "${tool[@]}" list 2>/dev/null | grep -qx admin; then command=reset; else command=add; fi
printf '%s\n' "$admin_password" | "${tool[@]}" "$command" admin
# No PHP_CLI_SERVER_WORKERS: one process serves every request. LDAPURI points libldap,
# and so the mail store's directory, at the sample directory (LDAPNOINIT would make
# libldap ignore it). The router serves the pages and nothing else of examples/.
env -u PHP_CLI_SERVER_WORKERS -u LDAPNOINIT "${directory[@]}" CORVANE_CONSOLE_ACCOUNTS="$accounts" \
  php -n "${extensions[@]}" -d session.save_path="$sessions" -S "127.0.0.1:$port" \
  -t "$here/examples" "$here/scripts/console-router.php" &
server=$!
pids+=("$server")
for _ in $(seq 1 100); do
  kill -0 "$server" 2>/dev/null || fail "PHP's built-in server stopped (port $port taken?)"
  curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/login.php" && break
  sleep 0.1
done
curl -s -o /dev/null --max-time 2 "http://127.0.0.1:$port/login.php" ||
  fail "PHP's built-in server does not answer on port $port"
echo "Console login: admin $admin_password"
trace_note=""
[ "$trace" = 1 ] && trace_note=" (trace: $root/logs/settingsext.log)"
echo "Serving the console at http://127.0.0.1:$port$trace_note"
wait "$server"
