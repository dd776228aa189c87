<?php
// The sample console's mail store page: the mailboxes and public folders of this machine as
// the mail store parser holds them, with a button that asks it to read both again, and the
// status of the servers they come from.
declare(strict_types=1);

require __DIR__ . '/include/console.php';

[$loaded, $post] = console_request();

$refresh = $post && isset($_POST['refresh']);
$lists = [];
foreach (['vxm_read_mailboxes' => 'Mailboxes', 'vxm_read_public_folders' => 'Public folders'] as $function => $title) {
    $rows = [];
    $rc = fx($function) ? $function($rows, $refresh) : null;
    $lists[$title] = ['rc' => $rc, 'rows' => $rows];
}
if ($refresh) {
    flash(['kind' => 'note', 'text' => 'The mail store parser was asked to read both lists again; they fill in as it reads.']);
    redirect('mailstore.php');  // a reload does not ask again
}
$flash = take_flash();
$lastError = $loaded && fx('settings_last_error') ? settings_last_error() : null;

page_head('Mail store');
?>
<h1>Corvane Tidewall</h1>
<?php account_bar(); ?>
<nav>
<?php foreach (GROUPS as $key => [$label]): ?>
<a href="index.php?group=<?= h($key) ?>"><?= h($label) ?></a>
<?php endforeach ?>
<a href="mailstore.php" class="here" aria-current="page">Mail store</a>
<a href="history.php">History</a>
</nav>
<?php if (!$loaded): ?>
<div class="box bad"><p>The extension is not loaded: the console cannot read the mail store.</p></div>
<?php else: ?>
<?php status_line(server_status(), $lastError, false); ?>
<?php if ($flash !== null): ?><div class="box ok" id="result"><p><?= h($flash['text']) ?></p></div><?php endif ?>
<p>When the storage server is not running, the lists come from the directory and the public
folder store instead.</p>
<form method="post"><?= token_field() ?><button name="refresh" value="1" id="refresh">Read both lists again</button></form>
<?php foreach ($lists as $title => ['rc' => $rc, 'rows' => $rows]): ?>
<h2><?= h($title) ?> (<?= count($rows) ?>)</h2>
<?php if ($rc === null): ?>
<p>The extension does not provide this list.</p>
<?php elseif ($rc !== 0): ?>
<p>The list is not available yet (result <?= (int)$rc ?>): the mail store is still being read, or no parser runs in this process.</p>
<?php else: ?>
<table class="list" data-list="<?= h($title) ?>">
<colgroup><col class="name"><col><col class="level"></colgroup>
<tr><th>Name</th><th>URL</th><th>Level</th></tr>
<?php foreach ($rows as [$name, $url, $level]): ?>
<tr><td><?= h((string)$name) ?></td><td><?= h((string)$url) ?></td><td><?= (int)$level ?></td></tr>
<?php endforeach ?>
</table>
<?php endif ?>
<?php endforeach ?>
<?php endif ?>
<?php if (warnings()): ?>
<h2>Warnings</h2>
<div class="box warn" id="warnings"><?php foreach (warnings() as $note): ?><p><?= h($note) ?></p><?php endforeach ?></div>
<?php endif ?>
</body>
</html>
