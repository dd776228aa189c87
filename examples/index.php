<?php
// The sample administration console: the settings of this machine group by group, with
// their values, defaults and marks; edits are checked, reviewed ("what will change") and
// saved in one step (set in memory, then committed), and the page says afterwards exactly
// what was saved and what was not. Also the installed product checks.
//
// The list of settings comes from $CORVANE_ROOT/policy-seed.jsonl (written by the seed);
// values, defaults and final marks come from the extension. The catalogue lives in the
// PHP process, so serve this page from one process (PHP's built-in server, or a PHP-FPM
// pool of one static child).
//
// Requests (only from a logged-in session): GET shows a group. POST (always with the
// session's form token) is one of
//   review  check the edits and show what will change (errors: the edit form again)
//   edit    back from the review to the edit form, with the edits kept
//   save    check again, set, commit, verify, then redirect to GET with the result
//   reread  read the policy again (discards changes held in memory), redirect
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

if ($loaded) ensure_policy_read();

// ---------------------------------------------------------------------------------------
// The edits of a POST: fields whose text differs from what the page showed ("orig"). Each
// is checked; answers [oid => text typed], [oid => checked value], [oid => message].

function posted_edits(array $settings): array {
    $typed = $values = $errors = [];
    $posted = is_array($_POST['value'] ?? null) ? $_POST['value'] : [];
    $origs = is_array($_POST['orig'] ?? null) ? $_POST['orig'] : [];
    foreach ($posted as $oid => $text) {
        $oid = (string)$oid;
        if (!isset($settings[$oid]) || !is_string($text)) continue;
        $setting = $settings[$oid];
        $orig = is_string($origs[$oid] ?? null) ? $origs[$oid] : '';
        if ($setting['kind'] === 'secret' ? $text === '' : crlf($text) === crlf($orig)) continue;
        $typed[$oid] = $text;
        [$value, $problem] = parse_input($setting, $text);
        if ($problem !== null) {
            $errors[$oid] = $problem;
            continue;
        }
        $current = value_text($oid, $setting);
        if ($setting['kind'] !== 'secret' && $current !== null && same_text(canonical($setting, $value), $current)) {
            unset($typed[$oid]);  // typed differently, but the same value ("007" for 7)
            continue;
        }
        if (is_final_setting($oid, $setting) === true) {
            $errors[$oid] = 'This setting is final: the policy does not let it be changed here.';
            continue;
        }
        if ($current === null && $setting['kind'] !== 'secret') {
            $errors[$oid] = 'This setting is not available on this machine, so it cannot be changed.';
            continue;
        }
        $values[$oid] = $value;
    }
    return [$typed, $values, $errors];
}

function same_text(string $a, string $b): bool {
    return str_replace("\r\n", "\n", $a) === str_replace("\r\n", "\n", $b);
}

// Sets the checked values, commits them, and reads each back: answers the flash message
// that tells what was saved and what was not. The log line names the account.
function save(array $settings, array $values): array {
    $saved = $failed = [];
    $applied = [];
    $before = [];
    foreach ($values as $oid => $value) {
        $before[$oid] = value_text((string)$oid, $settings[$oid]);
        if (apply_value($oid, $settings[$oid], $value)) {
            $applied[$oid] = $value;
        } else {
            $failed[$oid] = 'the extension refused the value';
        }
    }
    settings_write_changed();
    $lastError = fx('settings_last_error') ? settings_last_error() : null;
    foreach ($applied as $oid => $value) {
        $setting = $settings[$oid];
        $now = value_text($oid, $setting);
        if ($now !== null && same_text(canonical($setting, $value), $now)) {
            $saved[] = $oid;
        } elseif (is_final_setting($oid, $setting) === true) {
            $failed[$oid] = 'it is final in the policy';
        } elseif ($lastError === 12 || $lastError === 14) {
            $failed[$oid] = last_error_text($lastError);
        } else {
            $failed[$oid] = 'the store kept its old value';
        }
    }
    $entries = [];
    foreach ($values as $oid => $value) {
        $entries[] = ['oid' => (string)$oid, 'old' => $before[$oid], 'new' => canonical($settings[$oid], $value),
                      'result' => in_array($oid, $saved, true) ? 'stored' : $failed[$oid]];
    }
    record_save($entries);
    return ['kind' => 'saved', 'saved' => $saved, 'failed' => $failed, 'lastError' => $lastError];
}

