<?php
// The sample console's mail store page: the mailboxes and public folders of this machine as
// the mail store parser holds them (the folders as a tree), with a button that asks it to
// read both again, the status of the servers they come from, and for each list where its
// last reading came from, when, and why it is empty.
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
$sources = fx('cvwwwui_list_sources') ? cvwwwui_list_sources() : -1;
$lists['Mailboxes']['reading'] = is_array($sources) ? $sources['mailboxes'] : null;
$lists['Public folders']['reading'] = is_array($sources) ? $sources['public_folders'] : null;
$flash = take_flash();
$lastError = $loaded && fx('settings_last_error') ? settings_last_error() : null;

// Results of the storage server and of the fallback sources, in words.
function result_words(int $code): string {
    return match ($code) {
        0x80040154 => 'its classes are not registered in the registry',
        0x80080005 => 'it is not running (nothing serves its socket)',
        0x80004015 => 'its socket is served by an account it does not trust',
        0x800706BA => 'it broke the connection or did not answer in time',
        0x80070002 => 'it has no passwd-file',
        0x80070003 => 'it has no public folder root',
        0x80070005 => 'it refused its source (a file of another account, or one everyone may write)',
        0x8007000E => 'it has no memory left for the lists',
        0x8007203A => 'the directory server cannot be reached',
        0x80072030 => 'the directory lacks an object it needs (its configuration or this server\'s mailbox stores)',
        0x800705B4 => 'the directory did not answer in time',
        0x80072022 => 'reading the directory took longer than its bound',
        0x80072023 => 'the directory sent more than its bounds allow',
        0x80005000 => 'the directory sent a path that was refused',
        0x8007045B => 'the reading was stopped',
        0x800A0BCD => 'the public folder store has no folders',
        default => sprintf('it failed (0x%08X)', $code),
    };
}

// Where a list came from, when, and why it is empty: a paragraph.
function source_text(string $title, ?array $reading, int $count): string {
    if ($reading === null || $reading['source'] === 'not read') {
        return 'Where this list comes from is not known yet: the mail store parser has not read it.';
    }
    $when = ' at ' . gmdate('Y-m-d H:i:s', $reading['read_at']) . ' UTC';
    if ($reading['source'] === 'storage server') {
        return "Read from the storage server$when." . ($count === 0 ? ' The storage server lists none.' : '');
    }
    $server = match (true) {
        $title !== 'Mailboxes' => '',
        $reading['directory'] === '' => ' (none is configured: LDAPURI is not set)',
        default => ' (' . $reading['directory'] . ')',
    };
    $text = 'Read from the ' . $reading['source'] . $server
          . "$when, because the storage server could not be used: " . result_words($reading['server_result']) . '.';
    $fallback = $reading['fallback_result'];
    if ($fallback !== 0 && $fallback !== 0x800A0BCD) {
        $text .= ' The ' . $reading['source'] . ' could not be read: ' . result_words($fallback)
               . ($count > 0 ? ' (the list holds what was read before that).' : '.');
        if ($fallback === 0x8007203A && $title === 'Mailboxes') {
            $text .= ' The directory server is set by LDAPURI in the console\'s environment, or by URI in /etc/ldap/ldap.conf.';
        }
    } elseif ($count === 0) {
        $text .= $title === 'Mailboxes'
            ? ' The directory has no mailboxes of this server.'
            : ' The public folder store has no folders, or this server holds no information store (no information store keys in the registry).';
    }
    return $text;
}

// The public folders as a tree: a folder goes below the folder whose URL its own extends by
// one name; one whose parent is not listed starts a tree of its own.
function folder_tree(array $rows): array {
    $nodes = [];
    $roots = [];
    foreach ($rows as $i => [$name, $url]) $nodes[(string)$url] = ['name' => (string)$name, 'url' => (string)$url, 'children' => []];
    foreach ($rows as [, $url]) {
        $url = (string)$url;
        $cut = strrpos(rtrim($url, '/'), '/');
        $parent = $cut === false ? '' : substr($url, 0, $cut);
        if ($parent !== '' && $parent !== $url && isset($nodes[$parent])) {
            $nodes[$parent]['children'][] = &$nodes[$url];
        } else {
            $roots[] = &$nodes[$url];
        }
    }
    return $roots;
}

function tree_html(array $nodes): string {
    $html = '';
    foreach ($nodes as $node) {
        $html .= '<li><span class="name">' . h($node['name']) . '</span><span class="url">' . h($node['url']) . '</span>'
               . ($node['children'] ? "\n<ul>" . tree_html($node['children']) . '</ul>' : '') . "</li>\n";
    }
    return $html;
}

page_head('Mail store');
?>
<h1>Corvane Tidewall</h1>
<?php account_bar(); page_facts(); page_nav('mailstore'); ?>
<?php if (!$loaded): ?>
<div class="box bad"><p>The extension is not loaded: the console cannot read the mail store.</p></div>
<?php else: ?>
<?php status_line(server_status(), $lastError, false); ?>
<?php if ($flash !== null): ?><div class="box ok" id="result"><p><?= h($flash['text']) ?></p></div><?php endif ?>
<p>The lists come from the storage server; when it cannot be used, the mailboxes come from the
directory and the public folders from the public folder store.</p>
<form method="post"><?= token_field() ?><button name="refresh" value="1" id="refresh">Read both lists again</button></form>
<?php foreach ($lists as $title => ['rc' => $rc, 'rows' => $rows, 'reading' => $reading]):
    $id = $title === 'Mailboxes' ? 'mailboxes' : 'public-folders'; ?>
<h2><?= h($title) ?> (<?= count($rows) ?>)</h2>
<?php if ($rc === null): ?>
<p>The extension does not provide this list.</p>
<?php elseif ($rc !== 0): ?>
<p>The list is not available yet (result <?= (int)$rc ?>): the mail store is still being read, or no parser runs in this process.</p>
<?php else: ?>
<p class="source" id="source-<?= $id ?>"><?= h(source_text($title, $reading, count($rows))) ?></p>
<?php if ($title === 'Mailboxes' && $rows): ?>
<table class="list" data-list="Mailboxes">
<colgroup><col class="name"><col></colgroup>
<tr><th>Name</th><th>URL</th></tr>
<?php foreach ($rows as [$name, $url]): ?>
<tr><td><?= h((string)$name) ?></td><td><?= h((string)$url) ?></td></tr>
<?php endforeach ?>
</table>
<?php elseif ($rows): ?>
<ul class="tree" data-list="Public folders">
<?= tree_html(folder_tree($rows)) ?></ul>
<?php endif ?>
<?php endif ?>
<?php endforeach ?>
<?php endif ?>
<?php page_warnings(); ?>
</body>
</html>
