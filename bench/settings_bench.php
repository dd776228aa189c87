<?php
// Benchmark of the settings functions, each figure printed with its ratio to a floor
// measured in the same run. Run by hand (figures, not a test):
//
//   php -n -d extension=build/lib/cvwwwui.so -d extension=build/lib/settingsext.so \
//       [-d extension=apcu.so -d apc.enable_cli=1] bench/settings_bench.php [ROUNDS]
//
// with build/bin/cvmad running on $CORVANE_ROOT and its policy seeded as scripts/run.sh does
// (the list of settings is read from $CORVANE_ROOT/policy-seed.jsonl).
//
// 1. settings_read_policy (rebuild of the whole catalogue; every policy item reads its value
//    from the agent) against items x the smallest agent round trip. The floor is the
//    "floor: smallest message round trip" line of build/bin/agent_round_trip_bench, run
//    from here; when that program is missing the ratio is not printed.
// 2. settings_get_int over every integer setting of the list against as many calls of
//    settype() on a tiny integer: a built-in function with a by-reference argument, which
//    pays the same call and reference frame and does almost nothing else.
// 3. settings_get_query of a list of 100 strings against apcu_fetch of the same list.
//    APCu comes with Debian's php8.2-apcu package (apt-get install php8.2-apcu); load it with
//    -d extension=apcu.so -d apc.enable_cli=1. Without it the floor is not printed.
//
// Every figure is the median over ROUNDS rounds (default 15). A function the extension does
// not provide is reported as missing and its figure skipped.
declare(strict_types=1);

$rounds = max(1, (int)($argv[1] ?? 15));
$root = getenv('CORVANE_ROOT') ?: '/var/lib/corvane';
$here = dirname(__DIR__);

function median(array $samples): float {
    sort($samples);
    return $samples[intdiv(count($samples), 2)];
}

// Median over the rounds of one run of $work, in microseconds.
function measure(int $rounds, callable $work): float {
    $work();  // warm-up
    $samples = [];
    for ($i = 0; $i < $rounds; $i++) {
        $start = hrtime(true);
        $work();
        $samples[] = (hrtime(true) - $start) / 1000.0;
    }
    return median($samples);
}

function line(string $label, ?float $us, ?float $floor, string $floorLabel = 'floor'): void {
    if ($us === null) {
        printf("%-44s %12s\n", $label, 'n/a');
        return;
    }
    $ratio = $floor !== null && $floor > 0 ? sprintf('%8.2f x %s', $us / $floor, $floorLabel) : '';
    printf("%-44s %12.2f us %s\n", $label, $us, $ratio);
}

function missing(string ...$functions): bool {
    $gone = array_filter($functions, fn($f) => !function_exists($f));
    if ($gone) printf("  (missing: %s)\n", implode(', ', $gone));
    return (bool)$gone;
}

// The settings list: OIDs by kind.
$ints = [];
$policyItems = 0;
$list = $root . '/policy-seed.jsonl';
if (is_readable($list)) {
    foreach (file($list, FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES) as $text) {
        if ($text[0] === '#') continue;
        $item = json_decode($text, true);
        if (!is_array($item) || !isset($item['oid'])) continue;
        $policyItems++;
        if (array_key_exists('int', $item)) $ints[] = $item['oid'];
    }
} else {
    printf("no settings list at %s (scripts/run.sh writes it)\n", $list);
}
printf("%d policy settings, %d of them integers; medians of %d rounds\n\n",
       $policyItems, count($ints), $rounds);

// 1. The rebuild against items x the smallest round trip.
echo "settings_read_policy\n";
$roundTrip = null;
$agentBench = $here . '/build/bin/agent_round_trip_bench';
if (is_executable($agentBench)) {
    $output = shell_exec(escapeshellarg($agentBench) . ' 2>/dev/null') ?? '';
    if (preg_match('/floor: smallest message round trip\s+([0-9.]+)\s*us/', $output, $m)) {
        $roundTrip = (float)$m[1];
    }
}
line('floor: smallest agent round trip', $roundTrip, null);
if (!missing('settings_read_policy')) {
    $us = measure($rounds, function () { settings_read_policy(); });
    $floor = $roundTrip !== null && $policyItems > 0 ? $roundTrip * $policyItems : null;
    line('floor x items', $floor, null);
    line("settings_read_policy ($policyItems items)", $us, $floor, '(items x floor)');
}
echo "\n";

// 2. The integer getter over the whole list against a by-reference built-in.
echo "settings_get_int\n";
$count = count($ints);
$settypeUs = measure($rounds, function () use ($count) {
    for ($i = 0; $i < $count; $i++) {
        $value = 1;
        settype($value, 'int');
    }
});
line("floor: $count x settype(\$value, 'int')", $settypeUs, null);
if (!missing('settings_get_int') && $count > 0) {
    if (function_exists('settings_read_policy')) settings_read_policy();
    $us = measure($rounds, function () use ($ints) {
        foreach ($ints as $oid) {
            $value = 0;
            settings_get_int($oid, $value);
        }
    });
    line("$count x settings_get_int", $us, $settypeUs);
}
echo "\n";

// 3. The query store against APCu, one list of 100 strings.
echo "settings_get_query (100 strings)\n";
$strings = [];
for ($i = 0; $i < 100; $i++) $strings[] = sprintf('mailbox-%03d@example.com', $i);
$apcuUs = null;
if (function_exists('apcu_store') && function_exists('apcu_enabled') && apcu_enabled()) {
    apcu_store('settings-bench', $strings);
    $apcuUs = measure($rounds, function () {
        for ($i = 0; $i < 100; $i++) apcu_fetch('settings-bench');
    }) / 100;
} else {
    echo "  (APCu not loaded: apt-get install php8.2-apcu; -d extension=apcu.so -d apc.enable_cli=1)\n";
}
line('floor: apcu_fetch of the list', $apcuUs, null);
if (!missing('settings_set_query', 'settings_get_query', 'settings_free_query')) {
    settings_set_query('settings-bench', 'list', $strings);
    $us = measure($rounds, function () {
        for ($i = 0; $i < 100; $i++) {
            $result = [];
            settings_get_query('settings-bench', 'list', $result);
        }
    }) / 100;
    line('settings_get_query of the list', $us, $apcuUs);
    settings_free_query('settings-bench');
}
