#!/usr/bin/env bash
# The installed system, set up as README "Installing on a server" tells an administrator,
# served through PHP-FPM and nginx:
#
#   tests/deploy/run.sh [--build DIR]     (as root; DIR defaults to build/, already built)
#
# It installs the build into a fresh staging prefix, checks what was installed, makes the
# accounts, seeds the machine root with the installed corvane-seed, runs the agent, the
# storage server, the console's own PHP-FPM (with the installed pool and ini) and its own
# nginx (with the installed configuration) as their installed units say, then asks the
# console through nginx, tries the attacks of tests/deploy/attacks/, and runs the browser
# suite (tests/browser/run.sh) against it. Each check prints
# "ok - ..." or "FAIL - ..."; the run ends with "N passed, N failed" (the browser suite's
# counts included) and stops everything it started.
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$here/build
case "${1:-}" in
  --build) [ $# -eq 2 ] || { echo "usage: $0 [--build DIR]" >&2; exit 2; }; build=$(cd "$2" && pwd) ;;
  "") ;;
  *) echo "usage: $0 [--build DIR]" >&2; exit 2 ;;
esac
unit_sh=$here/tests/deploy/unit.sh
# shellcheck source=../lib/system_checks.sh
. "$here/tests/lib/system_checks.sh"
need "the deployment test runs as root (it makes accounts and runs servers as them)" \
  php-fpm8.2 nginx curl setpriv readelf ldd python3

# The staging prefix is read by the servers' accounts (0755); the test's own files (configs,
# logs, pid files) stay root's.
stage=$(mktemp -d /tmp/cvdeploy.XXXXXX)
work=$(mktemp -d /tmp/cvdeploy-run.XXXXXX)
chmod 0755 "$stage"

cleanup() {
  stop_all
  pkill -KILL -u cvdeploy-member 2>/dev/null; pkill -KILL -u cvdeploy-loner 2>/dev/null
  userdel cvdeploy-member >/dev/null 2>&1; userdel cvdeploy-loner >/dev/null 2>&1
  rm -rf "$stage" "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The install ----------------------------------------------------------------------------
if ! cmake --install "$build" --prefix "$stage" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  fail "cmake --install $build --prefix STAGE"
  finish
fi
pass "cmake --install into a staging prefix"

units=$stage/lib/systemd/system
php_version=$(php-config --version | cut -d. -f1,2)
php_etc=$stage/etc/php/$php_version
console_etc=$stage/etc/corvane
pool=$console_etc/php-fpm.d/console.conf
nginx_conf=$console_etc/nginx.conf
console=$stage/share/corvane/console
for file in "$stage/sbin/cvmad" "$stage/sbin/cvstorage" "$stage/sbin/corvane-seed" \
            "$stage/bin/cvreg" "$stage/bin/cvmactl" "$units/cvmad.service" "$units/cvstorage.service" \
            "$units/corvane-console.service" "$units/corvane-web.service" \
            "$php_etc/mods-available/corvane.ini" "$console_etc/php/conf.d/20-corvane.ini" \
            "$console_etc/php-fpm.conf" "$pool" "$nginx_conf" "$console/index.php"; do
  [ -e "$file" ] || { fail "installed: ${file#"$stage"/}"; finish; }
done
pass "the programs, units and configuration are installed"

# Nothing installed names the tree it was built from.
leaks=$(grep -rlF -e "$build" -e "$here" "$stage")
check "no installed file names the source or build tree${leaks:+: $leaks}" test -z "$leaks"

# Every installed ELF file finds its libraries through RUNPATHs relative to itself.
elf_problems=""
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ] || continue
  dynamic=$(readelf -d "$file")
  grep -q '(RPATH)' <<<"$dynamic" && elf_problems+=" ${file#"$stage"/}:RPATH"
  runpath=$(sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  IFS=: read -r -a entries <<<"$runpath"
  for entry in "${entries[@]}"; do
    case "$entry" in '$ORIGIN' | '$ORIGIN/'*) ;; *) elf_problems+=" ${file#"$stage"/}:$entry" ;; esac
  done
  ldd "$file" 2>&1 | grep -q 'not found' && elf_problems+=" ${file#"$stage"/}:unresolved"
