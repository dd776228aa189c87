--TEST--
products_is_vexmail_installed: KTR registration, then either service; cached for the process
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';

const KTR = 'HKEY_LOCAL_MACHINE\SOFTWARE\Veltmark\Corvane\KTR\Products';
const SERVICES = 'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services';

function check(string $title, string $reg, string $code = 'var_dump(products_is_vexmail_installed());'): void {
    $root = cv_root();
    cv_reg($root, cv_trace_reg("$root/trace.log", $reg));
    echo "== $title: ", str_replace("\n", ' ', trim(cv_php($root, $code))), "\n";
    // Request start-up asks first, so the probes come before the call, which finds the cache.
    $probing = true;
    $lines = [];
    foreach (cv_trace_messages("$root/trace.log") as $m) {
        if (($probing && str_starts_with($m, '1 Is')) || str_starts_with($m, '1 products_')) $lines[] = substr($m, 2);
        if (str_starts_with($m, '1 IsVEXMAILInstalled()')) $probing = false;
    }
    echo '   ', implode(' | ', $lines), "\n";
}

check('155 registered, only the second service', "
[" . KTR . "\\155]\n\"ProductName\"=\"Mail\"
[" . SERVICES . "\\cvavag4vxm]\n\"Start\"=dword:00000002");

check('services but no registered product: services not probed', "
[" . SERVICES . "\\cvavvxmd]\n\"Start\"=dword:00000002
[" . SERVICES . "\\cvavag4vxm]\n\"Start\"=dword:00000002");

check('452 registered, first service; Start of any type counts', "
[" . KTR . "\\452]\n\"ProductName\"=hex:00
[" . SERVICES . "\\cvavvxmd]\n\"Start\"=\"auto\"");

check('registered but no service', "
[" . KTR . "\\454]\n\"ProductName\"=\"Mail\"
[" . SERVICES . "\\cvavvxmd]\n\"Type\"=dword:00000010");

check('a value too large for the 260-byte buffer does not count', "
[" . KTR . "\\452]\n\"ProductName\"=\"" . str_repeat('x', 260) . "\"
[" . SERVICES . "\\cvavvxmd]\n\"Start\"=dword:00000002");

$cvreg = cv_bin('cvreg');
check('the verdict stays while the process lives', "
[" . KTR . "\\452]\n\"ProductName\"=\"Mail\"
[" . SERVICES . "\\cvavvxmd]\n\"Start\"=dword:00000002", <<<PHP
var_dump(products_is_vexmail_installed());
exec('$cvreg delete "HKLM\\SOFTWARE\\Veltmark\\Corvane\\KTR" /f', \$out, \$rc);
echo "removed: \$rc\n";
var_dump(products_is_vexmail_installed());
PHP);
?>
--EXPECT--
== 155 registered, only the second service: int(1)
   IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsProductRegisteredInKTR(155) returning TRUE | IsServiceInstalled(cvavvxmd) returning FALSE | IsServiceInstalled(cvavag4vxm) returning TRUE | IsVEXMAILInstalled(). Putting new value into the cache: 1 | products_is_vexmail_installed()
== services but no registered product: services not probed: int(0)
   IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsProductRegisteredInKTR(155) returning FALSE | IsVEXMAILInstalled(). Putting new value into the cache: 0 | products_is_vexmail_installed()
== 452 registered, first service; Start of any type counts: int(1)
   IsProductRegisteredInKTR(452) returning TRUE | IsServiceInstalled(cvavvxmd) returning TRUE | IsVEXMAILInstalled(). Putting new value into the cache: 1 | products_is_vexmail_installed()
== registered but no service: int(0)
   IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsServiceInstalled(cvavvxmd) returning FALSE | IsServiceInstalled(cvavag4vxm) returning FALSE | IsVEXMAILInstalled(). Putting new value into the cache: 0 | products_is_vexmail_installed()
== a value too large for the 260-byte buffer does not count: int(0)
   IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsProductRegisteredInKTR(155) returning FALSE | IsVEXMAILInstalled(). Putting new value into the cache: 0 | products_is_vexmail_installed()
== the verdict stays while the process lives: int(1) removed: 0 int(1)
   IsProductRegisteredInKTR(452) returning TRUE | IsServiceInstalled(cvavvxmd) returning TRUE | IsVEXMAILInstalled(). Putting new value into the cache: 1 | products_is_vexmail_installed() | products_is_vexmail_installed()
