--TEST--
Settings functions against the agent: read, set, commit and re-read integers, strings and tables; a final setting refuses the commit; a traced run that sets both enciphered settings writes neither clear text to the log; the agent's libraries copied outside the build, found through the delay-loading key and beside the PHP binary, one copy shared by the host and the module; a commit that meets a killed agent returns with an error and keeps the settings changed, and once the agent is back the next commit writes them all
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
$p = '1.3.6.1.4.1.8642.';
cv_policy($root, [
    ['oid' => "{$p}20.1.100.50.22", 'int' => 100],
    ['oid' => "{$p}20.1.100.50.23", 'int' => 7, 'restriction' => 2],
    ['oid' => "{$p}20.1.100.50.20", 'string' => "q\nr"],
    ['oid' => "{$p}20.1.100.50.25", 'columns' => [8, 4], 'rows' => [[42, 'name'], [-1, 'x']]],
    ['oid' => "{$p}20.1.300.10.10.20", 'columns' => [8], 'rows' => [[1]]],
    ['oid' => "{$p}20.1.300.10.10.30", 'columns' => [4], 'rows' => []],
    ['oid' => "{$p}20.1.300.10.10.50", 'columns' => [8, 4], 'rows' => [[1, 'a']], 'restriction' => 0x10],
    ['oid' => "{$p}20.1.100.40.10", 'columns' => [8, 8, 4, 4, 4], 'rows' => []],
]);
// The host extension opens the agent session and publishes it; it is loaded first. The
// No Service Check Mode defines the settings although no product is installed here.
$php = cv_php_mode('2');
$common = CV_SHOW . <<<'PHP'
function table(string $oid, bool $defaults = false) {
    $rows = [];
    $rc = $defaults ? settings_get_default_table($oid, $rows) : settings_get_table($oid, $rows);
    return $rc === 0 ? $rows : $rc;
}
function changed() { settings_are_changed($c); return $c; }
const INT = '1.3.6.1.4.1.8642.20.1.100.50.22';
const FINAL_INT = '1.3.6.1.4.1.8642.20.1.100.50.23';
const STR = '1.3.6.1.4.1.8642.20.1.100.50.20';
const IS = '1.3.6.1.4.1.8642.20.1.100.50.25';
const I = '1.3.6.1.4.1.8642.20.1.300.10.10.20';
const S = '1.3.6.1.4.1.8642.20.1.300.10.10.30';
const FINAL_TABLE = '1.3.6.1.4.1.8642.20.1.300.10.10.50';
const DEFAULTS = '1.3.6.1.4.1.8642.20.1.100.40.10';

PHP;

