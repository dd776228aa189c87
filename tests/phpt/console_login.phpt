--TEST--
The console's login: the accounts tool, sessions that end (idle, too old, account changed), the waits after failed logins, where a login may lead
--FILE--
<?php
require dirname(__DIR__, 2) . '/examples/include/console.php';
require __DIR__ . '/cv.inc';

$dir = cv_tempdir('cvlogin');
$file = "$dir/console-accounts";
mkdir("$dir/sessions", 0700);
ini_set('session.save_path', "$dir/sessions");  // before any output, as PHP requires
$tool = dirname(__DIR__, 2) . '/scripts/corvane-console-account';
function account_tool(array $args, string $input = ''): string {
    global $tool, $file;
    $proc = proc_open([$tool, '--file', $file, ...$args], [0 => ['pipe', 'r'], 1 => ['pipe', 'w'], 2 => ['pipe', 'w']], $pipes);
    fwrite($pipes[0], $input);
    fclose($pipes[0]);
    $out = stream_get_contents($pipes[1]) . stream_get_contents($pipes[2]);
    return rtrim(proc_close($proc) . ' ' . str_replace(PHP_EOL, ' | ', trim($out)));
}

echo "-- the tool\n";
foreach ([[['add', 'admin'], "first secret\n"], [['add', 'ops.2'], "other\n"], [['add', 'admin'], "again\n"],
          [['reset', 'nobody'], "x\n"], [['add', '-x'], "x\n"], [['add', 'carol'], "\n"], [['remove', 'nobody']],
          [['add', 'carol'], str_repeat('p', PASSWORD_MAX_BYTES + 1) . "\n"], [['list']]] as $call) {
    echo implode(' ', $call[0]), ': ', account_tool($call[0], $call[1] ?? ''), "\n";
}
$first = read_accounts($file)['admin'];
echo account_tool(['reset', 'admin'], "second secret\n"), "\n";
$accounts = read_accounts($file);
printf("%o %s %s %s\n", fileperms($file) & 0777, password_get_info($accounts['admin'])['algoName'],
       var_export(password_verify('second secret', $accounts['admin']), true), var_export($first !== $accounts['admin'], true));
echo account_tool(['remove', 'ops.2']), ' ', json_encode(array_keys(read_accounts($file))), "\n";
echo json_encode(glob("$dir/.console-accounts*")), "\n";
file_put_contents("$dir/big", str_repeat("#\n", ACCOUNTS_FILE_MAX_BYTES / 2 + 1));
echo var_export(read_accounts("$dir/big"), true), ' ', var_export(read_accounts("$dir/missing"), true), "\n";

echo "-- sessions\n";
putenv("CORVANE_CONSOLE_ACCOUNTS=$file");
$t = 1000000;
function session_at(int $login, int $seen): void {
    $_SESSION = ['account' => 'admin', 'stamp' => account_stamp(read_accounts(accounts_file())['admin']),
                 'login_at' => $login, 'seen_at' => $seen, 'token' => 't'];
}
session_at($t, $t);
echo var_export(session_account($t + SESSION_IDLE_SECONDS), true), ' ', $_SESSION['seen_at'] - $t, "\n";
session_at($t, $t);
echo var_export(session_account($t + SESSION_IDLE_SECONDS + 1), true), ' ', $_SESSION['ended'], ' ',
     var_export(isset($_SESSION['account']), true), "\n";
session_at($t, $t + SESSION_LIFETIME_SECONDS);
echo var_export(session_account($t + SESSION_LIFETIME_SECONDS + 1), true), ' ', $_SESSION['ended'], "\n";
session_at($t, $t);
account_tool(['reset', 'admin'], "third secret\n");
echo var_export(session_account($t + 1), true), ' ', $_SESSION['ended'], "\n";
session_at($t, $t);
account_tool(['remove', 'admin']);
echo var_export(session_account($t + 1), true), ' ', $_SESSION['ended'], "\n";

