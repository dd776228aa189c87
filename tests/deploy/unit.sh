#!/usr/bin/env bash
# Runs a service the way its systemd unit file says, on a machine without systemd:
#
#   unit.sh start UNIT PIDFILE LOG [--ready 'SHELL CMD']
#   unit.sh stop UNIT PIDFILE
#
# start runs ExecStartPre and then ExecStart as User and Group (with User's supplementary
# groups and the unit's SupplementaryGroups), under UMask and with only the unit's
# Environment (and a PATH), ExecStart in the background; its output goes to LOG and its
# process id to PIDFILE. The RuntimeDirectory, LogsDirectory and StateDirectory folders are
# made first, as systemd does, User's with their modes, below $CV_RUNTIME_BASE,
# $CV_LOGS_BASE and $CV_STATE_BASE (default /run, /var/log and /var/lib; a staging prefix's
# run/, var/log/ and var/lib/ in the deployment test); %t in a command line is the runtime
# base. With --ready it returns once CMD succeeds (10 s at most). stop sends SIGTERM, as
# systemd does, and waits up to 5 s before SIGKILL; a PIDFILE whose process is not the
# unit's program is left alone. Exit status 0 on success.
#
# Only what the project's units use is understood: one ExecStartPre and one ExecStart (plain
# command lines, no quoting or prefixes), User, Group, SupplementaryGroups, UMask,
# RuntimeDirectory, LogsDirectory and StateDirectory (each with its Mode) and unquoted
# Environment= assignments.
set -uo pipefail

usage() {
  echo "usage: unit.sh start UNIT PIDFILE LOG [--ready CMD] | stop UNIT PIDFILE" >&2
  exit 2
}

# The value of KEY in the [Service] section (the last one given), or nothing.
unit_value() {
  sed -n '/^\[Service\]/,/^\[/p' "$1" | sed -n "s/^$2=//p" | tail -1
}

# Whether PID is a live process (an exited one waiting for its parent is not).
running() {
  local state
  state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) && [ -n "$state" ] && [ "$state" != Z ]
}

[ $# -ge 3 ] || usage
action=$1 unit=$2 pidfile=$3
[ -f "$unit" ] || { echo "unit.sh: $unit is missing" >&2; exit 1; }
runtime_base=${CV_RUNTIME_BASE:-/run}
read -r -a command <<<"$(unit_value "$unit" ExecStart | sed "s|%t|$runtime_base|g")"
read -r -a pre_command <<<"$(unit_value "$unit" ExecStartPre | sed "s|%t|$runtime_base|g")"
[ ${#command[@]} -gt 0 ] || { echo "unit.sh: $unit has no ExecStart" >&2; exit 1; }

case "$action" in
  start)
    [ $# -ge 4 ] || usage
    log=$4 ready=""
    if [ $# -eq 6 ] && [ "$5" = --ready ]; then ready=$6; elif [ $# -ne 4 ]; then usage; fi
    user=$(unit_value "$unit" User) group=$(unit_value "$unit" Group)
    umask=$(unit_value "$unit" UMask)
    [ -n "$user" ] && [ -n "$group" ] || { echo "unit.sh: $unit names no User and Group" >&2; exit 1; }
    # The groups systemd gives: User's own (initgroups) and SupplementaryGroups.
    groups=$(id -Gn "$user" | tr ' ' ',')
    for extra in $(unit_value "$unit" SupplementaryGroups); do groups+=",$extra"; done
    for kind in Runtime:"$runtime_base" Logs:"${CV_LOGS_BASE:-/var/log}" State:"${CV_STATE_BASE:-/var/lib}"; do
      folder_mode=$(unit_value "$unit" "${kind%%:*}DirectoryMode")
      for name in $(unit_value "$unit" "${kind%%:*}Directory"); do
        install -d -m "${folder_mode:-0755}" -o "$user" -g "$group" "${kind#*:}/$name" || exit 1
      done
    done
    environment=(PATH=/usr/sbin:/usr/bin:/sbin:/bin)
    while read -r -a assignments; do
      environment+=("${assignments[@]}")
    done < <(sed -n '/^\[Service\]/,/^\[/p' "$unit" | sed -n 's/^Environment=//p')
    # as_unit COMMAND...: COMMAND as the unit's account, groups, umask and environment.
    as_unit() {
      umask "${umask:-0022}"
      exec setpriv --reuid="$user" --regid="$group" --groups="$groups" -- \
        env -i "${environment[@]}" "$@"
    }
    if [ ${#pre_command[@]} -gt 0 ]; then
      (as_unit "${pre_command[@]}") </dev/null >>"$log" 2>&1 ||
        { echo "unit.sh: $(basename "$unit"): ExecStartPre failed (log: $log)" >&2; exit 1; }
    fi
    (as_unit "${command[@]}") </dev/null >>"$log" 2>&1 &
    echo $! >"$pidfile"
    [ -n "$ready" ] || exit 0
    for _ in $(seq 1 100); do
      timeout 5 bash -c "$ready" >/dev/null 2>&1 && exit 0
      running "$(cat "$pidfile")" || break
      sleep 0.1
    done
    echo "unit.sh: $(basename "$unit") did not become ready (log: $log)" >&2
    exit 1 ;;
  stop)
    [ $# -eq 3 ] || usage
    pid=$(cat "$pidfile" 2>/dev/null) || exit 0
    running "$pid" || exit 0
    [ "$(readlink "/proc/$pid/exe")" = "$(readlink -f "${command[0]}")" ] || exit 0
    kill -TERM "$pid"
    for _ in $(seq 1 50); do running "$pid" || exit 0; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
    echo "unit.sh: $(basename "$unit") did not stop on SIGTERM; killed" >&2
    exit 1 ;;
  *) usage ;;
esac