echo "== first request\n";
echo cv_php($root, $common . <<<'PHP'
show('read policy', settings_read_policy());
show('get_int, get_str', settings_get_int(INT, $v), $v, settings_get_str(STR, $s), $s);
show('is_final scalar, flag 0 and 2', settings_is_final(FINAL_INT, 0), settings_is_final(FINAL_INT, 2), settings_is_final(INT, 0));
show('is_final table, flag 1 and 2', settings_is_final(FINAL_TABLE, 1), settings_is_final(FINAL_TABLE, 2), settings_is_final(IS, 1));
show('is_final scalar, flag 1', settings_is_final(FINAL_INT, 1), settings_is_final(INT, 1));
$rows = ['kept'];
show('get_table: unsigned; appended', 0, table(IS), settings_get_table(I, $rows), $rows);
show('default rows: integers; none', 0, array_slice(table(DEFAULTS, true), 0, 2), table(IS, true));
show('the same rows again', settings_set_table(IS, [[42, 'name'], ['k' => 4294967295.0, 'x']]), changed());
show('empty array, null on an empty table', settings_set_table(S, []), settings_set_table(S, null), changed());
show('wrong row size; a scalar row of two', settings_set_table(IS, [[42, 'name'], [1, 2, 3]]), table(IS), settings_set_table(IS, ['x']), changed());
echo "-- refused with a warning: integer cells of other types, integers beyond 32 bits\n";
set_error_handler(function ($level, $message) { echo $level === E_WARNING ? "  $message\n" : "?\n"; return true; });
foreach ([null, false, [], new stdClass, fn() => 1, 2**32 + 3] as $cell) $rc[] = settings_set_table(IS, [[1, 'a'], [$cell, 'b']]);
$rc[] = settings_set_table(I, [7, -2**31 - 1]);
$rc[] = settings_set_int(INT, 2**32 + 3);
$rc[] = settings_set_reg_int(INT, -2**31 - 1);
restore_error_handler();
show('  nothing changed', 0, $rc, table(IS), table(I), settings_get_int(INT, $v), changed());
show('strings, floats, other types', settings_set_table(IS, [['  -42abc', 'name'], [3.9, 'b'], [-3.9, 5]]), changed(), table(IS));
show('scalar rows: integer, string column', settings_set_table(I, ['7', 'x', 12, ' 99999999999']), table(I), settings_set_table(S, ['a', 5]), table(S));
show('set_int, set_str, final set_int', settings_set_int(INT, 200), settings_set_str(STR, "new\nline"), settings_set_int(FINAL_INT, 8));
show('commit, last_error, changed', settings_write_changed(), settings_last_error(), changed());
show('  re-read ints and string', settings_get_int(INT, $v), $v, settings_get_int(FINAL_INT, $f), $f, settings_get_str(STR, $s), $s);
show('  re-read tables', 0, table(IS), table(I), table(S));
show('reset_last_error', settings_reset_last_error(), settings_last_error());
show('null on a table with rows', settings_set_table(S, null), table(S), changed());
PHP, $php, true);
echo "== a later process reads what the commit wrote\n";
echo cv_php($root, $common . <<<'PHP'
show('read policy, changed; ints, string', settings_read_policy(), changed(), settings_get_int(INT, $v), $v, settings_get_int(FINAL_INT, $f), $f, settings_get_str(STR, $s), $s);
show('tables', 0, table(IS), table(I), table(S));
show('empty array on a table with rows', settings_set_table(I, []), table(I), changed());
PHP, $php, true);
echo "-- trace of the table conversions, one line per call, repeats left out\n";
foreach (array_unique(cv_trace_calls("$root/logs/trace.log", '/^\d (settings_(set|get)_(default_)?table|Adding|Wrong)/')) as $call) {
    // Of the many default rows, the first row's lines show the form.
    if (str_starts_with($call, 'settings_get_default_table()')) $call = implode(' | ', array_slice(explode(' | ', $call), 0, 7));
    echo "$call\n";
}
echo "-- trace of settings_is_final with the table flag\n";
foreach (cv_trace_calls("$root/logs/trace.log", '/^\d (settings_(is_final|write_changed)|Is table|GetTable|GetRestr|oid: .* is final)/') as $call) {
    if (str_starts_with($call, "settings_is_final() | Is table 'True'")) echo "$call\n";
}

echo "== a traced run that sets both enciphered settings: the lines keep their shape, the value masked\n";
const POLICY_SECRET = '1.3.6.1.4.1.8642.18.1.38.160';
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
cv_policy($root, [['oid' => POLICY_SECRET, 'string' => '']]);
echo cv_php($root, <<<'PHP'
settings_read_policy();
echo 'set: ', settings_set_str('1.3.6.1.4.1.8642.18.1.38.160', 'Policy-Clear-Text'), ' ',
     settings_set_reg_str('UserHldPassword', 'Registry-Clear-Text'), ', commit: ', settings_write_changed(),
     ', last error: ', settings_last_error(), "\n";
PHP, host: true);
$log = file_get_contents("$root/logs/trace.log");
echo 'clear text in the log: ', preg_match_all('/Clear-Text/', $log), "\n";
foreach (cv_trace_messages("$root/logs/trace.log") as $m) {
    if (str_contains($m, '********')) echo $m, "\n";
}
echo 'policy holds: ', preg_replace('/0x[0-9A-F]{32,}/', '<cipher>', cv_ctl($root, 'get', POLICY_SECRET));

