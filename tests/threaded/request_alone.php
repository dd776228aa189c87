<?php
// A request in a process where settingsext is loaded without the host extension: there is
// no agent session, so the catalogue stays empty and the settings read as not found, with
// no warning; the query store works as ever.
require __DIR__ . '/request.inc';
[$plan, $t, $r] = request();
[$oid] = $plan['owned'][$t]['int'];
check(settings_read_policy() === 0, 'settings_read_policy');
check(settings_get_int($oid, $got) === 0 && $got === 0, "get_int $got");
check(settings_set_int($oid, tagged_int($t, $r)) === 0, 'set_int');
check(settings_get_str($plan['owned'][$t]['str'][0], $got) === 0 && $got === '', "get_str $got");
check(settings_are_changed($changed) === 0 && $changed === 0, 'are_changed');
$list = array_map(fn($i) => "t$t.r$r.i$i", range(0, $r % 10));
check(settings_set_query("alone-$t", "r$r", $list) === 0, 'set_query');
$got = [];
check(settings_get_query("alone-$t", "r$r", $got) === 0 && $got === $list, 'get_query');
verdict();
