# The console asks for a login. Another local account (www-data, as any other site of the
# machine) gets a form token only for a session that is not logged in, and a save posted
# with that session and token stores nothing.
console_jar=$(mktemp /tmp/cv-console-jar.XXXXXX)
chown www-data "$console_jar"
console_oid=1.3.6.1.4.1.8642.20.1.100.70.40
console_before=$("${cvmactl[@]}" get "$console_oid")
console_got=$("${as_www[@]}" curl -s --max-time 10 -o /dev/null -w '%{http_code} %{redirect_url}' "$url/index.php")
check "as www-data, a page without a login answers 303 to the login form (got $console_got)" \
  test "$console_got" = "303 $url/login.php"
# Whichever page hands out a token: the console's own (without a login), else the login form's.
console_token() {
  "${as_www[@]}" curl -s --max-time 10 -c "$console_jar" -b "$console_jar" "$url/$1" |
    sed -nE 's/.*name="token" value="([0-9a-f]+)".*/\1/p' | head -1
}
console_tok=$(console_token index.php)
[ -n "$console_tok" ] || console_tok=$(console_token login.php)
"${as_www[@]}" curl -s --max-time 10 -o /dev/null -b "$console_jar" --data-urlencode "token=$console_tok" \
  --data-urlencode action=save --data-urlencode group=vxm --data-urlencode "value[$console_oid]=4242" \
  --data-urlencode "orig[$console_oid]=1" "$url/index.php"
console_after=$("${cvmactl[@]}" get "$console_oid")
check "as www-data, a save posted with a session that is not logged in stores nothing" \
  test "$console_before" = "$console_after"
rm -f "$console_jar"
