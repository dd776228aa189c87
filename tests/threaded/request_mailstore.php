<?php
// A mail store page's request: both lists, appended to an array that holds a row already,
// each as the reference run read them; every twentieth request reads them again first.
require __DIR__ . '/request.inc';
[$plan, $t, $r] = request();
read_policy($r);
$refresh = every($r, 20, 6);
foreach (['vxm_read_mailboxes' => 'mailboxes', 'vxm_read_public_folders' => 'folders'] as $function => $key) {
    [$rc, $rows] = mail_list($function, $refresh);
    check($rc === 0 && array_shift($rows) === 'kept' && $rows === $plan[$key],
          "$function $rc " . json_encode($rows, JSON_UNESCAPED_UNICODE));
}
check(products_is_vexmail_installed() === $plan['products'][0], 'product check');
[$oid, $seed] = $plan['reload'];
check(settings_get_int($oid, $got) === $got && ($got === $seed || ($got >= 1 && $got < 1000000)), "reloaded $got");
note('reload', $got);
verdict();
