<?php
// The threaded host suite: both extensions in one process of the threaded host (cvhost,
// built against a thread-safe PHP), many requests at once, against the agent, the storage
// server and a machine with both products installed. Run by tests/threaded/run.sh with the
// built programs and libraries in CV_BIN_DIR and beside SETTINGSEXT_SO:
//
//   php threaded_host.php THREADS REQUESTS [SECONDS]
//
// With SECONDS the threads run requests for that long (the host prints failed requests
// only). Prints one "ok -" or "FAIL -" line per check and ends with "N passed, N failed".
require __DIR__ . '/../phpt/cv.inc';

[$threads, $requests, $seconds] = [(int)($argv[1] ?? 8), (int)($argv[2] ?? 200), (float)($argv[3] ?? 0)];
$here = __DIR__;
$host = cv_bin('cvhost');
$passed = $failed = 0;

function result(bool $ok, string $what, string $detail = ''): void {
    global $passed, $failed;
    $ok ? $passed++ : $failed++;
    echo $ok ? 'ok - ' : 'FAIL - ', $what, $detail !== '' && !$ok ? "\n$detail" : '', "\n";
}

// The request lines of the host's output, keyed "thread/n": [script, result, out].
function request_lines(string $output): array {
    $lines = [];
    foreach (explode("\n", $output) as $line) {
        if (preg_match('/^request thread=(\d+) n=(\d+) script=(\S+) result=(\w+) status=(-?\d+) .* out=(".*")$/', $line, $m)) {
            $lines["$m[1]/$m[2]"] = [basename($m[3]), $m[4], json_decode($m[6])];
        }
    }
    return $lines;
}

// ThreadSanitizer's log of the host runs, when the programs are built with it (log_path in
// TSAN_OPTIONS); each run of a phase writes its own, beside the stand-ins' logs.
$tsan_log = preg_match('/log_path=(\S+)/', getenv('TSAN_OPTIONS') ?: '', $m) ? $m[1] : null;

// Runs cvhost with both extensions (or settingsext alone): [exit status, standard output,
// standard error]. A run that has not ended after $limit seconds is killed: exit status -1.
function host(string $root, array $args, ?callable $meanwhile = null, string $phase = 'other', bool $alone = false,
              float $limit = 600): array {
    global $host, $tsan_log;
    $dir = cv_tempdir('cvhost');
    $extensions = $alone ? [] : ['-d', 'extension=' . cv_so('cvwwwui.so')];
    $argv = array_merge([$host], $extensions, ['-d', 'extension=' . cv_so()], $args);
    $env = array_merge(getenv(), ['CORVANE_ROOT' => $root]);
    if ($tsan_log !== null) $env['TSAN_OPTIONS'] = str_replace($tsan_log, "$tsan_log-$phase", getenv('TSAN_OPTIONS'));
    $proc = proc_open($argv, [0 => ['file', '/dev/null', 'r'], 1 => ['file', "$dir/out", 'w'], 2 => ['file', "$dir/err", 'w']],
                      $pipes, null, $env);
    $proc || cv_fail("cannot start $host");
    // proc_get_status reaps the process: its exit status is known only from it.
    $deadline = microtime(true) + $limit;
    $hung = '';
    while (($state = proc_get_status($proc))['running']) {
        if (microtime(true) > $deadline && $hung === '') {
            proc_terminate($proc, 9);
            $hung = "cvhost did not end within $limit s: killed\n";
        }
        $meanwhile !== null ? $meanwhile() : usleep(20000);
    }
    $status = $state['signaled'] ? -1 : $state['exitcode'];
    proc_close($proc);
    return [$status, file_get_contents("$dir/out"), $hung . file_get_contents("$dir/err")];
}

// --- The machine: both products, the agent with every setting at its default, the
// storage server with the sample mailboxes and public folders, the trace on (not for runs
// by time, whose log would grow without bound).
$root = cv_root();
$examples = dirname($here, 2) . '/examples';
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents("$examples/machine.reg")));
if ($seconds == 0) cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
[$rc, $seed_text, $err] = cv_run([cv_bin('settings_policy_seed')], $root);
$rc === 0 || cv_fail("settings_policy_seed failed: $err");
$seed = array_map(fn($l) => json_decode($l, true), preg_grep('/^\{/', explode("\n", $seed_text)));
cv_policy($root, $seed);
$passwd = file("$examples/mail/passwd", FILE_IGNORE_NEW_LINES);
$folders = preg_grep('/^[^#]/', file("$examples/mail/public-folders.txt", FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES));
cv_storage($root, $passwd, $folders);

