<?php
// The sample administration console: the settings of this machine group by group, with
// their values, defaults and marks; edits are checked, reviewed ("what will change") and
// saved in one step (set in memory, then committed), and the page says afterwards exactly
// what the agent holds: each setting is read back from it. Also the installed product
// checks.
//
// The list of settings comes from $CORVANE_ROOT/policy-seed.jsonl (written by the seed);
// values, defaults and final marks come from the extension, which every request fills
// afresh from the agent: what one request set and did not commit is never shown or saved
// by another. Every edit carries the value the page showed (enciphered settings: a digest),
// and a save refuses an edit whose setting was changed elsewhere since.
//
// Requests (only from a logged-in session): GET shows a group. POST (always with the
// session's form token) is one of
//   review  check the edits and show what will change (errors: the edit form again); the
//           edits are kept in the session under a review id, the page carries only the id
//   edit    back from a review to the edit form, with its edits
//   save    the edits of a review: check again, set, commit, read back, redirect to GET
//   reread  read the policy again, redirect
//   clear   clear the last error, redirect
declare(strict_types=1);

require __DIR__ . '/include/console.php';

[$loaded, $post] = console_request();

$group = (string)($post ? ($_POST['group'] ?? '') : ($_GET['group'] ?? ''));
if (!isset(GROUPS[$group])) $group = 'vxm';
$here = 'index.php?group=' . rawurlencode($group);
$action = $post ? (string)($_POST['action'] ?? '') : '';
$settings = load_settings();
$status = server_status();
// The last error as the previous request left it (a save's), before this request's read of
// the policy clears it.
$lastError = $loaded && fx('settings_last_error') ? settings_last_error() : null;
$agentUp = $loaded && read_policy_from_agent();

// ---------------------------------------------------------------------------------------
// Values as this request knows them: registry settings from the hive, policy settings from
// the agent, or none while the agent is away.

function policy_known(array $setting): bool { return $setting['registry'] || $GLOBALS['agentUp']; }

function current_text(string $oid, array $setting): ?string {
    return policy_known($setting) ? value_text($oid, $setting) : null;
}

// What a value looks like in a message: enciphered ones never.
function shown_text(array $setting, ?string $text): string {
    if ($setting['kind'] === 'secret') return '(enciphered, not shown)';
    return $text === null ? '(none)' : '“' . shorten(str_replace("\r\n", ' ↵ ', $text)) . '”';
}

function same_text(string $a, string $b): bool {
    return str_replace("\r\n", "\n", $a) === str_replace("\r\n", "\n", $b);
}

// Whether $base, what the page showed of a setting (the text; the digest of an enciphered
// one), still is what it holds.
function unchanged_since(array $setting, string $base, ?string $current): bool {
    if ($setting['kind'] === 'secret') return hash_equals(value_digest($current), $base);
    return $current !== null && same_text($base, $current);
}

// ---------------------------------------------------------------------------------------
// The edits of a POST: fields whose text differs from what the page showed ("orig"; "seen"
// for enciphered settings; neither when the page could not show the value). Each is checked;
// answers [oid => ['typed' => text, 'base' => ?string, 'value' => checked value]] and
// [oid => [message...]]. With the agent away, policy edits are kept unchecked against it.

function posted_edits(array $settings): array {
    $edits = $errors = [];
    $posted = is_array($_POST['value'] ?? null) ? $_POST['value'] : [];
    $origs = is_array($_POST['orig'] ?? null) ? $_POST['orig'] : [];
    $seens = is_array($_POST['seen'] ?? null) ? $_POST['seen'] : [];
    foreach ($posted as $oid => $text) {
        $oid = (string)$oid;
        if (!isset($settings[$oid]) || !is_string($text)) continue;
        $setting = $settings[$oid];
        $secret = $setting['kind'] === 'secret';
        $base = $secret ? ($seens[$oid] ?? null) : ($origs[$oid] ?? null);
        $base = is_string($base) ? $base : null;
        if ($secret || $base === null ? $text === '' : crlf($text) === crlf($base)) continue;
        $edits[$oid] = ['typed' => $text, 'base' => $base, 'value' => null];
        [$value, $problems] = parse_input($setting, $text);
        if ($problems) {
            $errors[$oid] = $problems;
            continue;
        }
        $edits[$oid]['value'] = $value;
        if (!policy_known($setting)) continue;
        $problem = edit_problem($oid, $setting, $edits[$oid]);
        if ($problem === 'same') {
            unset($edits[$oid]);  // typed differently, but the value it holds ("007" for 7)
        } elseif ($problem !== null) {
            $errors[$oid] = [$problem];
        }
    }
    return [$edits, $errors];
}

