#!/usr/bin/env bash
# Runs bench/mailstore_peers.php: the public folders (1,000) through the storage server and
# through the fallback walk against PHP's imap_list("*") on a Dovecot of its own, and a
# refresh of 10,000 mailboxes against a plain PHP page reading the same passwd-file. Each
# figure is printed with its peer and the per-round ratio, min and median.
#
#   bench/mailstore_peers.sh [--rounds N] [--load N]
#
# --load N adds N busy processes: every round is then measured twice, once with them
# stopped and once with them running, in alternating order, so that the loaded figures and
# their quiet twins share whatever else the machine does; it prints both and their ratio.
# --shield (as root, with a cgroup cpu controller) runs the bench, its servers and its busy
# processes in a cgroup that outweighs the rest of the machine, so that other work there
# barely moves the figures (it is said in the output). Everything lives in a
# temporary folder: a machine root with the storage server, and a Dovecot (Debian's
# dovecot-imapd, installed by bench/setup.sh) run with a configuration there on a loopback
# port of its own, as the invoking user (as nobody when that is root: Dovecot reads no
# mail as root). Without dovecot or php8.2-imap only the refresh is measured.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
rounds=7 load=0 shield=0
while [ $# -gt 0 ]; do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --load) load=$2; shift 2 ;;
    --shield) shield=1; shift ;;
    *) echo "usage: $0 [--rounds N] [--load N] [--shield]" >&2; exit 2 ;;
  esac
done
if [ "$shield" = 1 ]; then
  # cgroup v2 (cpu.weight) or the v1 cpu controller (cpu.shares), the largest weight there is.
  if [ -f /sys/fs/cgroup/cgroup.controllers ] && grep -qw cpu /sys/fs/cgroup/cgroup.controllers; then
    cgroup_dir=/sys/fs/cgroup/cv-bench-$$
    mkdir "$cgroup_dir" && echo 10000 >"$cgroup_dir/cpu.weight"
  elif [ -d /sys/fs/cgroup/cpu ]; then
    cgroup_dir=/sys/fs/cgroup/cpu/cv-bench-$$
    mkdir "$cgroup_dir" && echo 262144 >"$cgroup_dir/cpu.shares"
  else
    echo "--shield: no cgroup cpu controller here" >&2; exit 2
  fi
  echo $$ >"$cgroup_dir/cgroup.procs"
  echo "shielded: the bench runs in $cgroup_dir, outweighing the rest of the machine"
fi
tmp=$(mktemp -d)
root=$tmp/root
pids=()
# Every helper is stopped, whatever each one's status says.
trap 'for p in "${pids[@]}"; do kill -CONT "$p" 2>/dev/null; kill "$p" 2>/dev/null; wait "$p" 2>/dev/null || true; done; rm -rf "$tmp"
      if [ -n "${cgroup_dir:-}" ]; then
        while read -r p; do echo "$p" >"$(dirname "$cgroup_dir")/cgroup.procs"; done <"$cgroup_dir/cgroup.procs" 2>/dev/null
        rmdir "$cgroup_dir" 2>/dev/null || true
      fi' EXIT
export CORVANE_ROOT=$root
mkdir -p "$root/mail/public" "$tmp/home/Maildir"
for i in $(seq 0 9999); do
  echo "user$i@mail$((i % 7)).example:x:1000:1000:User Number $i:/var/mail/u$i:/usr/sbin/nologin:"
done >"$root/mail/passwd"
# 1,000 folders: 10 top folders, each with 9 subfolders of 10 subfolders each; the same
# Maildir++ names for the storage server, the fallback walk and Dovecot.
for a in $(seq 0 9); do
  echo ".f$a"
  for b in $(seq 0 8); do
    echo ".f$a.g$b"
    for c in $(seq 0 9); do echo ".f$a.g$b.h$c"; done
  done
done >"$tmp/folders"
(cd "$root/mail/public" && xargs mkdir <"$tmp/folders")
(cd "$tmp/home/Maildir" && mkdir cur new tmp && while read -r f; do mkdir -p "$f/cur" "$f/new" "$f/tmp"; done <"$tmp/folders")
cvreg=$here/build/bin/cvreg
"$cvreg" import "$here/examples/machine.reg" >/dev/null
"$cvreg" import "$here/standins/cvstorage/registration.reg" >/dev/null
# The information store the fallback walk needs to find the folder tree.
"$cvreg" add 'HKLM\SYSTEM\CurrentControlSet\Services\MSExchangeIS\BENCH01\Private-0b7e5c3a-41d2-4f8e-9a6b-2c1d0e9f8a75' /f >/dev/null

port=0
if command -v dovecot >/dev/null && [ -f "$(php-config --extension-dir)/imap.so" ]; then
  port=$(php -r '$s = stream_socket_server("tcp://127.0.0.1:0"); echo substr(strrchr(stream_socket_get_name($s, false), ":"), 1);')
  as=$(id -un)
  [ "$(id -u)" = 0 ] && as=nobody
  uid=$(id -u "$as") gid=$(id -g "$as") group=$(id -gn "$as")
  echo 'bench:{PLAIN}bench' >"$tmp/users"
  cat >"$tmp/dovecot.conf" <<CONF
base_dir = $tmp/dovecot-run
state_dir = $tmp/dovecot-state
log_path = $tmp/dovecot-state/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
default_internal_user = $as
default_internal_group = $group
default_login_user = $as
first_valid_uid = $uid
first_valid_gid = $gid
mail_location = maildir:$tmp/home/Maildir
passdb {
  driver = passwd-file
  args = scheme=PLAIN $tmp/users
}
userdb {
  driver = static
  args = uid=$uid gid=$gid home=$tmp/home
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = $port
  }
  inet_listener imaps {
    port = 0
  }
}
service anvil {
  chroot =
}
service stats {
  unix_listener stats-reader {
    user = $as
  }
  unix_listener stats-writer {
    user = $as
  }
}
CONF
  mkdir -p "$tmp/dovecot-run" "$tmp/dovecot-state"
  chown -R "$as" "$tmp/dovecot-run" "$tmp/dovecot-state" "$tmp/home" "$tmp/users" "$tmp/dovecot.conf"
  chmod 755 "$tmp"
  if [ "$as" = "$(id -un)" ]; then
    dovecot -F -c "$tmp/dovecot.conf" &
  else
    setpriv --reuid="$uid" --regid="$gid" --clear-groups dovecot -F -c "$tmp/dovecot.conf" &
  fi
  pids+=($!)
  for _ in $(seq 1 500); do
    php -r "exit(@fsockopen('127.0.0.1', $port) ? 0 : 1);" && break
    sleep 0.02
  done
fi
busy=()
for _ in $(seq 1 "$load"); do
  sh -c 'while :; do :; done' &
  pids+=($!)
  busy+=($!)
  kill -STOP $!  # the script lets them run for the loaded half of each round
done
imap=()
[ -f "$(php-config --extension-dir)/imap.so" ] && imap=(-d extension=imap.so)
echo "busy processes beside the bench: $load"
CV_BENCH_BUSY="${busy[*]}" \
php -n -d extension=posix.so -d extension="$here/build/lib/cvwwwui.so" -d extension="$here/build/lib/settingsext.so" \
  "${imap[@]}" "$here/bench/mailstore_peers.php" "$rounds" "$root/mail/passwd" \
  "$here/build/bin/cvstorage" "$root/run/cvstorage.sock" "$port" || { cat "$tmp/dovecot-state/dovecot.log" 2>/dev/null >&2; exit 1; }
