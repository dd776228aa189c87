--TEST--
A setting changed at the agent reaches every worker of the built-in server on its own, through each process's host listener
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
const OID = '1.3.6.1.4.1.8642.20.1.100.50.22';

// Both server products installed, as on a real machine.
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_agent($root);
cv_policy($root, [['oid' => OID, 'int' => 100]]);
$host = dirname(cv_so()) . '/cvwwwui.so';
is_file($host) || cv_fail("no extension at $host");
$php_args = [PHP_BINARY, '-n', '-d', "extension=$host", '-d', 'extension=' . cv_so()];

echo "== built-in server with four workers\n";
$dir = cv_tempdir('cvpage');
file_put_contents("$dir/index.php", <<<'PHP'
<?php
// The policy is read once per process; the query store lives as long as the process.
$seen = [];
$first = settings_get_query('page', 'read', $seen) !== 0;
if ($first) {
    settings_read_policy();
    settings_set_query('page', 'read', ['1']);
}
$rc = settings_get_int($_GET['oid'], $v);
echo getmypid(), ' ', $rc, ' ', $v, ' ', $first ? 'first' : 'again', "\n";
PHP);

// A free port: bind to port 0 and take what the system gave.
$probe = stream_socket_server('tcp://127.0.0.1:0');
$port = (int)substr(strrchr(stream_socket_get_name($probe, false), ':'), 1);
fclose($probe);
$server = proc_open(array_merge($php_args, ['-S', "127.0.0.1:$port", '-t', $dir]),
                    [0 => ['file', '/dev/null', 'r'], 1 => ['file', '/dev/null', 'w'], 2 => ['file', "$dir/server.err", 'w']],
                    $pipes, null, array_merge(getenv(), ['CORVANE_ROOT' => $root, 'PHP_CLI_SERVER_WORKERS' => '4']));
$server || cv_fail('cannot start the built-in server');
$master = proc_get_status($server)['pid'];

// The master forks its workers before it serves anything, and then serves too.
function children(int $parent): array {
    $pids = [];
    foreach (glob('/proc/[0-9]*/stat') as $stat) {
        $fields = explode(' ', substr(strrchr((string)@file_get_contents($stat), ')'), 2));
        if (($fields[1] ?? '') === (string)$parent && $fields[0] !== 'Z') $pids[] = (int)basename(dirname($stat));
    }
    sort($pids);
    return $pids;
}
$deadline = microtime(true) + 10;
while (count($children = children($master)) < 4 && microtime(true) < $deadline) usleep(20000);
$pids = array_merge([$master], $children);
// Whatever happens below, no worker outlives the test.
register_shutdown_function(function () use ($children) {
    foreach ($children as $pid) if (file_exists("/proc/$pid")) exec("kill -KILL $pid");
});
echo 'workers besides the master: ', count($children), "\n";

// One request on a fresh connection; null while the server does not answer.
function fetch(int $port): ?array {
    $s = @stream_socket_client("tcp://127.0.0.1:$port", $errno, $error, 2);
    if (!$s) return null;
    stream_set_timeout($s, 5);
    fwrite($s, "GET /index.php?oid=" . OID . " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    $reply = stream_get_contents($s);
    fclose($s);
    $body = explode("\r\n\r\n", $reply, 2)[1] ?? '';
    if (!preg_match('/^(\d+) (-?\d+) (-?\d+) (first|again)\n$/', $body, $m)) return null;
    return ['pid' => (int)$m[1], 'rc' => (int)$m[2], 'value' => (int)$m[3]];
}

// Requests, bounded, until every worker has answered (or the bound is reached); the
// answers are the last ones of each worker.
function sweep(int $port, callable $done, float $seconds = 10): array {
    $workers = [];
    $deadline = microtime(true) + $seconds;
    while (microtime(true) < $deadline) {
        if ($a = fetch($port)) $workers[$a['pid']] = $a;
        if ($done($workers)) break;
        if (!$a) usleep(20000);
    }
    ksort($workers);
    return $workers;
}

$workers = sweep($port, fn($w) => count($w) >= count($pids));
echo 'processes answering: ', array_keys($workers) === $pids ? 'all' : json_encode(array_keys($workers)) . ' of ' . json_encode($pids), "\n";
echo 'all answered: ', json_encode(array_values(array_unique(array_map(fn($a) => "{$a['rc']} {$a['value']}", $workers)))), "\n";
// The blocks live inside each process: nothing another account could open.
$objects = fn() => count(array_merge(...array_map(fn($pid) => glob("/dev/shm/*$pid*"), $pids)));
echo 'shared memory objects of these processes while serving: ', $objects(), "\n";

[$rc, $out, $err] = cv_run([cv_bin('cvmactl'), '--root', $root, 'set', OID, '--int', '777'], ['CORVANE_ROOT' => $root]);
$rc === 0 || cv_fail("cvmactl set failed: $out$err");
$latest = sweep($port, function ($w) use ($pids) {
    foreach ($pids as $pid) if (($w[$pid]['value'] ?? null) !== 777) return false;
    return true;
});
foreach ($pids as $i => $pid) {
    $a = $latest[$pid] ?? null;
    echo $i ? "worker $i: " : 'master: ', $a ? "{$a['rc']} {$a['value']}" : 'no answer', "\n";
}
echo 'no other process answered: ', array_diff(array_keys($latest), $pids) ? 'no' : 'yes', "\n";

// Stops the server the way Ctrl-C in its terminal does: SIGINT to the master and to each
// worker, then waits (bounded) until all of them are gone.
proc_terminate($server, 2);
foreach ($children as $pid) exec("kill -INT $pid");
$alive = fn() => array_filter($children, fn($pid) => file_exists("/proc/$pid")
    && !str_contains((string)@file_get_contents("/proc/$pid/stat"), ') Z '));
$deadline = microtime(true) + 10;
$exit = 'running';
do {
    $status = proc_get_status($server);
    if (!$status['running']) $exit = $status['exitcode'];
    if (!$alive() && !$status['running']) break;
    usleep(20000);
} while (microtime(true) < $deadline);
echo 'workers still running: ', count($alive()), "\n";
proc_close($server);
echo 'master exit: ', $exit, "\n";
echo 'shared memory objects of these processes left: ', $objects(), "\n";
// The server logs each start and connection; anything else is a fault.
$errors = preg_grep('/ (Development Server \(.*\) started|\S+ (Accepted|Closing)|\S+ \[200\]: GET .*)$/', file("$dir/server.err", FILE_IGNORE_NEW_LINES), PREG_GREP_INVERT);
echo 'server errors: ', $errors ? implode("\n", $errors) : 'none', "\n";
?>
--EXPECT--
== built-in server with four workers
workers besides the master: 4
processes answering: all
all answered: ["100 100"]
shared memory objects of these processes while serving: 0
master: 777 777
worker 1: 777 777
worker 2: 777 777
worker 3: 777 777
worker 4: 777 777
no other process answered: yes
workers still running: 0
master exit: 0
shared memory objects of these processes left: 0
server errors: none