echo "== the agent's libraries copied outside the build\n";
const OID = '1.3.6.1.4.1.8642.20.1.100.50.22';
$root = cv_root();
cv_agent($root);  // also registers the built copies, replaced below
cv_policy($root, [['oid' => OID, 'int' => 100]]);

// Copies of both libraries in a folder of their own.
function copies(string $dir): string {
    foreach (['libcvma32.so', 'libcvpmapi.so'] as $name) copy(cv_so($name), "$dir/$name") || cv_fail("cannot copy $name");
    return $dir;
}
function delay_loading(string $root, ?string $dir): void {
    $key = 'HKEY_LOCAL_MACHINE\Software\Veltmark\Corvane\delay loading';
    cv_run([cv_bin('cvreg'), 'delete', $key, '/f'], $root);
    if ($dir === null) return;
    $values = '';
    foreach (['libcvma32.so', 'libcvpmapi.so'] as $name) $values .= "\"$name\"=\"" . addcslashes("$dir/$name", '\\"') . "\"\n";
    cv_reg($root, "[$key]\n$values");
}

// One request: the value the agent holds, a change of it committed, and which copies of the
// agent's libraries the process mapped.
$page = <<<'PHP'
$value = $last = null;
$read = settings_read_policy();
$get = settings_get_int('1.3.6.1.4.1.8642.20.1.100.50.22', $value);
$final = settings_is_final('1.3.6.1.4.1.8642.20.1.100.50.22', 0);
$set = settings_set_int('1.3.6.1.4.1.8642.20.1.100.50.22', $value + 1);
$commit = settings_write_changed();
preg_match_all('#\S*/lib(cvma32|cvpmapi)\.so$#m', file_get_contents('/proc/self/maps'), $m);
$copies = array_values(array_unique(array_map('dirname', $m[0])));
echo "read $read, get $get value $value, final $final, set $set, commit $commit, last error ", settings_last_error(), "\n";
echo 'copies: ', json_encode($copies, JSON_UNESCAPED_SLASHES), "\n";
PHP;

function run(string $title, string $root, string $php, string $page, string $where): void {
    // No Service Check Mode: the settings exist without products.
    file_put_contents(dirname($php) . '/php-cvwwwui.ini', "[General]\nwork_mode_val=2\n");
    echo "== $title\n", str_replace($where, '<copies>', cv_php($root, $page, $php, true));
    echo 'agent holds: ', cv_ctl($root, 'get', OID);
}

$elsewhere = copies(cv_tempdir('cvlibs'));
delay_loading($root, $elsewhere);
$php = cv_php_in(cv_tempdir('cvexe'));
run('through the delay-loading key', $root, $php, $page, $elsewhere);
cv_ctl($root, 'set', OID, '--int', '200');
run('changed with cvmactl', $root, $php, $page, $elsewhere);

$exe = cv_tempdir('cvexe');
$php = cv_php_in($exe);
copies($exe);
delay_loading($root, null);
run('beside the PHP binary, no key', $root, $php, $page, $exe);

echo "== a commit that meets a killed agent\n";
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
$agent = cv_agent($root);

// The policy of a fresh installation; 50 of its integers that are not final are changed,
// and one more tells when the host's session is back after the agent's restart.
[$rc, $seed, $err] = cv_run([cv_bin('settings_policy_seed')], $root);
$rc === 0 || cv_fail("settings_policy_seed failed: $err");
$lines = array_map(fn($l) => json_decode($l, true), preg_grep('/^\{/', explode("\n", $seed)));
cv_policy($root, $lines);
$ints = array_slice(array_values(array_filter($lines, fn($l) => isset($l['int']) && !isset($l['restriction']))), 0, 51);
count($ints) === 51 || cv_fail('fewer than 51 integer settings in the policy');
$sentinel = array_pop($ints)['oid'];
$new = [];
foreach ($ints as $i => $l) $new[$l['oid']] = $l['int'] + 1000 + $i;