// ---------------------------------------------------------------------------------------
// Actions.

$typed = $errors = [];
$problem = null;  // a message for the whole form when nothing was saved
$review = null;   // oid => checked value, for the review page
if ($loaded && $post) {
    switch ($action) {
        case 'reread':
            ensure_policy_read(true);
            flash(['kind' => 'note', 'text' => 'The policy was read again; changes not saved are gone.']);
            redirect($here);
        case 'clear':
            if (fx('settings_reset_last_error')) settings_reset_last_error();
            redirect($here);
        case 'edit':
            [$typed, , $errors] = posted_edits($settings);
            break;
        case 'review':
        case 'save':
            [$typed, $values, $errors] = posted_edits($settings);
            $policyEdits = array_filter(array_keys($typed), fn($oid) => !$settings[$oid]['registry']);
            if (!$status['agent']['up'] && $policyEdits) {
                $problem = 'Nothing was saved: the management agent is ' . $status['agent']['why']
                         . ', so policy settings cannot be saved. Your edits are kept below.';
            } elseif ($errors) {
                $problem = 'Nothing was saved: ' . count($errors) . ' field' . (count($errors) === 1 ? ' needs' : 's need')
                         . ' correcting (marked below). Your edits are kept.';
            } elseif (!$values) {
                $problem = 'There is nothing to save: no value differs from what is stored.';
                $typed = [];
            } elseif ($action === 'review') {
                $review = $values;
            } else {
                flash(save($settings, $values));
                redirect($here);
            }
            if ($problem !== null) http_response_code(422);
            break;
    }
}

$flash = $post ? null : take_flash();
$lastError = $loaded && fx('settings_last_error') ? settings_last_error() : null;
$inMemory = false;
if ($loaded && fx('settings_are_changed')) {
    $flag = 0;
    $inMemory = settings_are_changed($flag) === 0 && $flag === 1;
}
$checks = [];
foreach (['products_is_vexmail_installed' => 'Mail-server product',
          'products_is_vexsrv_installed' => 'Server anti-virus product',
          'products_is_pallsrv' => 'Hosted-service server product'] as $function => $label) {
    if ($loaded && fx($function)) $checks[$label] = $function();
}
$shown = array_filter($settings, fn($setting) => $setting['group'] === $group);

// ---------------------------------------------------------------------------------------
// The page.

function field_html(string $oid, array $setting, ?string $value, ?string $typed): string {
    $name = 'value[' . h($oid) . ']';
    $orig = $setting['kind'] === 'secret' ? '' : ($value ?? '');
    $hidden = '<input type="hidden" name="orig[' . h($oid) . ']" value="' . h($orig) . '">';
    $attributes = ' name="' . $name . '" id="f-' . h($oid) . '"';
    if ($setting['kind'] === 'secret') {
        $placeholder = $value === null ? 'unknown' : ($value === '' ? '(empty)' : '(set; leave empty to keep)');
        return '<input type="password" autocomplete="new-password"' . $attributes . ' value="" placeholder="'
             . h($placeholder) . '">';
    }
    $text = $typed ?? $value;
    // A text area drops the line break right after its opening tag: one is written there so
    // that a value starting with a line break keeps it.
    if ($setting['kind'] === 'table' || str_contains($text . $orig, "\n")) {
        $lines = substr_count(str_replace("\r\n", "\n", $text), "\n") + 2;
        return $hidden . '<textarea' . $attributes . ' rows="' . max(2, $lines) . '" spellcheck="false">'
             . "\n" . h($text) . '</textarea>';
    }
    $mode = $setting['kind'] === 'int' ? ' inputmode="numeric"' : '';
    return $hidden . '<input type="text"' . $attributes . $mode . ' value="' . h($text) . '" spellcheck="false">';
}

