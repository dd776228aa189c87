--TEST--
Settings functions against the agent: read, set, commit and re-read integers, strings and tables as PHP values, with the warnings for cells and integers that do not fit; a final setting refuses the commit; a traced run that sets both enciphered settings writes neither clear text to the log
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
$p = '1.3.6.1.4.1.8642.';
cv_policy($root, [
    ['oid' => "{$p}20.1.100.50.22", 'int' => 100],
    ['oid' => "{$p}20.1.100.50.23", 'int' => 7, 'restriction' => 2],
    ['oid' => "{$p}20.1.100.50.20", 'string' => "q\nr"],
    ['oid' => "{$p}20.1.100.50.25", 'columns' => [8, 4], 'rows' => [[42, 'name'], [-1, 'x']]],
    ['oid' => "{$p}20.1.300.10.10.20", 'columns' => [8], 'rows' => [[1]]],
    ['oid' => "{$p}20.1.300.10.10.30", 'columns' => [4], 'rows' => []],
    ['oid' => "{$p}20.1.300.10.10.50", 'columns' => [8, 4], 'rows' => [[1, 'a']], 'restriction' => 0x10],
    ['oid' => "{$p}20.1.100.40.10", 'columns' => [8, 8, 4, 4, 4], 'rows' => []],
]);
// The host extension opens the agent session and publishes it; it is loaded first. The
// No Service Check Mode defines the settings although no product is installed here.
$php = cv_php_mode('2');
$common = CV_SHOW . <<<'PHP'
function table(string $oid, bool $defaults = false) {
    $rows = [];
    $rc = $defaults ? settings_get_default_table($oid, $rows) : settings_get_table($oid, $rows);
    return $rc === 0 ? $rows : $rc;
}
function changed() { settings_are_changed($c); return $c; }
const INT = '1.3.6.1.4.1.8642.20.1.100.50.22';
const FINAL_INT = '1.3.6.1.4.1.8642.20.1.100.50.23';
const STR = '1.3.6.1.4.1.8642.20.1.100.50.20';
const IS = '1.3.6.1.4.1.8642.20.1.100.50.25';
const I = '1.3.6.1.4.1.8642.20.1.300.10.10.20';
const S = '1.3.6.1.4.1.8642.20.1.300.10.10.30';
const FINAL_TABLE = '1.3.6.1.4.1.8642.20.1.300.10.10.50';
const DEFAULTS = '1.3.6.1.4.1.8642.20.1.100.40.10';

PHP;

echo "== first request\n";
echo cv_php($root, $common . <<<'PHP'
show('read policy', settings_read_policy());
show('get_int, get_str', settings_get_int(INT, $v), $v, settings_get_str(STR, $s), $s);
show('is_final scalar, flag 0 and 2', settings_is_final(FINAL_INT, 0), settings_is_final(FINAL_INT, 2), settings_is_final(INT, 0));
show('is_final table, flag 1 and 2', settings_is_final(FINAL_TABLE, 1), settings_is_final(FINAL_TABLE, 2), settings_is_final(IS, 1));
show('is_final scalar, flag 1', settings_is_final(FINAL_INT, 1), settings_is_final(INT, 1));
$rows = ['kept'];
show('get_table: unsigned; appended', 0, table(IS), settings_get_table(I, $rows), $rows);
show('default rows: integers; none', 0, array_slice(table(DEFAULTS, true), 0, 2), table(IS, true));
show('the same rows again', settings_set_table(IS, [[42, 'name'], ['k' => 4294967295.0, 'x']]), changed());
show('empty array, null on an empty table', settings_set_table(S, []), settings_set_table(S, null), changed());
show('wrong row size; a scalar row of two', settings_set_table(IS, [[42, 'name'], [1, 2, 3]]), table(IS), settings_set_table(IS, ['x']), changed());
echo "-- refused with a warning: integer cells of other types, integers beyond 32 bits\n";
set_error_handler(function ($level, $message) { echo $level === E_WARNING ? "  $message\n" : "?\n"; return true; });
foreach ([null, false, [], new stdClass, fn() => 1, 2**32 + 3] as $cell) $rc[] = settings_set_table(IS, [[1, 'a'], [$cell, 'b']]);
$rc[] = settings_set_table(I, [7, -2**31 - 1]);
$rc[] = settings_set_int(INT, 2**32 + 3);
$rc[] = settings_set_reg_int(INT, -2**31 - 1);
restore_error_handler();
show('  nothing changed', 0, $rc, table(IS), table(I), settings_get_int(INT, $v), changed());
show('strings, floats, other types', settings_set_table(IS, [['  -42abc', 'name'], [3.9, 'b'], [-3.9, 5]]), changed(), table(IS));
show('scalar rows: integer, string column', settings_set_table(I, ['7', 'x', 12, ' 99999999999']), table(I), settings_set_table(S, ['a', 5]), table(S));
show('set_int, set_str, final set_int', settings_set_int(INT, 200), settings_set_str(STR, "new\nline"), settings_set_int(FINAL_INT, 8));
show('commit, last_error, changed', settings_write_changed(), settings_last_error(), changed());
show('  re-read ints and string', settings_get_int(INT, $v), $v, settings_get_int(FINAL_INT, $f), $f, settings_get_str(STR, $s), $s);
show('  re-read tables', 0, table(IS), table(I), table(S));
show('reset_last_error', settings_reset_last_error(), settings_last_error());
show('null on a table with rows', settings_set_table(S, null), table(S), changed());
PHP, $php, true);
echo "== a later process reads what the commit wrote\n";
echo cv_php($root, $common . <<<'PHP'
show('read policy, changed; ints, string', settings_read_policy(), changed(), settings_get_int(INT, $v), $v, settings_get_int(FINAL_INT, $f), $f, settings_get_str(STR, $s), $s);
show('tables', 0, table(IS), table(I), table(S));
show('empty array on a table with rows', settings_set_table(I, []), table(I), changed());
PHP, $php, true);