// What the agent holds for the 50 settings: how many have the new value, and the
// settings whose value is neither the old nor the new one.
function held(string $root, array $ints, array $new): string {
    $lines = array_map(fn($l) => json_decode($l, true), explode("\n", trim(cv_ctl($root, 'export'))));
    $values = array_column($lines, 'int', 'oid');
    $written = 0;
    $other = [];
    foreach ($ints as $l) {
        $v = $values[$l['oid']] ?? 'missing';
        if ($v === $new[$l['oid']]) $written++;
        elseif ($v !== $l['int']) $other[] = "{$l['oid']}=$v";
    }
    return "$written of 50 new" . ($other ? ', other: ' . implode(' ', $other) : '');
}

$dir = cv_tempdir('cvpage');
file_put_contents("$dir/child.php", <<<'PHP'
<?php
// Steps wait for the test's "go" on standard input between them.
function step(string $what): void {
    echo "$what\n";
    fgets(STDIN) === "go\n" || exit(3);
}
function changed() { settings_are_changed($c); return $c; }
// Commits, and tells how it went: its result and time, the last error, whether settings are
// still changed, and how many of them hold the new value.
function commit(array $new): void {
    $start = microtime(true);
    $rc = settings_write_changed();
    $within = microtime(true) - $start < 10 ? 'within 10 s' : 'after more than 10 s';
    $same = 0;
    foreach ($new as $oid => $v) { settings_get_int($oid, $got); $same += $got === $v; }
    echo "commit $rc $within, last_error ", settings_last_error(), ', changed ', changed(), ", settings holding the new value $same\n";
}
// Waits (bounded) until the host's session is back at the agent: its listener reconnects and
// checks in again, so a change made with cvmactl reaches this process once more. The
// sentinel is changed again at each turn, since a change before the check-in is not seen.
function session_back(string $ctl, string $sentinel): string {
    $deadline = microtime(true) + 10;
    for ($k = 1; microtime(true) < $deadline; $k++) {
        exec(escapeshellarg($ctl) . ' set ' . escapeshellarg($sentinel) . " --int $k 2>&1", $out, $rc);
        $turn = microtime(true) + 0.5;
        do {
            settings_get_int($sentinel, $v);
            if ($v === $k) return 'yes';
            usleep(20000);
        } while (microtime(true) < $turn);
    }
    return 'no';
}
[, $file, $ctl, $sentinel] = $argv;
$new = json_decode(file_get_contents($file), true);
echo 'read policy ', settings_read_policy(), "\n";
$rcs = [];
foreach ($new as $oid => $v) $rcs[] = settings_set_int($oid, $v);
echo 'set_int results ', json_encode(array_unique($rcs)), ' changed ', changed(), "\n";
step('kill the agent');
// The restriction check before each write runs first: a variable it cannot fetch counts as
// final or hidden, so the refusal (12) is what a commit against a dead agent reports.
commit($new);
step('start the agent');
echo 'session back ', session_back($ctl, $sentinel), "\n";
commit($new);
PHP);
file_put_contents("$dir/new.json", json_encode($new));
$child = proc_open([PHP_BINARY, '-n', '-d', 'extension=' . cv_so('cvwwwui.so'), '-d', 'extension=' . cv_so(), "$dir/child.php", "$dir/new.json", cv_bin('cvmactl'), $sentinel],
                   [0 => ['pipe', 'r'], 1 => ['pipe', 'w'], 2 => ['file', "$dir/child.err", 'w']],
                   $pipes, null, array_merge(getenv(), ['CORVANE_ROOT' => $root]));