// Why an edit cannot go on with the value its setting holds now: null when it can, "same"
// when it would store what is there. An edit made while the value could not be shown takes
// the value it holds now as its base (the review shows it). A setting changed elsewhere
// since the page showed it takes the new value as the base of the next review.
function edit_problem(string $oid, array $setting, array &$edit): ?string {
    $current = current_text($oid, $setting);
    if ($current === null && $setting['kind'] !== 'secret') {
        return 'This setting is not available on this machine, so it cannot be changed.';
    }
    if (is_final_setting($oid, $setting) === true) {
        return 'This setting is final: the policy does not let it be changed here.';
    }
    $base = $setting['kind'] === 'secret' ? value_digest($current) : (string)$current;
    if ($edit['base'] !== null && !unchanged_since($setting, $edit['base'], $current)) {
        $edit['base'] = $base;
        return 'This setting was changed elsewhere since this page was loaded: now ' . shown_text($setting, $current)
             . '. Review again to store your value over it.';
    }
    $edit['base'] = $base;
    if ($setting['kind'] !== 'secret' && same_text(canonical($setting, $edit['value']), $current)) return 'same';
    return null;
}

// Saves the edits of a review: the policy is read again from the agent (nothing another
// request left uncommitted is written), every edit checked against what its setting holds
// now, the rest set and committed, then the policy read again from the agent and each
// setting reported as the agent (or the hive) holds it. Answers the flash message.
function save(array $settings, array $entries): array {
    $results = $applied = [];
    $agentUp = read_policy_from_agent();
    $GLOBALS['agentUp'] = $agentUp;
    foreach ($entries as $oid => $entry) {
        $setting = $settings[$oid];
        $value = $entry['value'];
        $current = current_text($oid, $setting);
        $results[$oid] = match (true) {
            !policy_known($setting) => 'the agent is not running',
            is_final_setting($oid, $setting) === true => 'final',
            !unchanged_since($setting, $entry['base'], $current) => 'changed elsewhere since this page was loaded: now '
                                                                   . shown_text($setting, $current),
            !apply_value($oid, $setting, $value) => 'the extension refused the value',
            default => null,
        };
        if ($results[$oid] === null) $applied[$oid] = $value;
    }
    $lastError = null;
    if ($applied) {
        settings_write_changed();
        $lastError = fx('settings_last_error') ? settings_last_error() : null;
        $GLOBALS['agentUp'] = read_policy_from_agent();
        foreach ($applied as $oid => $value) {
            $setting = $settings[$oid];
            $now = current_text($oid, $setting);
            $results[$oid] = match (true) {
                !policy_known($setting) => 'the agent stopped',
                // An enciphered value reads back in its stored form: stored when that changed.
                $now !== null && (same_text(canonical($setting, $value), $now) || ($setting['kind'] === 'secret'
                                  && !unchanged_since($setting, $entries[$oid]['base'], $now))) => 'stored',
                is_final_setting($oid, $setting) === true => 'final',
                !$setting['registry'] && $lastError === 12 => 'hidden',
                $lastError === 14 => last_error_text(14),
                default => 'the store kept its old value',
            };
        }
    }
    $record = [];
    foreach ($entries as $oid => $entry) {
        $record[] = ['oid' => (string)$oid, 'old' => $entry['old'], 'new' => $entry['new'], 'result' => $results[$oid]];
    }
    record_save($record);
    $saved = array_keys(array_filter($results, fn($result) => $result === 'stored'));
    $failed = array_filter($results, fn($result) => $result !== 'stored');
    return ['kind' => 'saved', 'saved' => array_map('strval', $saved), 'failed' => $failed, 'lastError' => $lastError];
}

