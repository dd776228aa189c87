--TEST--
A commit that meets a killed agent returns with an error and keeps the settings changed; once the agent is back the next commit writes them all
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
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
--EXPECT--
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