$child || cv_fail('cannot start the child');
$until = function (string $line) use ($pipes): void {
    while (($got = fgets($pipes[1])) !== false) {
        echo $got;
        if ($got === "$line\n") return;
    }
    cv_fail("the child ended before '$line'");
};

$until('kill the agent');
proc_terminate($agent, 9);
$deadline = microtime(true) + 10;
while (proc_get_status($agent)['running'] && microtime(true) < $deadline) usleep(20000);
echo '-- agent killed: ', proc_get_status($agent)['running'] ? 'no' : 'yes', "\n";
fwrite($pipes[0], "go\n");

$until('start the agent');
cv_agent($root);
echo '-- agent started; it holds ', held($root, $ints, $new), "\n";
fwrite($pipes[0], "go\n");

echo stream_get_contents($pipes[1]);
echo 'child exit ', proc_close($child), "\n", file_get_contents("$dir/child.err");
echo '-- the agent holds ', held($root, $ints, $new), "\n";
?>
--EXPECTF--
== first request
read policy                         0
get_int, get_str                    100 [100,0,"q\r\nr"]
is_final scalar, flag 0 and 2       1 [1,0]
is_final table, flag 1 and 2        1 [0,0]
is_final scalar, flag 1             1 [0]
get_table: unsigned; appended       0 [[[42.0,"name"],[4294967295.0,"x"]],0,["kept",[1.0]]]
default rows: integers; none        0 [[[1,1,"All Files","*.*","Default list for all files."],[1,1,"Disallowed Files","*.BAT\n*.CMD\n*.COM\n*.EXE\n*.HTA\n*.JS\n*.JSE\n*.PIF\n*.SCR\n*.SHS\n*.VBE\n*.VBS\n*.{*","Default list of files to be stripped."]],[]]
the same rows again                 0 [0]
empty array, null on an empty table 0 [0,0]
wrong row size; a scalar row of two -1 [[[42.0,"name"],[4294967295.0,"x"]],-1,0]
-- refused with a warning: integer cells of other types, integers beyond 32 bits
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, null given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, bool given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, array given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, stdClass given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, Closure given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be between -2147483648 and 2147483647
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be between -2147483648 and 2147483647
  settings_set_int(): Argument #2 ($value) must be between -2147483648 and 2147483647
  settings_set_reg_int(): Argument #2 ($value) must be between -2147483648 and 2147483647
  nothing changed                   0 [[-1,-1,-1,-1,-1,-1,-1,-1,-1],[[42.0,"name"],[4294967295.0,"x"]],[[1.0]],100,0]
strings, floats, other types        0 [1,[[4294967254.0,"name"],[3.0,"b"],[4294967293.0,"5"]]]
scalar rows: integer, string column 0 [[[7.0],[0.0],[12.0],[2147483647.0]],0,[["a"],["5"]]]
set_int, set_str, final set_int     0 [0,0]
commit, last_error, changed         0 [12,0]
  re-read ints and string           200 [200,7,7,0,"new\r\nline"]
  re-read tables                    0 [[[4294967254.0,"name"],[3.0,"b"],[4294967293.0,"5"]],[[7.0],[0.0],[12.0],[2147483647.0]],[["a"],["5"]]]