// --- The plan: for each thread an integer, a string and a table of its own (none final; the
// one enciphered policy string and strings with line ends left out, tables without rows
// first), the final scalars, and the integer that cvmactl changes during the run.
$open = array_values(array_filter($seed, fn($s) => !isset($s['restriction'])));
$ints = array_values(array_filter($open, fn($s) => isset($s['int'])));
$strs = array_values(array_filter($open, fn($s) => isset($s['string']) && !str_contains($s['string'], "\n")
                                                   && !str_ends_with($s['oid'], '.18.1.38.160')));
$tables = array_filter($open, fn($s) => isset($s['columns']) && !array_diff($s['columns'], [4, 8]));
usort($tables, fn($a, $b) => count($a['rows']) <=> count($b['rows']));
$reload = array_pop($ints);
if (count($ints) < $threads || count($strs) < $threads || count($tables) < $threads) cv_fail("too few settings for $threads threads");
$plan = ['owned' => [], 'reload' => [$reload['oid'], $reload['int']]];
for ($t = 0; $t < $threads; $t++) {
    $plan['owned'][] = ['int' => [$ints[$t]['oid'], $ints[$t]['int']], 'str' => [$strs[$t]['oid'], $strs[$t]['string']],
                        'table' => [$tables[$t]['oid'], $tables[$t]['columns'], $tables[$t]['rows']]];
}
foreach ($seed as $s) {
    if (isset($s['restriction']) && (isset($s['int']) || isset($s['string']))) $plan['final'][] = [$s['oid'], $s['int'] ?? $s['string']];
}

// --- The reference: one request alone reads the lists and the product checks.
[$status, $out, $err] = host($root, ['-t', '1', '-n', '1', "$here/reference.php"]);
$reference = json_decode(current(request_lines($out))[2] ?? 'null', true);
$names = array_map(fn($l) => explode(':', $l)[4], $passwd);
$names = array_filter($names, fn($n) => $n !== '' && !preg_match('/^(SystemMailbox\{|microsoft system attendant$)/i', $n));
$ok = $status === 0 && is_array($reference['mailboxes'] ?? null) && is_array($reference['folders'] ?? null)
      && array_column($reference['mailboxes'], 0) == array_values(array_intersect(array_column($reference['mailboxes'], 0), $names))
      && count($reference['mailboxes']) === count($names) && count($reference['folders']) === count($folders)
      && $reference['products'][0] === 1;
result($ok, 'a single request reads every mailbox and public folder', "status $status\n$out$err");
$plan += $reference;
file_put_contents("$root/plan.json", json_encode($plan, JSON_UNESCAPED_UNICODE));
putenv("CV_THREADED_PLAN=$root/plan.json");

// --- The host's own contract: each request's result on its line, and the exit status.
$script_dir = cv_tempdir('cvscripts');
file_put_contents("$script_dir/results.php", <<<'PHP'
<?php
echo "request {$_SERVER['CVHOST_REQUEST']} of thread {$_SERVER['CVHOST_THREAD']}\n";
match ((int)$_SERVER['CVHOST_REQUEST']) { 1 => exit(3), 2 => undefined_function(), 3 => trigger_error('noted'), default => null };
PHP);
[$status, $out] = host($root, ['-t', '2', '-n', '4', "$script_dir/results.php"]);
$lines = request_lines($out);
$results = array_map(fn($l) => $l[1], $lines);
ksort($results);
$ok = $status === 1 && $results === ['0/0' => 'ok', '0/1' => 'exit', '0/2' => 'fatal', '0/3' => 'ok', '1/0' => 'ok', '1/1' => 'exit', '1/2' => 'fatal', '1/3' => 'ok']
      && str_starts_with($lines['1/3'][2], "request 3 of thread 1\n\nNotice: noted")
      && str_contains($out, 'summary threads=2 requests=8 ok=4 failed=4 ');
result($ok, 'the host reports each request: ok, exit status, fatal error; exit status 1', $out);

