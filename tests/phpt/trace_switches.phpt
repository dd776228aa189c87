--TEST--
The trace as the registry configures it: default file beside the executable, line format, switches
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';

const PAGE = 'echo "pid ", getmypid(), "\n"; products_is_pallsrv();';

function lines(string $file): void {
    foreach (cv_trace_messages($file) as $m) echo "   $m\n";
}

echo "== DebugOutput only: settingsext.log beside the executable, every line\n";
$dir = cv_tempdir('cvexe');
$php = cv_php_in($dir);
$root = cv_root("[" . CV_TRACE_KEY . "]\n\"DebugOutput\"=dword:00000001\n");
$out = cv_php($root, PAGE, $php);
echo $out;
lines("$dir/settingsext.log");
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

?>
--EXPECTF--
== DebugOutput only: settingsext.log beside the executable, every line
pid %d
   1 minit()
   1 minit() finished
   1 rinit()
   1 products_is_pallsrv()
   1 IsProductRegisteredInKTR(1002) returning FALSE
   1 IsProductRegisteredInKTR(454) returning FALSE
   1 IsPALL4Servers(). Putting new value into the cache: 0
   1 rshutdown()
   1 mshutdown()
bool(true)
== a second process appends
int(18)
== DebugInclude of another component: the module's lines carry none
bool(false)