// ---------------------------------------------------------------------------------------
// Actions.

$edits = $errors = [];
$problem = null;  // a message for the whole form when nothing was saved
$review = null;   // [id, entries] for the review page
$reviews = is_array($_SESSION['reviews'] ?? null) ? $_SESSION['reviews'] : [];
$reviewId = (string)($_POST['review'] ?? '');
if ($loaded && $post) {
    switch ($action) {
        case 'reread':
            flash(['kind' => 'note', 'text' => 'The policy was read again from the agent.']);
            redirect($here);
        case 'clear':
            if (fx('settings_reset_last_error')) settings_reset_last_error();
            redirect($here);
        case 'edit':
        case 'save':
            $kept = $reviews[$reviewId] ?? null;
            if (!is_array($kept) || ($kept['group'] ?? null) !== $group) {
                $problem = 'This review is no longer held (it was saved, or newer reviews replaced it): nothing was saved.'
                         . ' Make your edits and review them again.';
                http_response_code(409);
                break;
            }
            unset($_SESSION['reviews'][$reviewId]);
            $kept['entries'] = array_intersect_key($kept['entries'], $settings);  // the list may have changed since
            if ($action === 'save') {
                $key = hex2bin(preg_match('/^[0-9a-f]{64}$/', (string)($_POST['review_key'] ?? '')) ? $_POST['review_key'] : '');
                $entries = unseal_review($kept['entries'], $key);
                if ($entries === null) {
                    $problem = 'This review came back without the key of its new passwords: nothing was saved.'
                             . ' Make your edits and review them again.';
                    http_response_code(409);
                    break;
                }
                flash(save($settings, $entries));
                redirect($here);
            }
            // Back to editing: the edits again, enciphered ones to be typed again.
            foreach ($kept['entries'] as $oid => $entry) {
                if ($settings[$oid]['kind'] !== 'secret') $edits[$oid] = $entry;
            }
            break;
        case 'review':
            [$edits, $errors] = posted_edits($settings);
            $policyEdits = array_filter(array_keys($edits), fn($oid) => !$settings[$oid]['registry']);
            if (!$agentUp && $policyEdits) {
                $problem = 'Nothing was saved: the management agent is ' . $status['agent']['why']
                         . ', so policy settings cannot be saved. Your edits are kept below: review them again once it runs.';
            } elseif ($errors) {
                $problem = 'Nothing was saved: ' . count($errors) . ' field' . (count($errors) === 1 ? ' needs' : 's need')
                         . ' correcting. Your edits are kept.';
            } elseif (!$edits) {
                $problem = 'There is nothing to save: no value differs from what is stored.';
            } else {
                $entries = [];
                foreach ($edits as $oid => $edit) {
                    $secret = $settings[$oid]['kind'] === 'secret';
                    $entries[$oid] = $edit + ['old' => $secret ? null : current_text($oid, $settings[$oid]),
                                              'new' => $secret ? null : canonical($settings[$oid], $edit['value'])];
                }
                $id = bin2hex(random_bytes(12));
                $key = random_bytes(SODIUM_CRYPTO_SECRETBOX_KEYBYTES);
                $_SESSION['reviews'] = keep_review($reviews, $id, ['group' => $group,
                                                                   'entries' => seal_review($entries, $settings, $key)]);
                $review = [$id, $entries, bin2hex($key)];
            }
            if ($problem !== null) http_response_code(422);
            break;
    }
}

$flash = $post ? null : take_flash();
// A save reads the policy again after its commit, which clears the last error: its own is
// in its result.
if (($flash['kind'] ?? null) === 'saved') $lastError = $flash['lastError'];
$checks = [];
foreach (PRODUCT_CHECKS as $function => $key) {
    if ($loaded && fx($function)) $checks[GROUPS[$key][0]] = $function();
}
$shown = array_filter($settings, fn($setting) => $setting['group'] === $group);

// ---------------------------------------------------------------------------------------
// The page.