done < <(find "$stage" -type f -print0)
check "every installed ELF file has \$ORIGIN-relative RUNPATHs and ldd resolves it${elf_problems:+:$elf_problems}" \
  test -z "$elf_problems"

# The installed ini loads both extensions, the host extension first (on a machine root
# that does not exist: nothing is made anywhere).
printf '' >"$work/php.ini"
loaded=$(env -i PATH="$PATH" CORVANE_ROOT="$work/no-root" PHP_INI_SCAN_DIR="$console_etc/php/conf.d" \
           php -c "$work/php.ini" -r '
             $names = array_map("strtolower", get_loaded_extensions());
             $host = array_search("cvwwwui", $names);
             $module = array_search("corvane tidewall extension", $names);
             echo $host !== false && $module !== false && $host < $module ? "both" : "no";' 2>&1)
check "the installed ini loads cvwwwui.so and then settingsext.so${loaded:+ ($loaded)}" test "$loaded" = both

# systemd's own reading of the units: a key it does not know is only a warning to it.
if command -v systemd-analyze >/dev/null; then
  verdict=$(timeout 30 systemd-analyze verify "$units"/*.service 2>&1)
  check "systemd-analyze verify finds nothing in the units${verdict:+: $verdict}" test -z "$verdict"
fi

# --- Accounts and the machine root ----------------------------------------------------------
# As README tells the administrator (and again: nothing happens when they exist). No account
# is made a member of a group here: the console's unit gives its processes the groups
# corvane and corvane-web (a membership an earlier set-up left is taken back, so that the
# test shows the unit is enough, and www-data gets neither group).
getent group corvane >/dev/null || groupadd --system corvane
id corvane >/dev/null 2>&1 ||
  useradd --system --gid corvane --home-dir /var/lib/corvane --no-create-home \
    --shell /usr/sbin/nologin corvane
for account in corvane-web corvane-console; do
  id "$account" >/dev/null 2>&1 ||
    useradd --system --user-group --home-dir /nonexistent --no-create-home \
      --shell /usr/sbin/nologin "$account"
done
for account in www-data corvane-console; do
  for group in corvane corvane-web; do
    id -nG "$account" | tr ' ' '\n' | grep -qx "$group" && gpasswd -d "$account" "$group" >/dev/null
  done
done
check "the accounts corvane, corvane-web and corvane-console exist, each in its own group only" \
  bash -c 'for a in corvane corvane-web corvane-console; do [ "$(id -nG "$a" 2>/dev/null)" = "$a" ] || exit 1; done'
check "www-data is in neither corvane nor corvane-web" \
  bash -c '! id -nG www-data | tr " " "\n" | grep -qxE "corvane|corvane-web"'

# The attacks' accounts (see "Attacks" below): one in the group corvane, one with no
# groups; both go with the test.
for account in cvdeploy-member cvdeploy-loner; do
  userdel "$account" >/dev/null 2>&1
  useradd --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$account"
done
usermod -a -G corvane cvdeploy-member
check "the attacks' accounts exist (a member of corvane and one with no groups)" \
  bash -c 'id -nG cvdeploy-member | grep -qw corvane && [ "$(id -G cvdeploy-loner | wc -w)" = 1 ]'

root=$stage/var/lib/corvane
as_corvane=(setpriv --reuid=corvane --regid=corvane --init-groups)
cvmactl=("${as_corvane[@]}" "$stage/bin/cvmactl" --root "$root")
env -u CORVANE_ROOT "$stage/sbin/corvane-seed" >"$work/seed.log" 2>&1
seed_status=$?
[ $seed_status -eq 0 ] || cat "$work/seed.log"
check "corvane-seed seeds the installed default root" test $seed_status -eq 0 -a -f "$root/registry.db"
check "corvane-seed says the policy waits for the agent" grep -q 'corvane-seed --policy' "$work/seed.log"
check "the root and logs/ are 3770 corvane:corvane" mode 3770 corvane:corvane "$root" "$root/logs"
check "run/, the servers' sockets' folder, is 2750 corvane:corvane" mode 2750 corvane:corvane "$root/run"
check "the hive and the trace file are 0660 corvane:corvane" \
  mode 660 corvane:corvane "$root/registry.db" "$root/logs/settingsext.log"
check "the mail folders are the storage server's and not group-writable" \
  mode 2750 corvane:corvane "$root/mail" "$root/mail/public"

# --- The servers, as their units run them ---------------------------------------------------
agent_ready="${cvmactl[*]} export"
"$unit_sh" start "$units/cvmad.service" "$work/cvmad.pid" "$work/cvmad.log" --ready "$agent_ready"
check "cvmad runs as its unit says and answers" test $? -eq 0
"$unit_sh" start "$units/cvstorage.service" "$work/cvstorage.pid" "$work/cvstorage.log" \
  --ready "test -S '$root/run/cvstorage.sock'"
check "cvstorage runs as its unit says" test $? -eq 0
check "the servers run as corvane" \
  bash -c "[ \"\$(stat -c %U /proc/$(cat "$work/cvmad.pid"))\" = corvane ] &&
           [ \"\$(stat -c %U /proc/$(cat "$work/cvstorage.pid"))\" = corvane ]"
check "their sockets admit the group corvane (0660)" \
  mode 660 corvane:corvane "$root/run/cvmad.sock" "$root/run/cvstorage.sock"

env -u CORVANE_ROOT "$stage/sbin/corvane-seed" --policy >"$work/policy.log" 2>&1
check "corvane-seed --policy imports the policy" grep -qE '^imported [0-9]+ variables' "$work/policy.log"
final=$("${cvmactl[@]}" get 1.3.6.1.4.1.8642.18.1.11.10 2>&1)
check "the agent holds the seeded policy (a final setting: $final)" grep -q '"restriction":2' <<<"$final"
env -u CORVANE_ROOT "$stage/sbin/corvane-seed" >"$work/again.log" 2>&1
check "corvane-seed again succeeds and keeps the hive and the policy" \
  test $? -eq 0 -a -z "$(grep -E '^(Seeded|imported)' "$work/again.log")"

# --- PHP-FPM and nginx ----------------------------------------------------------------------
# The console's PHP-FPM as its unit runs it: as corvane-console with the groups corvane and
# corvane-web, only the unit's environment (the machine root and the ini folder), its
# runtime, log and state folders below the staging prefix's run/, var/log/ and var/lib/.
export CV_RUNTIME_BASE=$stage/run CV_LOGS_BASE=$stage/var/log CV_STATE_BASE=$stage/var/lib
fpm_socket=$(sed -n 's/^listen *= *//p' "$pool")
fpm_log=$stage/var/log/corvane-console/php-fpm.log
"$unit_sh" start "$units/corvane-console.service" "$work/php-fpm.pid" "$work/php-fpm.out" \
  --ready "test -S '$fpm_socket'"
fpm_started=$?
[ $fpm_started -eq 0 ] || tail -20 "$work/php-fpm.out" "$fpm_log"
check "the console's PHP-FPM serves the installed pool on $fpm_socket" test $fpm_started -eq 0
fpm_master=$(cat "$work/php-fpm.pid")
fpm_accounts=$(ps -o user= -p "$fpm_master" --ppid "$fpm_master" | sort -u | tr '\n' ' ')
check "its master and worker run as corvane-console ($fpm_accounts)" \
  test "$fpm_accounts" = "corvane-console "
# groups PID: the process's group and supplementary groups, by name, sorted.
groups() {
  ps -o egid= -o supgid= -p "$1" | tr ' ,' '\n\n' | sed '/^$/d' | sort -u |
    while read -r gid; do getent group "$gid" | cut -d: -f1; done | sort | tr '\n' ' '
}
worker_groups=$(groups "$(ps -o pid= --ppid "$fpm_master" | head -1 | tr -d ' ')")
check "its worker has the groups corvane-console, corvane and corvane-web, no other ($worker_groups)" \
  test "$worker_groups" = "corvane corvane-console corvane-web "
check "its socket and the socket's folder admit the group corvane-web alone" \
  bash -c "$(declare -f mode); mode 660 corvane-console:corvane-web '$fpm_socket' &&
           mode 750 corvane-console:corvane-web '$(dirname "$fpm_socket")'"
check "the sessions' folder is corvane-console's alone" \
  mode 700 corvane-console:corvane-console "$stage/var/lib/corvane-console/sessions"
# Whatever lies in the pages' folder runs in the worker: it and every folder above it are
# root's, and no other account may write them (a folder everyone may write counts only
# when it is sticky, as /tmp).
writable=$(find "$console" \( ! -user root -o -perm /022 \) -printf '%p ')
folder=$console
while [ "$folder" != / ]; do
  folder=$(dirname "$folder")
  read -r owner perms < <(stat -c '%U %a' "$folder")
  [ "$owner" = root ] && { [ $((8#$perms & 8#022)) = 0 ] || [ $((8#$perms & 8#1000)) != 0 ]; } ||
    writable+="$folder "
done
check "the pages' folder and those above it are root's, writable by no other account${writable:+: $writable}" \
  test -z "$writable"

# The console's nginx as its unit runs it, with the installed configuration moved to a free
# loopback port (the staging copy, in place).
port=$(free_port)
check "the console's nginx listens on 127.0.0.1:8080 only, for the name localhost" \
  bash -c "[ \"\$(grep -cE '^ *listen ' '$nginx_conf')\" = \"\$(grep -cE '^ *listen 127\.0\.0\.1:8080[ ;]' '$nginx_conf')\" ] &&
           grep -qE '^ *server_name localhost;' '$nginx_conf'"
sed -i "s/listen 127\.0\.0\.1:8080\([ ;]\)/listen 127.0.0.1:$port\1/" "$nginx_conf"
url=http://localhost:$port
"$unit_sh" start "$units/corvane-web.service" "$work/nginx.pid" "$work/nginx.out" \
  --ready "curl -s --max-time 2 -o /dev/null '$url/'"
nginx_started=$?
[ $nginx_started -eq 0 ] || tail -20 "$work/nginx.out" "$stage/var/log/corvane-web/error.log"
check "the console's nginx serves it on 127.0.0.1 (moved to $port here)" test $nginx_started -eq 0
nginx_master=$(cat "$work/nginx.pid")
nginx_accounts=$(ps -o user= -p "$nginx_master" --ppid "$nginx_master" | sort -u | tr '\n' ' ')
check "its master and worker run as corvane-web ($nginx_accounts)" test "$nginx_accounts" = "corvane-web "
started=$(for pid in $(cat "$work/cvmad.pid" "$work/cvstorage.pid") "$fpm_master" "$nginx_master"; do
            ps -o user= -p "$pid" --ppid "$pid"
          done | sort -u | tr '\n' ' ')
check "no process of the system runs as root ($started)" \
  test "$started" = "corvane corvane-console corvane-web "

# The console's login: an account made with the installed tool, as README tells the
# administrator, and a session of curl's (its cookies in a jar) that logs in through the form.
accounts=$console_etc/console-accounts
password=$(new_password)
printf '%s\n' "$password" |
  "$stage/sbin/corvane-console-account" --file "$accounts" add cvdeploy >"$work/account.log" 2>&1
check "corvane-console-account adds an account to a file only root and the console read" \
  mode 640 root:corvane-console "$accounts"
jar=$work/cookies
# fetch PATH [CURL OPTION...]: the status line's code, then the body, into $work/body, in the
# logged-in session once there is one; redirected: the code and where it sends the browser.
fetch() { in_session '%{http_code}' "$@"; }
redirected() { in_session '%{http_code} %{redirect_url}' "$@"; }
in_session() {
  local format=$1 path=$2
  shift 2
  curl -s --max-time 20 -b "$jar" -c "$jar" -o "$work/body" -w "$format" "$@" "$url$path"
}
asked=$(redirected /index.php)
check "without a login a page answers 303 to login.php ($asked)" \
  grep -qE '^303 .*/login\.php' <<<"$asked"
fetch "/${asked#*"$url"/}" >/dev/null
token=$(grep -o '<input[^>]*name="token"[^>]*>' "$work/body" | sed -n 's/.*value="\([^"]*\)".*/\1/p')
logged_in=$(redirected /login.php --data-urlencode account=cvdeploy --data-urlencode "password@$work/password" \
              --data-urlencode "token=$token")
check "the login answers 303 to the page asked for ($logged_in)" \
  bash -c "grep -q '^303 $url/' <<<'$logged_in' && ! grep -q login <<<'$logged_in'"
status=$(fetch /)
check "the console answers 200 through nginx (got $status)" test "$status" = 200
check "the console page ran (HTML, no PHP source)" \
  bash -c "grep -qi '<html' '$work/body' && ! grep -q '<?php' '$work/body'"
# The mail store page lists the storage server's mailboxes once the parser has read them:
# the hive, the agent's libraries and the storage server all reached from the worker.
mailboxes() { fetch /mailstore.php >/dev/null && grep -q 'Anna Berg' "$work/body"; }
check "the mail store page lists the sample mailboxes" wait_for 15 mailboxes
trace_key='HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid'
as_corvane_cvreg=("${as_corvane[@]}" env CORVANE_ROOT="$root" "$stage/bin/cvreg")
check "the trace is off after the install: the pages wrote no line" \
  bash -c "test ! -s '$root/logs/settingsext.log' &&
           ${as_corvane_cvreg[*]@Q} query '$trace_key' /v DebugOutput | grep -qE 'REG_DWORD +0x0\$'"

# Only .php files run, and nothing else is sent: probes with PHP code under other names,
# put into the staging copy of the console folder only, are neither run nor sent.
probe='<?php echo "probe-" . (6 * 7);'
for name in probe.reg probe.ini; do
  printf '%s\n' "$probe" >"$console/$name"
done
refused() {
  { [ "$1" = 404 ] || [ "$1" = 403 ]; } && ! grep -qE 'probe-|<\?php' "$work/body"
}
for request in /probe.reg /probe.ini /probe.reg/x.php /probe.ini/.php /include/console.php; do
  status=$(fetch "$request")
  check "$request is neither run nor sent (status $status)" refused "$status"
done
rm -f "$console/probe.reg" "$console/probe.ini"
check "no PHP error or PHP-FPM warning in its log" bash -c "test -f '$fpm_log' && ! grep -qiE 'PHP (Fatal|Warning|Parse)|WARNING|ERROR' '$fpm_log'"

# --- Day to day ----------------------------------------------------------------------------
# The install manifest lists the configuration rendered at install time too, so that an
# uninstall by it removes everything.
unlisted=""
for file in "$php_etc/mods-available/corvane.ini" "$console_etc/php-fpm.conf" "$pool" "$nginx_conf" \
            "$units"/*.service "$stage/etc/logrotate.d/corvane"; do
  grep -qxF "$file" "$build/install_manifest.txt" || unlisted+=" ${file#"$stage"/}"
done
check "install_manifest.txt lists the rendered configuration${unlisted:+ (not:$unlisted)}" test -z "$unlisted"
logrotate_conf=$stage/etc/logrotate.d/corvane
rotate_check=$(logrotate -d -s "$work/logrotate.state" "$logrotate_conf" 2>&1)
check "logrotate reads the trace's rotation without an error" \
  bash -c "[ -n \"\$(command -v logrotate)\" ] && ! grep -qi 'error' <<<${rotate_check@Q} &&
           grep -q 'considering log $root/logs/settingsext.log' <<<${rotate_check@Q}"
# Switched on, the trace goes on into the new file after a rotation, without a restart.
"${as_corvane_cvreg[@]}" add "$trace_key" /v DebugOutput /t REG_DWORD /d 1 /f >/dev/null
"$unit_sh" stop "$units/corvane-console.service" "$work/php-fpm.pid"
"$unit_sh" start "$units/corvane-console.service" "$work/php-fpm.pid" "$work/php-fpm.out" \
  --ready "test -S '$fpm_socket'"
fpm_master=$(cat "$work/php-fpm.pid")
fetch / >/dev/null
logrotate -f -s "$work/logrotate.state" "$logrotate_conf" >"$work/logrotate.out" 2>&1
sleep 1.2  # the writer looks at most once a second
fetch / >/dev/null
check "after a rotation the worker writes the trace into the new file" \
  bash -c "test -s '$root/logs/settingsext.log.1' && test -s '$root/logs/settingsext.log'"
# scripts/run.sh leaves an installed root alone.
run_out=$(CORVANE_ROOT=$root timeout 60 "$here/scripts/run.sh" --port 1 2>&1)
check "scripts/run.sh refuses the installed machine root and changes nothing" \
  bash -c "grep -q 'refusing the machine root $root' <<<${run_out@Q} &&
           $(declare -f mode); mode 3770 corvane:corvane '$root'"
# corvane-seed on a hive it cannot use names it, its owner and what to do.
bad_root=$stage/var/lib/cvdeploy-bad-hive
mkdir -m 0700 "$bad_root"
printf 'not a hive\n' >"$bad_root/registry.db"
chown corvane:corvane "$bad_root/registry.db"
seed_out=$(env -u CORVANE_ROOT "$stage/sbin/corvane-seed" --root "$bad_root" --no-policy 2>&1)
check "corvane-seed on a hive it cannot use names the file and its owner (${seed_out##*: })" \
  bash -c "grep -q '$bad_root/registry.db (corvane:corvane' <<<${seed_out@Q}"
rm -rf "$bad_root"

# --- Attacks from the accounts around the system -------------------------------------------
# Each file in attacks/ is sourced here, with the system up: it tries what another account on
# the machine could do and checks that it is refused. They share this script's functions
# (check, pass, fail, wait_for, fetch, mode) and variables (here, stage, root, work, units,
# url, cvmactl, console, fpm_socket, fpm_master) and run their commands as one of three
# accounts, or as the console's nginx where they need the one account the system trusts:
#   "${as_www[@]}"     www-data, as any other site of the machine runs
#   "${as_member[@]}"  a member of the group corvane (the administrators' group)
#   "${as_loner[@]}"   an account with no groups
#   "${as_web[@]}"     corvane-web, the console's nginx
as_www=(setpriv --reuid=www-data --regid=www-data --clear-groups)
as_web=(setpriv --reuid=corvane-web --regid=corvane-web --init-groups)
as_member=(setpriv --reuid=cvdeploy-member --regid=cvdeploy-member --init-groups)
as_loner=(setpriv --reuid=cvdeploy-loner --regid=cvdeploy-loner --clear-groups)
for attack in "$here"/tests/deploy/attacks/*.sh; do
  [ -f "$attack" ] || continue
  echo "# ${attack#"$here"/}"
  # shellcheck source=/dev/null
  . "$attack"
done

# --- The browser suite ----------------------------------------------------------------------
browser_suite cvdeploy "$stage/var/lib/corvane-console/sessions"

# --- Everything stops -----------------------------------------------------------------------
# The console's audit trail is the console's own, by design (only it appends to it).
owners=$(find "$root" ! -user corvane ! \( -path "$root/logs/console-audit.jsonl" -user corvane-console \) -printf '%P %u\n')
check "every file under the root is corvane's, the console's audit trail the console's${owners:+: $owners}" test -z "$owners"
open=$(find "$root" -perm /o=rwx -printf '%P\n')
check "nothing under the root is open to other accounts${open:+: $open}" test -z "$open"
stop_all
left=$(pgrep -af "$stage")
check "nothing started is left running${left:+: $left}" test -z "$left"
finish
