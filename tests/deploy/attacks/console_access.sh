# The console's PHP-FPM and nginx against the accounts around them (sourced by run.sh).
# Whoever can talk FastCGI to the PHP-FPM socket chooses the script and any PHP setting of
# the request, and whoever shares the worker's account can attach to it: so no account but
# the console's nginx reaches the socket, and none but the worker's own reaches the worker.
# nginx answers only its own name, and every answer carries its content policy.

fastcgi=$here/tests/deploy/fastcgi_request.py
fpm_worker=$(ps -o pid= --ppid "$fpm_master" | head -1 | tr -d ' ')

# Another site's folder, which www-data writes, with a PHP file of its own in it; readable by
# everyone, so that only the pool's own limits keep the console's worker from running it.
site_dir=$stage/srv/other-site
install -d -m 0755 -o www-data -g www-data "$stage/srv" "$site_dir"
"${as_www[@]}" sh -c "printf '%s\n' '<?php echo \"probe-\" . (6 * 7);' >'$site_dir/probe.php'"

# fastcgi_refused ACCOUNT...: the account's connection to the PHP-FPM socket is refused.
fastcgi_refused() {
  "$@" /usr/bin/python3 "$fastcgi" "$fpm_socket" SCRIPT_FILENAME="$site_dir/probe.php" \
    SCRIPT_NAME=/probe.php >"$work/fastcgi.out" 2>&1
  [ $? -eq 3 ]
}
check "www-data cannot connect to the console's PHP-FPM socket" fastcgi_refused "${as_www[@]}"
check "a member of corvane cannot connect to the console's PHP-FPM socket" fastcgi_refused "${as_member[@]}"
check "an account with no groups cannot connect to the console's PHP-FPM socket" fastcgi_refused "${as_loner[@]}"

# ptrace_refused PID: www-data's attempt to attach to PID is refused by the kernel (EPERM).
# PTRACE_SEIZE does not stop the process when it succeeds; the attachment ends with the probe.
ptrace_refused() {
  "${as_www[@]}" /usr/bin/python3 -c '
import ctypes, errno, sys
libc = ctypes.CDLL(None, use_errno=True)
libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
attached = libc.ptrace(0x4206, int(sys.argv[1]), None, None) == 0
sys.exit(1 if attached else 0 if ctypes.get_errno() == errno.EPERM else 2)' "$1"
}
check "www-data cannot attach to the console's PHP-FPM worker" ptrace_refused "$fpm_worker"
check "www-data cannot attach to the console's PHP-FPM master" ptrace_refused "$fpm_master"
check "www-data cannot read the worker's environment" \
  bash -c "[ -r /proc/$fpm_worker/environ ] && ! ${as_www[*]} cat /proc/$fpm_worker/environ >/dev/null 2>&1"

# The nginx's own account reaches the socket, but runs only the installed pages: a request
# that names the other site's script (by its file and by a name climbing out of the pages'
# folder) runs nothing of it.
"${as_web[@]}" /usr/bin/python3 "$fastcgi" "$fpm_socket" SCRIPT_FILENAME="$site_dir/probe.php" \
  SCRIPT_NAME="/$(realpath --relative-to="$console" "$site_dir/probe.php")" DOCUMENT_ROOT="$site_dir" \
  >"$work/fastcgi.out" 2>&1
answered=$?
check "the nginx's account cannot have the worker run a script outside the pages' folder" \
  bash -c "[ $answered = 0 ] && ! grep -q probe-42 '$work/fastcgi.out'"
# A FastCGI client may also set PHP_ADMIN_VALUE (open_basedir, auto_prepend_file, extension):
# PHP-FPM applies it over the pool's own values and keeps it in the worker for the requests
# after. No pool setting refuses it, so the socket admits only the console's nginx, which
# sends fastcgi.conf's parameters and nothing a client chose.

# Through nginx: no page for another name, and the policy headers on a page and on nginx's own
# 404.
other=$(curl -s --max-time 10 -H 'Host: attacker.example' -o /dev/null -w '%{http_code}' "$url/")
check "nginx gives no answer to another Host (got $other)" test "$other" = 000
# policy_headers PATH: the response to PATH carries the content policy, nosniff and the
# referrer policy.
policy_headers() {
  curl -s --max-time 10 -D "$work/headers" -o /dev/null "$url$1" &&
    grep -qiE "^Content-Security-Policy:.*frame-ancestors 'none'" "$work/headers" &&
    grep -qiE '^X-Content-Type-Options: *nosniff' "$work/headers" &&
    grep -qiE '^Referrer-Policy: *(same-origin|no-referrer|strict-origin)' "$work/headers"
}
check "a page carries its content policy, nosniff and a referrer policy" policy_headers /
check "nginx's own 404 carries its content policy, nosniff and a referrer policy" \
  policy_headers /no-such-page.php
