<?php
// The sample administration console: the settings of this machine by group, with their
// values, defaults and final marks, edit forms, the commit, and the installed product checks.
//
// The list of settings comes from $CORVANE_ROOT/policy-seed.jsonl (written by scripts/run.sh
// with build/bin/settings_policy_seed): one line per policy setting with its OID and kind.
// Values, defaults and final marks come from the extension. Functions the extension does not
// (yet) provide are skipped: the page renders with whatever exists.
//
// Changes are made in memory (the setters) and reach the policy and the registry only at
// "Commit". Uncommitted changes live in the PHP process, so serve this page from one process.
declare(strict_types=1);

$name = 'Corvane Tidewall extension';
$loaded = extension_loaded($name);

function h(string $text): string { return htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8'); }
function fx(string $function): bool { return function_exists($function); }

// PHP warnings of the calls are shown on the page instead of in the middle of the HTML.
$notes = [];
set_error_handler(function (int $level, string $message) use (&$notes): bool {
    $notes[] = $message;
    return true;
});

const PREFIX = '1.3.6.1.4.1.8642.';
// The groups, by OID prefix below the enterprise arc.
$groups = [
    'vxm' => ['Mail-server product', ['20.1.']],
    'vxs' => ['Server product family', ['18.1.']],
    'common' => ['Common', ['42.1.', '11.1.']],
    'server' => ['Server product', ['12.1.', '38.1.', '38.2.', '53.1.', '53.4.', '61.1.', '61.4.', '57.1.']],
    'registry' => ['Registry settings', []],
];
// Registry settings: value name => kind.
$registry = [
    'OpenRetryDelay' => 'int', 'SendRetries' => 'int', 'SendRetryInterval' => 'int',
    'ScanningThreads' => 'int', 'ScanTimeout' => 'int',
    'AdditionalRcpts' => 'string', 'MTAAddress' => 'string', 'MTAPort' => 'int',
    'DatabaseName' => 'string', 'ServerAddress' => 'string', 'UserHldName' => 'string',
    'UserHldPassword' => 'secret', 'SqlProvider' => 'string',
];
// Enciphered settings: never shown; an empty field leaves them as they are.
$secrets = [PREFIX . '18.1.38.160' => true, 'UserHldPassword' => true];

// ---------------------------------------------------------------------------------------
// The settings list.

$root = getenv('CORVANE_ROOT') ?: '/var/lib/corvane';
$listFile = $root . '/policy-seed.jsonl';
$settings = [];  // oid => ['kind' => int|string|table, 'columns' => [...]]
if (is_readable($listFile)) {
    foreach (file($listFile, FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES) as $line) {
        if ($line[0] === '#') continue;
        $item = json_decode($line, true);
        if (!is_array($item) || !isset($item['oid'])) continue;
        if (array_key_exists('int', $item)) {
            $settings[$item['oid']] = ['kind' => 'int'];
        } elseif (array_key_exists('string', $item)) {
            $settings[$item['oid']] = ['kind' => isset($secrets[$item['oid']]) ? 'secret' : 'string'];
        } elseif (isset($item['columns'])) {
            $settings[$item['oid']] = ['kind' => 'table', 'columns' => $item['columns']];
        }
    }
}

function group_of(string $oid, array $groups): ?string {
    if (!str_starts_with($oid, PREFIX)) return null;
    $rest = substr($oid, strlen(PREFIX));
    foreach ($groups as $key => [, $prefixes]) {
        foreach ($prefixes as $prefix) {
            if (str_starts_with($rest, $prefix)) return $key;
        }
    }
    return null;
}

// ---------------------------------------------------------------------------------------
// Guarded access to the extension's functions. Getters answer null when the function is
// missing or failed (the output argument then keeps its old value, null).

function get_value(string $function, string $oid): mixed {
    if (!fx($function)) return null;
    $value = null;
    $function($oid, $value);
    return $value;
}

function get_rows(string $function, string $oid): ?array {
    if (!fx($function)) return null;
    $rows = [];
    return $function($oid, $rows) === 0 ? $rows : null;
}

function is_final(string $oid, bool $table): ?bool {
    if (!fx('settings_is_final')) return null;
    $answer = settings_is_final($oid, $table ? 1 : 0);
    return $answer === -1 ? null : $answer === 1;
}

// Integer cells of the current rows arrive as floats holding the unsigned value.
function cell_text(mixed $cell): string {
    if (is_float($cell)) {
        $cell = $cell > 2147483647 ? (int)($cell - 4294967296) : (int)$cell;
    }
    return (string)$cell;
}

function rows_to_csv(?array $rows): string {
    if ($rows === null) return '';
    $stream = fopen('php://memory', 'w+');
    foreach ($rows as $row) {
        fputcsv($stream, array_map('cell_text', is_array($row) ? $row : [$row]), ',', '"', '');
    }
    rewind($stream);
    $text = stream_get_contents($stream);
    fclose($stream);
    return $text;
}

function csv_to_rows(string $text): array {
    $stream = fopen('php://memory', 'w+');
    fwrite($stream, str_replace("\r\n", "\n", $text));
    rewind($stream);
    $rows = [];
    while (($row = fgetcsv($stream, null, ',', '"', '')) !== false) {
        if ($row === [null]) continue;  // a blank line
        $rows[] = $row;
    }
    fclose($stream);
    return $rows;
}

function scalar_getters(string $kind, bool $isRegistry): array {
    $numeric = $kind === 'int';
    if ($isRegistry) {
        return $numeric ? ['settings_get_reg_int', 'settings_get_reg_default_int', 'settings_set_reg_int']
                        : ['settings_get_reg_str', 'settings_get_reg_default_str', 'settings_set_reg_str'];
    }
    return $numeric ? ['settings_get_int', 'settings_get_default_int', 'settings_set_int']
                    : ['settings_get_str', 'settings_get_default_str', 'settings_set_str'];
}

// ---------------------------------------------------------------------------------------
// Requests.

$group = $_GET['group'] ?? 'vxm';
if (!isset($groups[$group])) $group = 'vxm';
$messages = [];

if ($loaded) {
    $action = $_POST['action'] ?? '';
    // The catalogue is read once per process (marked in the query store) and on request;
    // re-reading it discards uncommitted changes.
    $read = false;
    if (fx('settings_get_query')) {
        $mark = [];
        $read = settings_get_query('console', 'policy-read', $mark) === 0;
    }
    if ((!$read || $action === 'reread') && fx('settings_read_policy')) {
        if (settings_read_policy() === 0) {
            if (fx('settings_set_query')) settings_set_query('console', 'policy-read', [date('c')]);
            if ($action === 'reread') $messages[] = 'The policy was read again; uncommitted changes are gone.';
        }
    }

    if ($action === 'apply') {
        $changed = 0;
        foreach ($_POST['value'] ?? [] as $oid => $posted) {
            $oid = (string)$oid;
            $posted = (string)$posted;
            $isRegistry = isset($registry[$oid]);
            $kind = $isRegistry ? $registry[$oid] : ($settings[$oid]['kind'] ?? null);
            if ($kind === null) continue;
            if ($kind === 'table') {
                if (!fx('settings_set_table')) continue;
                $rows = csv_to_rows($posted);
                if (rows_to_csv($rows) === rows_to_csv(get_rows('settings_get_table', $oid))) continue;
                if (settings_set_table($oid, $rows) === 0) $changed++;
                else $messages[] = "The rows of $oid were refused (wrong number of cells?).";
                continue;
            }
            if ($kind === 'secret' && $posted === '') continue;
            [$get, , $set] = scalar_getters($kind, $isRegistry);
            if (!fx($set)) continue;
            if ($kind === 'int') {
                if (!preg_match('/^\s*-?\d+\s*$/', $posted)) {
                    $messages[] = "$oid: \"$posted\" is not a number.";
                    continue;
                }
                if ((int)$posted === get_value($get, $oid)) continue;
                $set($oid, (int)$posted);
            } else {
                if ($kind !== 'secret' && $posted === get_value($get, $oid)) continue;
                $set($oid, $posted);
            }
            $changed++;
        }
        $messages[] = "$changed setting(s) changed in memory; commit to store them.";
    } elseif ($action === 'commit' && fx('settings_write_changed')) {
        settings_write_changed();
        $messages[] = 'Committed.';
    } elseif ($action === 'reset-error' && fx('settings_reset_last_error')) {
        settings_reset_last_error();
    }
}

$lastError = $loaded && fx('settings_last_error') ? settings_last_error() : null;
$areChanged = null;
if ($loaded && fx('settings_are_changed')) {
    $flag = 0;
    if (settings_are_changed($flag) === 0) $areChanged = $flag === 1;
}
$errorText = [0 => 'no error', 12 => 'a setting is final or hidden and was not saved',
              14 => 'saving a setting failed'];

$checks = [];
foreach (['products_is_vexmail_installed' => 'Mail-server product',
          'products_is_vexsrv_installed' => 'Server anti-virus product',
          'products_is_pallsrv' => 'Hosted-service server product'] as $function => $label) {
    if ($loaded && fx($function)) $checks["$label ($function)"] = $function();
}

// The rows of the group shown.
$shown = [];
if ($group === 'registry') {
    foreach ($registry as $oid => $kind) $shown[$oid] = ['kind' => $kind];
} else {
    foreach ($settings as $oid => $setting) {
        if (group_of($oid, $groups) === $group) $shown[$oid] = $setting;
    }
}
?>
<!DOCTYPE html>
<html>
<head>
<meta charset="utf-8">
<title>Corvane Tidewall — console</title>
<style>
body { font-family: sans-serif; margin: 2em; }
table { border-collapse: collapse; }
td, th { border: 1px solid #999; padding: .3em .6em; text-align: left; vertical-align: top; }
td.oid { font-family: monospace; white-space: nowrap; }
pre { margin: 0; white-space: pre-wrap; max-width: 30em; }
.yes { color: #060; font-weight: bold; } .no { color: #900; }
.final { color: #900; font-weight: bold; }
.notes { background: #fee; padding: .5em; } .messages { background: #efe; padding: .5em; }
nav a { margin-right: 1em; } nav a.here { font-weight: bold; }
textarea { width: 30em; }
</style>
</head>
<body>
<h1>Corvane Tidewall</h1>
<?php if (!$loaded): ?>
<p class="no">The extension is not loaded.</p>
<?php else: ?>
<?php if ($messages): ?>
<div class="messages"><?php foreach ($messages as $message): ?><p><?= h($message) ?></p><?php endforeach; ?></div>
<?php endif; ?>

<h2>Commit</h2>
<form method="post" action="?group=<?= h($group) ?>">
<p>Uncommitted changes: <?= $areChanged === null ? 'unknown' : ($areChanged ? '<span class="final">yes</span>' : 'none') ?>.
Last error: <?= $lastError === null ? 'unknown' : h($lastError . ' (' . ($errorText[$lastError] ?? 'unknown code') . ')') ?>.</p>
<?php if (fx('settings_write_changed')): ?><button name="action" value="commit">Commit changes</button><?php endif; ?>
<?php if (fx('settings_reset_last_error')): ?><button name="action" value="reset-error">Clear the last error</button><?php endif; ?>
<?php if (fx('settings_read_policy')): ?><button name="action" value="reread">Read the policy again</button><?php endif; ?>
</form>

<h2>Settings</h2>
<nav>
<?php foreach ($groups as $key => [$label]): ?>
<a href="?group=<?= h($key) ?>"<?= $key === $group ? ' class="here"' : '' ?>><?= h($label) ?></a>
<?php endforeach; ?>
<a href="mailstore.php">Mail store</a>
</nav>
<?php if (!$settings && $group !== 'registry'): ?>
<p class="no">No settings list at <?= h($listFile) ?> (scripts/run.sh writes it).</p>
<?php else: ?>
<form method="post" action="?group=<?= h($group) ?>">
<table>
<tr><th>Setting</th><th>Kind</th><th>Value</th><th>Default</th><th>Final</th></tr>
<?php foreach ($shown as $oid => $setting):
    $oid = (string)$oid;
    $kind = $setting['kind'];
    $isRegistry = $group === 'registry';
    $final = $isRegistry ? null : is_final($oid, $kind === 'table');
    if ($kind === 'table') {
        $value = rows_to_csv(get_rows('settings_get_table', $oid));
        $default = rows_to_csv(get_rows('settings_get_default_table', $oid));
        $columns = implode(', ', array_map(fn($c) => in_array($c, [3, 4], true) ? 'string' : 'integer',
                                           $setting['columns'] ?? []));
    } else {
        [$get, $getDefault] = scalar_getters($kind, $isRegistry);
        $value = get_value($get, $oid);
        $default = get_value($getDefault, $oid);
        $value = $value === null ? null : (string)$value;
        $default = $default === null ? null : (string)$default;
    }
    $field = 'value[' . h($oid) . ']';
    // A text area drops the line break right after its opening tag: one is written there so
    // that a value starting with a line break keeps it.
?>
<tr>
<td class="oid"><?= h($oid) ?></td>
<td><?= h($kind === 'table' ? "table ($columns)" : $kind) ?></td>
<td>
<?php if ($kind === 'table'): ?>
  <textarea name="<?= $field ?>" rows="<?= max(2, min(12, substr_count($value, "\n") + 1)) ?>"><?= "\n" . h($value) ?></textarea>
<?php elseif ($kind === 'secret'): ?>
  <input type="password" name="<?= $field ?>" value="" placeholder="<?= $value === null ? 'unknown' : ($value === '' ? '(empty)' : '(set)') ?>">
<?php elseif ($value === null): ?>
  <em>unavailable</em>
<?php elseif (str_contains($value, "\n")): ?>
  <textarea name="<?= $field ?>" rows="<?= min(12, substr_count($value, "\n") + 1) ?>"><?= "\n" . h($value) ?></textarea>
<?php else: ?>
  <input type="text" name="<?= $field ?>" value="<?= h($value) ?>" size="<?= $kind === 'int' ? 12 : 40 ?>">
<?php endif; ?>
</td>
<td><?php if ($kind === 'secret'): ?>—<?php elseif ($default === null): ?><em>unavailable</em><?php else: ?><pre><?= h($default) ?></pre><?php endif; ?></td>
<td><?= $final === null ? '' : ($final ? '<span class="final">final</span>' : '') ?></td>
</tr>
<?php endforeach; ?>
</table>
<p>Table rows: one line a row, cells separated by commas, cells with commas, quotes or line
breaks in double quotes. Enciphered settings: leave empty to keep them.</p>
<p><button name="action" value="apply">Apply changes (in memory)</button></p>
</form>
<?php endif; ?>

<h2>Installed products</h2>
<table>
<tr><th>Check</th><th>Answer</th></tr>
<?php foreach ($checks as $label => $answer): ?>
<tr><td><?= h($label) ?></td>
    <td class="<?= $answer ? 'yes' : 'no' ?>"><?= $answer ? '1 (installed)' : '0 (not installed)' ?></td></tr>
<?php endforeach; ?>
</table>
<?php endif; ?>
<?php if ($notes): ?>
<h2>Warnings</h2>
<div class="notes"><?php foreach (array_unique($notes) as $note): ?><p><?= h($note) ?></p><?php endforeach; ?></div>
<?php endif; ?>
</body>
</html>
