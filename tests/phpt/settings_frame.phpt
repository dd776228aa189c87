--TEST--
Settings functions without an agent session: unknown OIDs, literals and typed properties as output arguments, arguments that do not parse; the query store: lists filed by tag and id, kept for the process, replaced, dropped by tag; the shell's own trace lines
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));

echo cv_php($root, <<<'PHP'
// A warning shows on the line of the step that gave it.
set_error_handler(function ($level, $message) { echo $level === E_WARNING ? "[$message] " : '?'; return true; });
function show(string $what, $rc, ...$out) {
    echo str_pad($what, 30), $rc, $out ? ' ' . json_encode($out) : '', "\n";
}
$oid = '1.3.6.1.4.1.8642.20.1.100.50.22';
show('read policy', settings_read_policy());
// Without a session every getter answers 0 with a neutral value, whatever the variable held.
foreach (['int' => 0, 'default_int' => 0, 'reg_int' => 0, 'reg_default_int' => 0,
          'str' => '', 'default_str' => '', 'reg_str' => '', 'reg_default_str' => ''] as $kind => $neutral) {
    $v = is_int($neutral) ? 'old' : [1];
    $rc = ("settings_get_$kind")($oid, $v);
    if ($rc !== 0 || $v !== $neutral) show("get_$kind", $rc, $v);
}
show('get_int, undefined variable', settings_get_int($oid, $fresh), $fresh);
show('set_(reg_)int, set_(reg_)str', 0, [settings_set_int($oid, -1), settings_set_reg_int($oid, 1),
                                       settings_set_str($oid, 'x'), settings_set_reg_str($oid, 'x')]);
show('is_final', settings_is_final($oid, 0));
$c = 'old'; show('are_changed; a literal', settings_are_changed($c), $c, settings_are_changed(5));
$t = ['kept']; show('get_(default_)table', settings_get_table($oid, $t), $t, settings_get_default_table($oid, $t), $t);
show('set_table; an empty OID', settings_set_table($oid, [[1]]), settings_set_table('', null));
show('last_error, reset_last_error', settings_last_error(), settings_reset_last_error());
$start = microtime(true);
$rc = settings_write_changed();
show('write_changed waited 2 s', $rc, microtime(true) - $start >= 1.99);
echo "-- literals, and typed properties that refuse the value, as output arguments\n";
show('get_int', settings_get_int($oid, 5));
show('get_default_str', settings_get_default_str($oid, 'x'));
class T { public int $i = 5; public array $a = [1]; }
$t = new T;
show('get_str into an int', settings_get_str($oid, $t->i), $t->i);
show('get_int into an array', settings_get_int($oid, $t->a), $t->a);
show('are_changed into an array', settings_are_changed($t->a), $t->a);
echo "-- arguments that do not parse\n";
show('get_int()', settings_get_int());
show('set_int with "12abc"', settings_set_int($oid, '12abc'));
show('is_final with an array', settings_is_final($oid, []));
show('are_changed()', settings_are_changed());
show('set_table with a string', settings_set_table($oid, 'x'));
show('get_table with a string', settings_get_table($oid, $s));
PHP);
echo "-- the shell's refusals in the trace\n";
foreach (cv_trace_calls("$root/logs/trace.log", '/^\d (settings_|Failed to|Wrong|Parameter)/') as $call) if (str_contains($call, '[3]')) echo "$call\n";

echo "== the query store\n";
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
echo cv_php($root, CV_SHOW . <<<'PHP'
set_error_handler(function ($level, $message) { echo $level === E_WARNING ? "[$message] " : '?'; return true; });
$r = [];
show('empty list stored, read back', settings_set_query('T', 'a', []), settings_get_query('T', 'a', $r), $r);
show('5, "a", true, 2.5, null stored', settings_set_query('T', 'a', [5, 'k' => 'a', true, 2.5, null]));
$r = ['kept'];
show('  appended after what $r holds', settings_get_query('T', 'a', $r), $r);
$again = [];
show('  still stored, read again', settings_get_query('T', 'a', $r = []), settings_get_query('T', 'a', $again), $again);
$a = []; $b = [];
show('second id, first id replaced; a, b', settings_set_query('T', 'b', ["x\0y"]), settings_set_query('T', 'a', ['new']),
     settings_get_query('T', 'a', $a), settings_get_query('T', 'b', $b), $a, array_map('bin2hex', $b));
show('id never stored, other case of tag', settings_get_query('T', 'zz', $r), settings_get_query('t', 'a', $r));
$shared = [1, 2];
$copy = $shared;
settings_set_query('T', 'c', $shared);
show('the caller\'s array is not converted', 0, $shared === [1, 2], $copy === [1, 2]);
show('free T; get, free again under T', settings_free_query('T'), settings_get_query('T', 'b', $r), settings_free_query('T'));
show('  set under T starts empty, old id', settings_set_query('T', 'b', ['only']), settings_get_query('T', 'a', $r));
show('empty tag, id, tag to free', settings_set_query('', 'a', []), settings_get_query('T', '', $r), settings_free_query(''));
show('values not an array', settings_set_query('T', 'a', 'x'));
show('result not an array', settings_get_query('T', 'b', $undefined));
show('missing argument', settings_free_query());
PHP);
echo "-- another process of the same machine starts with an empty store\n";
echo cv_php($root, '$r = []; var_dump(settings_get_query("T", "b", $r));');
echo "-- the shell's refusals in the trace\n";
foreach (array_unique(cv_trace_calls("$root/logs/trace.log", '/query\(\)|tag:|Cannot|Wrong/')) as $call) if (str_contains($call, '[3]')) echo "$call\n";

