--TEST--
Start-up: the module loads, names itself and lists its functions; its information rows, also beside the host extension without an agent; the trace as the registry sets it (default file in the log folder, line format, switches), one trace file and one hive open in a process with both extensions; the work mode from php-cvwwwui.ini beside the executable; the product verdicts of products_is_vexmail_installed, products_is_vexsrv_installed and products_is_pallsrv, settled at request start-up
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();

echo "== reflection: name, version, then the functions in the order and with the signatures of the stub\n";
$listed = explode("\n", trim(cv_php($root, <<<'PHP'
$e = new ReflectionExtension('Corvane Tidewall extension');
echo $e->getName(), ' ', var_export($e->getVersion(), true), ' ', (new ReflectionFunction('settings_read_policy'))->isInternal() ? 'internal' : '', "\n";
foreach ($e->getFunctions() as $f) {
    $ps = array_map(fn($p) => ($p->isOptional() ? 'optional ' : '') . $p->getType() . ' '
                              . ($p->isPassedByReference() ? '&' : '') . '$' . $p->getName(), $f->getParameters());
    echo $f->getName(), '(', implode(', ', $ps), '): ', $f->getReturnType(), "\n";
}
PHP)));
echo array_shift($listed), "\n";
preg_match_all('/^function (.*) \{\}$/m', file_get_contents(dirname(__DIR__, 2) . '/php/settingsext.stub.php'), $stub);
echo $listed === $stub[1] ? count($listed) . ' functions as the stub declares them' : implode("\n", $listed), "\n";

echo "== information rows before any session block\n";
$info = cv_php($root, 'phpinfo(INFO_MODULES);');
preg_match('/\nCorvane Tidewall extension\n\n(.*?)\n\n/s', $info, $m);
echo $m[1], "\n";

echo "== with the host extension, which makes the session block, and no agent\n";
$info = cv_php($root, 'phpinfo(INFO_MODULES);', host: true);
preg_match('/\nCorvane Tidewall extension\n\n(.*?)\n\n/s', $info, $m);
preg_match('/^Host-process components.*$/m', $info, $host);
echo preg_replace('/=> [0-9A-F]{8,}$/m', '=> <address>', $m[1]), "\n", $host[0] ?? 'no host row', "\n";
echo preg_match('/\[exit \d+\]/', $info, $exit) ? $exit[0] : 'exit 0', "\n";

echo "== a missing hive is no failure\n";
$blocked = cv_tempdir('cvfile') . '/file';
touch($blocked);
echo cv_php("$blocked/root", 'var_dump(products_is_vexmail_installed(), products_is_pallsrv());');

const PAGE = 'echo "pid ", getmypid(), "\n"; products_is_pallsrv();';

echo "== DebugOutput only: settingsext.log in the machine root's log folder, every line\n";
$root = cv_root("[" . CV_TRACE_KEY . "]\n\"DebugOutput\"=dword:00000001\n");
$out = cv_php($root, PAGE);
echo $out;
// The module's life from its first line to its last; what comes between: the GoogleTest suites.
$lines = cv_trace_messages("$root/logs/settingsext.log");
echo '   ', implode(' | ', [...array_slice($lines, 0, 3), '...', ...array_slice($lines, -2)]), "\n";
// The main thread's kernel id is the process id.
$pid = (int)substr($out, 4);
$first = explode("\t", file_get_contents("$root/logs/settingsext.log"))[1];
var_dump($first === sprintf('%X', $pid));

echo "== a second process appends\n";
cv_php($root, PAGE);
var_dump(count(cv_trace_messages("$root/logs/settingsext.log")) === 2 * count($lines));

echo "== beside the host extension: the process holds one trace file and one hive open\n";
echo cv_php($root, PAGE . <<<'PHP'
$open = [];
foreach (glob('/proc/self/fd/*') as $fd) $open[] = (string)@readlink($fd);
$count = array_count_values($open);
$root = getenv('CORVANE_ROOT');
echo 'trace ', $count["$root/logs/settingsext.log"] ?? 0, ', hive ', $count["$root/registry.db"] ?? 0, "\n";
PHP, host: true);

