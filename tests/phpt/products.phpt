--TEST--
products_is_vexmail_installed, products_is_vexsrv_installed and products_is_pallsrv: KTR registration, services, ProductID, ManagementPlatform; a verdict stays while the process lives
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';

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
    cv_reg($root, cv_trace_reg("$root/trace.log", $reg));
    $out = str_replace("\n", ' ', trim(cv_php($root, $code ?? "var_dump($function()); var_dump($function());")));
    $wanted = ['products_is_vexmail_installed' => 0, 'products_is_vexsrv_installed' => 1, 'products_is_pallsrv' => 2][$function];
    $phase = 0;
    $lines = [];
    foreach (cv_trace_messages("$root/trace.log") as $m) {
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

// Neither registered nor set: tests/phpt/start_up.phpt.
const PALL = 'products_is_pallsrv';
check('ManagementPlatform 0: products not probed',
      "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:00000000\n" . ktr(1002) . product_id(1002), PALL);
check('ManagementPlatform 3', "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:00000003\n", PALL);
check('ManagementPlatform negative: products decide',
      "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:ffffffff\n" . ktr(454) . product_id(454), PALL);
check('no ManagementPlatform, 1002 registered with ProductID 1002', ktr(1002) . product_id(1002), PALL);
?>
--EXPECT--
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
