<?php
// The sample administration console: what the module shows of itself and of this machine.
$name = 'Corvane Tidewall extension';
$loaded = extension_loaded($name);

function h(string $text): string { return htmlspecialchars($text, ENT_QUOTES); }

$checks = [];
if ($loaded) {
    $checks = [
        'Mail-server product (products_is_vexmail_installed)' => products_is_vexmail_installed(),
        'Server anti-virus product (products_is_vexsrv_installed)' => products_is_vexsrv_installed(),
        'Hosted-service server product (products_is_pallsrv)' => products_is_pallsrv(),
    ];
    ob_start();
    phpinfo(INFO_MODULES);
    $info = ob_get_clean();
    // Keep only this module's section of the information page.
    $start = strpos($info, "<h2><a name=\"module_" . strtolower(str_replace(' ', '_', $name)));
    $start = $start === false ? strpos($info, $name) : $start;
    $end = $start === false ? false : strpos($info, '<h2>', $start + 4);
    $info = $start === false ? '' : substr($info, $start, $end === false ? null : $end - $start);
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
td, th { border: 1px solid #999; padding: .3em .8em; text-align: left; }
.yes { color: #060; font-weight: bold; } .no { color: #900; }
</style>
</head>
<body>
<h1>Corvane Tidewall</h1>
<?php if (!$loaded): ?>
<p class="no">The extension is not loaded.</p>
<?php else: ?>
<h2>Installed products</h2>
<table>
<tr><th>Check</th><th>Answer</th></tr>
<?php foreach ($checks as $label => $answer): ?>
<tr><td><?= h($label) ?></td>
    <td class="<?= $answer ? 'yes' : 'no' ?>"><?= $answer ? '1 (installed)' : '0 (not installed)' ?></td></tr>
<?php endforeach; ?>
</table>
<h2>Module information</h2>
<?= $info ?>
<?php endif; ?>
</body>
</html>
