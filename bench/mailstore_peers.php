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
        for ($i = 0; $i < 1000 && !file_exists($socket); $i++) usleep(2000);
        if (!file_exists($socket)) exit("the storage server did not come up\n");
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

$figures = [];
for ($round = 0; $round < $rounds; $round++) {
    $storage_server(true);
    $figures['public folders, storage server'][] = $folders()[0];
    if ($imap !== null) $figures['imap_list'][] = $imap_list()[0];
    $storage_server(false);
    $figures['public folders, fallback walk'][] = $folders()[0];
    if ($imap !== null) $figures['imap_list, again'][] = $imap_list()[0];
    $storage_server(true);
    $figures['refresh of the mailboxes'][] = $mailboxes()[0];
    $figures['plain PHP page'][] = $plain_page()[0];
}
$storage_server(false);

function median(array $samples): float { sort($samples); return $samples[intdiv(count($samples), 2)]; }
function line(string $what, array $ours, array $theirs): void {
    $ratios = array_map(fn($a, $b) => $a / $b, $ours, $theirs);
    printf("%-32s min %7.2f ms median %7.2f ms | peer min %7.2f median %7.2f | ratio min %5.2f median %5.2f x\n",
           $what, min($ours), median($ours), min($theirs), median($theirs), min($ratios), median($ratios));
}
printf("%d rounds, interleaved; load average %s\n", $rounds, implode(' ', array_slice(sys_getloadavg(), 0, 1)));
if ($imap !== null) {
    line('public folders, storage server', $figures['public folders, storage server'], $figures['imap_list']);
    line('public folders, fallback walk', $figures['public folders, fallback walk'], $figures['imap_list, again']);
} else {
    echo "  (no IMAP peer: php8.2-imap and dovecot-imapd, see bench/setup.sh)\n";
}
line('refresh of the mailboxes', $figures['refresh of the mailboxes'], $figures['plain PHP page']);
if ($imap !== null) {
    imap_errors();  // the plain login on loopback is meant; no notice at the end
    imap_close($imap);
}