?>
--EXPECTF--
read policy                   0
get_int, undefined variable   0 [0]
set_(reg_)int, set_(reg_)str  0 [[0,0,0,0]]
is_final                      0
are_changed; a literal        0 [0,0]
get_(default_)table           -1 [["kept"],-1,["kept"]]
set_table; an empty OID       -1 [-1]
last_error, reset_last_error  0 [0]
write_changed waited 2 s      0 [true]
-- literals, and typed properties that refuse the value, as output arguments
[settings_get_int(): Parameter wasn't passed by reference] get_int                       -1
[settings_get_default_str(): Parameter wasn't passed by reference] get_default_str               -1
[settings_get_str(): Cannot assign string to reference held by property T::$i of type int] get_str into an int           -1 [5]
[settings_get_int(): Cannot assign int to reference held by property T::$a of type array] get_int into an array         -1 [[1]]
[settings_are_changed(): Cannot assign int to reference held by property T::$a of type array] are_changed into an array     -1 [[1]]
-- arguments that do not parse
[settings_get_int() expects exactly 2 arguments, 0 given] get_int()                     -1
[settings_set_int(): Argument #2 ($value) must be of type int, string given] set_int with "12abc"          -1
[settings_is_final(): Argument #2 ($isTable) must be of type int, array given] is_final with an array        -1
[settings_are_changed() expects exactly 1 argument, 0 given] are_changed()                 -1
[settings_set_table(): Argument #2 ($rows) must be of type ?array, string given] set_table with a string       -1
[settings_get_table(): Argument #2 ($rows) must be of type array, null given] get_table with a string       -1
-- the shell's refusals in the trace
[3] Failed to read settings, CVMA is not initialized
settings_read_policy() | [3] Failed to read settings, CVMA is not initialized
settings_get_table() | [3] Failed to get object by requested OID
settings_get_default_table() | [3] Failed to get object by requested OID
settings_set_table() | [3] Failed to get object by requested OID
settings_set_table() | [3] Wrong parameter
settings_get_int() | [3] Parameter wasn't passed by reference
settings_get_default_str() | [3] Parameter wasn't passed by reference
settings_are_changed() | [3] Failed to parse parameters
== the query store
empty list stored, read back        0 [0,[]]
5, "a", true, 2.5, null stored      0
  appended after what $r holds      0 [["kept","5","a","1","2.5",""]]
  still stored, read again          0 [0,["5","a","1","2.5",""]]
second id, first id replaced; a, b  0 [0,0,0,["new"],["780079"]]
id never stored, other case of tag  -1 [-1]
the caller's array is not converted 0 [true,true]
free T; get, free again under T     0 [-1,-1]
  set under T starts empty, old id  0 [-1]
empty tag, id, tag to free          -1 [-1,-1]
[settings_set_query(): Argument #3 ($values) must be of type array, string given] values not an array                 -1
[settings_get_query(): Argument #3 ($result) must be of type array, null given] result not an array                 -1
[settings_free_query() expects exactly 1 argument, 0 given] missing argument                    -1
-- another process of the same machine starts with an empty store
int(-1)
-- the shell's refusals in the trace
settings_get_query() | tag: 'T', id:'zz' | [3] Cannot find the id
settings_get_query() | tag: 't', id:'a' | [3] Cannot find the tag
settings_get_query() | tag: 'T', id:'b' | [3] Cannot find the tag
settings_free_query() | tag: 'T' | [3] Cannot find the tag
settings_get_query() | tag: 'T', id:'a' | [3] Cannot find the id
settings_set_query() | [3] Wrong parameter
settings_get_query() | [3] Wrong parameter
settings_free_query() | [3] Wrong parameter
