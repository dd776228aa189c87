# What the deployment and package tests share, sourced by both: the checks and their counts,
# polling, file modes, the system's units stopped, and the browser suite run against the
# console. The callers set here, unit_sh, units and work; browser_suite also url, root,
# cvmactl and agent_ready.

passed=0 failed=0
pass() { echo "ok - $1"; passed=$((passed + 1)); }
fail() { echo "FAIL - $1"; failed=$((failed + 1)); }
# check NAME COMMAND...: one check, passed when COMMAND succeeds.
check() {
  local name=$1
  shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}
# need WHY TOOL...: ends the run unless it is root's (else WHY fails) with every tool installed.
need() {
  local why=$1 tool
  shift
  [ "$(id -u)" -eq 0 ] || { fail "$why"; finish; }
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { fail "$tool is not installed (scripts/setup.sh)"; finish; }
  done
}

# wait_for SECONDS COMMAND...: polls COMMAND for up to SECONDS seconds.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq 1 $((seconds * 10))); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
# mode MODE USER:GROUP PATH...: each path has that mode and owner.
mode() {
  local expected=$1 owner=$2 path
  shift 2
  for path in "$@"; do
    [ "$(stat -c '%a %U:%G' "$path" 2>/dev/null)" = "$expected $owner" ] ||
      { echo "  $path: $(stat -c '%a %U:%G' "$path" 2>&1), not $expected $owner"; return 1; }
  done
}
# A loopback port free now, for the console's nginx.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# A fresh console password, also written to $work/password (no line end) for the browser suite.
new_password() {
  head -c 18 /dev/urandom | base64 | tr -d '/+=\n' | tee "$work/password"
}

stop_all() {
  "$unit_sh" stop "$units/corvane-web.service" "$work/nginx.pid" 2>/dev/null
  "$unit_sh" stop "$units/corvane-console.service" "$work/php-fpm.pid" 2>/dev/null
  "$unit_sh" stop "$units/cvstorage.service" "$work/cvstorage.pid" 2>/dev/null
  "$unit_sh" stop "$units/cvmad.service" "$work/cvmad.pid" 2>/dev/null
}

# browser_suite ACCOUNT SESSIONS: the browser suite against the console as ACCOUNT, which
# keeps its sessions in the folder SESSIONS (15 minutes at most); its counts, from its own
# last line, are added to these.
browser_suite() {
  local stop="'$unit_sh' stop '$units/cvmad.service' '$work/cvmad.pid'" counts
  local start="'$unit_sh' start '$units/cvmad.service' '$work/cvmad.pid' '$work/cvmad.log' --ready '$agent_ready'"
  timeout 900 "$here/tests/browser/run.sh" --url "$url/" --account "$1" --password-file "$work/password" \
    --root "$root" --sessions "$2" --cvmactl "${cvmactl[*]}" --agent-stop "$stop" --agent-start "$start" |
    tee "$work/browser.txt"
  counts=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$work/browser.txt" | tail -1)
  if [ -n "$counts" ]; then
    passed=$((passed + ${counts%% *}))
    failed=$((failed + $(sed -E 's/.*, ([0-9]+) failed/\1/' <<<"$counts")))
  else
    fail "the browser suite ended without its counts"
  fi
}
