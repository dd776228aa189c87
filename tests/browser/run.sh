#!/usr/bin/env bash
# Runs the console's browser suite (console.mjs, in Debian's chromium driven by playwright-core)
# against a served console. Ends with "N passed, N failed"; exits non-zero when a case failed.
#
#   tests/browser/run.sh [--build DIR]
#       serves the console with scripts/run.sh (PHP's built-in server) on a temporary machine
#       root and a free loopback port, logs in with the account it prints, and stops it
#       afterwards
#   tests/browser/run.sh --url URL --account NAME --password-file FILE --cvmactl CMD
#                        --agent-stop CMD --agent-start CMD [--build DIR]
#       a console served elsewhere (the installed PHP-FPM and nginx, tests/deploy/run.sh):
#       NAME and the first line of FILE log in to it, --cvmactl is the command prefix of
#       cvmactl for its machine root, --agent-stop and --agent-start shell commands that stop
#       the management agent and start it again (returning once it answers)
#
# Screenshots of failed cases go to DIR/browser-screenshots (DIR: --build, default build/).
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
url="" cvmactl="" agent_stop="" agent_start="" build="$here/build" account="" password_file="" sessions=""
while [ $# -gt 0 ]; do
  case "$1" in
    --url) url=$2; shift 2 ;;
    --account) account=$2; shift 2 ;;
    --password-file) password_file=$2; shift 2 ;;
    --root) shift 2 ;;
    --sessions) sessions=$2; shift 2 ;;  # the console's session folder, when this account may read it  # accepted for symmetry; the suite reaches the root through --cvmactl
    --cvmactl) cvmactl=$2; shift 2 ;;
    --agent-stop) agent_stop=$2; shift 2 ;;
    --agent-start) agent_start=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    *) echo "usage: $0 [--url URL --account NAME --password-file FILE --cvmactl CMD --agent-stop CMD --agent-start CMD [--sessions DIR]] [--build DIR]" >&2; exit 2 ;;
  esac
done
fail() { echo "browser suite: $*"; echo "0 passed, 1 failed"; exit 1; }

# playwright-core from the lock file, once (no browser download: the suite uses /usr/bin/chromium).
suite="$here/tests/browser"
if [ ! -f "$suite/node_modules/.package-lock.json" ] ||
   [ "$suite/package-lock.json" -nt "$suite/node_modules/.package-lock.json" ]; then
  (cd "$suite" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --silent) ||
    fail "npm ci of playwright-core failed"
fi
[ -x /usr/bin/chromium ] || fail "/usr/bin/chromium is missing (scripts/setup.sh installs it)"

work=$(mktemp -d /tmp/cv-browser.XXXXXX)
server="" agent_pid_file="$work/agent.pid"
cleanup() {
  [ -n "$server" ] && kill -TERM -- "-$server" 2>/dev/null && wait "$server" 2>/dev/null
  [ -f "$agent_pid_file" ] && kill "$(cat "$agent_pid_file")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if [ -z "$url" ]; then
  # The built-in server: scripts/run.sh in a session of its own (so that it and every server
  # it starts stop together), on a machine root of its own.
  # Started as root, run.sh runs everything as an account of its own, which must pass
  # through this folder to the root (its files here are root's alone).
  root="$work/root"
  chmod 0711 "$work"
  port=$(php -n -r '$s = stream_socket_server("tcp://127.0.0.1:0"); echo explode(":", stream_socket_get_name($s, false))[1];')
  (umask 077 && : >"$work/server.log")
  CORVANE_ROOT="$root" setsid "$here/scripts/run.sh" --port "$port" >"$work/server.log" 2>&1 &
  server=$!
  for _ in $(seq 1 600); do
    grep -q '^Serving the console' "$work/server.log" &&
      curl -fs -o /dev/null "http://127.0.0.1:$port/index.php" && break
    kill -0 "$server" 2>/dev/null || { cat "$work/server.log"; fail "scripts/run.sh stopped"; }
    sleep 0.2
  done
  curl -fs -o /dev/null "http://127.0.0.1:$port/index.php" || { cat "$work/server.log"; fail "the console did not answer"; }
  agent=$(sed -nE 's/^Agent: pid ([0-9]+)$/\1/p' "$work/server.log" | head -1)
  account=admin password_file="$work/password" sessions="$root/console-sessions"
  (umask 077; sed -nE 's/^Console login: admin (.+)$/\1/p' "$work/server.log" | head -1 >"$password_file")
  [ -s "$password_file" ] || fail "scripts/run.sh did not print the console login"
  [ -n "$agent" ] || fail "scripts/run.sh did not name the agent's pid"
  echo "$agent" >"$agent_pid_file.first"
  # Nothing of the sample data is served, and nothing it started runs as root.
  for path in /machine.reg /mail/passwd /directory/domain.ldif /include/console.php; do
    status=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port$path")
    [ "$status" = 404 ] || fail "scripts/run.sh's server answers $path with $status, not 404"
  done
  ! ps -o user= -s "$server" | grep -qx root || fail "scripts/run.sh runs a process as root"
  url="http://127.0.0.1:$port/"
  # The agent answers its own account (the root's owner), not root.
  as_owner=""
  [ "$(id -u)" -eq 0 ] && as_owner="setpriv --reuid=$(stat -c %u "$root") --regid=$(stat -c %g "$root") --clear-groups"
  cvmactl="$as_owner $build/bin/cvmactl --root $root"
  # Stops whichever agent runs now (the first, or one started again below) and waits for it.
  agent_stop="for f in $agent_pid_file.first $agent_pid_file; do [ -f \$f ] && kill \$(cat \$f) 2>/dev/null; rm -f \$f; done
              for _ in \$(seq 1 100); do [ -S $root/run/cvmad.sock ] || break; sleep 0.05; done"
  agent_start="CORVANE_ROOT=$root setsid $as_owner $build/bin/cvmad >>$work/agent.log 2>&1 & echo \$! >$agent_pid_file
               for _ in \$(seq 1 100); do [ -S $root/run/cvmad.sock ] && break; sleep 0.05; done"
fi
[ -n "$cvmactl" ] && [ -n "$agent_stop" ] && [ -n "$agent_start" ] && [ -n "$account" ] && [ -r "$password_file" ] ||
  fail "--url needs --account, --password-file, --cvmactl, --agent-stop and --agent-start"

echo "browser suite against $url"
# The built-in server's output holds the console's log lines (run.sh mode only).
server_log=""
[ -f "$work/server.log" ] && server_log="$work/server.log"
CONSOLE_URL="$url" CV_ACCOUNT="$account" CV_PASSWORD_FILE="$password_file" CV_SERVER_LOG="$server_log" CV_SESSIONS="$sessions" CV_CVMACTL="$cvmactl" CV_AGENT_STOP="$agent_stop" CV_AGENT_START="$agent_start" \
  CV_SCREENSHOTS="$build/browser-screenshots" timeout 600 node "$suite/console.mjs"
status=$?
if [ $status -ne 0 ] && [ -f "$work/server.log" ]; then
  echo "--- the server's output"; tail -30 "$work/server.log"
fi
exit $status
