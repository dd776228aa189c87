--TEST--
Mail store without its storage server, through both extensions: the mailboxes of this server's databases read from a directory (a slapd of the test's own, over ldapi with SASL EXTERNAL) and the public folder tree of the store, remote folders left out
--EXTENSIONS--
Corvane Tidewall extension
--SKIPIF--
<?php if (!is_executable('/usr/sbin/slapd')) die('skip slapd is not installed (scripts/setup.sh installs it)'); ?>
--FILE--
<?php
require __DIR__ . '/cv.inc';
const SUFFIX = 'DC=example,DC=test';
const CONFIG = 'CN=Configuration,' . SUFFIX;
const SERVERS = 'CN=Servers,CN=Test Org,CN=Microsoft Exchange,CN=Services,' . CONFIG;
$cvslapd = dirname(__DIR__, 2) . '/standins/directory/cvslapd';

// 16 bytes of a GUID from its text: the first three fields little-endian.
function guid_bytes(string $text): string {
    $hex = str_replace(['{', '}', '-'], '', $text);
    $b = hex2bin($hex);
    return strrev(substr($b, 0, 4)) . strrev(substr($b, 4, 2)) . strrev(substr($b, 6, 2)) . substr($b, 8);
}

// LDIF of entries [dn => [attribute => value or values]]; values that are not plain ASCII
// are written in base64.
function ldif(array $entries): string {
    $line = fn(string $name, string $value) => preg_match('/^[\x21-\x39\x3b\x3d-\x7e]([\x20-\x7e]*[\x21-\x7e])?$/', $value)
        ? "$name: $value\n" : "$name:: " . base64_encode($value) . "\n";
    $text = '';
    foreach ($entries as $dn => $attributes) {
        $text .= $line('dn', $dn);
        foreach ($attributes + ['distinguishedName' => $dn] as $name => $values) {
            foreach ((array)$values as $value) $text .= $line($name, $value);
        }
        $text .= "\n";
    }
    return $text;
}

// The databases: A is this server's (a Private- key under the store server MXHERE; its GUID
// has bytes that LDAP filters and C strings would mangle), B belongs to ELSEWHERE and was
// last mounted on ELSEWHERE2 (not its owner), C belongs to ELSEWHERE but is named in the
// Schema key. P is MXHERE's public database.
$guid = [
    'A' => '{5C280A00-292A-3A0D-80FF-203C7E41C399}',
    'B' => '{2C4E6A8B-0D1F-4A3B-9C5D-7E9F0A1B2C3D}',
    'C' => '{1B3D5F70-9284-4A6C-8E0F-A1B2C3D4E5F6}',
    'P' => '{3D5F7B9C-1E2A-4B4C-AD6E-8F0A1B2C3D4E}',
];
$database = [
    'A' => 'CN=Mailbox A,CN=MXHERE,' . SERVERS,
    'B' => 'CN=Mailbox B,CN=ELSEWHERE,' . SERVERS,
    'C' => 'CN=Mailbox C,CN=ELSEWHERE,' . SERVERS,
    'P' => 'CN=Public P,CN=MXHERE,' . SERVERS,
];
// Users: [cn (escaped for the DN), display name, mail, database].
$users = [
    ['Anna Berg', 'Anna Berg', 'anna@example.test', 'A'],
    ['Evans\, Eve', 'Evans, Eve', 'eve@example.test', 'A'],
    ['Jürgen Groß', 'Jürgen Groß', 'jurgen@sub.example.test', 'A'],
    ['b user', 'b user', 'b.user@example.test', 'A'],
    ['SystemMailbox{0f6c2a1e}', 'SystemMailbox{0f6c2a1e-77aa-4b1c-9d3e-5a6b7c8d9e0f}', 'SystemMailbox{0f6c2a1e}@example.test', 'A'],
    ['Mail Gateway', 'Mail Gateway', 'gateway', 'A'],
    ['Zoë Zimmer', 'Zoë Zimmer', 'zoe@example.test', 'C'],
    ['Olaf Remote', 'Olaf Remote', 'olaf@example.test', 'B'],
    ['Nina Nomail', 'Nina Nomail', 'nina@example.test', null],
    ['svc-backup', null, null, null],
];
$config = [
    CONFIG => ['objectClass' => 'container', 'cn' => 'Configuration'],
    'CN=Services,' . CONFIG => ['objectClass' => 'container', 'cn' => 'Services'],
    'CN=Microsoft Exchange,CN=Services,' . CONFIG => ['objectClass' => 'container', 'cn' => 'Microsoft Exchange'],
    'CN=Test Org,CN=Microsoft Exchange,CN=Services,' . CONFIG => ['objectClass' => 'container', 'cn' => 'Test Org'],
    SERVERS => ['objectClass' => 'container', 'cn' => 'Servers'],
    'CN=MXHERE,' . SERVERS => ['objectClass' => 'msExchExchangeServer', 'cn' => 'MXHERE'],
    'CN=ELSEWHERE,' . SERVERS => ['objectClass' => 'msExchExchangeServer', 'cn' => 'ELSEWHERE'],
];
$domain = [
    SUFFIX => ['objectClass' => 'domainDNS', 'dc' => 'example'],
    'CN=Users,' . SUFFIX => ['objectClass' => 'container', 'cn' => 'Users'],
];
$links = [];
foreach ($users as [$cn, $name, $mail, $db]) {
    $dn = "CN=$cn,CN=Users," . SUFFIX;
    $domain[$dn] = array_filter(['objectClass' => ['top', 'person', 'organizationalPerson', 'user'],
        'cn' => stripslashes($cn), 'sn' => 'x', 'objectCategory' => 'person', 'displayName' => $name,
        'mail' => $mail, 'homeMDB' => $db ? $database[$db] : null]);
    if ($db) $links[$db][] = $dn;
}
foreach ($database as $db => $dn) {
    $owner = substr($dn, strpos($dn, ',') + 1);
    $class = $db === 'P' ? 'msExchPublicMDB' : 'msExchPrivateMDB';
    $config[$dn] = array_filter(['objectClass' => ['top', 'msExchMDB', $class], 'cn' => substr(strtok($dn, ','), 3),
        'objectCategory' => $class, 'objectGUID' => guid_bytes($guid[$db]), 'msExchOwningServer' => $owner,
        'homeMDBBL' => $links[$db] ?? null]);
}