function kind_text(array $setting): string {
    return match ($setting['kind']) {
        'int' => 'integer',
        'string' => 'text',
        'secret' => 'enciphered text',
        'table' => 'table: ' . column_names($setting['columns']),
    };
}

page_head('Settings');
?>
<h1>Corvane Tidewall</h1>
<?php account_bar(); ?>
<nav>
<?php foreach (GROUPS as $key => [$label]): ?>
<a href="index.php?group=<?= h($key) ?>"<?= $key === $group ? ' class="here" aria-current="page"' : '' ?>><?= h($label) ?></a>
<?php endforeach ?>
<a href="mailstore.php">Mail store</a>
<a href="history.php">History</a>
</nav>
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
<p>Saved: <?= count($flash['saved']) === 1 ? 'the change is' : 'all ' . count($flash['saved']) . ' changes are' ?> stored.</p>
<?php else: ?>
<p><strong>Not everything was saved.</strong> <?= count($flash['saved']) ?> of <?= count($flash['saved']) + count($flash['failed']) ?> changes were stored.</p>
<?php if ($flash['failed']): ?>
<p>Not saved:</p><ul id="not-saved"><?php foreach ($flash['failed'] as $oid => $why): ?><li><code><?= h((string)$oid) ?></code>: <?= h($why) ?></li><?php endforeach ?></ul>
<?php endif ?>
<?php if (($flash['lastError'] ?? 0) !== 0): ?><p>Last error <?= (int)$flash['lastError'] ?>: <?= h(last_error_text($flash['lastError'])) ?>.</p><?php endif ?>
<?php endif ?>
<?php if ($flash['saved']): ?><p>Stored: <?= implode(', ', array_map(fn($oid) => '<code>' . h((string)$oid) . '</code>', $flash['saved'])) ?></p><?php endif ?>
</div>
<?php endif ?>
<?php if ($problem !== null): ?>
<div class="box bad" id="problem"><p><?= h($problem) ?></p></div>
<?php endif ?>
<?php if ($inMemory): ?>
<div class="box warn" id="in-memory"><p>This PHP process holds setting changes that were not committed
(made outside this page). Saving commits them together with yours; "Read the policy again" discards them.</p></div>
<?php endif ?>

<?php if ($review !== null): ?>
<h2>What will change</h2>
<form method="post" action="<?= h($here) ?>" id="review" data-leave-warning="1">
<?= token_field() ?><input type="hidden" name="group" value="<?= h($group) ?>">
<p><?= count($review) ?> setting<?= count($review) === 1 ? '' : 's' ?> of “<?= h(GROUPS[$group][0]) ?>” will be stored:</p>
<table>
<colgroup><col class="oid"><col><col></colgroup>
<tr><th>Setting</th><th>Now</th><th>After saving</th></tr>
<?php foreach ($review as $oid => $value):
    $oid = (string)$oid;
    $setting = $settings[$oid];
    $secret = $setting['kind'] === 'secret'; ?>