echo "== DebugInclude of another component: the module's lines carry none\n";
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/logs/trace.log", "\"DebugInclude\"=\"threading\""));
cv_php($root, PAGE);
var_dump(file_exists("$root/logs/trace.log"));

echo "== work modes\n";
// Runs a PHP linked into a folder of its own with the given ini text beside it (null:
// no ini) and prints the page's output and the trace lines that minit wrote.
function mode(string $title, ?string $ini, string $folder = ''): void {
    $dir = cv_tempdir('cvexe') . ($folder === '' ? '' : "/$folder");
    is_dir($dir) || mkdir($dir, 0777, true);
    $php = cv_php_in($dir);
    if ($ini !== null) file_put_contents("$dir/php-cvwwwui.ini", $ini);
    $root = cv_root();
    cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
    $page = trim(cv_php($root, 'echo "page";', $php));
    echo "$title: ", implode(' | ', [$page, ...preg_grep('/^1 minit\(\)|Mode/', cv_trace_messages("$root/logs/trace.log"))]), "\n";
}

mode('3 is Demo Mode', "[General]\nwork_mode_val=3\n");
mode('2 is No Service Check Mode', "[General]\r\nwork_mode_val=2\r\n");
mode('03 is normal', "[General]\nwork_mode_val=03\n");
mode('33333 is cut to 3333: normal', "[General]\nwork_mode_val=33333\n");
mode('no ini file', null);
// The host executable's path is longer than the first 291-character buffer.
mode('a long executable path', "[General]\nwork_mode_val=3\n",
     str_repeat('d', 120) . '/' . str_repeat('e', 120) . '/' . str_repeat('f', 60));

echo "== product verdicts\n";
const KTR = 'HKEY_LOCAL_MACHINE\SOFTWARE\Veltmark\Corvane\KTR\Products';
const SERVICES = 'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services';
const AV = 'HKEY_LOCAL_MACHINE\SOFTWARE\Veltmark\Corvane\Anti-Virus';
const WARDLINE = "[" . SERVICES . "\\Corvane Wardline]\n\"Start\"=dword:00000002\n";
const INSTALLER = 'HKEY_LOCAL_MACHINE\SOFTWARE\Veltmark\Corvane\Bastion Suite Installer';

function ktr(int ...$numbers): string {
    $reg = '';
    foreach ($numbers as $n) $reg .= "[" . KTR . "\\$n]\n\"ProductName\"=\"Product $n\"\n";
    return $reg;
}
function service(string $name, string $start = 'dword:00000002'): string {
    return "[" . SERVICES . "\\$name]\n\"Start\"=$start\n";
}
function product_id(int $id): string {
    return "[" . AV . "]\n\"ProductID\"=dword:" . sprintf('%08x', $id) . "\n";
}

// Calls $function twice (or runs $code) and shows what it printed, then the probes of its
// verdict. Request
// start-up settles the mail-server verdict, then the server one, each ending in its
// "...Installed()" line; the hosted-service verdict is asked for only by the page.
function check(string $title, string $reg, string $function, ?string $code = null): void {
    $root = cv_root();
    cv_reg($root, cv_trace_reg("$root/logs/trace.log", $reg));
    $out = str_replace("\n", ' ', trim(cv_php($root, $code ?? "var_dump($function()); var_dump($function());")));
    $wanted = ['products_is_vexmail_installed' => 0, 'products_is_vexsrv_installed' => 1, 'products_is_pallsrv' => 2][$function];
    $phase = 0;
    $lines = [];
    foreach (cv_trace_messages("$root/logs/trace.log") as $m) {
        if (str_starts_with($m, '1 Is') && $phase === $wanted) $lines[] = substr($m, 2);
        if (str_starts_with($m, '1 IsVEXMAILInstalled()') || str_starts_with($m, '1 IsVEXSRVInstalled()')) $phase++;
    }
    echo "== $title: $out | ", implode(' | ', $lines), "\n";
}