// The directory, stopped when the test ends, whatever happens.
$instance = sys_get_temp_dir() . '/cvldap-' . getmypid() . '-' . bin2hex(random_bytes(3));
register_shutdown_function(function () use ($cvslapd, $instance) {
    exec('env -u LD_PRELOAD ' . escapeshellarg($cvslapd) . ' stop --instance ' . escapeshellarg($instance) . ' 2>/dev/null');
    exec('rm -rf ' . escapeshellarg($instance));
});
$fixture = cv_tempdir('cvldif');
file_put_contents("$fixture/config.ldif", ldif($config));
file_put_contents("$fixture/domain.ldif", ldif($domain));
[$rc, $uri, $err] = cv_run([$cvslapd, 'start', '--instance', $instance, '--suffix', SUFFIX,
                            '--config-ldif', "$fixture/config.ldif", '--domain-ldif', "$fixture/domain.ldif"], $fixture, false);
$rc === 0 || cv_fail("cvslapd start failed: $err");
$uri = trim($uri);

// What the directory holds, read as this process's account (SASL EXTERNAL over the socket).
function count_entries(string $uri, string $base, string $filter): string {
    exec('env -u LD_PRELOAD LDAPNOINIT=1 ldapsearch -Q -LLL -Y EXTERNAL -H ' . escapeshellarg($uri) . ' -b ' . escapeshellarg($base)
         . ' ' . escapeshellarg($filter) . ' 1.1 2>&1', $out, $rc);
    return $rc === 0 ? (string)count(preg_grep('/^dn:/', $out)) : "ldapsearch failed ($rc): " . implode(' ', $out);
}
echo 'users with a mail: ', count_entries($uri, SUFFIX, '(&(objectClass=user)(objectCategory=person)(mail=*))'), "\n";
echo 'private databases: ', count_entries($uri, 'CN=Microsoft Exchange,CN=Services,' . CONFIG,
                                          '(&(objectClass=msExchMDB)(objectCategory=msExchPrivateMDB))'), "\n";

// The machine: the mail-server product installed, the storage server registered but not
// running, and the information store keys: MXHERE is the store server (its Private- and
// Public- keys), C is named in the Schema key, B's state says it was mounted on ELSEWHERE2.
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/standins/cvstorage/registration.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
$bare = fn(string $db) => trim($guid[$db], '{}');
$is = 'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\MSExchangeIS';
cv_reg($root, "[$is\\MXHERE\\Private-{$bare('A')}]\n\n[$is\\MXHERE\\Public-{$bare('P')}]\n\n"
    . "[$is\\Schema]\n\"{$guid['C']}\"=dword:00000001\n\n"
    . "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\ExchangeServer\\v15\\ActiveManager\\DbState]\n"
    . "\"{$bare('B')}\"=\"MountStatus?Mounted*LastMountedServer?ELSEWHERE2*ActiveServer?ELSEWHERE2\"\n");