// The field of a setting. $base is what the page shows as its value (null: unknown, the
// agent away); it travels as "orig" (or, for an enciphered setting, as the digest "seen") so
// that a save knows what the edit started from.
function field_html(string $oid, array $setting, ?string $value, ?array $edit): string {
    $name = 'value[' . h($oid) . ']';
    $attributes = ' name="' . $name . '" id="f-' . h($oid) . '"';
    $known = policy_known($setting);
    $base = $edit !== null ? $edit['base'] : ($known ? ($setting['kind'] === 'secret' ? value_digest($value) : $value) : null);
    if ($setting['kind'] === 'secret') {
        $hidden = $base === null ? '' : '<input type="hidden" name="seen[' . h($oid) . ']" value="' . h($base) . '">';
        $placeholder = !$known ? 'unavailable' : ($value === null ? 'unknown' : ($value === '' ? '(empty)' : '(set; leave empty to keep)'));
        return $hidden . '<input type="password" autocomplete="new-password"' . $attributes . ' value="" placeholder="'
             . h($placeholder) . '">';
    }
    $hidden = $base === null ? '' : '<input type="hidden" name="orig[' . h($oid) . ']" value="' . h($base) . '">';
    $text = $edit['typed'] ?? $value ?? '';
    $placeholder = $known ? '' : ' placeholder="unavailable"';
    // A text area drops the line break right after its opening tag: one is written there so
    // that a value starting with a line break keeps it.
    if ($setting['kind'] === 'table' || str_contains($text . $base, "\n")) {
        $lines = substr_count(str_replace("\r\n", "\n", $text), "\n") + 2;
        return $hidden . '<textarea' . $attributes . $placeholder . ' rows="' . max(2, $lines) . '" spellcheck="false">'
             . "\n" . h($text) . '</textarea>';
    }
    $mode = $setting['kind'] === 'int' ? ' inputmode="numeric"' : '';
    return $hidden . '<input type="text"' . $attributes . $mode . $placeholder . ' value="' . h($text) . '" spellcheck="false">';
}

function kind_text(array $setting): string {
    return match ($setting['kind']) {
        'int' => 'integer',
        'string' => 'text',
        'secret' => 'enciphered text',
        'table' => 'table: ' . column_names($setting['columns']),
    };
}

// What a review shows of one edit: the value now and after saving; for a table, only the
// rows added, removed and changed.
function review_cells(string $oid, array $setting, array $entry): string {
    if ($setting['kind'] === 'secret') {
        return '<td data-label="Now"><em>not shown</em></td><td data-label="After saving"><em>a new value, not shown</em></td>';
    }
    if ($setting['kind'] !== 'table') {
        return '<td data-label="Now"><pre>' . h($entry['old'] ?? '') . '</pre></td>'
             . '<td data-label="After saving"><pre>' . h($entry['new']) . '</pre></td>';
    }
    $rows = [];
    if (fx('settings_get_table')) settings_get_table($oid, $rows);
    [$changes, $kept] = table_changes($rows, $entry['value']);
    $count = fn(int $n) => $n . ' row' . ($n === 1 ? '' : 's');
    $items = '';
    foreach ($changes as [$kind, $old, $new]) {
        $items .= match ($kind) {
            'added' => '<li class="added">+ ' . h($new) . '</li>',
            'removed' => '<li class="removed">− ' . h($old) . '</li>',
            'changed' => '<li class="changed">' . h($old) . "\n→ " . h($new) . '</li>',
        };
    }
    return '<td data-label="Now">' . $count(count($rows)) . '</td><td data-label="After saving">'
         . $count(count($entry['value'])) . ($kept ? ', ' . $kept . ' of them as they are' : '')
         . '<ul class="diff">' . $items . '</ul></td>';
}

