--TEST--
Query store: lists filed by tag and id, kept for the process, replaced, dropped by tag
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/trace.log"));

echo cv_php($root, CV_SHOW . <<<'PHP'
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
echo "-- trace, one line per call, repeats left out\n";
foreach (array_unique(cv_trace_calls("$root/trace.log", '/query\(\)|tag:|zend_hash|Cannot|Wrong/')) as $call) echo "$call\n";
?>
--EXPECTF--
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

Warning: settings_set_query(): Argument #3 ($values) must be of type array, string given in %s on line %d
values not an array                 -1

Warning: settings_get_query(): Argument #3 ($result) must be of type array, null given in %s on line %d
result not an array                 -1

Warning: settings_free_query() expects exactly 1 argument, 0 given in %s on line %d
missing argument                    -1
-- another process of the same machine starts with an empty store
int(-1)
-- trace, one line per call, repeats left out
settings_set_query() | tag: 'T', id:'a' | zend_hash_num_elements, rows: 0
settings_get_query() | tag: 'T', id:'a'
settings_set_query() | tag: 'T', id:'a' | zend_hash_num_elements, rows: 5
settings_set_query() | tag: 'T', id:'b' | zend_hash_num_elements, rows: 1
settings_set_query() | tag: 'T', id:'a' | zend_hash_num_elements, rows: 1
settings_get_query() | tag: 'T', id:'b'
settings_get_query() | tag: 'T', id:'zz' | [3] Cannot find the id
settings_get_query() | tag: 't', id:'a' | [3] Cannot find the tag
settings_set_query() | tag: 'T', id:'c' | zend_hash_num_elements, rows: 2
settings_free_query() | tag: 'T'
settings_get_query() | tag: 'T', id:'b' | [3] Cannot find the tag
settings_free_query() | tag: 'T' | [3] Cannot find the tag
settings_get_query() | tag: 'T', id:'a' | [3] Cannot find the id
settings_set_query() | [3] Wrong parameter
settings_get_query() | [3] Wrong parameter
settings_free_query() | [3] Wrong parameter
settings_set_query()
settings_get_query()
settings_free_query()
