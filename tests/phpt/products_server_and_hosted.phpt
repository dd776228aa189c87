--TEST--
products_is_vexsrv_installed and products_is_pallsrv: KTR, ProductID, Wardline, ManagementPlatform
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';

const KTR = 'HKEY_LOCAL_MACHINE\SOFTWARE\Veltmark\Corvane\KTR\Products';
const AV = 'HKEY_LOCAL_MACHINE\SOFTWARE\Veltmark\Corvane\Anti-Virus';
const WARDLINE = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corvane Wardline]\n\"Start\"=dword:00000002\n";
const INSTALLER = 'HKEY_LOCAL_MACHINE\SOFTWARE\Veltmark\Corvane\Bastion Suite Installer';

function ktr(int ...$numbers): string {
    $reg = '';
    foreach ($numbers as $n) $reg .= "[" . KTR . "\\$n]\n\"ProductName\"=\"Product $n\"\n";
    return $reg;
}

function product_id(int $id): string {
    return "[" . AV . "]\n\"ProductID\"=dword:" . sprintf('%08x', $id) . "\n";
}

function check(string $title, string $reg, string $function): void {
    $root = cv_root();
    cv_reg($root, cv_trace_reg("$root/trace.log", $reg));
    echo "== $title: ", str_replace("\n", ' ', trim(cv_php($root, "var_dump($function()); var_dump($function());"))), "\n";
    // Request start-up settles the mail-server and server verdicts first; the hosted-service
    // one is asked for only by the page.
    $phase = 0;
    $lines = [];
    foreach (cv_trace_messages("$root/trace.log") as $m) {
        if (str_starts_with($m, '1 Is') && $phase === ($function === 'products_is_pallsrv' ? 2 : 1)) $lines[] = substr($m, 2);
        if (str_starts_with($m, '1 IsVEXMAILInstalled()') || str_starts_with($m, '1 IsVEXSRVInstalled()')) $phase++;
    }
    echo '   ', implode(' | ', $lines), "\n";
}

check('1002 and 454 registered, ProductID 454, Wardline',
      ktr(1002, 454) . product_id(454) . WARDLINE, 'products_is_vexsrv_installed');
check('1002 and 454 registered, ProductID 454, no Wardline',
      ktr(1002, 454) . product_id(454), 'products_is_vexsrv_installed');
check('only 1002 registered, ProductID 454',
      ktr(1002) . product_id(454) . WARDLINE, 'products_is_vexsrv_installed');
check('ProductID stored as text does not count',
      ktr(1001) . "[" . AV . "]\n\"ProductID\"=\"1001\"\n" . WARDLINE, 'products_is_vexsrv_installed');

check('ManagementPlatform 0: products not probed',
      "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:00000000\n" . ktr(1002) . product_id(1002),
      'products_is_pallsrv');
check('ManagementPlatform 3', "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:00000003\n",
      'products_is_pallsrv');
check('ManagementPlatform negative: products decide',
      "[" . INSTALLER . "]\n\"ManagementPlatform\"=dword:ffffffff\n" . ktr(454) . product_id(454),
      'products_is_pallsrv');
check('no ManagementPlatform, 1002 registered with ProductID 1002',
      ktr(1002) . product_id(1002), 'products_is_pallsrv');
check('nothing at all', '', 'products_is_pallsrv');
?>
--EXPECT--
== 1002 and 454 registered, ProductID 454, Wardline: int(1) int(1)
   IsProductRegisteredInKTR(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsVEXSRVRegistered(454) returning TRUE | IsServiceInstalled(Corvane Wardline) returning TRUE | IsVEXSRVInstalled(). appropriateProductInstalled: 1, wardlineInstalled: 1. Putting new value into the cache: 1
== 1002 and 454 registered, ProductID 454, no Wardline: int(0) int(0)
   IsProductRegisteredInKTR(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsVEXSRVRegistered(454) returning TRUE | IsServiceInstalled(Corvane Wardline) returning FALSE | IsVEXSRVInstalled(). appropriateProductInstalled: 1, wardlineInstalled: 0. Putting new value into the cache: 0
== only 1002 registered, ProductID 454: int(0) int(0)
   IsProductRegisteredInKTR(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsServiceInstalled(Corvane Wardline) returning TRUE | IsVEXSRVInstalled(). appropriateProductInstalled: 0, wardlineInstalled: 1. Putting new value into the cache: 0
== ProductID stored as text does not count: int(0) int(0)
   IsProductRegisteredInKTR(1001) returning TRUE | IsVEXSRVRegistered(1001) returning FALSE | IsProductRegisteredInKTR(452) returning FALSE | IsProductRegisteredInKTR(1002) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsServiceInstalled(Corvane Wardline) returning TRUE | IsVEXSRVInstalled(). appropriateProductInstalled: 0, wardlineInstalled: 1. Putting new value into the cache: 0
== ManagementPlatform 0: products not probed: int(0) int(0)
   IsPALL4Servers(). Putting new value into the cache: 0 | IsPALL4Servers(). Putting new value into the cache: 0
== ManagementPlatform 3: int(1) int(1)
   IsPALL4Servers(). Putting new value into the cache: 3 | IsPALL4Servers(). Putting new value into the cache: 3
== ManagementPlatform negative: products decide: int(1) int(1)
   IsProductRegisteredInKTR(1002) returning FALSE | IsProductRegisteredInKTR(454) returning TRUE | IsVEXSRVRegistered(454) returning TRUE | IsPALL4Servers(). Putting new value into the cache: 1 | IsPALL4Servers(). Putting new value into the cache: 1
== no ManagementPlatform, 1002 registered with ProductID 1002: int(1) int(1)
   IsProductRegisteredInKTR(1002) returning TRUE | IsVEXSRVRegistered(1002) returning TRUE | IsPALL4Servers(). Putting new value into the cache: 1 | IsPALL4Servers(). Putting new value into the cache: 1
== nothing at all: int(0) int(0)
   IsProductRegisteredInKTR(1002) returning FALSE | IsProductRegisteredInKTR(454) returning FALSE | IsPALL4Servers(). Putting new value into the cache: 0 | IsPALL4Servers(). Putting new value into the cache: 0
