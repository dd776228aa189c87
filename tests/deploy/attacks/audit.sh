# Attacks on the audit trail (sourced by tests/deploy/run.sh with the system up).
#
# The records answer "who changed what": every change names its account, only the
# administrators' group reads them, and no one but their writer (the agent, the console's
# process) adds to, moves or removes them. A file a member makes first in a trail's place
# is not written.

audit_agent=$root/logs/agent-audit.jsonl
audit_console=$root/logs/console-audit.jsonl
audit_oid=1.3.6.1.4.1.8642.20.1.100.70.40

"${as_member[@]}" "$stage/bin/cvmactl" --root "$root" set "$audit_oid" --int 4100 >/dev/null 2>&1
check "audit: a member's cvmactl set is recorded under the member's account" \
  bash -c "tail -n 1 '$audit_agent' | grep -q '\"account\":\"cvdeploy-member\".*\"oid\":\"$audit_oid\".*\"new\":\"4100\",\"result\":\"stored\"'"
check "audit: the agent's trail is 0640 corvane:corvane" mode 640 corvane:corvane "$audit_agent"
check "audit: neither www-data nor an account with no groups reads the agent's trail" \
  bash -c "! ${as_www[*]} cat '$audit_agent' >/dev/null 2>&1 && ! ${as_loner[*]} cat '$audit_agent' >/dev/null 2>&1"
cp -p "$audit_agent" "$work/agent-audit.before"
"${as_member[@]}" bash -c "printf 'forged\n' >>'$audit_agent'; mv '$audit_agent' '$root/logs/moved'; rm -f '$audit_agent'" \
  >/dev/null 2>&1
check "audit: a member can neither add to the agent's trail nor move or remove it" \
  cmp -s "$audit_agent" "$work/agent-audit.before"

# audit_save VALUE: saves the setting through the logged-in session of run.sh, as the page does.
audit_save() {
  local token before review
  fetch "/index.php?group=vxm" >/dev/null
  token=$(grep -o '<input[^>]*name="token"[^>]*>' "$work/body" | head -1 | sed -n 's/.*value="\([^"]*\)".*/\1/p')
  before=$("${cvmactl[@]}" get "$audit_oid" | sed -n 's/.*"int":\(-\{0,1\}[0-9]*\).*/\1/p')
  # A save stores what its review showed: review first, then save that review.
  fetch /index.php --data-urlencode "token=$token" --data-urlencode action=review --data-urlencode group=vxm \
    --data-urlencode "value[$audit_oid]=$1" --data-urlencode "orig[$audit_oid]=$before" >/dev/null
  review=$(grep -o '<input[^>]*name="review"[^>]*>' "$work/body" | head -1 | sed -n 's/.*value="\([^"]*\)".*/\1/p')
  fetch /index.php --data-urlencode "token=$token" --data-urlencode action=save --data-urlencode group=vxm \
    --data-urlencode "review=$review" >/dev/null
}
if [ -e "$audit_console" ]; then
  echo "# audit: the console has saved before, so its trail's place cannot be taken here"
else
  "${as_member[@]}" bash -c "umask 0; printf 'made by a member\n' >'$audit_console'"
  cp -p "$audit_console" "$work/console-audit.before"
  audit_save 4200
  check "audit: a console save writes no record into a file a member made in its trail's place" \
    bash -c "${cvmactl[*]} get $audit_oid | grep -q '\"int\":4200' && cmp -s '$audit_console' '$work/console-audit.before'"
  "${as_member[@]}" rm -f "$audit_console"
fi
audit_save 4300
check "audit: a console save is recorded under the console account, in a trail of the console's (0640)" \
  bash -c "tail -n 1 '$audit_console' | grep -q '\"source\":\"console\",\"account\":\"cvdeploy\".*\"oid\":\"$audit_oid\".*\"new\":\"4300\",\"result\":\"stored\"' &&
           [ \"\$(stat -c '%a %U:%G' '$audit_console')\" = '640 corvane-console:corvane' ]"
