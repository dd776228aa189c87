# Attack on the mail sources (sourced by tests/deploy/run.sh with the system up).
#
# The administrators point the public folders at a shared folder that root owns and another
# group may write, as /var/mail is. An account of that group renames a folder in it; the
# storage server must not list the name it planted: a root another group may write is not
# trusted at all. The setting and the server's lists are put back afterwards.

mail_dir=$(mktemp -d /tmp/cvdeploy-mail.XXXXXX)
chmod 0755 "$mail_dir"
install -d -o root -g cvdeploy-loner -m 2775 "$mail_dir/shared"
install -d -m 0755 "$mail_dir/shared/.Sales"
mail_key='HKLM\SOFTWARE\Veltmark\Corvane\Storage'
mail_cvreg=("${as_corvane[@]}" env CORVANE_ROOT="$root" "$stage/bin/cvreg")
# Refreshes the server's lists; prints the result and the public folders' names.
cat >"$mail_dir/folders.py" <<'PY'
import socket, struct, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])
s.sendall(b"CVL1" + b"7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b769" + b"7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b762")
read = lambda n: s.recv(n, socket.MSG_WAITALL)
def call(slot, argument=0):
    s.sendall(struct.pack("<Ii", slot, argument))
    result, _, n = struct.unpack("<IiI", read(12))
    return result, read(2 * n).decode("utf-16-le") if n else ""
assert struct.unpack("<I", read(4))[0] == 0
print("refresh 0x%08x" % call(7, -1)[0])
result = call(8)[0]
while result == 0:
    print(call(11)[1])
    result = call(9)[0]
PY
"${mail_cvreg[@]}" add "$mail_key" /v PublicFolderRoot /t REG_SZ /d "$mail_dir/shared" /f >/dev/null
"${as_loner[@]}" mv "$mail_dir/shared/.Sales" "$mail_dir/shared/.Planted"
mail_listed=$("${as_member[@]}" /usr/bin/python3 "$mail_dir/folders.py" "$root/run/cvstorage.sock" 2>&1)
check "a public folder root another group may write is not listed (listed: ${mail_listed//$'\n'/ })" \
  test "$mail_listed" = "refresh 0x80070005"
"${mail_cvreg[@]}" delete "$mail_key" /v PublicFolderRoot /f >/dev/null
"${as_member[@]}" /usr/bin/python3 "$mail_dir/folders.py" "$root/run/cvstorage.sock" >/dev/null 2>&1
rm -rf "$mail_dir"
