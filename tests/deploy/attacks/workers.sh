# The console's PHP-FPM worker as seen from outside and through its life (sourced by
# tests/deploy/run.sh with the system up): an account with no groups reads nothing of the
# worker's memory; the named blocks never leave the process (nothing in /dev/shm); a worker
# killed outright is replaced, and a change made at the agent reaches the new worker through
# its own host listener. The page below reads the policy only when asked to (the first time),
# so afterwards only the reload entry can bring the agent's new value into the catalogue the
# process already holds.

worker_oid=1.3.6.1.4.1.8642.20.1.100.50.22
worker_page=$console/cvdeploy_worker.php
printf '<?php isset($_GET["read"]) && settings_read_policy(); $v = null;
settings_get_int("%s", $v); echo getmypid(), " ", $v;\n' "$worker_oid" >"$worker_page"
worker_answer() { fetch "/cvdeploy_worker.php${1:-}" >/dev/null && cat "$work/body"; }
worker_pid() { ps -o pid= --ppid "$fpm_master" | head -1 | tr -d ' '; }

worker=$(worker_pid)
worker_reached=""
for file in mem maps environ; do
  "${as_loner[@]}" bash -c "exec 3</proc/$worker/$file" 2>/dev/null && worker_reached+=" $file"
done
check "an account with no groups reads nothing of the worker's memory${worker_reached:+ (read:$worker_reached)}" \
  test -z "$worker_reached"
worker_shm=$(find /dev/shm \( -user corvane -o -user corvane-console -o -user corvane-web \) -printf '%P ')
check "nothing of the system's is in /dev/shm${worker_shm:+: $worker_shm}" test -z "$worker_shm"

kill -KILL "$worker"
worker_replaced() { w=$(worker_pid) && [ -n "$w" ] && [ "$w" != "$worker" ]; }
worker_serves() { [[ "$(worker_answer '?read=1')" =~ ^$(worker_pid)\ [0-9]+$ ]]; }
worker_back() { wait_for 10 worker_replaced && wait_for 10 worker_serves; }
check "a worker killed outright is replaced and the new one serves" worker_back
worker_before=$(worker_answer | cut -d' ' -f2)
"${cvmactl[@]}" set "$worker_oid" --int $((worker_before + 1)) >/dev/null
worker_changed() { [ "$(worker_answer | cut -d' ' -f2)" = $((worker_before + 1)) ]; }
check "a change at the agent reaches the new worker without a policy read (was $worker_before)" \
  wait_for 15 worker_changed
"${cvmactl[@]}" set "$worker_oid" --int "$worker_before" >/dev/null
rm -f "$worker_page"
