--TEST--
Start-up configuration: the trace as the registry sets it (default file beside the executable, line format, switches) and the work mode from php-cvwwwui.ini beside the executable
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';

const PAGE = 'echo "pid ", getmypid(), "\n"; products_is_pallsrv();';

echo "== DebugOutput only: settingsext.log beside the executable, every line\n";
$dir = cv_tempdir('cvexe');
$php = cv_php_in($dir);
$root = cv_root("[" . CV_TRACE_KEY . "]\n\"DebugOutput\"=dword:00000001\n");
$out = cv_php($root, PAGE, $php);
echo $out;
foreach (cv_trace_messages("$dir/settingsext.log") as $m) echo "   $m\n";
// The main thread's kernel id is the process id.
$pid = (int)substr($out, 4);
$first = explode("\t", file_get_contents("$dir/settingsext.log"))[1];
var_dump($first === sprintf('%X', $pid));

echo "== a second process appends\n";
cv_php($root, PAGE, $php);
var_dump(count(cv_trace_messages("$dir/settingsext.log")));

echo "== DebugInclude of another component: the module's lines carry none\n";
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/trace.log", "\"DebugInclude\"=\"threading\""));
cv_php($root, PAGE);
var_dump(file_exists("$root/trace.log"));

echo "== work modes\n";
// Runs a PHP linked into a folder of its own with the given ini text beside it (null:
// no ini) and prints the page's output and the trace lines that minit wrote.
function mode(string $title, ?string $ini, string $folder = ''): void {
    $dir = cv_tempdir('cvexe');
    if ($folder !== '') {
        $dir .= "/$folder";
        mkdir($dir, 0777, true);
    }
    $php = cv_php_in($dir);
    if ($ini !== null) file_put_contents("$dir/php-cvwwwui.ini", $ini);
    $root = cv_root();
    cv_reg($root, cv_trace_reg("$root/trace.log"));
    $lines = [trim(cv_php($root, 'echo "page";', $php))];
    foreach (cv_trace_messages("$root/trace.log") as $m) {
        if (str_starts_with($m, '1 minit()') || str_contains($m, 'Mode')) $lines[] = $m;
    }
    echo "$title: ", implode(' | ', $lines), "\n";
}

mode('3 is Demo Mode', "[General]\nwork_mode_val=3\n");
mode('2 is No Service Check Mode', "[General]\r\nwork_mode_val=2\r\n");
mode('03 is normal', "[General]\nwork_mode_val=03\n");
mode('33333 is cut to 3333: normal', "[General]\nwork_mode_val=33333\n");
mode('no ini file', null);
// The host executable's path is longer than the first 291-character buffer.
mode('a long executable path', "[General]\nwork_mode_val=3\n",
     str_repeat('d', 120) . '/' . str_repeat('e', 120) . '/' . str_repeat('f', 60));
?>
--EXPECTF--
== DebugOutput only: settingsext.log beside the executable, every line
pid %d
   1 minit()
   1 minit() finished
   1 rinit()
   1 $cvma_session4php file: handle = 0, address = 0
   1 IsProductRegisteredInKTR(452) returning FALSE
   1 IsProductRegisteredInKTR(454) returning FALSE
   1 IsProductRegisteredInKTR(155) returning FALSE
   1 IsVEXMAILInstalled(). Putting new value into the cache: 0
   1 CVMA session=0
   3 Failed to read settings, CVMA is not initialized
   1 IsProductRegisteredInKTR(1001) returning FALSE
   1 IsProductRegisteredInKTR(452) returning FALSE
   1 IsProductRegisteredInKTR(1002) returning FALSE
   1 IsProductRegisteredInKTR(454) returning FALSE
   1 IsServiceInstalled(Corvane Wardline) returning FALSE
   1 IsVEXSRVInstalled(). appropriateProductInstalled: 0, wardlineInstalled: 0. Putting new value into the cache: 0
   1 checkInPQH()
   1 oid=1.3.6.1.4.1.8642.42.1.*
   3 Unable to load libcvpmapi.so for VmpCreatePolicyOID
   3 Unable to create oid 1.3.6.1.4.1.8642.42.1.*, error -1066598274
   1 checkInPQH()
   1 oid=1.3.6.1.4.1.8642.11.1.*
   3 Unable to load libcvpmapi.so for VmpCreatePolicyOID
   3 Unable to create oid 1.3.6.1.4.1.8642.11.1.*, error -1066598274
   1 $settings_reloading_4cvwwwui file: handle = %d, address = %x, address content = %d
   1 products_is_pallsrv()
   1 IsProductRegisteredInKTR(1002) returning FALSE
   1 IsProductRegisteredInKTR(454) returning FALSE
   1 IsPALL4Servers(). Putting new value into the cache: 0
   1 rshutdown()
   1 mshutdown()
bool(true)
== a second process appends
int(62)
== DebugInclude of another component: the module's lines carry none
bool(false)
== work modes
3 is Demo Mode: page | 1 minit() | 1 The product is running in Demo Mode | 1 minit() finished
2 is No Service Check Mode: page | 1 minit() | 1 The product is running in No Service Check Mode | 1 minit() finished
03 is normal: page | 1 minit() | 1 minit() finished
33333 is cut to 3333: normal: page | 1 minit() | 1 minit() finished
no ini file: page | 1 minit() | 1 minit() finished
a long executable path: page | 1 minit() | 1 The product is running in Demo Mode | 1 minit() finished
