<?php
// Benchmark of vxm_read_mailboxes($rows, false) over 10,000 mailboxes against apcu_fetch of
// the same 10,000 rows, both measured in this run. Run through bench/mailstore_bench.sh,
// which prepares a machine root with the mailboxes and starts the storage server.
$rounds = (int)($argv[1] ?? 15);
if (!function_exists('vxm_read_mailboxes')) exit("vxm_read_mailboxes is not there: load both extensions\n");
$rows = [];
for ($i = 0; $i < 1000 && ($rc = vxm_read_mailboxes($rows, false)) === -1; $i++) usleep(10000);
if ($rc !== 0) exit("the mail store did not come up ($rc)\n");
printf("mailboxes: %d\n", count($rows));
$apcu = function_exists('apcu_store') && apcu_enabled() && apcu_store('mailboxes', $rows);
if (!$apcu) echo "  (APCu is not there or not enabled: -d extension=apcu.so -d apc.enable_cli=1)\n";

function median(array $samples): float { sort($samples); return $samples[intdiv(count($samples), 2)]; }
$ours = $theirs = [];
for ($round = 0; $round < $rounds; $round++) {
    $start = hrtime(true);
    $copy = [];
    vxm_read_mailboxes($copy, false);
    $ours[] = (hrtime(true) - $start) / 1e6;
    unset($copy);
    if ($apcu) {
        $start = hrtime(true);
        $copy = apcu_fetch('mailboxes');
        $theirs[] = (hrtime(true) - $start) / 1e6;
        unset($copy);
    }
}
printf("%-40s %8.2f ms\n", 'vxm_read_mailboxes, 10,000 rows', median($ours));
if ($apcu) {
    printf("%-40s %8.2f ms\n", 'apcu_fetch of the same rows', median($theirs));
    printf("%-40s %8.2f x\n", 'ratio', median($ours) / median($theirs));
}
