<?php
// The reference request, run alone before the threaded run: what a single request reads of
// the mail store and the product checks, as JSON.
require __DIR__ . '/request.inc';
$out = ['products' => [products_is_vexmail_installed(), products_is_vexsrv_installed(), products_is_pallsrv()]];
foreach (['vxm_read_mailboxes' => 'mailboxes', 'vxm_read_public_folders' => 'folders'] as $function => $key) {
    [$rc, $rows] = mail_list($function, false);
    array_shift($rows);
    $out[$key] = $rc === 0 ? $rows : "rc $rc";
}
echo json_encode($out, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES), "\n";
