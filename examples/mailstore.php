<?php
// The sample console's mail store page: the mailboxes and public folders of this machine as
// the mail store parser holds them, with a button that asks it to read both again.
declare(strict_types=1);

function h(string $text): string { return htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8'); }

$notes = [];
set_error_handler(function (int $level, string $message) use (&$notes): bool {
    $notes[] = $message;
    return true;
});

$refresh = ($_SERVER['REQUEST_METHOD'] ?? 'GET') === 'POST' && isset($_POST['refresh']);
$lists = [];
foreach (['vxm_read_mailboxes' => 'Mailboxes', 'vxm_read_public_folders' => 'Public folders'] as $function => $title) {
    $rows = [];
    $rc = function_exists($function) ? $function($rows, $refresh) : null;
    $lists[$title] = ['rc' => $rc, 'rows' => $rows];
}
if ($refresh) {
    header('Location: mailstore.php', true, 303);  // a reload does not ask again
    exit;
}
?>
<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Mail store — Corvane Tidewall</title>
<style>
body { font-family: sans-serif; margin: 1em 2em; max-width: 60em; }
table { border-collapse: collapse; width: 100%; margin-bottom: 2em; }
td, th { border: 1px solid #ccc; padding: 0.2em 0.5em; text-align: left; overflow-wrap: anywhere; }
.note { background: #fff3cd; padding: 0.5em; margin: 0.5em 0; }
</style>
</head>
<body>
<p><a href="index.php">Settings</a> · <strong>Mail store</strong></p>
<h1>Mail store</h1>
<?php foreach ($notes as $note): ?><div class="note"><?= h($note) ?></div><?php endforeach ?>
<form method="post"><button name="refresh" value="1">Read both lists again</button></form>
<?php foreach ($lists as $title => ['rc' => $rc, 'rows' => $rows]): ?>
<h2><?= h($title) ?> (<?= count($rows) ?>)</h2>
<?php if ($rc === null): ?>
<p>The extension does not provide this list.</p>
<?php elseif ($rc !== 0): ?>
<p>The list is not available yet (result <?= (int)$rc ?>): the mail store is still being read, or no parser runs in this process.</p>
<?php else: ?>
<table>
<tr><th>Name</th><th>URL</th><th>Level</th></tr>
<?php foreach ($rows as [$name, $url, $level]): ?>
<tr><td><?= h($name) ?></td><td><?= h($url) ?></td><td><?= (int)$level ?></td></tr>
<?php endforeach ?>
</table>
<?php endif ?>
<?php endforeach ?>
</body>
</html>