page_head('Settings');
?>
<h1>Corvane Tidewall</h1>
<?php account_bar(); page_facts(); page_nav($group); ?>
<?php if (!$loaded): ?>
<div class="box bad"><p>The extension is not loaded: the console cannot read or save settings.</p></div>
<?php else: ?>
<?php status_line($status, $lastError); ?>
<div class="tools">
<form method="post" class="inline"><?= token_field() ?><input type="hidden" name="group" value="<?= h($group) ?>">
<button name="action" value="reread" id="reread">Read the policy again</button>
<?php if ($lastError): ?><button name="action" value="clear" id="clear-error">Clear the last error</button><?php endif ?>
</form>
</div>
<?php if ($flash !== null && $flash['kind'] === 'note'): ?>
<div class="box ok" id="result"><p><?= h($flash['text']) ?></p></div>
<?php elseif ($flash !== null && $flash['kind'] === 'saved'):
    $allSaved = !$flash['failed'] && ($flash['lastError'] ?? 0) === 0; ?>
<div class="box <?= $allSaved ? 'ok' : 'bad' ?>" id="result">
<?php if ($allSaved): ?>
<p>Saved: <?= count($flash['saved']) === 1 ? 'the change is' : 'all ' . count($flash['saved']) . ' changes are' ?> stored (as read back from the agent).</p>
<?php else: ?>
<p><strong>Not everything was saved.</strong> <?= count($flash['saved']) ?> of <?= count($flash['saved']) + count($flash['failed']) ?> changes were stored, as read back from the agent.</p>
<?php if ($flash['failed']): ?>
<p>Not saved:</p><ul id="not-saved"><?php foreach ($flash['failed'] as $oid => $why): ?><li><code><?= h((string)$oid) ?></code>: <?= h($why) ?></li><?php endforeach ?></ul>
<?php endif ?>
<?php if (($flash['lastError'] ?? 0) !== 0): ?><p>Last error <?= (int)$flash['lastError'] ?>: <?= h(last_error_text($flash['lastError'])) ?>.</p><?php endif ?>
<?php endif ?>
<?php if ($flash['saved']): ?><p>Stored: <?= implode(', ', array_map(fn($oid) => '<code>' . h((string)$oid) . '</code>', $flash['saved'])) ?></p><?php endif ?>
</div>
<?php endif ?>
<?php if ($problem !== null): ?>
<div class="box bad" id="problem"><p><?= h($problem) ?></p>
<?php if ($errors): ?><ul id="errors">
<?php foreach ($errors as $oid => $messages): foreach ($messages as $message): ?>
<li><a href="#f-<?= h((string)$oid) ?>"><code><?= h((string)$oid) ?></code>: <?= h($message) ?></a></li>
<?php endforeach; endforeach ?>
</ul><?php endif ?>
</div>
<?php endif ?>

<?php if ($review !== null): [$reviewId, $entries, $reviewKey] = $review; ?>
<h2>What will change</h2>
<form method="post" action="<?= h($here) ?>" id="review" data-leave-warning="1">
<?= token_field() ?><input type="hidden" name="group" value="<?= h($group) ?>"><input type="hidden" name="review" value="<?= h($reviewId) ?>"><input type="hidden" name="review_key" value="<?= h($reviewKey) ?>">
<p><?= count($entries) ?> setting<?= count($entries) === 1 ? '' : 's' ?> of “<?= h(GROUPS[$group][0]) ?>” will be stored:</p>
<table class="rows">
<colgroup><col class="oid"><col><col></colgroup>
<tr class="head"><th>Setting</th><th>Now</th><th>After saving</th></tr>
<?php foreach ($entries as $oid => $entry): $oid = (string)$oid; ?>
<tr data-oid="<?= h($oid) ?>"><td class="oid"><?= h($oid) ?></td><?= review_cells($oid, $settings[$oid], $entry) ?></tr>
<?php endforeach ?>
</table>
<div class="bar">
<button name="action" value="save" id="save">Save <?= count($entries) ?> change<?= count($entries) === 1 ? '' : 's' ?></button>
<button name="action" value="edit" id="back">Back to editing</button>
<span>Saving stores the changes in the policy and the registry; it takes a few seconds.</span>
</div>
</form>
<?php else: ?>
<h2><?= h(GROUPS[$group][0]) ?></h2>
<?php if (!$shown): ?>
<div class="box bad"><p>No settings list at <?= h(settings_list_file()) ?>: the seed writes it (see the README).</p></div>
<?php else: ?>
<div class="tools">
<label>Filter: <input type="search" id="filter" placeholder="part of an OID or a value" autocomplete="off"></label>
<label><input type="checkbox" id="only-differs"> only values that differ from their default</label>
<span id="filter-count"></span>
</div>
<form method="post" action="<?= h($here) ?>" id="settings">
<?= token_field() ?><input type="hidden" name="group" value="<?= h($group) ?>">
<table id="settings-table" class="rows">
<colgroup><col class="oid"><col><col class="default"><col class="marks"></colgroup>
<tr class="head"><th>Setting</th><th>Value</th><th>Default</th><th>Marks</th></tr>
<?php
$branch = null;
$unsavedCount = 0;
foreach ($shown as $oid => $setting):
    $oid = (string)$oid;
    $known = policy_known($setting);
    $value = current_text($oid, $setting);
    $default = $setting['kind'] === 'secret' ? null : value_text($oid, $setting, true);
    $final = $known && is_final_setting($oid, $setting) === true;
    $differs = $setting['kind'] !== 'secret' && $value !== null && $default !== null && !same_text($value, $default);
    $unsaved = isset($edits[$oid]) && !$final;
    $unsavedCount += $unsaved ? 1 : 0;
    if (!$setting['registry'] && branch_of($oid) !== $branch):
        $branch = branch_of($oid); ?>
