--TEST--
The host-process extension publishes its agent session block for the life of each PHP process, with or without an agent
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
$host_so = dirname(cv_so()) . '/cvwwwui.so';
is_file($host_so) || cv_fail("no extension at $host_so");

// The child prints its pid, what its block holds and what the published cell holds.
$page = <<<'PHP'
$pid = getmypid();
$bytes = @file_get_contents("/dev/shm/\$cvma_session4php.$pid");
if ($bytes === false || strlen($bytes) < 8) { echo "$pid no block"; exit; }
$address = unpack('P', $bytes)[1];
$cell = 'unreadable';
if ($address != 0 && ($mem = fopen('/proc/self/mem', 'rb'))) {
    stream_set_read_buffer($mem, 0);
    if (fseek($mem, $address) === 0 && strlen($word = fread($mem, 4)) === 4)
        $cell = unpack('V', $word)[1] != 0 ? 'a session' : 'no session';
}
echo "$pid block at ", $address != 0 ? 'an address' : 'null', ", cell holds $cell";
PHP;

function run_page(string $title, string $root, string $so, string $page): void {
    [$rc, $out, $err] = cv_run([PHP_BINARY, '-n', '-d', "extension=$so", '-r', $page], ['CORVANE_ROOT' => $root]);
    [$pid, $rest] = explode(' ', $out, 2) + [1 => ''];
    echo "$title: $rest$err, exit $rc, block left after the process: ",
         file_exists("/dev/shm/\$cvma_session4php.$pid") ? 'yes' : 'no', "\n";
}

$agent = cv_agent($root);
run_page('with the agent', $root, $host_so, $page);
proc_terminate($agent, 15);
for ($deadline = microtime(true) + 10; proc_get_status($agent)['running'] && microtime(true) < $deadline;) usleep(5000);
run_page('without the agent', $root, $host_so, $page);

[$rc, $out] = cv_run([PHP_BINARY, '-n', '-d', "extension=$host_so", '-i'], ['CORVANE_ROOT' => $root]);
preg_match('/^Host-process components.*$/m', $out, $m);
echo 'information row: ', $m[0] ?? 'missing', "\n";
?>
--EXPECT--
with the agent: block at an address, cell holds a session, exit 0, block left after the process: no
without the agent: block at an address, cell holds no session, exit 0, block left after the process: no
information row: Host-process components => enabled
