--TEST--
A second local account finds nothing of a running PHP-FPM server's to open or write; a change at the agent reaches every worker; a SIGKILLed worker and a graceful stop leave nothing behind
--EXTENSIONS--
Corvane Tidewall extension
--SKIPIF--
<?php
if (trim((string)shell_exec('id -u')) !== '0') die('skip needs root to make a throwaway account');
if (!is_executable('/usr/sbin/php-fpm8.2')) die('skip php8.2-fpm is not installed');
?>
--FILE--
<?php
require __DIR__ . '/cv.inc';
const OID = '1.3.6.1.4.1.8642.20.1.100.50.22';
const FPM = '/usr/sbin/php-fpm8.2';

// Both server products installed, as on a real machine, and the trace on.
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
cv_policy($root, [['oid' => OID, 'int' => 100]]);
$dir = cv_tempdir('cvfpm');
chmod($dir, 0755);

// A throwaway account, removed when the test ends.
$user = 'cvprobe' . bin2hex(random_bytes(3));
exec('useradd --system --no-create-home --shell /usr/sbin/nologin ' . escapeshellarg($user), $o, $rc);
$rc === 0 || cv_fail("cannot make the account $user");
register_shutdown_function(fn() => exec('userdel ' . escapeshellarg($user) . ' 2>/dev/null'));

$shm_before = glob('/dev/shm/*');
file_put_contents("$dir/page.php", <<<'PHP'
<?php
$value = null;
settings_read_policy();
$rc = settings_get_int('1.3.6.1.4.1.8642.20.1.100.50.22', $value);
echo getmypid(), " $rc $value";
PHP);
file_put_contents("$dir/fpm.conf", <<<CONF
[global]
pid = $dir/fpm.pid
error_log = $dir/fpm.log
daemonize = no
[console]
listen = $dir/fpm.sock
pm = static
pm.max_children = 2
clear_env = no
CONF);
$fpm = proc_open([FPM, '-n', '-R', '-F', '-y', "$dir/fpm.conf", '-d', "extension=" . cv_so('cvwwwui.so'), '-d', 'extension=' . cv_so()],
                 [0 => ['file', '/dev/null', 'r'], 1 => ['file', "$dir/fpm.out", 'w'], 2 => ['file', "$dir/fpm.out", 'a']],
                 $pipes, null, array_merge(getenv(), ['CORVANE_ROOT' => $root]));
$fpm || cv_fail('cannot start php-fpm');
$master = proc_get_status($fpm)['pid'];
register_shutdown_function(function () use ($fpm) {
    if (proc_get_status($fpm)['running']) proc_terminate($fpm, 9);
});

// One FastCGI request for the page; its body, or null.
function request(string $socket, string $script): ?string {
    $s = @stream_socket_client("unix://$socket", $errno, $error, 5);
    if (!$s) return null;
    stream_set_timeout($s, 10);
    $record = fn(int $type, string $content) => pack('CCnnCx', 1, $type, 1, strlen($content), 0) . $content;
    $params = '';
    foreach (['SCRIPT_FILENAME' => $script, 'REQUEST_METHOD' => 'GET', 'SERVER_PROTOCOL' => 'HTTP/1.1',
              'GATEWAY_INTERFACE' => 'CGI/1.1', 'SCRIPT_NAME' => '/page.php', 'REQUEST_URI' => '/page.php'] as $k => $v)
        $params .= chr(strlen($k)) . chr(strlen($v)) . $k . $v;
    fwrite($s, $record(1, pack('nCx5', 1, 0)) . $record(4, $params) . $record(4, '') . $record(5, ''));
    $out = '';
    while (strlen($header = (string)stream_get_contents($s, 8)) === 8) {
        $h = unpack('Cversion/Ctype/nid/nlength/Cpadding', $header);
        $content = $h['length'] ? (string)stream_get_contents($s, $h['length']) : '';
        if ($h['padding']) stream_get_contents($s, $h['padding']);
        if ($h['type'] === 6) $out .= $content;
        if ($h['type'] === 3) break;
    }
    fclose($s);
    return explode("\r\n\r\n", $out, 2)[1] ?? null;
}
function workers(int $master): array {
    $pids = [];
    foreach (glob('/proc/[0-9]*/stat') as $stat) {
        $fields = explode(' ', substr(strrchr((string)@file_get_contents($stat), ')'), 2));
        if (($fields[1] ?? '') === (string)$master && $fields[0] !== 'Z') $pids[] = (int)basename(dirname($stat));
    }
    sort($pids);
    return $pids;
}
// Requests for $page until every worker has answered, each last with $want when given
// (bounded); the last answer of each worker.
function sweep(string $dir, array $workers, string $page = 'page.php', ?string $want = null): array {
    $seen = [];
    for ($deadline = microtime(true) + 15; microtime(true) < $deadline;) {
        $body = request("$dir/fpm.sock", "$dir/$page");
        if ($body === null) { usleep(20000); continue; }
        [$pid, $answer] = explode(' ', $body, 2) + [1 => ''];
        $seen[(int)$pid] = $answer;
        if (count($seen) >= count($workers) && ($want === null || !array_diff($seen, [$want]))) break;
    }
    ksort($seen);
    return $seen;
}

