<?php
// The mail store lists against what a page author would use otherwise, in one process with
// the rounds interleaved: the public folders through the storage server and through the
// fallback walk against imap_list("*") on an open IMAP connection to a Dovecot serving the
// same folders, and a refresh of the mailboxes through the storage server against a page
// that reads and splits the same passwd-file itself. Run through bench/mailstore_peers.sh,
// which prepares the machine root, the storage server and the Dovecot.
//
//   php mailstore_peers.php ROUNDS PASSWD CVSTORAGE SOCKET IMAP-PORT
[$script, $rounds, $passwd, $cvstorage, $socket, $port] = $argv + [null, 7, '', '', '', 0];
$rounds = max(7, (int)$rounds);
if (!function_exists('vxm_read_mailboxes')) exit("vxm_read_mailboxes is not there: load both extensions\n");

// The storage server comes and goes (started by this script, outside the timed calls):
// without it the public folders come from the fallback walk of the folder tree. Its
// registration stays, so the hive is the same for every round.
$server = null;
$storage_server = function (bool $on) use (&$server, $cvstorage, $socket) {
    if ($on === ($server !== null)) return;
    if ($on) {
        $server = proc_open([$cvstorage], [0 => ['file', '/dev/null', 'r'], 1 => ['file', '/dev/null', 'w'],
                                           2 => ['file', '/dev/null', 'w']], $pipes);
        // The socket's file comes with bind(), before the server listens: wait for a connection.
        for ($i = 0; $i < 1000 && !($probe = @stream_socket_client("unix://$socket")); $i++) usleep(2000);
        if (!$probe) exit("the storage server did not come up\n");
        fclose($probe);
    } else {
        proc_terminate($server);
        while (proc_get_status($server)['running']) usleep(1000);
        proc_close($server);
        $server = null;
    }
};
$ms = fn(int $start) => (hrtime(true) - $start) / 1e6;

$folders = function () use ($ms) {
    $rows = [];
    $start = hrtime(true);
    vxm_read_public_folders($rows, true);
    return [$ms($start), count($rows)];
};
$mailboxes = function () use ($ms) {
    $rows = [];
    $start = hrtime(true);
    vxm_read_mailboxes($rows, true);
    return [$ms($start), count($rows)];
};
// The page a PHP author would write: the file read and split, one row a mailbox (name, URL,
// level), ordered by name without regard to case.
$plain_page = function () use ($ms, $passwd) {
    $start = hrtime(true);
    $rows = [];
    foreach (file($passwd, FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES) as $line) {
        if ($line[0] === '#') continue;
        $fields = explode(':', $line);
        if (count($fields) < 5) continue;
        [$local, $domain] = explode('@', $fields[0], 2) + [1 => ''];
        $rows[] = [$fields[4], "file://./backofficestorage/$domain/mbx/$local", 0];
    }
    usort($rows, fn($a, $b) => strcasecmp($a[0], $b[0]));
    return [$ms($start), count($rows)];
};
$imap = null;
if ($port > 0 && function_exists('imap_open')) {
    $imap = imap_open("{127.0.0.1:$port/imap/notls}", 'bench', 'bench', OP_HALFOPEN, 1);
    if ($imap === false) exit("imap_open failed: " . imap_last_error() . "\n");
}
$imap_list = function () use ($ms, $imap, $port) {
    $start = hrtime(true);
    $list = imap_list($imap, "{127.0.0.1:$port}", '*');
    return [$ms($start), is_array($list) ? count($list) : 0];
};

// The mail store's service comes up in the background.
$rows = [];
for ($i = 0; $i < 1000 && vxm_read_mailboxes($rows, false) === -1; $i++) usleep(10000);
// Warm-up, and the counts each side really read.
$storage_server(true);
$counts = ['server' => $folders()[1], 'mailboxes' => $mailboxes()[1], 'page' => $plain_page()[1]];
$storage_server(false);
$counts['fallback'] = $folders()[1];
$storage_server(true);
if ($imap !== null) $counts['imap'] = $imap_list()[1];
foreach ($counts as $what => $count) printf("%-10s %6d entries\n", $what, $count);