cv_agent($root);

// The public folders, Maildir++: Remote and Projects/Lighthouse live on another server.
$folders = ['Archive', 'Archive/Ablage Größe', 'Projects', 'Projects/Harbour', 'Projects/Harbour/Drawings',
            'Projects/Lighthouse', 'Projects/Lighthouse/Minutes', 'Remote', 'Remote/Child'];
foreach ($folders as $folder) mkdir("$root/mail/public/." . str_replace('/', '.', $folder) . '/cur', 0750, true);
chmod("$root/mail", 0750);
chmod("$root/mail/public", 0750);
foreach (['Remote', 'Projects/Lighthouse'] as $folder) {
    file_put_contents("$root/mail/public/." . str_replace('/', '.', $folder) . '/remote-server', "OTHERMX\n");
}

// A page through both extensions, libldap's default server being the test's slapd
// (LDAPNOINIT would make libldap ignore LDAPURI).
putenv("LDAPURI=$uri");
putenv('LDAPNOINIT');
echo cv_php($root, <<<'PHP'
function first(string $function, &$rows): int {
    for ($i = 0; $i < 1000 && ($rc = $function($rows, false)) === -1; $i++) usleep(10000);
    return $rc;
}
function show(string $what, int $rc, array $rows) {
    echo str_pad($what, 16), $rc, "\n";
    foreach ($rows as $row) echo '  ', json_encode($row, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES), "\n";
}
$rows = [];
show('mailboxes', first('vxm_read_mailboxes', $rows), $rows);
$rows = [];
show('public folders', first('vxm_read_public_folders', $rows), $rows);
PHP, null, true);

// The walk as the trace shows it: the folders reported in depth-first order (each after
// its parent, a subtree never left and entered again), nothing queried below a remote
// folder, and the mailboxes skipped as system mailboxes.
$log = cv_trace_messages("$root/logs/trace.log");
$prefix = 'file://./BackOfficeStorage/localhost/public folders/';
$reported = [];
foreach (preg_grep("/^1 \\*\\*\\* Public folder:/", $log) as $line) {
    preg_match("/URL:'(.*)'$/", $line, $m);
    $reported[] = substr($m[1] ?? '', strlen($prefix));
}
$stack = [];
$depth_first = true;
foreach ($reported as $path) {
    while ($stack && !str_starts_with($path, end($stack) . '/')) array_pop($stack);
    $parent = str_contains($path, '/') ? substr($path, 0, strrpos($path, '/')) : null;
    if ($parent !== ($stack ? end($stack) : null)) $depth_first = false;
    $stack[] = $path;
}
echo 'folders reported: ', count($reported), ', depth-first: ', $depth_first ? 'yes' : 'no', "\n";
echo 'folders queried: ', count(preg_grep('/^1 FolderUrl : /', $log)), "\n";
$below_remote = preg_grep('~FolderUrl : .*/(Remote|Projects/Lighthouse)/~', $log);
echo 'queried below a remote folder: ', $below_remote ? implode(' | ', $below_remote) : 'nothing', "\n";
echo 'skipped: ', implode(' | ', preg_replace('/^1 --- Skip Mailbox : /', '', preg_grep('/--- Skip Mailbox/', $log))), "\n";
?>
--EXPECT--
users with a mail: 9
private databases: 3
mailboxes       0
  ["Anna Berg","file://./backofficestorage/example.test/mbx/anna",6]
  ["b user","file://./backofficestorage/example.test/mbx/b.user",6]
  ["Evans, Eve","file://./backofficestorage/example.test/mbx/eve",6]
  ["Jürgen Groß","file://./backofficestorage/sub.example.test/mbx/jurgen",6]
  ["Zoë Zimmer","file://./backofficestorage/example.test/mbx/zoe",6]
public folders  0
  ["Archive","file://./BackOfficeStorage/localhost/public folders/Archive",6]
  ["Ablage Größe","file://./BackOfficeStorage/localhost/public folders/Archive/Ablage Größe",7]
  ["Projects","file://./BackOfficeStorage/localhost/public folders/Projects",6]
  ["Harbour","file://./BackOfficeStorage/localhost/public folders/Projects/Harbour",7]
  ["Drawings","file://./BackOfficeStorage/localhost/public folders/Projects/Harbour/Drawings",8]
folders reported: 5, depth-first: yes
folders queried: 8
queried below a remote folder: nothing
skipped: SystemMailbox{0f6c2a1e-77aa-4b1c-9d3e-5a6b7c8d9e0f}