// --- The threaded runs. Each prints one line per request (with -q only the failed ones),
// and each request its verdict.
function phase(string $title, string $phase, array $run, float $seconds): array {
    global $threads, $requests;
    [$scripts, $meanwhile, $alone, $count, $limit] = $run + [null, null, false, $requests, 600];
    $args = $seconds > 0 ? ['-q', '-s', (string)$seconds] : ['-n', (string)$count];
    $start = microtime(true);
    [$status, $out, $err] = host($GLOBALS['root'], array_merge(['-t', (string)$threads], $args, $scripts), $meanwhile,
                                 $phase, $alone, $seconds + $limit);
    $lines = request_lines($out);
    preg_match('/^summary .*$/m', $out, $summary);
    printf("# %s: %s (%.1f s in all)\n", $phase, $summary[0] ?? 'no summary', microtime(true) - $start);
    $bad = array_filter($lines, fn($l) => $l[1] !== 'ok' || !preg_match('/^verdict ok[^\n]*\n$/', $l[2]));
    $shown = '';
    foreach (array_slice($bad, 0, 20, true) as $key => $l) $shown .= "$key $l[0] $l[1]: " . trim($l[2]) . "\n";
    result($status === 0 && $bad === [] && str_contains($summary[0] ?? '', ' failed=0 '),
           "$title: every request ended with its verdict ok", $shown . "status $status\n" . substr($err, 0, 4000));
    if ($seconds == 0) {
        $expected = [];
        for ($t = 0; $t < $threads; $t++) for ($n = 0; $n < $count; $n++) $expected[] = "$t/$n";
        $keys = array_keys($lines);
        sort($keys);
        sort($expected);
        result($keys === $expected, "$title: one line for each of the $threads x $count requests", count($keys) . ' lines');
    }
    result(!str_contains($err, 'memory leaks detected'), "$title: no memory leaks reported", $err);
    tsan_reports($title, "-$phase");
    return [$status, $out, $lines];
}

// Fails when ThreadSanitizer reported anything in the logs "<log_path><suffix>.<pid>";
// shows each kind of report with its count.
function tsan_reports(string $title, string $suffix): void {
    global $tsan_log;
    if ($tsan_log === null) return;
    $reports = [];
    foreach (glob("$tsan_log$suffix.*") as $file) {
        preg_match_all('/^SUMMARY: ThreadSanitizer: (.*)$/m', file_get_contents($file), $found);
        array_push($reports, ...$found[1]);
    }
    $counted = array_count_values($reports);
    $text = implode("\n", array_map(fn($line, $n) => "$n x $line", array_keys($counted), $counted));
    result($reports === [], "$title: no ThreadSanitizer reports", "$text\n(logs: $tsan_log$suffix.*)");
}

// Both extensions, while cvmactl changes one setting again and again.
$k = 0;
$changes = function () use ($root, $reload, &$k) {
    cv_ctl($root, 'set', $reload['oid'], '--int', (string)++$k);
    usleep(20000);
};
[$status, $out, $lines] = phase('both extensions', 'both', [["$here/request_settings.php", "$here/request_mailstore.php"], $changes], $seconds);
echo "# $k changes by cvmactl\n";
if ($seconds == 0) {
    // Reloads reached the requests: values cvmactl gave, more than one of them.
    preg_match_all('/ reload=(\d+)/', implode('', array_map(fn($l) => $l[2], $lines)), $m);
    $seen = array_unique(array_map('intval', $m[1]));
    result(count(array_filter($seen, fn($v) => $v >= 1 && $v <= $k)) >= 2, 'changes made with cvmactl reach the running requests',
           'values seen: ' . implode(' ', $seen));

    // The agent holds, for each thread's integer, the seed or a value that thread wrote, and
    // some commits reached it. (Not each: a rebuild by another request while a commit waits
    // drops the changes not yet written, as it does in a single process with several pages.)
    $held = array_column(array_map(fn($l) => json_decode($l, true), explode("\n", trim(cv_ctl($root, 'export')))), 'int', 'oid');
    $wrong = [];
    $written = 0;
    foreach ($plan['owned'] as $t => $mine) {
        $value = $held[$mine['int'][0]] ?? null;
        if ($value === $mine['int'][1]) continue;
        $value !== null && intdiv($value, 1000000) === $t + 1 ? $written++ : $wrong[] = "thread $t: agent holds $value";
    }
    result($wrong === [] && ($written > 0 || !str_contains($out, ' commit=')), 'commits reach the agent, each thread\'s value in its setting',
           implode("\n", $wrong) . "\n$written of $threads settings written");
}

// settingsext without the host extension: no agent session, and every request's start-up
// sets the module up again, while the other threads' requests use it.
phase('settingsext alone', 'alone', [["$here/request_alone.php"], null, true, max(1, intdiv($requests, 4)), 120],
      $seconds > 0 ? min($seconds, 10) : 0);

tsan_reports('the single requests', '-other');
tsan_reports('the agent, the storage server and cvmactl', '');
echo "$passed passed, $failed failed\n";
exit($failed === 0 ? 0 : 1);
