--TEST--
Settings functions in Demo Mode: the catalogue is built without the agent; values live in memory, registry values reach the registry
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/trace.log"));
// The key of the registry values that the second product family defines (MTAPort).
cv_reg($root, "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Veltmark\\Corvane\\World Map Support]\n");
$php = cv_php_mode('3');

$common = CV_SHOW . <<<'PHP'
const INT = '1.3.6.1.4.1.8642.20.1.100.50.22';
const STR = '1.3.6.1.4.1.8642.20.1.100.50.20';
const TABLE = '1.3.6.1.4.1.8642.20.1.100.40.10';
const UNKNOWN = '1.3.6.1.4.1.8642.99.99';
PHP;

echo "== first request\n";
echo cv_php($root, $common . <<<'PHP'
show('read policy', settings_read_policy());
show('get_int', settings_get_int(INT, $v), $v);
show('set_int to the value held, changed', settings_set_int(INT, 259200000), settings_are_changed($c), $c);
show('set_int, are_changed', settings_set_int(INT, 5), settings_are_changed($c), $c);
show('  get_int, get_default_int', settings_get_int(INT, $v), $v, settings_get_default_int(INT, $d), $d);
show('set_str; get_str, get_default_str', settings_set_str(STR, "line 1\nline 2 \u{e9}"), settings_get_str(STR, $v), $v, settings_get_default_str(STR, $d), $d);
show('get_reg_int MTAPort', settings_get_reg_int('MTAPort', $v), $v);
show('set_reg_int; get_reg_(default_)int', settings_set_reg_int('MTAPort', 2525), settings_get_reg_int('MTAPort', $v), $v, settings_get_reg_default_int('MTAPort', $d), $d);
show('get_reg_str ServerAddress', settings_get_reg_str('ServerAddress', $v), $v);
show('set_reg_str; get_reg_(default_)str', settings_set_reg_str('ServerAddress', 'db.example'), settings_get_reg_str('ServerAddress', $v), $v, settings_get_reg_default_str('ServerAddress', $d), $d);
show('is_final', settings_is_final(INT, 0), settings_is_final(STR, 1), settings_is_final(TABLE, 1));
show('unknown OID', settings_get_int(UNKNOWN, $v), $v, settings_get_str(UNKNOWN, $s), $s);
$t = [];
show('tables have no type here', settings_get_table(TABLE, $t), settings_get_default_table(TABLE, $t), settings_set_table(TABLE, []), $t);
show('an integer setting as a table', settings_set_table(INT, [[1]]));
show('write_changed, last_error', settings_write_changed(), settings_last_error());
show('  get_int', settings_get_int(INT, $v), $v);
show('  get_reg_int, get_reg_str', settings_get_reg_int('MTAPort', $v), $v, settings_get_reg_str('ServerAddress', $s), $s);
PHP, $php);
echo "== a later process: the registry kept its values, the policy was never touched\n";
echo cv_php($root, $common . <<<'PHP'
show('read policy', settings_read_policy());
show('get_int', settings_get_int(INT, $v), $v);
show('get_reg_int, get_reg_str', settings_get_reg_int('MTAPort', $v), $v, settings_get_reg_str('ServerAddress', $s), $s);
PHP, $php);
echo "-- trace of the table calls, one line per call\n";
foreach (cv_trace_calls("$root/trace.log", '/table\(\)|This seems|Failed to get/') as $call) echo "$call\n";
?>
--EXPECTF--
== first request
read policy                         0
get_int                             259200000 [259200000]
set_int to the value held, changed  0 [0,0]
set_int, are_changed                0 [0,1]
  get_int, get_default_int          5 [5,259200000,259200000]
set_str; get_str, get_default_str   0 [0,"line 1\nline 2 \u00e9",0,".\\quarantine"]
get_reg_int MTAPort                 25 [25]
set_reg_int; get_reg_(default_)int  0 [2525,2525,25,25]
get_reg_str ServerAddress           0 ["localhost"]
set_reg_str; get_reg_(default_)str  0 [0,"db.example",0,"localhost"]
is_final                            0 [0,0]
unknown OID                         0 [0,0,""]
tables have no type here            -1 [-1,-1,[]]
an integer setting as a table       -1
write_changed, last_error           0 [0]
  get_int                           5 [5]
  get_reg_int, get_reg_str          2525 [2525,0,"db.example"]
== a later process: the registry kept its values, the policy was never touched
read policy                         0
get_int                             259200000 [259200000]
get_reg_int, get_reg_str            2525 [2525,0,"db.example"]
-- trace of the table calls, one line per call
settings_get_table() | [3] This seems to be not a table
settings_get_default_table() | [3] This seems to be not a table
settings_set_table() | [3] This seems to be not a table
settings_set_table() | [3] This seems to be not a table