# Attacks on the trace path (sourced by tests/deploy/run.sh with the system up).
#
# A member of corvane may write the hive, so it names the trace file (DebugLogFile) and can
# put text into the trace (a policy string holding PHP code). Pointed at another site's
# page, the console's PHP-FPM would empty that page and write the trace into it, to be run
# as that site; pointed at a file the member made in logs/, the console would write into
# another account's file. Each must leave the file as it was. The trace switches are read
# when PHP-FPM starts, so the console is restarted, as any restart would, and asked for a
# page (even one answered with a redirect runs the request start-up, which traces).

trace_key='HKLM\SOFTWARE\Veltmark\Corvane\Web User Interface\Debug\cvwebuid'
as_member_cvreg=("${as_member[@]}" env CORVANE_ROOT="$root" "$stage/bin/cvreg")
as_corvane_cvreg=("${as_corvane[@]}" env CORVANE_ROOT="$root" "$stage/bin/cvreg")
trace_setting=$("${as_corvane_cvreg[@]}" query "$trace_key" /v DebugLogFile 2>/dev/null |
                  sed -n 's/^ *DebugLogFile *REG_SZ *//p')
# The installed system starts with the trace off; these attacks need it on.
"${as_corvane_cvreg[@]}" add "$trace_key" /v DebugOutput /t REG_DWORD /d 1 /f >/dev/null

# Restarts the console's PHP-FPM as run.sh started it, then asks it for the console page.
trace_restart_and_request() {
  "$unit_sh" stop "$units/corvane-console.service" "$work/php-fpm.pid"
  CV_RUNTIME_BASE=$stage/run CV_LOGS_BASE=$stage/var/log \
    "$unit_sh" start "$units/corvane-console.service" "$work/php-fpm.pid" "$work/php-fpm.out" \
    --ready "test -S '$fpm_socket'" || return 1
  fpm_master=$(cat "$work/php-fpm.pid")
  fetch / >/dev/null
}

# The member makes a policy string PHP code, so that the trace carries it.
"${as_member[@]}" "$stage/bin/cvmactl" --root "$root" \
  set 1.3.6.1.4.1.8642.18.1.38.150 --string '<?php system("id"); ?>' >/dev/null 2>&1

# Another site: a folder of www-data's with its page, which anyone may write, so that only the
# trace's own rules stand between the console and the page.
site_dir=$stage/www/othersite
mkdir -p "$site_dir"
printf '<?php echo "the other site";\n' >"$site_dir/index.php"
chown -R www-data:www-data "$stage/www"
chmod 0755 "$stage/www" "$site_dir"
chmod 0666 "$site_dir/index.php"
cp -p "$site_dir/index.php" "$work/index.php.before"
"${as_member_cvreg[@]}" add "$trace_key" /v DebugLogFile /t REG_SZ /d "$site_dir/index.php" /f >/dev/null
trace_restart_and_request
check "trace: DebugLogFile at another site's page (set by a member): the page is left as it was" \
  cmp -s "$site_dir/index.php" "$work/index.php.before"

# A file the member made in logs/, which anyone may write.
"${as_member[@]}" bash -c "umask 0; printf 'made by a member\n' >'$root/logs/member.log'"
cp -p "$root/logs/member.log" "$work/member.log.before"
"${as_member_cvreg[@]}" add "$trace_key" /v DebugLogFile /t REG_SZ /d "$root/logs/member.log" /f >/dev/null
trace_restart_and_request
check "trace: DebugLogFile at a member's file in logs/: the file is left as it was" \
  cmp -s "$root/logs/member.log" "$work/member.log.before"

# The refusal is told to syslog, when this machine has a reader for it (/dev/log served).
if [ ! -S /dev/log ]; then
  echo "# trace: nothing serves /dev/log on this machine: the refusal line is not checked here"
elif command -v journalctl >/dev/null && journalctl -n 0 >/dev/null 2>&1; then
  check "trace: the refusals are on syslog" \
    bash -c "journalctl --since '-5 min' | grep -q \"Trace file '$site_dir/index.php' refused\" &&
             journalctl --since '-5 min' | grep -q \"Trace file '$root/logs/member.log' refused\""
elif [ -r /var/log/syslog ]; then
  check "trace: the refusals are on syslog" \
    bash -c "grep -q \"Trace file '$site_dir/index.php' refused\" /var/log/syslog &&
             grep -q \"Trace file '$root/logs/member.log' refused\" /var/log/syslog"
else
  echo "# trace: /dev/log is served, but neither the journal nor /var/log/syslog can be read here"
fi

# Put back as it was: the trace where the seed put it, the member's file gone.
rm -f "$root/logs/member.log"
"${as_corvane_cvreg[@]}" add "$trace_key" /v DebugLogFile /t REG_SZ /d "$trace_setting" /f >/dev/null
"${cvmactl[@]}" set 1.3.6.1.4.1.8642.18.1.38.150 --string '' >/dev/null 2>&1
trace_size=$(stat -c %s "$root/logs/settingsext.log")
trace_restart_and_request
check "trace: put back, the console traces to logs/settingsext.log again" \
  test "$(stat -c %s "$root/logs/settingsext.log")" -gt "$trace_size"
