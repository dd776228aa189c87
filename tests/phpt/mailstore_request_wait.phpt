--TEST--
Mail store functions wait a bounded time for the parser: a refresh the worker cannot finish (a storage server that never becomes ready) gives -1 after 20 s, with its trace line
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
$server = cv_storage($root, ['anna@example.test:x:1:1:Anna:/h:/s:'], []);
$pid = proc_get_status($server)['pid'];
$cvstorage = cv_bin('cvstorage');

// Within one page (one parser): the first read, then the server replaced by one that never
// becomes ready, then a refresh.
echo cv_php($root, "const ROOT = '$root'; const PID = $pid; const CVSTORAGE = '$cvstorage';\n" . <<<'PHP'
$rows = [];
for ($i = 0; $i < 1000 && ($rc = vxm_read_mailboxes($rows, false)) === -1; $i++) usleep(10000);
echo 'first read: ', $rc, ' ', count($rows), " row\n";
exec('kill ' . PID);
for ($i = 0; $i < 1000 && file_exists(ROOT . '/run/cvstorage.sock'); $i++) usleep(10000);
$never = proc_open([CVSTORAGE, '--root', ROOT, '--ready-after', '600'],
                   [0 => ['file', '/dev/null', 'r'], 1 => ['file', '/dev/null', 'w'], 2 => ['file', '/dev/null', 'w']],
                   $pipes, null, array_merge(getenv(), ['CORVANE_ROOT' => ROOT]));
for ($i = 0; $i < 1000 && !file_exists(ROOT . '/run/cvstorage.sock'); $i++) usleep(10000);
$rows = [];
$start = microtime(true);
$rc = vxm_read_mailboxes($rows, true);
$waited = microtime(true) - $start;
echo 'refresh: ', $rc, ' ', json_encode($rows), ' after ', $waited >= 19.9 && $waited < 30 ? 'the 20 s bound' : "$waited s", "\n";
proc_terminate($never, 15);
proc_close($never);
PHP, null, true);
echo implode("\n", preg_grep('/did not answer/', cv_trace_messages("$root/logs/trace.log"))), "\n";
?>
--EXPECT--
first read: 0 1 row
refresh: -1 [] after the 20 s bound
3 The mail store parser did not answer within 20000 ms