<tr class="branch"><th colspan="4"><?= h($branch) ?></th></tr>
<?php endif ?>
<tr data-oid="<?= h($oid) ?>" data-differs="<?= $differs ? 1 : 0 ?>" class="setting<?= $unsaved ? ' unsaved' : '' ?><?= isset($errors[$oid]) ? ' invalid' : '' ?>">
<td class="oid"><label for="f-<?= h($oid) ?>"><?= str_replace('.', '.<wbr>', h($oid)) ?></label><br><small><?= h(kind_text($setting)) ?></small></td>
<td data-label="Value">
<?php if ($final): ?>
<pre class="readonly" id="f-<?= h($oid) ?>" tabindex="-1"><?= h($value ?? '') ?></pre>
<?php elseif ($known && $value === null && $setting['kind'] !== 'secret'): ?>
<em id="f-<?= h($oid) ?>" tabindex="-1">not available on this machine</em>
<?php else: ?>
<?= field_html($oid, $setting, $value, $edits[$oid] ?? null) ?>
<?php endif ?>
<?php if (isset($errors[$oid])): ?>
<div class="error" id="error-<?= h($oid) ?>"><?php foreach ($errors[$oid] as $message): ?><p><?= h($message) ?></p><?php endforeach ?><?=
    $final && isset($edits[$oid]) ? '<p>Your value “' . h(shorten($edits[$oid]['typed'])) . '” was not saved.</p>' : '' ?></div>
<?php endif ?>
</td>
<td data-label="Default"><?= $setting['kind'] === 'secret' ? '—' : ($default === null ? '<em>unavailable</em>' : '<pre>' . h($default) . '</pre>') ?></td>
<td class="marks"><?= $final ? '<span class="mark final" title="Set by policy; cannot be changed here">final</span>' : '' ?><?=
    $differs ? '<span class="mark differs" title="The value differs from its default">changed</span>' : '' ?><span class="mark unsaved<?= $unsaved ? '' : ' hidden' ?>" title="Edited here, not saved yet">unsaved</span><?=
    !$known ? '<span class="mark unavailable" title="The management agent is not reachable">unavailable</span>' : '' ?></td>
</tr>
<?php endforeach ?>
</table>
<p>Table rows: one line a row, cells separated by commas; a cell with a comma, a quote or a line
break goes in double quotes. Enciphered settings: leave empty to keep them.</p>
<div class="bar">
<button name="action" value="review" id="review-button">Review and save…</button>
<span id="unsaved-count"><?= $unsavedCount ? $unsavedCount . ' unsaved change' . ($unsavedCount === 1 ? '' : 's') : 'No unsaved changes' ?></span>
</div>
</form>
<?php endif ?>
<?php endif ?>

