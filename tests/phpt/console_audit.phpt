--TEST--
The console's audit: a save's records (masked, cut, one line each), a file not its own refused, the history read from the end of hostile files and filtered
--FILE--
<?php
require dirname(__DIR__, 2) . '/examples/include/console.php';
require __DIR__ . '/cv.inc';

$root = cv_tempdir('cvaudit');
putenv("CORVANE_ROOT=$root");
mkdir("$root/logs");
$GLOBALS['console_account'] = 'admin';
$_SERVER['REMOTE_ADDR'] = '192.0.2.7';
record_save([
    ['oid' => PREFIX . '20.1.100.70.40', 'old' => '1024', 'new' => '2048', 'result' => 'stored'],
    ['oid' => PREFIX . '18.1.38.160', 'old' => 'old clear text', 'new' => 'new clear text', 'result' => 'stored'],
    ['oid' => 'UserHldPassword', 'old' => null, 'new' => 'pw', 'result' => 'the agent stopped'],
    ['oid' => PREFIX . '20.1.100.70.70', 'old' => "a\r\nb\u{2028}", 'new' => str_repeat('é', AUDIT_VALUE_MAX_BYTES), 'result' => 'final'],
]);
$file = "$root/" . CONSOLE_AUDIT_FILE;
$lines = file($file, FILE_IGNORE_NEW_LINES);
foreach ($lines as $line) {
    echo str_replace(str_repeat('é', AUDIT_VALUE_MAX_BYTES / 2), '<é x ' . AUDIT_VALUE_MAX_BYTES / 2 . '>',
                     preg_replace('/^\{"time":"[0-9T:Z-]{20}",/', '{', $line)), "\n";
}
printf("%o, last value %d bytes\n", fileperms($file) & 0777, strlen(json_decode($lines[3], true)['new']));

// A link in the file's place (another account could have made it in the log folder) is not written.
unlink($file);
touch("$root/elsewhere");
symlink("$root/elsewhere", $file);
echo append_audit($file, "x\n"), ', ', filesize("$root/elsewhere"), "\n";
unlink($file);

// The agent's file: junk past the bytes read, a line too long, a broken record, then more
// records than are read. Only the last HISTORY_MAX_RECORDS are; the filters pick among them.
$agent = fopen("$root/" . AGENT_AUDIT_FILE, 'w');
fwrite($agent, str_repeat("junk\n", intdiv(HISTORY_MAX_BYTES, 5)));
for ($i = 0; $i < HISTORY_MAX_RECORDS + 5; $i++) {
    if ($i === 500) fwrite($agent, str_repeat('x', AUDIT_LINE_MAX_BYTES + 1) . "\n{\"time\":1}\n");
    fwrite($agent, audit_json(['time' => sprintf('2026-01-01T00:%02d:%02dZ', intdiv($i, 60) % 60, $i % 60), 'source' => 'agent',
        'account' => $i % 2 ? 'corvane' : 'ops', 'address' => 'local, pid 1', 'action' => 'set',
        'oid' => "1.5.$i", 'old' => null, 'new' => "$i", 'result' => 'stored']) . "\n");
}
fclose($agent);
record_save([['oid' => '1.5.9', 'old' => '1', 'new' => '2', 'result' => 'stored']]);
[$all, $bad] = audit_history(null, null);
echo count($all), ' records, ', $bad, ' not records, newest ', $all[0]['source'], ' ', $all[1]['oid'], ', oldest ', end($all)['oid'], "\n";
foreach ([['1.5.9', null], ['1.5', 'admin'], [null, 'ops'], ['1.5.10', null]] as [$oid, $account]) {
    echo json_encode([$oid, $account]), ': ', implode(' ', array_map(fn($r) => "$r[source]:$r[oid]", array_slice(audit_history($oid, $account)[0], 0, 3))), "\n";
}
?>
--EXPECT--
{"source":"console","account":"admin","address":"192.0.2.7","action":"save","oid":"1.3.6.1.4.1.8642.20.1.100.70.40","old":"1024","new":"2048","result":"stored"}
{"source":"console","account":"admin","address":"192.0.2.7","action":"save","oid":"1.3.6.1.4.1.8642.18.1.38.160","old":"(enciphered, not recorded)","new":"(enciphered, not recorded)","result":"stored"}
{"source":"console","account":"admin","address":"192.0.2.7","action":"save","oid":"UserHldPassword","old":null,"new":"(enciphered, not recorded)","result":"the agent stopped"}
{"source":"console","account":"admin","address":"192.0.2.7","action":"save","oid":"1.3.6.1.4.1.8642.20.1.100.70.70","old":"a\r\nb\u2028","new":"<é x 512>… [cut]","result":"final"}
640, last value 1033 bytes
is not a file of this account's that only it may write, 0
999 records, 2 not records, newest console 1.5.1004, oldest 1.5.7
["1.5.9",null]: console:1.5.9 agent:1.5.9
["1.5","admin"]: console:1.5.9
[null,"ops"]: agent:1.5.1004 agent:1.5.1002 agent:1.5.1000
["1.5.10",null]: agent:1.5.10
