--TEST--
Mail store functions through both extensions: rows of the storage server's lists, appended, refreshed, before the first read ends and without a parser
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
$mailboxes = [
    'b.user@example.test:x:1:1:b user:/h:/s:',
    'anna@example.test:x:1:1:Anna:/h:/s:',
    'SYSTEMMAILBOX{1}@example.test:x:1:1:SYSTEMMAILBOX{1}:/h:/s:',
    'empty@example.test:x:1:1::/h:/s:',
    'jurgen@sub.example.test:x:1:1:Jürgen:/h:/s:',
];
$server = cv_storage($root, $mailboxes, ['Projects', 'Projects/Harbour', 'Archive']);

// A page through both extensions. The parser reads both lists at the first request; until
// that ends the functions answer -1, so first() asks again (bounded).
function page(string $root, string $code): void {
    echo cv_php($root, <<<'PHP'
function first(string $function, &$rows): int {
    for ($i = 0; $i < 1000 && ($rc = $function($rows, false)) === -1; $i++) usleep(10000);
    return $rc;
}
function show(string $what, int $rc, array $rows) {
    echo str_pad($what, 30), $rc, ' ', json_encode($rows, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES), "\n";
}
PHP . "\n$code", null, true);
}

echo "== with the storage server\n";
page($root, <<<'PHP'
$rows = ['kept'];
show('mailboxes', first('vxm_read_mailboxes', $rows), $rows);
$folders = [];
show('public folders', first('vxm_read_public_folders', $folders), $folders);
$s = cvwwwui_list_sources();
printf("sources: %s, %s, read %s\n", $s['mailboxes']['source'], $s['public_folders']['source'],
       abs($s['mailboxes']['read_at'] - time()) < 60 ? 'just now' : $s['mailboxes']['read_at']);
$again = [];
vxm_read_mailboxes($again, false);
show('twice into one array', vxm_read_mailboxes($again, true), array_column($again, 0));
echo 'not an array: ', @vxm_read_mailboxes($text, 'x'), "\n";
PHP);

echo "== not ready yet: the first read is still running\n";
proc_terminate($server, 9);
$server = cv_storage($root, $mailboxes, [], ['--ready-after', '30']);
page($root, <<<'PHP'
$rows = [];
show('mailboxes', vxm_read_mailboxes($rows, true), $rows);
PHP);

echo "== mail-server product not installed: no parser\n";
$bare = cv_root();
page($bare, <<<'PHP'
set_error_handler(function ($level, $message) { echo "warning: $message\n"; return true; });
$rows = ['kept'];
show('mailboxes', vxm_read_mailboxes($rows, true), $rows);
show('public folders', vxm_read_public_folders($rows, false), $rows);
echo 'sources: ', cvwwwui_list_sources(), "\n";
PHP);
?>
--EXPECT--
== with the storage server
mailboxes                     0 ["kept",["Anna","file://./backofficestorage/example.test/mbx/anna",6],["b user","file://./backofficestorage/example.test/mbx/b.user",6],["Jürgen","file://./backofficestorage/sub.example.test/mbx/jurgen",6]]
public folders                0 [["Archive","file://./BackOfficeStorage/localhost/public folders/Archive",6],["Projects","file://./BackOfficeStorage/localhost/public folders/Projects",6],["Harbour","file://./BackOfficeStorage/localhost/public folders/Projects/Harbour",7]]
sources: storage server, storage server, read just now
twice into one array          0 ["Anna","b user","Jürgen","Anna","b user","Jürgen"]
not an array: -1
== not ready yet: the first read is still running
mailboxes                     -1 []
== mail-server product not installed: no parser
warning: vxm_read_mailboxes(): Storage for Mailboxes and Public folders is not initialized
mailboxes                     -1 ["kept"]
warning: vxm_read_public_folders(): Storage for Mailboxes and Public folders is not initialized
public folders                -1 ["kept"]
sources: -1