echo "-- failed logins\n";
$calls = 0;
$attempt = function (string $account, string $address, bool $right, float $now) use (&$calls): string {
    $result = login_attempt($account, $address, function () use (&$calls, $right) { $calls++; return $right; }, $now);
    return ($result['checked'] ? ($result['ok'] ? 'ok' : 'wrong') : 'refused') . ' wait ' . var_export($result['wait'], true);
};
$now = 5000.0;
$lines = [];
for ($n = 1; $n <= 7; $n++) {
    $lines[] = $attempt('admin', '192.0.2.1', false, $now);
    $now += login_delay($n);
}
echo implode(', ', $lines), "\n";
// While a wait runs: refused unchecked, whether the account or the address is the one waiting.
$calls = 0;
$now -= 1;
echo $attempt('admin', '192.0.2.1', true, $now), '; ', $attempt('admin', '198.51.100.7', true, $now), '; ',
     $attempt('other', '192.0.2.1', true, $now), '; calls ', $calls, "\n";
echo $attempt('admin', '192.0.2.1', true, $now + 1), '; ', $attempt('other', '198.51.100.7', false, $now + 1), "\n";
echo $attempt('other', '198.51.100.7', true, $now + 1 + LOGIN_FAILURES_KEPT_SECONDS + 1), "\n";
// Past the bound of names and addresses kept, the least recent are forgotten.
$later = $now + 2 + LOGIN_FAILURES_KEPT_SECONDS;
for ($i = 0; $i <= LOGIN_STATE_MAX_ENTRIES / 2; $i++) login_attempt("u$i", "10.0." . intdiv($i, 256) . '.' . $i % 256, fn() => false, $later + $i / 1000);
echo count(json_decode(file_get_contents(login_state_file()), true)), ' ', $attempt('u0', '192.0.2.50', true, $later + 0.5), ' ',
     $attempt('u' . LOGIN_STATE_MAX_ENTRIES / 2, '192.0.2.51', true, $later + 0.5), "\n";
// Counts another account could change are not used: no attempt is checked.
$uid = process_uid();
chmod("$dir/sessions/cvconsole-logins-$uid", 0755);
echo $attempt('admin', '192.0.2.9', true, $now + 1000), "\n";
exec('rm -rf ' . escapeshellarg("$dir/sessions/cvconsole-logins-$uid"));
mkdir("$dir/sessions/cvconsole-logins-$uid", 0700);
chown("$dir/sessions/cvconsole-logins-$uid", 'nobody');
echo $attempt('admin', '192.0.2.9', true, $now + 1000), "\n";

echo "-- where a login leads\n";
foreach (['index.php?group=vxs', 'mailstore.php', '//evil.example/index.php', 'https://evil.example/',
          'login.php', '/index.php', "index.php\r\nX: y", null] as $next) {
    echo json_encode($next), ' => ', login_next($next), "\n";
}
?>
--EXPECTF--
-- the tool
add admin: 0
add ops.2: 0
add admin: 1 corvane-console-account: the account admin exists; reset changes its password
reset nobody: 1 corvane-console-account: there is no account nobody
add -x: 1 corvane-console-account: "-x" is not an account name: up to 32 letters, digits, '_', '.' and '-', not starting with '.' or '-'
add carol: 1 corvane-console-account: the password is empty; nothing was changed
remove nobody: 1 corvane-console-account: there is no account nobody
add carol: 1 corvane-console-account: the password is longer than 1024 bytes
list: 0 admin | ops.2
0
640 argon2id true true
0 ["admin"]
[]
NULL NULL
-- sessions
'admin' 900
NULL idle false
NULL expired
NULL changed
NULL changed
-- failed logins
wrong wait 1, wrong wait 2, wrong wait 4, wrong wait 8, wrong wait 16, wrong wait 30, wrong wait 30
refused wait 1; refused wait 1; refused wait 1; calls 0
ok wait 0; wrong wait 1
ok wait 0
1000 ok wait 0 refused wait 1
refused wait NULL
refused wait NULL
-- where a login leads
"index.php?group=vxs" => index.php?group=vxs
"mailstore.php" => mailstore.php
"\/\/evil.example\/index.php" => index.php
"https:\/\/evil.example\/" => index.php
"login.php" => index.php
"\/index.php" => index.php
"index.php\r\nX: y" => index.php
null => index.php
