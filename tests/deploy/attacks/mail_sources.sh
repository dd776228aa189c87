# Attack on the mail sources (sourced by tests/deploy/run.sh with the system up).
#
# The administrators point the public folders at a shared folder that root owns and another
# group may write, as /var/mail is. An account of that group renames a folder in it; the
# storage server must not list the name it planted: a root another group may write is not
# trusted at all. The setting and the server's lists are put back afterwards.

mail_dir=$(mktemp -d /tmp/cvdeploy-mail.XXXXXX)
chmod 0755 "$mail_dir"
install -d -o root -g cvdeploy-loner -m 2775 "$mail_dir/shared"
install -d -o root -g root -m 0755 "$mail_dir/shared/.Sales"
storage_key='HKLM\SOFTWARE\Veltmark\Corvane\Storage'
mail_cvreg=("${as_corvane[@]}" env CORVANE_ROOT="$root" "$stage/bin/cvreg")
# Refreshes the storage server's lists as the member and prints the refresh's result and the
# public folders' names, one a line.
cat >"$mail_dir/folders.py" <<'PY'
import socket, struct, sys
s = socket.socket(socket.AF_UNIX)
s.settimeout(10)
s.connect(sys.argv[1])
s.sendall(b"CVL1" + b"7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b769" + b"7c2e91d4-5b38-4f6a-9e0d-3a61c8f2b762")
def read(n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            sys.exit("the server ended the connection")
        data += chunk
    return data
def call(slot, argument=0):
    s.sendall(struct.pack("<Ii", slot, argument))
    result, number, n = struct.unpack("<IiI", read(12))
    return result, read(2 * n).decode("utf-16-le")
if struct.unpack("<I", read(4))[0] != 0:
    sys.exit("no public folder object")
print("refresh 0x%08x" % call(7, -1)[0])
result, _ = call(8)
while result == 0:
    print(call(11)[1])
    result, _ = call(9)
PY
"${mail_cvreg[@]}" add "$storage_key" /v PublicFolderRoot /t REG_SZ /d "$mail_dir/shared" /f >/dev/null
"${as_loner[@]}" mv "$mail_dir/shared/.Sales" "$mail_dir/shared/.Planted"
mail_listed=$("${as_member[@]}" /usr/bin/python3 "$mail_dir/folders.py" "$root/run/cvstorage.sock" 2>&1)
check "a public folder root another group may write is not listed (its folders renamed by that group)" \
  test "$mail_listed" = "refresh 0x80070005"
[ "$mail_listed" = "refresh 0x80070005" ] || echo "  the storage server listed: $mail_listed"
"${mail_cvreg[@]}" delete "$storage_key" /v PublicFolderRoot /f >/dev/null
"${as_member[@]}" /usr/bin/python3 "$mail_dir/folders.py" "$root/run/cvstorage.sock" >/dev/null 2>&1
rm -rf "$mail_dir"
