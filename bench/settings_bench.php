<?php
// Benchmark of the settings functions, each figure printed with its ratio to a floor
// measured in the same run. Run by hand (figures, not a test):
//
//   php -n -d extension=build/lib/cvwwwui.so -d extension=build/lib/settingsext.so \
//       -d extension=ffi.so -d ffi.enable=1 [-d extension=apcu.so -d apc.enable_cli=1] \
//       bench/settings_bench.php [ROUNDS]
//
// with build/bin/cvmad running on $CORVANE_ROOT and its policy seeded as scripts/run.sh does
// (the list of settings is read from $CORVANE_ROOT/policy-seed.jsonl).
//
// 1. settings_read_policy (rebuild of the whole catalogue; every policy item reads its value
//    from the agent) against items x the smallest agent round trip. The round trip is made
//    from this process, on the module's own agent session, through the client library the
//    module loaded (found in /proc/self/maps), with PHP's FFI (-d extension=ffi.so
//    -d ffi.enable=1): the session handle is read the way the module reads it, from the cell
//    whose address the host publishes in the "$cvma_session4php" block, and the smallest
//    message (an unknown one, answered with a status only) goes to the policy manager. So
//    the floor uses the same connection and the same agent thread as the rebuild. It is
//    that loop's time less the same loop without the send, so the cost of calling through
//    FFI is not counted in it. Floor and rebuild alternate within every round, so both see
//    the machine in the same state. Without FFI or the host extension the ratio is not
//    printed.
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

// A closure making $calls smallest round trips (or, with $send false, the same calls
// without the send), or null when FFI or the client library is not at hand.
function roundTripLoop(): ?Closure {
    if (!class_exists('FFI')) {
        echo "  (FFI not loaded: -d extension=ffi.so -d ffi.enable=1)\n";
        return null;
    }
    $libraries = [];
    foreach (file('/proc/self/maps', FILE_IGNORE_NEW_LINES) as $mapping) {
        if (preg_match('#(/\S*/(libcvma32|libcvpmapi)\.so)$#', $mapping, $m)) $libraries[$m[2]] = $m[1];
    }
    if (count($libraries) !== 2) {
        echo "  (the agent's libraries are not loaded in this process)\n";
        return null;
    }
    $client = FFI::cdef('
        uint32_t CVMACreateMessage(uint32_t message_id);
        int32_t CVMADeleteMessage(uint32_t message);
        uint32_t CVMASendMessage(uint32_t session, uint32_t destination, uint32_t message,
                                 uint32_t timeout_ms);', $libraries['libcvma32']);
    $policy = FFI::cdef('int32_t VmpCreatePolicyOID(const char* oid, uint32_t* handle);',
                        $libraries['libcvpmapi']);
    // The session block holds the address of the host's session cell; the block is found
    // through the process's table of blocks, the copy the extensions loaded.
    $maps = file_get_contents('/proc/self/maps');
    $cell = null;
    if (preg_match('#\S*/libcvblocks\.so$#m', $maps, $lib)) {
        $blocks = FFI::cdef('uint32_t CvOpenBlock(const char* name, uint32_t* error);
            void* CvMapBlockView(uint32_t handle, bool writable, size_t* size, uint32_t* error);', $lib[0]);
        $error = $blocks->new('uint32_t');
        $handle = $blocks->CvOpenBlock('$cvma_session4php', FFI::addr($error));
        $view = $handle !== 0 ? $blocks->CvMapBlockView($handle, false, null, FFI::addr($error)) : null;
        if ($view !== null && !FFI::isNull($view)) $cell = $blocks->cast('uint32_t**', $view)[0];
    }
    $destination = $policy->new('uint32_t');
    if ($cell === null || FFI::isNull($cell)
        || $policy->VmpCreatePolicyOID('1.3.6.1.4.1.8642.11.1.15', FFI::addr($destination)) !== 0) {
        echo "  (no agent session in this process: is the host extension loaded?)\n";
        return null;
    }
    $destination = $destination->cdata;
    $unknownMessage = 0x24030000;  // answered with a 4-byte status only
    $delivered = 0x4000000;
    return function (int $calls, bool $send) use ($client, $cell, $destination, $unknownMessage, $delivered) {
        $session = $cell[0];
        for ($i = 0; $i < $calls; $i++) {
            $message = $client->CVMACreateMessage($unknownMessage);
            if ($send && $client->CVMASendMessage($session, $destination, $message, 30000) !== $delivered) {
                throw new RuntimeException('round trip failed');
            }
            $client->CVMADeleteMessage($message);
        }
    };
}

if (!missing('settings_read_policy')) {
    settings_read_policy();  // loads the agent's libraries, warms up
    $loop = roundTripLoop();
    $floors = $rebuilds = [];
    if ($loop !== null) $loop(200, true);
    for ($round = 0; $round < $rounds; $round++) {
        if ($loop !== null) {
            $start = hrtime(true);
            $loop($policyItems, true);
            $withSend = hrtime(true) - $start;
            $start = hrtime(true);
            $loop($policyItems, false);
            $floors[] = ($withSend - (hrtime(true) - $start)) / 1000.0 / max(1, $policyItems);
        }
        $start = hrtime(true);
        settings_read_policy();
        $rebuilds[] = (hrtime(true) - $start) / 1000.0;
    }
    $roundTrip = $floors ? median($floors) : null;
    $us = median($rebuilds);
    $floor = $roundTrip !== null && $policyItems > 0 ? $roundTrip * $policyItems : null;
    line('floor: smallest agent round trip', $roundTrip, null);
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