echo "== a traced run that sets both enciphered settings: the lines keep their shape, the value masked\n";
const POLICY_SECRET = '1.3.6.1.4.1.8642.18.1.38.160';
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
cv_agent($root);
cv_policy($root, [['oid' => POLICY_SECRET, 'string' => '']]);
echo cv_php($root, <<<'PHP'
settings_read_policy();
echo 'set: ', settings_set_str('1.3.6.1.4.1.8642.18.1.38.160', 'Policy-Clear-Text'), ' ',
     settings_set_reg_str('UserHldPassword', 'Registry-Clear-Text'), ', commit: ', settings_write_changed(),
     ', last error: ', settings_last_error(), "\n";
PHP, host: true);
$log = file_get_contents("$root/logs/trace.log");
echo 'clear text in the log: ', preg_match_all('/Clear-Text/', $log), "\n";
foreach (cv_trace_messages("$root/logs/trace.log") as $m) {
    if (str_contains($m, '********')) echo $m, "\n";
}
echo 'policy holds: ', preg_replace('/0x[0-9A-F]{32,}/', '<cipher>', cv_ctl($root, 'get', POLICY_SECRET));
?>
--EXPECTF--
== first request
read policy                         0
get_int, get_str                    100 [100,0,"q\r\nr"]
is_final scalar, flag 0 and 2       1 [1,0]
is_final table, flag 1 and 2        1 [0,0]
is_final scalar, flag 1             1 [0]
get_table: unsigned; appended       0 [[[42.0,"name"],[4294967295.0,"x"]],0,["kept",[1.0]]]
default rows: integers; none        0 [[[1,1,"All Files","*.*","Default list for all files."],[1,1,"Disallowed Files","*.BAT\n*.CMD\n*.COM\n*.EXE\n*.HTA\n*.JS\n*.JSE\n*.PIF\n*.SCR\n*.SHS\n*.VBE\n*.VBS\n*.{*","Default list of files to be stripped."]],[]]
the same rows again                 0 [0]
empty array, null on an empty table 0 [0,0]
wrong row size; a scalar row of two -1 [[[42.0,"name"],[4294967295.0,"x"]],-1,0]
-- refused with a warning: integer cells of other types, integers beyond 32 bits
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, null given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, bool given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, array given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, stdClass given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be of type int|float|string, Closure given
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be between -2147483648 and 2147483647
  settings_set_table(): Argument #2 ($rows) row 1, column 0 must be between -2147483648 and 2147483647
  settings_set_int(): Argument #2 ($value) must be between -2147483648 and 2147483647
  settings_set_reg_int(): Argument #2 ($value) must be between -2147483648 and 2147483647
  nothing changed                   0 [[-1,-1,-1,-1,-1,-1,-1,-1,-1],[[42.0,"name"],[4294967295.0,"x"]],[[1.0]],100,0]
strings, floats, other types        0 [1,[[4294967254.0,"name"],[3.0,"b"],[4294967293.0,"5"]]]
scalar rows: integer, string column 0 [[[7.0],[0.0],[12.0],[2147483647.0]],0,[["a"],["5"]]]
set_int, set_str, final set_int     0 [0,0]
commit, last_error, changed         0 [12,0]
  re-read ints and string           200 [200,7,7,0,"new\r\nline"]
  re-read tables                    0 [[[4294967254.0,"name"],[3.0,"b"],[4294967293.0,"5"]],[[7.0],[0.0],[12.0],[2147483647.0]],[["a"],["5"]]]
reset_last_error                    0 [0]
null on a table with rows           0 [[],1]
== a later process reads what the commit wrote
read policy, changed; ints, string  0 [0,200,200,7,7,0,"new\r\nline"]
tables                              0 [[[4294967254.0,"name"],[3.0,"b"],[4294967293.0,"5"]],[[7.0],[0.0],[12.0],[2147483647.0]],[["a"],["5"]]]
empty array on a table with rows    0 [[],1]
== a traced run that sets both enciphered settings: the lines keep their shape, the value masked
set: 0 0, commit: 0, last error: 0
clear text in the log: 0
1 buf = '********', rc = 0
1 OID: 1.3.6.1.4.1.8642.18.1.38.160 (********)
1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
1 Set policy var 1.3.6.1.4.1.8642.18.1.38.160 to ********
1 Unicode string: '********'
1 Set registry var 'UserHldPassword' to '********'
1 Unicode string: '********'
1 buf = '********', rc = 0
1 OID: 1.3.6.1.4.1.8642.18.1.38.160 (********)
1 UTF8 string: '********'
policy holds: {"oid":"1.3.6.1.4.1.8642.18.1.38.160","string":"<cipher>"}
