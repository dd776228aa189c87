<?php
// A settings page's request: product checks, defaults, the settings this thread owns (an
// integer, a string, a table) set and read back, shared registry settings, final settings,
// the setting that cvmactl changes during the run, the query store; every tenth request
// rebuilds the catalogue, every fiftieth commits (request.inc: every()).
require __DIR__ . '/request.inc';
[$plan, $t, $r] = request();
$threads = (int)$_SERVER['CVHOST_THREADS'];
$mine = $plan['owned'][$t];

check(products_is_vexmail_installed() === $plan['products'][0]
      && products_is_vexsrv_installed() === $plan['products'][1]
      && products_is_pallsrv() === $plan['products'][2], 'product checks');

read_policy($r);

// Defaults come from the definitions and never change.
check(settings_get_default_int($mine['int'][0], $int) === $int && $int === $mine['int'][1], "default int $int");
check(settings_get_default_str($mine['str'][0], $str) === 0 && $str === $mine['str'][1], 'default string');
$rows = [];
check(settings_get_default_table($mine['table'][0], $rows) === 0 && $rows === $mine['table'][2], 'default table');
check(settings_get_reg_default_int('ScanTimeout', $int) === $int && $int === 180, 'registry default int');
check(settings_get_reg_default_str('MTAAddress', $str) === 0 && $str === '127.0.0.1', 'registry default string');

// Final settings: nobody writes them.
foreach ($plan['final'] as [$oid, $seed]) {
    check(settings_is_final($oid, 0) === 1, "$oid final");
    $got = null;
    $rc = is_int($seed) ? settings_get_int($oid, $got) : settings_get_str($oid, $got);
    check($rc === (is_int($seed) ? $seed : 0) && $got === $seed, "$oid keeps its seed");
}

// This thread's integer, string and table.
[$oid, $seed] = $mine['int'];
$v = tagged_int($t, $r);
check(settings_is_final($oid, 0) === 0, 'own int not final');
check(settings_set_int($oid, $v) === 0, 'set_int');
check(settings_get_int($oid, $got) === $got && owned($got, $v, $seed, $t, $r), "get_int $got after $v");

[$oid, $seed] = $mine['str'];
$s = tagged_str($t, $r);
check(settings_set_str($oid, $s) === 0, 'set_str');
check(settings_get_str($oid, $got) === 0 && owned($got, $s, $seed, $t, $r), "get_str $got after $s");

[$oid, $columns, $seed] = $mine['table'];
$row = array_map(fn($c) => $c === 8 ? tagged_int($t, $r) : tagged_str($t, $r), $columns);
check(settings_set_table($oid, [$row, $row]) === 0, 'set_table');
$rows = [];
check(settings_get_table($oid, $rows) === 0, 'get_table');
// Integer cells come back as floats (the columns are unsigned).
$rows = array_map(fn($cells) => array_map(fn($c) => is_float($c) ? (int)$c : $c, $cells), $rows);
if ($rows !== $seed && count($rows) === 2) {
    $tags = [];
    foreach ($rows as $cells) foreach ($cells as $cell) $tags[] = tag_of($cell);
    $same = count(array_unique(array_map('json_encode', $tags))) === 1;
    check($same && $tags[0] !== null && $tags[0][0] === $t && $tags[0][1] <= $r, 'get_table rows ' . json_encode($rows));
} else {
    check($rows === $seed, 'get_table rows ' . json_encode($rows));
}

// Registry settings are few, so every thread writes the same ones.
check(settings_set_reg_int('ScanTimeout', tagged_int($t, $r)) === 0, 'set_reg_int');
check(settings_get_reg_int('ScanTimeout', $got) === $got && shared($got, 180, $threads), "get_reg_int $got");
check(settings_set_reg_str('MTAAddress', tagged_str($t, $r)) === 0, 'set_reg_str');
check(settings_get_reg_str('MTAAddress', $got) === 0 && shared($got, '127.0.0.1', $threads), "get_reg_str $got");
check(settings_set_reg_str('UserHldPassword', "pw-" . tagged_str($t, $r)) === 0, 'set enciphered');
check(settings_get_reg_str('UserHldPassword', $got) === 0
      && ($got === '' || shared(substr($got, 3), null, $threads)), "get enciphered $got");

check(settings_are_changed($changed) === 0 && ($changed === 0 || $changed === 1), 'are_changed');

// The setting cvmactl changes while the run goes on: its seed or a value it was given.
[$oid, $seed] = $plan['reload'];
check(settings_get_int($oid, $got) === $got && ($got === $seed || ($got >= 1 && $got < 1000000)), "reloaded $got");
note('reload', $got);

// The query store: this thread's lists, kept between its requests, and one shared list.
$list = fn(int $n) => array_map(fn($i) => "t$t.r$n.i$i.ü", range(0, $n % 30));
$tag = "q-t$t";
check(settings_set_query($tag, "r$r", $list($r)) === 0, 'set_query');
$got = [];
check(settings_get_query($tag, "r$r", $got) === 0 && $got === $list($r), 'get_query');
if ($r >= 2) {
    // This script's previous request of the thread; its lists went when it freed them.
    $got = [];
    $rc = settings_get_query($tag, 'r' . ($r - 2), $got);
    check(every($r - 2, 40, 38) ? $rc === -1 : $rc === 0 && $got === $list($r - 2), "previous request's list ($rc)");
}
$token = "t$t.r$r";
check(settings_set_query('q-shared', 'list', array_fill(0, ($t * 7 + $r) % 25 + 1, $token)) === 0, 'set shared');
$got = [];
check(settings_get_query('q-shared', 'list', $got) === 0 && $got
      && preg_match('/^t(\d+)\.r(\d+)$/', $got[0], $m) && count(array_unique($got)) === 1
      && count($got) === ($m[1] * 7 + $m[2]) % 25 + 1, 'shared list ' . json_encode($got));
if (every($r, 40, 38)) {
    check(settings_free_query($tag) === 0, 'free_query');
    check(settings_get_query($tag, "r$r", $got) === -1, 'freed');
}

if (every($r, 50, 24)) {
    check(settings_write_changed() === 0 && settings_last_error() === 0, 'commit');
    note('commit', tagged_int($t, $r));
}
check(settings_reset_last_error() === 0 && settings_last_error() === 0, 'last error');
verdict();