const MAIL = 'products_is_vexmail_installed';
check('155 registered, only the second service', ktr(155) . service('cvavag4vxm'), MAIL);
check('services but no registered product: services not probed', service('cvavvxmd') . service('cvavag4vxm'), MAIL);
check('452 registered, first service; Start of any type counts',
      "[" . KTR . "\\452]\n\"ProductName\"=hex:00\n" . service('cvavvxmd', '"auto"'), MAIL);
check('registered but no service', ktr(454) . "[" . SERVICES . "\\cvavvxmd]\n\"Type\"=dword:00000010\n", MAIL);
check('a value too large for the 260-byte buffer does not count',
      "[" . KTR . "\\452]\n\"ProductName\"=\"" . str_repeat('x', 260) . "\"\n" . service('cvavvxmd'), MAIL);
$cvreg = cv_bin('cvreg');
check('the verdict stays while the process lives', ktr(452) . service('cvavvxmd'), MAIL, <<<PHP
var_dump(products_is_vexmail_installed());
exec('$cvreg delete "HKLM\\SOFTWARE\\Veltmark\\Corvane\\KTR" /f', \$out, \$rc);
echo "removed: \$rc\n";
var_dump(products_is_vexmail_installed());
PHP);

const SRV = 'products_is_vexsrv_installed';
check('1002 and 454 registered, ProductID 454, Wardline', ktr(1002, 454) . product_id(454) . WARDLINE, SRV);
check('1002 and 454 registered, ProductID 454, no Wardline', ktr(1002, 454) . product_id(454), SRV);
check('only 1002 registered, ProductID 454', ktr(1002) . product_id(454) . WARDLINE, SRV);
check('ProductID stored as text does not count', ktr(1001) . "[" . AV . "]\n\"ProductID\"=\"1001\"\n" . WARDLINE, SRV);

// Neither registered nor set: the first section of this file.
const PALL = 'products_is_pallsrv';
check('ManagementPlatform 0: products not probed',
      "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:00000000\n" . ktr(1002) . product_id(1002), PALL);
check('ManagementPlatform 3', "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:00000003\n", PALL);
check('ManagementPlatform negative: products decide',
      "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:ffffffff\n" . ktr(454) . product_id(454), PALL);
check('no ManagementPlatform, 1002 registered with ProductID 1002', ktr(1002) . product_id(1002), PALL);
?>
--EXPECTF--
== reflection: name, version, then the functions in the order and with the signatures of the stub
Corvane Tidewall extension NULL internal
29 functions as the stub declares them
== information rows before any session block
Corvane Tidewall extension => enabled
$cvma_session4php mapped at address => 00000000
== with the host extension, which makes the session block, and no agent
Corvane Tidewall extension => enabled
$cvma_session4php mapped at address => <address>
Host-process components => enabled
exit 0
== a missing hive is no failure
int(0)
int(0)
== DebugOutput only: settingsext.log in the machine root's log folder, every line
pid %d
   1 minit() | 1 minit() finished | 1 rinit() | ... | 1 rshutdown() | 1 mshutdown()
