<?php
// settings_get_int throughput on 1, 2, 4 and 8 request threads of the threaded host (cvhost),
// against a floor measured in the same run: the same loop calling settype() (a built-in with a
// by-reference argument that shares nothing between threads), which shows how far this
// machine lets a loop of calls scale at all. Run by bench/threaded_get_int_bench.sh, which
// builds what it needs; by hand:
//
//   CV_BIN_DIR=build-zts-release/bin SETTINGSEXT_SO=build-zts-release/lib/settingsext.so \
//       php -n bench/threaded_get_int_bench.php [ROUNDS] [SECONDS]
//
// Each round runs cvhost once per thread count; in it every thread's first request reads the
// policy, its second calls settype() and its third settings_get_int() over the 287 integer
// settings, again and again for SECONDS (default 1). A thread count's figure is all its
// threads' calls over the time from the first loop's start to the last one's end; the table
// shows the medians over ROUNDS (default 5). The trace is off: the machine root is new and
// has no trace switch.
//
// cvhost runs this same file as its request script.
if (PHP_SAPI === 'embed') {
    $request = (int)$_SERVER['CVHOST_REQUEST'];
    $ints = file(getenv('CV_BENCH_INTS'), FILE_IGNORE_NEW_LINES);
    if ($request === 0) {
        settings_read_policy();
        $value = null;
        settings_get_int($ints[0], $value);
        echo $value === (int)getenv('CV_BENCH_FIRST') ? "ready\n" : "the catalogue is not read: $value\n";
        return;
    }
    $count = count($ints);
    $calls = 0;
    $start = hrtime(true);
    $deadline = $start + (int)(getenv('CV_BENCH_SECONDS') * 1e9);
    if ($request === 1) {
        do {
            for ($i = 0; $i < $count; $i++) {
                $value = 1;
                settype($value, 'int');
            }
            $calls += $count;
        } while (hrtime(true) < $deadline);
    } else {
        do {
            foreach ($ints as $oid) settings_get_int($oid, $value);
            $calls += $count;
        } while (hrtime(true) < $deadline);
    }
    printf("calls %d from %d to %d\n", $calls, $start, hrtime(true));
    return;
}

require __DIR__ . '/../tests/phpt/cv.inc';
$rounds = max(1, (int)($argv[1] ?? 5));
$seconds = max(0.1, (float)($argv[2] ?? 1));
$counts = [1, 2, 4, 8];

$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__) . '/examples/machine.reg')));
cv_agent($root);
[$rc, $seed, $err] = cv_run([cv_bin('settings_policy_seed')], $root);
$rc === 0 || cv_fail("settings_policy_seed failed: $err");
$lines = array_map(fn($l) => json_decode($l, true), preg_grep('/^\{/', explode("\n", $seed)));
cv_policy($root, $lines);
$ints = array_values(array_filter($lines, fn($l) => isset($l['int'])));
file_put_contents("$root/ints.txt", implode("\n", array_column($ints, 'oid')) . "\n");
$env = array_merge(getenv(), ['CORVANE_ROOT' => $root, 'CV_BENCH_INTS' => "$root/ints.txt",
                              'CV_BENCH_FIRST' => (string)$ints[0]['int'], 'CV_BENCH_SECONDS' => (string)$seconds]);

// One run of cvhost with $threads threads: the calls per second of [settype, get_int], all
// threads' calls over the time from the first thread's start of the loop to the last one's
// end (the threads' loops start a little apart; summing each thread's own rate would count
// the times when fewer of them ran as if all had).
function run(int $threads, array $env): array {
    $argv = [cv_bin('cvhost'), '-d', 'extension=' . cv_so('cvwwwui.so'), '-d', 'extension=' . cv_so(),
             '-t', (string)$threads, '-n', '3', __FILE__];
    $proc = proc_open($argv, [0 => ['file', '/dev/null', 'r'], 1 => ['pipe', 'w'], 2 => ['pipe', 'w']], $pipes, null, $env);
    $proc || cv_fail('cannot start cvhost');
    [$out, $err] = [stream_get_contents($pipes[1]), stream_get_contents($pipes[2])];
    proc_close($proc) === 0 || cv_fail("cvhost failed:\n$out$err");
    str_contains($out, 'out="ready\n"') || cv_fail("a thread did not read the policy:\n$out");
    preg_match_all('/ n=([12]) .* out="calls (\d+) from (\d+) to (\d+)\\\\n"$/m', $out, $m, PREG_SET_ORDER);
    count($m) === 2 * $threads || cv_fail("unexpected output:\n$out");
    $loops = [[0, PHP_INT_MAX, 0], [0, PHP_INT_MAX, 0]];  // calls, first start, last end
    foreach ($m as [, $n, $calls, $from, $to]) {
        $loop = &$loops[$n - 1];
        $loop = [$loop[0] + (int)$calls, min($loop[1], (int)$from), max($loop[2], (int)$to)];
        unset($loop);
    }
    return array_map(fn($l) => $l[0] / (($l[2] - $l[1]) / 1e9), $loops);
}

function median(array $samples): float {
    sort($samples);
    return $samples[intdiv(count($samples), 2)];
}

printf("%d integer settings; %d rounds of %.1f s per thread count and loop; medians; %d processors, load %s\n\n",
       count($ints), $rounds, $seconds, (int)shell_exec('nproc'), implode(' ', array_slice(explode(' ', file_get_contents('/proc/loadavg')), 0, 3)));
$samples = [];
for ($round = 0; $round < $rounds; $round++) {
    foreach ($counts as $threads) {
        [$floor, $get] = run($threads, $env);
        $samples[$threads]['floor'][] = $floor;
        $samples[$threads]['get'][] = $get;
    }
}
// Each thread count's gain over one thread, for both loops, and get_int's gain as a share of
// settype's: what the machine gave a loop that shares nothing, get_int got too at 1.00.
printf("%-8s %16s %16s %12s %12s %14s\n", 'threads', 'settype calls/s', 'get_int calls/s', 'settype x1', 'get_int x1', 'get_int/settype');
$one = ['floor' => median($samples[1]['floor']), 'get' => median($samples[1]['get'])];
foreach ($counts as $threads) {
    $floor = median($samples[$threads]['floor']);
    $get = median($samples[$threads]['get']);
    printf("%-8d %16.0f %16.0f %11.2fx %11.2fx %14.2f\n", $threads, $floor, $get, $floor / $one['floor'],
           $get / $one['get'], ($get / $one['get']) / ($floor / $one['floor']));
}
$pairs = array_map(fn($i) => $samples[2]['get'][$i] / $samples[1]['get'][$i], array_keys($samples[1]['get']));
printf("\nsettings_get_int, 2 threads against 1: %.2fx (rounds %.2f-%.2fx; settype %.2fx); goal >= 1.7x\n",
       median($samples[2]['get']) / $one['get'], min($pairs), max($pairs), median($samples[2]['floor']) / $one['floor']);
printf("settings_get_int against settype, 1 thread: %.2fx the time a call\n", $one['floor'] / $one['get']);