for ($deadline = microtime(true) + 10; count($workers = workers($master)) < 2 && microtime(true) < $deadline;) usleep(20000);
$answers = sweep($dir, $workers);
echo 'workers answering: ', count($answers), ', answers: ', json_encode(array_values(array_unique($answers))), "\n";

// What the second account can reach of a worker and of the machine root.
$probe = <<<'PHP'
[$root, $pids] = [$argv[1], array_slice($argv, 2)];
$tries = ['/dev/shm/*' => count(glob('/dev/shm/*')) - (int)getenv('SHM_BEFORE')];
foreach (['mem' => 'r+', 'maps' => 'r', 'environ' => 'r'] as $file => $mode) {
    $ok = 0;
    foreach ($pids as $pid) $ok += (int)(bool)@fopen("/proc/$pid/$file", $mode);
    $tries["/proc/<worker>/$file"] = $ok;
}
foreach (['registry.db', 'policy.db', 'logs/trace.log'] as $file) {
    $tries[$file] = (int)(bool)@fopen("$root/$file", 'r') + (int)(bool)@fopen("$root/$file", 'r+');
}
$tries['cvmad.sock'] = (int)(bool)@stream_socket_client("unix://$root/run/cvmad.sock");
foreach ($tries as $what => $n) echo "  $what: ", $n ? "reached ($n)" : 'nothing', "\n";
PHP;
file_put_contents("$dir/probe.php", "<?php\n$probe");
echo "second account:\n";
passthru('SHM_BEFORE=' . count($shm_before) . ' setpriv --reuid=' . escapeshellarg($user) . ' --regid=nogroup --clear-groups '
         . escapeshellarg(PHP_BINARY) . ' -n ' . escapeshellarg("$dir/probe.php") . ' ' . escapeshellarg($root) . ' '
         . implode(' ', $workers) . ' 2>&1');

// A worker killed outright: the master replaces it, and the new one serves.
exec('kill -KILL ' . (int)$workers[0]);
for ($deadline = microtime(true) + 10; (in_array($workers[0], $now = workers($master)) || count($now) < 2) && microtime(true) < $deadline;) usleep(20000);
$answers = sweep($dir, $now);
echo 'after SIGKILL of a worker: ', count($answers), ' workers answering ', json_encode(array_values(array_unique($answers))), "\n";

// A change at the agent reaches every worker, the new one too, through the host listener of
// its own process: this page reads no policy, so only the reload entry brings the value.
file_put_contents("$dir/reload.php", "<?php\n\$rc = settings_get_int('" . OID . "', \$value);\necho getmypid(), \" \$rc \$value\";");
cv_ctl($root, 'set', OID, '--int', '777');
$answers = sweep($dir, $now, 'reload.php', '777 777');
echo 'after a change at the agent: ', count($answers), ' workers answering ', json_encode(array_values(array_unique($answers))), "\n";

// A graceful stop (SIGQUIT): every process ends, and nothing stays behind.
exec('kill -QUIT ' . (int)$master);
for ($deadline = microtime(true) + 15; proc_get_status($fpm)['running'] && microtime(true) < $deadline;) usleep(20000);
echo 'master stopped: ', proc_get_status($fpm)['running'] ? 'no' : 'yes', "\n";
echo 'new in /dev/shm: ', json_encode(array_values(array_diff(glob('/dev/shm/*'), $shm_before))), "\n";
$modes = [];
foreach (['registry.db', 'logs/trace.log'] as $file) $modes[] = sprintf('%s %o', $file, fileperms("$root/$file") & 0777);
echo 'modes: ', implode(', ', $modes), "\n";
// The master logs notices and the worker killed above; anything else (a worker that crashed
// or hung at its stop) is a fault.
$faults = preg_grep("/NOTICE: |child {$workers[0]} exited on signal 9 /", file("$dir/fpm.log", FILE_IGNORE_NEW_LINES), PREG_GREP_INVERT);
echo 'faults logged: ', $faults ? implode("\n", $faults) : 'none', "\n";
?>
--EXPECT--
workers answering: 2, answers: ["100 100"]
second account:
  /dev/shm/*: nothing
  /proc/<worker>/mem: nothing
  /proc/<worker>/maps: nothing
  /proc/<worker>/environ: nothing
  registry.db: nothing
  policy.db: nothing
  logs/trace.log: nothing
  cvmad.sock: nothing
after SIGKILL of a worker: 2 workers answering ["100 100"]
after a change at the agent: 2 workers answering ["777 777"]
master stopped: yes
new in /dev/shm: []
modes: registry.db 640, logs/trace.log 640
faults logged: none
