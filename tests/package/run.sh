#!/usr/bin/env bash
# The Debian packages, as an administrator meets them:
#
#   tests/package/run.sh     (as root, on a machine without the packages)
#
# It builds the packages from a copy of the source (dpkg-buildpackage), reads them with
# lintian, installs them with apt, checks the files, accounts and modes, serves the console
# through the installed nginx and PHP-FPM (their units run by tests/deploy/unit.sh: there is
# no systemd here) and runs the browser suite against it, changes a setting and edits a
# configuration file, upgrades to a rebuild of a higher version and finds both kept, then
# removes and purges the packages and finds nothing left. Each check prints "ok - ..." or
# "FAIL - ..."; the run ends with "N passed, N failed" (the browser suite's counts included).
# Whatever happens it purges its packages, stops what it started and takes back the accounts
# it made, so that the deployment test (a /usr/local and staging install) finds the machine
# as before.
#
# The build folder is always the same one (below /var/tmp), so that ccache, when installed,
# finds the compiler's work of the last run (CCACHE_DIR as the caller's).
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
[ $# -eq 0 ] || { echo "usage: $0" >&2; exit 2; }
unit_sh=$here/tests/deploy/unit.sh
packages=(corvane-servers php-corvane corvane-console)
accounts=(corvane corvane-console corvane-web)
# shellcheck source=../lib/system_checks.sh
. "$here/tests/lib/system_checks.sh"
need "the package test runs as root (it installs packages)" \
  dpkg-buildpackage dh dh_php lintian apt-get php-fpm8.2 nginx curl setpriv python3
# An administrator's install is never touched: the test purges what it installs.
for package in "${packages[@]}"; do
  if dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -qv 'not-installed'; then
    fail "$package is installed already; the package test would purge it"
    finish
  fi
done
for path in /etc/corvane /var/lib/corvane-console; do
  [ ! -e "$path" ] || { fail "$path exists already; the package test would purge it"; finish; }
done
# A machine root of the account corvane is an install's; any other at the default place (a
# test that ran the extension as root without CORVANE_ROOT leaves one) is set aside for the
# run and put back after it.
saved_root=/var/lib/.corvane-saved-by-package-test
if [ -e /var/lib/corvane ]; then
  if [ "$(stat -c %U /var/lib/corvane)" = corvane ] || [ -e "$saved_root" ]; then
    fail "/var/lib/corvane is an installed machine root; the package test would purge it"
    finish
  fi
fi
made_accounts=()
for account in "${accounts[@]}"; do
  getent passwd "$account" >/dev/null || made_accounts+=("$account")
done

top=/var/tmp/corvane-package-test
work=$(mktemp -d /tmp/cvpackage-run.XXXXXX)
rm -rf "$top"
mkdir -p "$top/src" "$top/v1" "$top/v2"
chmod 0755 "$top" "$top/v1" "$top/v2"  # apt reads the packages as its own account

units=/lib/systemd/system
# What apt installed with the packages (php-cli, say) goes with them.
pulled_in=()
purge() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${packages[@]}" "${pulled_in[@]}"
}
cleanup() {
  stop_all
  purge >/dev/null 2>&1
  for account in "${made_accounts[@]}"; do
    pkill -KILL -u "$account" 2>/dev/null
    userdel "$account" >/dev/null 2>&1
    groupdel "$account" >/dev/null 2>&1
  done
  if [ -e "$saved_root" ]; then rm -rf /var/lib/corvane && mv "$saved_root" /var/lib/corvane; fi
  rm -rf "$top" "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
[ ! -e /var/lib/corvane ] || mv /var/lib/corvane "$saved_root"

# --- The build ------------------------------------------------------------------------------
# The source as the work tree has it (committed or not), without what the builds left.
(cd "$here" && git ls-files -z --cached --others --exclude-standard -- . ':!debian/tmp' |
   tar --null --ignore-failed-read -T - -cf -) 2>/dev/null | tar -xf - -C "$top/src"
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)}
fi
# build VERSION_FOLDER: the binary packages of the source copy, moved into that folder.
build() {
  local started=$SECONDS
  (cd "$top/src" && DEB_BUILD_OPTIONS=parallel=2 dpkg-buildpackage -b -us -uc) >"$work/build-$1.log" 2>&1 ||
    { tail -30 "$work/build-$1.log"; return 1; }
  mv "$top"/*.deb "$top"/*.changes "$top"/*.buildinfo "$top/$1/"
  echo "# $1 built in $((SECONDS - started)) s"
}
check "dpkg-buildpackage -b builds the packages" build v1
version=$(cd "$top/src" && dpkg-parsechangelog -S Version)
built=$(cd "$top/v1" && ls ./*.deb 2>/dev/null | sed -E 's|^\./([^_]*)_.*|\1|' | sort | tr '\n' ' ')
check "the packages and their debug symbols ($built)" \
  test "$built" = "corvane-console corvane-servers corvane-servers-dbgsym php-corvane php-corvane-dbgsym "
[ -f "$top/v1/php-corvane_${version}_amd64.deb" ] || finish
lintian_out=$(lintian --no-tag-display-limit "$top"/v1/*.changes 2>&1 | grep -E '^[EW]: ')
check "lintian finds no error and no warning${lintian_out:+:
$lintian_out}" test -z "$lintian_out"
depends=$(dpkg-deb -f "$top/v1/php-corvane_${version}_amd64.deb" Depends)
check "php-corvane depends on PHP's API and the libraries' package ($depends)" \
  bash -c "grep -q 'phpapi-$(php-config8.2 --phpapi)' <<<'$depends' &&
           grep -q 'corvane-servers (= $version)' <<<'$depends'"

# --- The install ----------------------------------------------------------------------------
install_packages() {
  (cd "$top/$1" && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
     ./corvane-servers_*.deb ./php-corvane_[0-9]*.deb ./corvane-console_*.deb) >"$work/install-$1.log" 2>&1 ||
    { tail -30 "$work/install-$1.log"; return 1; }
}
dpkg-query -W -f '${Package} ${Status}\n' | grep -v not-installed | sort >"$work/before"
check "apt installs the three packages" install_packages v1
read -r -a pulled_in < <(sed -n '/NEW packages will be installed/,/^[^ ]/p' "$work/install-v1.log" |
                           grep '^ ' | tr ' ' '\n' | grep -vxE '|corvane-servers|php-corvane|corvane-console' | tr '\n' ' ')
check "without systemd the install says the servers were not started" \
  grep -q 'systemd is not running, so cvmad and cvstorage were not started' "$work/install-v1.log"
verify=$(dpkg --verify "${packages[@]}" 2>&1)
check "dpkg --verify finds every installed file as packaged${verify:+: $verify}" test -z "$verify"
conffiles=$(dpkg-query -W -f '${Conffiles}\n' "${packages[@]}" | awk '{ print $1 }' | sort | tr '\n' ' ')
check "the configuration under /etc is conffiles ($conffiles)" \
  test "$conffiles" = "/etc/corvane/nginx.conf /etc/corvane/php-fpm.conf /etc/corvane/php-fpm.d/console.conf /etc/logrotate.d/corvane /etc/php/8.2/mods-available/corvane.ini "
enabled=$(find /etc/php -xtype f -path '*/conf.d/*' -exec readlink -f {} \; 2>/dev/null | grep corvane)
check "no PHP of Debian's loads the extensions${enabled:+: $enabled}" \
  bash -c "[ -z '$enabled' ] && ! php -m | grep -qi settings"
unresolved=$(for file in /usr/sbin/cvmad /usr/sbin/cvstorage /usr/bin/cvreg /usr/bin/cvmactl /usr/lib/php/*/settingsext.so \
               /usr/lib/php/*/cvwwwui.so; do ldd "$file" | grep 'not found'; done)
check "the programs and extensions find their libraries${unresolved:+: $unresolved}" test -z "$unresolved"
check "the accounts corvane, corvane-console and corvane-web exist, each in its own group only" \
  bash -c 'for a in corvane corvane-console corvane-web; do [ "$(id -nG "$a" 2>/dev/null)" = "$a" ] || exit 1; done'
root=/var/lib/corvane
check "the machine root and logs/ are 3770 corvane:corvane, run/ 2750" \
  bash -c "$(declare -f mode); mode 3770 corvane:corvane $root $root/logs && mode 2750 corvane:corvane $root/run"
check "the hive is seeded, 0660 corvane:corvane" mode 660 corvane:corvane "$root/registry.db"

# --- Served -------------------------------------------------------------------------------
as_corvane=(setpriv --reuid=corvane --regid=corvane --init-groups)
cvmactl=("${as_corvane[@]}" /usr/bin/cvmactl --root "$root")
agent_ready="${cvmactl[*]} export"
start_all() {
  "$unit_sh" start "$units/cvmad.service" "$work/cvmad.pid" "$work/cvmad.log" --ready "$agent_ready" &&
  "$unit_sh" start "$units/cvstorage.service" "$work/cvstorage.pid" "$work/cvstorage.log" \
    --ready "test -S '$root/run/cvstorage.sock'" &&
  "$unit_sh" start "$units/corvane-console.service" "$work/php-fpm.pid" "$work/php-fpm.log" \
    --ready "test -S /run/corvane-console/console.sock" &&
  "$unit_sh" start "$units/corvane-web.service" "$work/nginx.pid" "$work/nginx.log" \
    --ready "curl -s --max-time 2 -o /dev/null '$url/'"
}
# The administrator's edit of a conffile: the console's nginx on a port that is free here.
port=$(free_port)
sed -i "s/listen 127\.0\.0\.1:8080\([ ;]\)/listen 127.0.0.1:$port\1/" /etc/corvane/nginx.conf
url=http://localhost:$port
check "the installed units start the servers, PHP-FPM and nginx" start_all
# Debian builds with immediate binding: a symbol no library of the extension's own provides
# fails its load here rather than at its first call.
fpm_errors=$(grep -E 'PHP (Warning|Fatal)|ERROR' /var/log/corvane-console/php-fpm.log 2>/dev/null)
check "the console's PHP-FPM loads both extensions without a warning${fpm_errors:+: $fpm_errors}" \
  test -z "$fpm_errors"
corvane-seed --policy >"$work/policy.log" 2>&1
check "corvane-seed --policy seeds the policy" grep -qE '^imported [0-9]+ variables' "$work/policy.log"
password=$(new_password)
printf '%s\n' "$password" | corvane-console-account add cvpackage >/dev/null 2>&1
check "corvane-console-account makes a login (0640 root:corvane-console)" \
  mode 640 root:corvane-console /etc/corvane/console-accounts
answer=$(curl -s --max-time 10 -o /dev/null -w '%{http_code} %{redirect_url}' "$url/index.php")
check "the console answers through nginx: 303 to its login ($answer)" grep -qE '^303 .*/login\.php' <<<"$answer"
browser_suite cvpackage /var/lib/corvane-console/sessions

# --- Upgrade ------------------------------------------------------------------------------
# A setting changed at the agent, then the services stopped as for any upgrade.
setting=1.3.6.1.4.1.8642.99.1
"${cvmactl[@]}" set "$setting" --int 4242 --create >/dev/null 2>&1
stop_all
newer=$version+pkgtest1
{ printf 'corvane (%s) bookworm; urgency=medium\n\n  * A rebuild for the package test.\n\n' "$newer"
  printf ' -- Package test <root@localhost>  %s\n\n' "$(date -R)"
  cat "$top/src/debian/changelog"; } >"$work/changelog"
cp "$work/changelog" "$top/src/debian/changelog"
check "the rebuild of the higher version $newer builds" build v2
check "apt upgrades to it" install_packages v2
installed=$(dpkg-query -W -f '${Version} ' "${packages[@]}")
check "every package is at $newer ($installed)" test "$installed" = "$newer $newer $newer "
check "the edited conffile is kept" grep -q "listen 127.0.0.1:$port" /etc/corvane/nginx.conf
check "the upgraded system starts again" start_all
kept=$("${cvmactl[@]}" get "$setting" 2>&1)
check "the setting changed before the upgrade is kept ($kept)" grep -q 4242 <<<"$kept"
answer=$(curl -s --max-time 10 -o /dev/null -w '%{http_code}' "$url/login.php")
check "the upgraded console answers its login page ($answer)" test "$answer" = 200

# --- Remove and purge -----------------------------------------------------------------------
stop_all
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q "${packages[@]}" >"$work/remove.log" 2>&1
check "remove takes the programs and keeps the data and the configuration" \
  bash -c "[ ! -e /usr/sbin/cvmad ] && [ ! -e /usr/share/corvane/console ] && [ -f $root/registry.db ] &&
           [ -f /etc/corvane/console-accounts ] && [ -f /etc/corvane/nginx.conf ]"
purge >"$work/purge.log" 2>&1
changed=$(dpkg-query -W -f '${Package} ${Status}\n' | grep -v not-installed | sort | diff "$work/before" - | grep '^[<>]')
check "the machine has the packages it had before${pulled_in[*]:+ (${pulled_in[*]} pulled in and purged)}${changed:+: $changed}" \
  test -z "$changed"
known=$(for package in "${packages[@]}"; do
          dpkg-query -W -f '${Package} ${Status}\n' "$package" 2>/dev/null | grep -v 'not-installed'
        done)
check "purge leaves no package known to dpkg${known:+: $known}" test -z "$known"
left=$(find /var/lib/corvane /etc/corvane /var/lib/corvane-console /var/log/corvane-console \
         /var/log/corvane-web /run/corvane-console /run/corvane-web /usr/share/corvane \
         /usr/lib/*/corvane /usr/libexec/corvane /etc/logrotate.d/corvane /usr/share/doc/corvane-* /usr/share/doc/php-corvane \
         /etc/php/*/mods-available/corvane.ini -maxdepth 0 2>/dev/null)
check "purge leaves no file${left:+: $left}" test -z "$left"
links=$(find /etc/systemd /var/lib/systemd /etc/php \( -name '*corvane*' -o -name 'cvmad*' -o -name 'cvstorage*' \) \
         2>/dev/null)
check "purge leaves no link (units enabled, PHP's conf.d)${links:+: $links}" test -z "$links"
processes=$(for account in "${accounts[@]}"; do pgrep -a -u "$account"; done 2>/dev/null)
check "no process of the accounts is left${processes:+: $processes}" test -z "$processes"
finish
