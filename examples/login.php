<?php
// The console's login: an account of the accounts file (CORVANE_CONSOLE_ACCOUNTS, managed
// with corvane-console-account) and its password. GET shows the form; POST (with the
// session's form token, so that no other site can log a browser in to an account of its
// choosing) checks it and sends the browser on to the page it asked for. Failed logins are
// counted per account and per client address and make the next attempt wait (see
// login_attempt), and every failure is logged with the account and the address.
declare(strict_types=1);

require __DIR__ . '/include/console.php';

// Checked for a name that has no account, so that a wrong name takes as long as a wrong
// password and does not tell which names exist.
const NO_ACCOUNT_HASH = '$argon2id$v=19$m=65536,t=4,p=1$LmhwMmNpOXA4Z1lZdVFSMQ$QW+uQbDpWiMH9es6dD5Rfc1yB0bGEJdqNS6G+1SOs4g';

function seconds(int $n): string { return $n === 1 ? '1 second' : "$n seconds"; }

$post = console_start();
$next = login_next($post ? ($_POST['next'] ?? null) : ($_GET['next'] ?? null));
if (!$post && session_account() !== null) redirect($next);

$file = accounts_file();
$accounts = read_accounts($file);
$name = '';
$problem = null;
if ($post) {
    require_token();
    $name = is_string($_POST['account'] ?? null) ? $_POST['account'] : '';
    $password = is_string($_POST['password'] ?? null) ? $_POST['password'] : '';
    $known = valid_account_name($name);
    $address = client_address();
    // A name that cannot be an account is neither logged (it may be a password typed in
    // the wrong field) nor counted under its own name.
    $shown = $known ? $name : '(not an account name)';
    if ($accounts === null) {
        http_response_code(503);
        console_log(LOG_ERR, "console login refused for account $shown from $address: no accounts file can be read");
    } else {
        $attempt = login_attempt($known ? $name : '?', $address, function () use ($accounts, $name, $password): bool {
            $hash = $accounts[$name] ?? null;
            $right = strlen($password) <= PASSWORD_MAX_BYTES && password_verify($password, $hash ?? NO_ACCOUNT_HASH);
            return $right && $hash !== null;
        });
        if ($attempt['ok']) {
            log_in($name, $accounts[$name], time());
            console_log(LOG_NOTICE, "console login of account $name from $address");
            redirect($next);
        }
        if ($attempt['wait'] === null) {
            http_response_code(503);
            $problem = 'No one can log in now: the console cannot count failed logins (its folder beside'
                     . ' the sessions belongs to another account or is open to others). The system log says more.';
            console_log(LOG_ERR, "console login refused for account $shown from $address: failed logins cannot be"
                               . ' counted (the folder beside the sessions is another account\'s, or open to others)');
        } elseif (!$attempt['checked']) {
            http_response_code(429);
            header('Retry-After: ' . $attempt['wait']);
            $problem = 'Too many failed logins: the next attempt is checked in ' . seconds($attempt['wait']) . '.';
        } else {
            http_response_code(403);
            console_log(LOG_WARNING, "console login failed for account $shown from $address");
            $problem = 'The account or the password is wrong. The next attempt is checked in '
                     . seconds($attempt['wait']) . '.';
        }
    }
}
$ended = $_SESSION['ended'] ?? null;
unset($_SESSION['ended']);

page_head('Log in');
?>
<h1>Corvane Tidewall</h1>
<?php if ($accounts === null): ?>
<div class="box bad" id="no-accounts"><p>No one can log in: the console's accounts file
<?= $file === '' ? '(CORVANE_CONSOLE_ACCOUNTS is not set)' : '<code>' . h($file) . '</code>' ?> is missing or cannot be read.
An administrator adds an account with <code>corvane-console-account add NAME</code>.</p></div>
<?php else: ?>
<?php if ($ended !== null): ?>
<div class="box warn" id="ended"><p><?= h(match ($ended) {
    'idle' => 'You were logged out after ' . intdiv(SESSION_IDLE_SECONDS, 60) . ' minutes without use.',
    'changed' => 'You were logged out: your account was changed or removed.',
    default => 'You were logged out: your session ended.',
}) ?> Log in again.</p></div>
<?php endif ?>
<?php if ($problem !== null): ?>
<div class="box bad" id="problem"><p><?= h($problem) ?></p></div>
<?php endif ?>
<form method="post" action="login.php" class="login" id="login">
<?= token_field() ?><input type="hidden" name="next" value="<?= h($next) ?>">
<label for="account">Account</label>
<input type="text" name="account" id="account" value="<?= h($name) ?>" autocomplete="username" autocapitalize="none" spellcheck="false" required>
<label for="password">Password</label>
<input type="password" name="password" id="password" autocomplete="current-password" required>
<button id="log-in">Log in</button>
</form>
<?php endif ?>
</body>
</html>