// With busy processes (CV_BENCH_BUSY, stopped when the script starts) every round is taken
// twice, quiet and loaded, in alternating order. A round whose list is not the warm-up's
// size measured something else (a failure, a fallback): the script stops on it.
$busy = array_filter(array_map('intval', explode(' ', getenv('CV_BENCH_BUSY') ?: '')));
$passes = $busy ? ['quiet', 'loaded'] : ['quiet'];
$figures = [];
$check = function (string $what, string $pass, int $round, array $sample, int $expected) use (&$figures) {
    if ($sample[1] !== $expected) {
        fprintf(STDERR, "round %d (%s): %s listed %d entries, not %d\n", $round, $pass, $what, $sample[1], $expected);
        exit(1);
    }
    $figures[$pass][$what][] = $sample[0];
};
for ($round = 0; $round < $rounds; $round++) {
    foreach ($round % 2 ? array_reverse($passes) : $passes as $pass) {
        foreach ($busy as $pid) posix_kill($pid, $pass === 'loaded' ? SIGCONT : SIGSTOP);
        $storage_server(true);
        $check('public folders, storage server', $pass, $round, $folders(), $counts['server']);
        if ($imap !== null) $check('imap_list', $pass, $round, $imap_list(), $counts['imap']);
        $storage_server(false);
        $check('public folders, fallback walk', $pass, $round, $folders(), $counts['fallback']);
        if ($imap !== null) $check('imap_list, again', $pass, $round, $imap_list(), $counts['imap']);
        $storage_server(true);
        $check('refresh of the mailboxes', $pass, $round, $mailboxes(), $counts['mailboxes']);
        $check('plain PHP page', $pass, $round, $plain_page(), $counts['page']);
    }
}
foreach ($busy as $pid) posix_kill($pid, SIGSTOP);
$storage_server(false);
function median(array $samples): float { sort($samples); return $samples[intdiv(count($samples), 2)]; }
function line(string $what, array $ours, array $theirs): void {
    $ratios = array_map(fn($a, $b) => $a / $b, $ours, $theirs);
    printf("%-32s min %7.2f ms median %7.2f ms | peer min %7.2f median %7.2f | ratio min %5.2f median %5.2f x\n",
           $what, min($ours), median($ours), min($theirs), median($theirs), min($ratios), median($ratios));
}
$pairs = ['refresh of the mailboxes' => 'plain PHP page'];
if ($imap !== null) {
    $pairs = ['public folders, storage server' => 'imap_list', 'public folders, fallback walk' => 'imap_list, again'] + $pairs;
}
printf("%d rounds, interleaved; load average %s\n", $rounds, implode(' ', array_slice(sys_getloadavg(), 0, 1)));
foreach ($passes as $pass) {
    if ($busy) printf("%s (%d busy processes %s):\n", $pass, count($busy), $pass === 'loaded' ? 'running' : 'stopped');
    if ($imap === null) echo "  (no IMAP peer: php8.2-imap and dovecot-imapd, see bench/setup.sh)\n";
    foreach ($pairs as $ours => $theirs) line($ours, $figures[$pass][$ours], $figures[$pass][$theirs]);
}
if ($busy) {
    // Each figure loaded against its quiet twin of the same round.
    echo "loaded / quiet, the same round's:\n";
    foreach (array_merge(array_keys($pairs), array_values($pairs)) as $what) {
        $ratios = array_map(fn($a, $b) => $a / $b, $figures['loaded'][$what], $figures['quiet'][$what]);
        printf("%-32s median of medians %5.2f x | per round min %5.2f median %5.2f x\n", $what,
               median($figures['loaded'][$what]) / median($figures['quiet'][$what]), min($ratios), median($ratios));
    }
}
if ($imap !== null) {
    imap_errors();  // the plain login on loopback is meant; no notice at the end
    imap_close($imap);
}