bool(true)
== a second process appends
bool(true)
== beside the host extension: the process holds one trace file and one hive open
pid %d
trace 1, hive 1
== DebugInclude of another component: the module's lines carry none
bool(false)
== work modes
3 is Demo Mode: page | 1 minit() | 1 The product is running in Demo Mode | 1 minit() finished
2 is No Service Check Mode: page | 1 minit() | 1 The product is running in No Service Check Mode | 1 minit() finished
03 is normal: page | 1 minit() | 1 minit() finished
33333 is cut to 3333: normal: page | 1 minit() | 1 minit() finished
no ini file: page | 1 minit() | 1 minit() finished
a long executable path: page | 1 minit() | 1 The product is running in Demo Mode | 1 minit() finished
== product verdicts
== 155 registered, only the second service: int(1) int(1) | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsProductRegisteredInKTR(155) returning TRUE | IsServiceInstalled(cvavvxmd) returning FALSE | IsServiceInstalled(cvavag4vxm) returning TRUE | IsVEXMAILInstalled(). Putting new value into the cache: 1
== services but no registered product: services not probed: int(0) int(0) | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsProductRegisteredInKTR(155) returning FALSE | IsVEXMAILInstalled(). Putting new value into the cache: 0
== 452 registered, first service; Start of any type counts: int(1) int(1) | IsProductRegisteredInKTR(452) returning TRUE | IsServiceInstalled(cvavvxmd) returning TRUE | IsVEXMAILInstalled(). Putting new value into the cache: 1
== registered but no service: int(0) int(0) | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsServiceInstalled(cvavvxmd) returning FALSE | IsServiceInstalled(cvavag4vxm) returning FALSE | IsVEXMAILInstalled(). Putting new value into the cache: 0
== a value too large for the 260-byte buffer does not count: int(0) int(0) | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsProductRegisteredInKTR(155) returning FALSE | IsVEXMAILInstalled(). Putting new value into the cache: 0
== the verdict stays while the process lives: int(1) removed: 0 int(1) | IsProductRegisteredInKTR(452) returning TRUE | IsServiceInstalled(cvavvxmd) returning TRUE | IsVEXMAILInstalled(). Putting new value into the cache: 1
== 1002 and 454 registered, ProductID 454, Wardline: int(1) int(1) | IsProductRegisteredInKTR(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsVEXSRVRegistered(454) returning TRUE | IsServiceInstalled(Corvane Wardline) returning TRUE | IsVEXSRVInstalled(). appropriateProductInstalled: 1, wardlineInstalled: 1. Putting new value into the cache: 1
== 1002 and 454 registered, ProductID 454, no Wardline: int(0) int(0) | IsProductRegisteredInKTR(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsVEXSRVRegistered(454) returning TRUE | IsServiceInstalled(Corvane Wardline) returning FALSE | IsVEXSRVInstalled(). appropriateProductInstalled: 1, wardlineInstalled: 0. Putting new value into the cache: 0
== only 1002 registered, ProductID 454: int(0) int(0) | IsProductRegisteredInKTR(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsServiceInstalled(Corvane Wardline) returning TRUE | IsVEXSRVInstalled(). appropriateProductInstalled: 0, wardlineInstalled: 1. Putting new value into the cache: 0
== ProductID stored as text does not count: int(0) int(0) | IsProductRegisteredInKTR(1001) returning TRUE | IsVEXSRVRegistered(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsServiceInstalled(Corvane Wardline) returning TRUE | IsVEXSRVInstalled(). appropriateProductInstalled: 0, wardlineInstalled: 1. Putting new value into the cache: 0
== ManagementPlatform 0: products not probed: int(0) int(0) | IsPALL4Servers(). Putting new value into the cache: 0 | IsPALL4Servers(). Putting new value into the cache: 0
== ManagementPlatform 3: int(1) int(1) | IsPALL4Servers(). Putting new value into the cache: 3 | IsPALL4Servers(). Putting new value into the cache: 3
== ManagementPlatform negative: products decide: int(1) int(1) | IsProductRegisteredInKTR(1002) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsVEXSRVRegistered(454) returning TRUE | IsPALL4Servers(). Putting new value into the cache: 1 | IsPALL4Servers(). Putting new value into the cache: 1
== no ManagementPlatform, 1002 registered with ProductID 1002: int(1) int(1) | IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning TRUE | IsPALL4Servers(). Putting new value into the cache: 1 | IsPALL4Servers(). Putting new value into the cache: 1
