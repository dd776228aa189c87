<?php
// Logs the console's session out: a POST with the session's form token (so that no other
// site can log an administrator out) ends the session in the store and in the browser,
// and sends the browser to the login form.
declare(strict_types=1);

require __DIR__ . '/include/console.php';

if (!console_start()) {
    http_response_code(405);
    header('Allow: POST');
    exit;
}
require_token();
$account = $_SESSION['account'] ?? null;
if (is_string($account) && valid_account_name($account)) {
    console_log(LOG_NOTICE, "console logout of account $account from " . client_address());
}
$_SESSION = [];
session_destroy();
$cookie = session_get_cookie_params();
setcookie(session_name(), '', ['expires' => 1] + array_intersect_key($cookie,
          array_flip(['path', 'domain', 'secure', 'httponly', 'samesite'])));
header('Location: login.php', true, 303);