reset_last_error                    0 [0]
null on a table with rows           0 [[],1]
== a later process reads what the commit wrote
read policy, changed; ints, string  0 [0,200,200,7,7,0,"new\r\nline"]
tables                              0 [[[4294967254.0,"name"],[3.0,"b"],[4294967293.0,"5"]],[[7.0],[0.0],[12.0],[2147483647.0]],[["a"],["5"]]]
empty array on a table with rows    0 [[],1]
-- trace of the table conversions, one line per call, repeats left out
settings_get_table() | Adding new row | Adding numeric 42 | Adding string 'name' | Adding new row | Adding numeric 4294967295 | Adding string 'x'
settings_get_table() | Adding new row | Adding numeric 1
settings_get_default_table() | Adding new row | Adding numeric 1 | Adding numeric 1 | Adding string 'All Files' | Adding string '*.*' | Adding string 'Default list for all files.'
settings_get_default_table()
settings_set_table() | Adding new row | Adding numeric 42 | Adding string 'name' | Adding new row | Adding numeric -1 | Adding string 'x'
settings_set_table()
settings_set_table() | Adding new row | Adding numeric 42 | Adding string 'name' | [3] Wrong table type, passed size 3, actual size 2
settings_set_table() | [3] Wrong table type, passed size 1, actual size 2
settings_set_table() | Adding new row | Adding numeric 1 | Adding string 'a' | Adding new row
settings_set_table() | Adding new row | Adding numeric   -42abc | Adding string 'name' | Adding new row | Adding numeric 3 | Adding string 'b' | Adding new row | Adding numeric -3 | Adding string '5'
settings_get_table() | Adding new row | Adding numeric 4294967254 | Adding string 'name' | Adding new row | Adding numeric 3 | Adding string 'b' | Adding new row | Adding numeric 4294967293 | Adding string '5'
settings_get_table() | Adding new row | Adding numeric 7 | Adding new row | Adding numeric 0 | Adding new row | Adding numeric 12 | Adding new row | Adding numeric 2147483647
settings_get_table() | Adding new row | Adding string 'a' | Adding new row | Adding string '5'
settings_get_table()
-- trace of settings_is_final with the table flag
settings_is_final() | Is table 'True' | GetTableRestriction 0 | GetTableRestriction 16 | oid: '1.3.6.1.4.1.8642.20.1.300.10.10.50', is final True
settings_is_final() | Is table 'True' | GetTableRestriction 0 | GetTableRestriction 0 | oid: '1.3.6.1.4.1.8642.20.1.100.50.25', is final False
settings_is_final() | Is table 'True' | GetTableRestriction 0 | GetTableRestriction 2 | oid: '1.3.6.1.4.1.8642.20.1.100.50.23', is final True
settings_is_final() | Is table 'True' | GetTableRestriction 0 | GetTableRestriction 0 | oid: '1.3.6.1.4.1.8642.20.1.100.50.22', is final False
== a traced run that sets both enciphered settings: the lines keep their shape, the value masked
set: 0 0, commit: 0, last error: 0
clear text in the log: 0
1 buf = '********', rc = 0
1 OID: 1.3.6.1.4.1.8642.18.1.38.160 (********)
1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
1 Set policy var 1.3.6.1.4.1.8642.18.1.38.160 to ********
1 Unicode string: '********'
1 Set registry var 'UserHldPassword' to '********'
1 Unicode string: '********'
1 buf = '********', rc = 0
1 OID: 1.3.6.1.4.1.8642.18.1.38.160 (********)
1 UTF8 string: '********'
policy holds: {"oid":"1.3.6.1.4.1.8642.18.1.38.160","string":"<cipher>"}
== the agent's libraries copied outside the build
== through the delay-loading key
read 0, get 100 value 100, final 0, set 0, commit 0, last error 0
copies: ["<copies>"]
agent holds: {"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":101}
== changed with cvmactl
read 0, get 200 value 200, final 0, set 0, commit 0, last error 0
copies: ["<copies>"]
agent holds: {"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":201}
== beside the PHP binary, no key
read 0, get 201 value 201, final 0, set 0, commit 0, last error 0
copies: ["<copies>"]
agent holds: {"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":202}
== a commit that meets a killed agent
read policy 0
set_int results [0] changed 1
kill the agent
-- agent killed: yes
commit 0 within 10 s, last_error 12, changed 1, settings holding the new value 50
start the agent
-- agent started; it holds 0 of 50 new
session back yes
commit 0 within 10 s, last_error 0, changed 0, settings holding the new value 50
child exit 0
-- the agent holds 50 of 50 new
