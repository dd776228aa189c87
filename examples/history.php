<?php
// The sample console's history of changes: the records of the console's saves and of the
// management agent (every client that changed the policy: this console's process, cvmactl,
// ...), merged, newest first. GET parameters: oid (a setting, or a branch: the records of
// the settings below it too) and account (exactly). Only the end of each file is read (see
// read_audit_tail), so a file of any size costs the page the same.
declare(strict_types=1);

require __DIR__ . '/include/console.php';

console_request();  // the history needs no extension

// A filter that cannot name a setting or an account matches nothing, so it is not used.
function filter_parameter(string $name, string $pattern): ?string {
    $value = $_GET[$name] ?? '';
    return is_string($value) && preg_match($pattern, $value) === 1 ? $value : null;
}
$oid = filter_parameter('oid', '/^[A-Za-z0-9.]{1,256}$/D');
$account = filter_parameter('account', '/^[^\x00-\x1f\x7f]{1,128}$/uD');
$typed = ['oid' => is_string($_GET['oid'] ?? null) ? $_GET['oid'] : '',
          'account' => is_string($_GET['account'] ?? null) ? $_GET['account'] : ''];
[$records, $bad, $problems] = audit_history($oid, $account);

function value_cell(?string $value): string {
    return $value === null ? '<em>none</em>' : '<pre>' . h($value) . '</pre>';
}

page_head('History');
?>
<h1>Corvane Tidewall</h1>
<?php account_bar(); page_facts(); page_nav('history'); ?>
<h2>History of changes</h2>
<p>Every change of a setting: the console's saves (its login account and the browser's
address) and the management agent's changes (the system account of the program that asked:
the console's own process, <code>cvmactl</code>, …), newest first. Only the last
<?= HISTORY_MAX_RECORDS ?> records of each are read.</p>
<form method="get" action="history.php" class="tools" id="history-filter">
<label>Setting (OID or branch): <input type="search" name="oid" value="<?= h($typed['oid']) ?>" autocomplete="off"></label>
<label>Account: <input type="search" name="account" value="<?= h($typed['account']) ?>" autocomplete="off"></label>
<button id="history-apply">Filter</button> <a href="history.php">Show all</a>
</form>
<?php foreach ($problems as $file => $problem): ?>
<div class="box bad"><p>The audit file <?= h($file) ?> <?= h($problem) ?>: its records are not shown.</p></div>
<?php endforeach ?>
<?php if ($bad > 0): ?>
<div class="box warn" id="history-bad"><p><?= $bad ?> line<?= $bad === 1 ? ' is' : 's are' ?> not a record and
<?= $bad === 1 ? 'is' : 'are' ?> left out.</p></div>
<?php endif ?>
<?php if (!$records): ?>
<p id="history-empty"><?= $oid !== null || $account !== null ? 'No change matches this filter.' : 'No change has been recorded yet.' ?></p>
<?php else: ?>
<p id="history-count"><?= count($records) ?> change<?= count($records) === 1 ? '' : 's' ?>.</p>
<table id="history">
<colgroup><col class="time"><col class="who"><col class="oid"><col><col><col class="result"></colgroup>
<tr><th>Time (UTC)</th><th>Who</th><th>Setting</th><th>Before</th><th>After</th><th>Result</th></tr>
<?php foreach ($records as $record): ?>
<tr data-oid="<?= h($record['oid']) ?>" data-source="<?= h($record['source']) ?>" class="<?= $record['result'] === 'stored' ? 'stored' : 'refused' ?>">
<td><?= h(str_replace(['T', 'Z'], [' ', ''], $record['time'])) ?></td>
<td><strong class="account"><?= h($record['account']) ?></strong><br><small><?= h($record['source'] === 'console' ? 'console, ' . $record['address'] : 'agent, ' . $record['address']) ?>; <?= h($record['action']) ?></small></td>
<td class="oid"><a href="history.php?oid=<?= h(rawurlencode($record['oid'])) ?>"><?= str_replace('.', '.<wbr>', h($record['oid'])) ?></a></td>
<td><?= value_cell($record['old']) ?></td>
<td><?= value_cell($record['new']) ?></td>
<td class="result"><?= h($record['result']) ?></td>
</tr>
<?php endforeach ?>
</table>
<?php endif ?>
<?php page_warnings(); ?>
</body>
</html>
