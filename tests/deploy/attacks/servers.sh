# Attacks on the servers and their sockets, sourced by tests/deploy/run.sh with the system up:
# from a member of corvane (the administrators' group: the policy, the hive and the logs,
# nothing beyond) and from an account with no groups. Each check passes when the attack is
# refused.

agent_socket=$root/run/cvmad.sock
storage_socket=$root/run/cvstorage.sock
python=/usr/bin/python3  # Debian's, which every account may run
attack_dir=$(mktemp -d /tmp/cvdeploy-attack.XXXXXX)
chmod 0755 "$attack_dir"
install -d -o cvdeploy-member -m 0700 "$attack_dir/member"

# A relay as the member: listens on $1 (open to everyone), takes one connection and writes
# to $2 how many bytes it was sent within 3 s ("none" when nobody came within 10 s).
cat >"$attack_dir/relay.py" <<'PY'
import os, socket, sys, time
path, log = sys.argv[1], sys.argv[2]
s = socket.socket(socket.AF_UNIX)
s.bind(path)
os.chmod(path, 0o777)
s.listen(1)
s.settimeout(10)
try:
    c, _ = s.accept()
except OSError:
    open(log, "w").write("none")
    sys.exit()
c.settimeout(0.2)
got, end = 0, time.time() + 3
while time.time() < end:
    try:
        b = c.recv(65536)
    except socket.timeout:
        continue
    if not b:
        break
    got += len(b)
open(log, "w").write(str(got))
PY
# Holds $2 connections to $1 for $3 seconds; prints how many it made.
cat >"$attack_dir/hold.py" <<'PY'
import socket, sys, time
held = []
for _ in range(int(sys.argv[2])):
    s = socket.socket(socket.AF_UNIX)
    try:
        s.connect(sys.argv[1])
        held.append(s)
    except OSError:
        pass
print(len(held), flush=True)
time.sleep(int(sys.argv[3]))
PY
# Prints, for each socket named, "reached" or why not.
cat >"$attack_dir/connect.py" <<'PY'
import socket, sys
for path in sys.argv[1:]:
    s = socket.socket(socket.AF_UNIX)
    try:
        s.connect(path)
        print("reached")
    except OSError as error:
        print(error.strerror)
PY
relay_bytes() { cat "$1" 2>/dev/null || echo "no relay"; }

# 1. The member renames the servers' folder or the hive away: the root is sticky.
moved=""
"${as_member[@]}" mv "$root/run" "$root/run.moved" 2>/dev/null && moved+=" run/" && mv "$root/run.moved" "$root/run"
"${as_member[@]}" mv "$root/registry.db" "$root/registry.moved" 2>/dev/null && moved+=" registry.db" &&
  mv "$root/registry.moved" "$root/registry.db"
check "a member of corvane renames neither run/ nor the hive${moved:+ (renamed:$moved)}" test -z "$moved"

# 2. The member moves the agent's socket aside and serves a relay on its name: the move is
# refused, so the operator's cvmactl reaches the agent and the relay hears nothing.
"${as_member[@]}" mv "$agent_socket" "$agent_socket.moved" 2>/dev/null
socket_moved=$?
"${as_member[@]}" "$python" "$attack_dir/relay.py" "$agent_socket" "$attack_dir/member/in-place.log" \
  >/dev/null 2>&1 &
relay=$!
sleep 0.5
exported=$(timeout 10 "${cvmactl[@]}" export 2>&1 | wc -l)
wait "$relay" 2>/dev/null
heard=$(relay_bytes "$attack_dir/member/in-place.log")
if [ $socket_moved -eq 0 ]; then
  rm -f "$agent_socket"
  mv "$agent_socket.moved" "$agent_socket"
fi
check "a member cannot move the agent's socket aside and relay it (moved: $([ $socket_moved -eq 0 ] && echo yes || echo no), relay heard: $heard, cvmactl read $exported lines)" \
  test $socket_moved -ne 0 -a "$heard" = "no relay" -a "$exported" -gt 0

# 3. A socket the member serves on the name a client uses (a machine root of root's, whose
# servers' folder the member was given): cvmactl, as the servers' account, refuses it before
# it sends anything.
fake_root=$attack_dir/root
install -d -m 0755 "$fake_root"
install -d -o cvdeploy-member -m 0755 "$(dirname "$fake_root/${agent_socket#"$root"/}")"
"${as_member[@]}" "$python" "$attack_dir/relay.py" "$fake_root/${agent_socket#"$root"/}" \
  "$attack_dir/member/fake.log" >/dev/null 2>&1 &
relay=$!
for _ in $(seq 1 50); do [ -S "$fake_root/${agent_socket#"$root"/}" ] && break; sleep 0.1; done
refusal=$(setpriv --reuid=corvane --regid=corvane --init-groups "$stage/bin/cvmactl" --root "$fake_root" export 2>&1)
status=$?
wait "$relay" 2>/dev/null
heard=$(relay_bytes "$attack_dir/member/fake.log")
check "cvmactl refuses a socket served by a member and sends it nothing (exit $status, relay heard $heard: $refusal)" \
  test $status -ne 0 -a "$heard" = 0

# 4. The member holds as many connections to the agent as it can: the agent's account (the
# operator's cvmactl) is still served at once.
"${as_member[@]}" "$python" "$attack_dir/hold.py" "$agent_socket" 256 15 >"$attack_dir/held" 2>&1 &
holder=$!
for _ in $(seq 1 100); do [ -s "$attack_dir/held" ] && break; sleep 0.1; done
sleep 0.5  # the connections beyond its share are refused by now
start=$(date +%s%N)
served=$(timeout 5 "${cvmactl[@]}" get 1.3.6.1.4.1.8642.18.1.11.10 2>&1)
took=$((($(date +%s%N) - start) / 1000000))
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
check "with a member holding $(cat "$attack_dir/held") connections to the agent, cvmactl is served (in $took ms)" \
  bash -c "[ \"\$(cat '$attack_dir/held')\" = 256 ] && grep -q '\"oid\"' <<<'$served' && [ $took -lt 2000 ]"

# 5. An account with no groups reaches neither socket.
reached=$("${as_loner[@]}" "$python" "$attack_dir/connect.py" "$agent_socket" "$storage_socket" 2>&1)
check "an account with no groups reaches neither server's socket ($(tr '\n' ' ' <<<"$reached"))" \
  bash -c "[ \$(grep -c . <<<'$reached') = 2 ] && ! grep -q reached <<<'$reached'"

# 6. A servers' folder someone else made first: corvane-seed refuses to seed around it.
seed_root=$attack_dir/seed-root
install -d -m 0750 "$seed_root"
install -d -o cvdeploy-member -m 0700 "$seed_root/run"
env -u CORVANE_ROOT "$stage/sbin/corvane-seed" --root "$seed_root" --no-policy >"$attack_dir/seed.txt" 2>&1
status=$?
check "corvane-seed refuses a run/ that is not its own (exit $status: $(cat "$attack_dir/seed.txt"))" \
  bash -c "[ $status -ne 0 ] && grep -q 'belongs to cvdeploy-member' '$attack_dir/seed.txt'"

rm -rf "$attack_dir"