<h2>Installed products</h2>
<table id="products" class="narrow">
<tr><th>Product</th><th>Installed</th></tr>
<?php foreach ($checks as $label => $answer): ?>
<tr><td><?= h($label) ?></td><td><?= $answer ? 'yes' : 'no' ?></td></tr>
<?php endforeach ?>
</table>
<?php endif ?>
<?php page_warnings(); ?>
<script nonce="<?= h(csp_nonce()) ?>">
// Marks edited fields, counts them, warns before leaving with edits not saved, and filters
// the rows. The page works without it; then there is no warning and no filter.
(function () {
  const form = document.getElementById('settings');
  const review = document.getElementById('review');
  let leaving = false;
  const norm = (text) => text.replace(/\r\n/g, '\n');
  // What the page showed of each field is in its hidden "orig[...]" companion.
  const origs = new Map();
  if (form) for (const input of form.querySelectorAll('input[type=hidden][name^="orig["]')) origs.set(input.name.slice(5), input.value);
  // A field the page could not fill (the agent away) has no companion: any text is an edit.
  const edited = (field) => field.type === 'password' ? field.value !== '' : norm(field.value) !== norm(origs.get(field.name.slice(6)) ?? '');
  // Each listed error moves to its field.
  for (const link of document.querySelectorAll('#errors a')) {
    link.addEventListener('click', (event) => {
      const target = document.getElementById(decodeURIComponent(link.hash.slice(1)));
      if (!target) return;
      event.preventDefault();
      target.scrollIntoView({ block: 'center' });
      target.focus();
    });
  }
  function update() {
    if (!form) return 0;
    let count = 0;
    for (const field of form.querySelectorAll('[name^="value["]')) {
      const row = field.closest('tr');
      const on = edited(field);
      if (on) count++;
      row.classList.toggle('unsaved', on);
      row.querySelector('.mark.unsaved').classList.toggle('hidden', !on);
    }
    document.getElementById('unsaved-count').textContent =
      count === 0 ? 'No unsaved changes' : count + ' unsaved change' + (count === 1 ? '' : 's');
    return count;
  }
  // Text areas grow to show all their lines, wrapped ones included.
  const fit = (area) => { area.style.height = 'auto'; area.style.height = (area.scrollHeight + 2) + 'px'; };
  for (const area of document.querySelectorAll('textarea')) { fit(area); area.addEventListener('input', () => fit(area)); }
  if (form) {
    form.addEventListener('input', update);
    form.addEventListener('submit', () => { leaving = true; });
    update();
  }
  if (review) review.addEventListener('submit', (event) => {
    leaving = true;
    const button = document.getElementById('save');
    if (event.submitter === button) setTimeout(() => { button.disabled = true; button.textContent = 'Saving…'; }, 0);
  });
  window.addEventListener('beforeunload', (event) => {
    if (leaving) return;
    if ((form && update() > 0) || review) { event.preventDefault(); event.returnValue = ''; }
  });
  const filter = document.getElementById('filter');
  const differs = document.getElementById('only-differs');
  function applyFilter() {
    const words = filter.value.toLowerCase().split(/\s+/).filter(Boolean);
    let shown = 0, total = 0, branch = null, branchShown = false;
    const rows = document.querySelectorAll('#settings-table tr');
    const close = () => { if (branch) branch.classList.toggle('hidden', !branchShown); };
    for (const row of rows) {
      if (row.classList.contains('branch')) { close(); branch = row; branchShown = false; continue; }
      if (!row.classList.contains('setting')) continue;
      total++;
      const fields = Array.from(row.querySelectorAll('input[type=text], textarea, pre')).map((e) => e.value ?? e.textContent);
      const text = (row.dataset.oid + ' ' + fields.join(' ')).toLowerCase();
      const on = words.every((w) => text.includes(w)) && (!differs.checked || row.dataset.differs === '1');
      row.classList.toggle('hidden', !on);
      if (on) { shown++; branchShown = true; }
    }
    close();
    document.getElementById('filter-count').textContent = shown === total ? total + ' settings' : shown + ' of ' + total + ' settings shown';
  }
  if (filter) {
    filter.addEventListener('input', applyFilter);
    differs.addEventListener('change', applyFilter);
    applyFilter();
  }
})();
</script>
</body>
</html>