<tr data-oid="<?= h($oid) ?>"><td class="oid"><?= h($oid) ?></td>
<td><?= $secret ? '<em>not shown</em>' : '<pre>' . h(value_text($oid, $setting) ?? '') . '</pre>' ?></td>
<td><?= $secret ? '<em>a new value, not shown</em>' : '<pre>' . h(canonical($setting, $value)) . '</pre>' ?>
<input type="hidden" name="value[<?= h($oid) ?>]" value="<?= h($typed[$oid]) ?>">
<input type="hidden" name="orig[<?= h($oid) ?>]" value="<?= h(is_string($_POST['orig'][$oid] ?? null) ? $_POST['orig'][$oid] : '') ?>"></td></tr>
<?php endforeach ?>
</table>
<div class="bar">
<button name="action" value="save" id="save">Save <?= count($review) ?> change<?= count($review) === 1 ? '' : 's' ?></button>
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
<table id="settings-table">
<colgroup><col class="oid"><col><col class="default"><col class="marks"></colgroup>
<tr><th>Setting</th><th>Value</th><th>Default</th><th>Marks</th></tr>
<?php
$branch = null;
foreach ($shown as $oid => $setting):
    $oid = (string)$oid;
    $value = value_text($oid, $setting);
    $default = $setting['kind'] === 'secret' ? null : value_text($oid, $setting, true);
    $final = is_final_setting($oid, $setting) === true;
    $differs = $setting['kind'] !== 'secret' && $value !== null && $default !== null && !same_text($value, $default);
    $unsaved = isset($typed[$oid]);
    if (!$setting['registry'] && branch_of($oid) !== $branch):
        $branch = branch_of($oid); ?>
<tr class="branch"><th colspan="4"><?= h($branch) ?></th></tr>
<?php endif ?>
<tr data-oid="<?= h($oid) ?>" data-differs="<?= $differs ? 1 : 0 ?>" class="setting<?= $unsaved ? ' unsaved' : '' ?><?= isset($errors[$oid]) ? ' invalid' : '' ?>">
<td class="oid"><label for="f-<?= h($oid) ?>"><?= str_replace('.', '.<wbr>', h($oid)) ?></label><br><small><?= h(kind_text($setting)) ?></small></td>
<td>
<?php if ($final): ?>
<pre class="readonly"><?= h($value ?? '') ?></pre>
<?php elseif ($value === null && $setting['kind'] !== 'secret'): ?>
<em>not available on this machine</em>
<?php else: ?>
<?= field_html($oid, $setting, $value, $typed[$oid] ?? null) ?>
<?php endif ?>
<?php if (isset($errors[$oid])): ?>
<p class="error" id="error-<?= h($oid) ?>"><?= h($errors[$oid]) ?><?= $final && isset($typed[$oid]) ? ' Your value “' . h(shorten($typed[$oid])) . '” was not saved.' : '' ?></p>
<?php endif ?>
</td>
<td><?= $setting['kind'] === 'secret' ? '—' : ($default === null ? '<em>unavailable</em>' : '<pre>' . h($default) . '</pre>') ?></td>
<td class="marks"><?= $final ? '<span class="mark final" title="Set by policy; cannot be changed here">final</span>' : '' ?><?=
    $differs ? '<span class="mark differs" title="The value differs from its default">changed</span>' : '' ?><span class="mark unsaved<?= $unsaved ? '' : ' hidden' ?>" title="Edited here, not saved yet">unsaved</span><?=
    $value === null && $setting['kind'] !== 'secret' ? '<span class="mark unavailable">unavailable</span>' : '' ?></td>
</tr>
<?php endforeach ?>
</table>
<p>Table rows: one line a row, cells separated by commas; a cell with a comma, a quote or a line
break goes in double quotes. Enciphered settings: leave empty to keep them.</p>
<div class="bar">
<button name="action" value="review" id="review-button">Review and save…</button>
<span id="unsaved-count"><?= $typed ? count($typed) . ' unsaved change' . (count($typed) === 1 ? '' : 's') : 'No unsaved changes' ?></span>
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
<?php if (warnings()): ?>
<h2>Warnings</h2>
<div class="box warn" id="warnings"><?php foreach (warnings() as $note): ?><p><?= h($note) ?></p><?php endforeach ?></div>
<?php endif ?>
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
  const edited = (field) => field.type === 'password' ? field.value !== '' : norm(field.value) !== norm(origs.get(field.name.slice(6)) ?? '');
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
