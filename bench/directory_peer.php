<?php
// The peer of the directory fallback, as a page author would write it with PHP's ldap
// extension: the root DSE, the private mailbox databases owned by this server, and for each
// a paged search of the users homed there. Driven by build/bin/directory_bench --peer: it
// connects once, then lists once for every line on standard input, writes the list (one
// "display name TAB mail TAB legacyExchangeDN" line a user) to LIST_FILE and answers
// "MILLISECONDS OPERATIONS USERS CPU_MILLISECONDS" on standard output.
//
//   php -n -d extension=ldap.so bench/directory_peer.php URI SERVER LIST_FILE
[, $uri, $server, $list_file] = $argv;

$ld = ldap_connect($uri);
ldap_set_option($ld, LDAP_OPT_PROTOCOL_VERSION, 3);
ldap_set_option($ld, LDAP_OPT_REFERRALS, 0);
// The same binding as the extension's: this process's account over the socket.
if (!@ldap_sasl_bind($ld, null, null, 'EXTERNAL')) {
    fwrite(STDERR, 'EXTERNAL bind failed: ' . ldap_error($ld) . "\n");
    exit(1);
}

// Every entry of a paged search, a page of 500 at a time; $operations counts the pages.
function paged(LDAP\Connection $ld, string $base, string $filter, array $attributes, int &$operations): array {
    $entries = [];
    $cookie = '';
    do {
        $result = ldap_search($ld, $base, $filter, $attributes, 0, -1, -1, LDAP_DEREF_NEVER,
            [['oid' => LDAP_CONTROL_PAGEDRESULTS, 'value' => ['size' => 500, 'cookie' => $cookie]]]);
        ++$operations;
        if ($result === false) return $entries;
        ldap_parse_result($ld, $result, $code, $matched, $message, $referrals, $controls);
        $page = ldap_get_entries($ld, $result);
        for ($i = 0; $i < $page['count']; ++$i) $entries[] = $page[$i];
        $cookie = $controls[LDAP_CONTROL_PAGEDRESULTS]['value']['cookie'] ?? '';
    } while ($cookie !== '');
    return $entries;
}

function escape_value(string $value): string {
    return ldap_escape($value, '', LDAP_ESCAPE_FILTER);
}

while (fgets(STDIN) !== false) {
    $cpu = fn() => (fn($u) => ($u['ru_utime.tv_sec'] + $u['ru_stime.tv_sec']) * 1e3 +
        ($u['ru_utime.tv_usec'] + $u['ru_stime.tv_usec']) / 1e3)(getrusage());
    $cpu_start = $cpu();
    $start = hrtime(true);
    $operations = 0;
    $root = ldap_read($ld, '', '(objectClass=*)', ['configurationNamingContext', 'defaultNamingContext']);
    ++$operations;
    $dse = ldap_get_entries($ld, $root)[0];
    $configuration = $dse['configurationnamingcontext'][0];
    $users_base = $dse['defaultnamingcontext'][0];
    $lines = [];
    $databases = paged($ld, "CN=Microsoft Exchange,CN=Services,$configuration",
        '(&(objectClass=msExchMDB)(objectCategory=msExchPrivateMDB))',
        ['distinguishedName', 'msExchOwningServer', 'objectGUID'], $operations);
    foreach ($databases as $database) {
        $owner = $database['msexchowningserver'][0] ?? '';
        if (strcasecmp(ldap_explode_dn($owner, 1)[0] ?? '', $server) !== 0) continue;
        $users = paged($ld, $users_base, '(homeMDB=' . escape_value($database['dn']) . ')',
            ['displayName', 'mail', 'legacyExchangeDN'], $operations);
        foreach ($users as $user) {
            if (!isset($user['displayname'][0], $user['mail'][0])) continue;
            $lines[] = $user['displayname'][0] . "\t" . $user['mail'][0] . "\t" .
                ($user['legacyexchangedn'][0] ?? '') . "\n";
        }
    }
    $milliseconds = (hrtime(true) - $start) / 1e6;
    $cpu_used = $cpu() - $cpu_start;
    file_put_contents($list_file, implode('', $lines));
    printf("%.3f %d %d %.3f\n", $milliseconds, $operations, count($lines), $cpu_used);
    fflush(STDOUT);
}
