<?php
// The sample console's common part: the settings list and its groups, reading values in
// the form the page shows them, checking and applying what an administrator typed, the
// response headers, the session with its login and form token, the console's log lines,
// the audit trail of changes, and the status of the management agent and the storage
// server. The pages (index.php, mailstore.php, history.php, login.php, logout.php) include
// it; requested by itself it answers 404 and does nothing.
declare(strict_types=1);

if (realpath($_SERVER['SCRIPT_FILENAME'] ?? '') === __FILE__) {
    http_response_code(404);
    exit;
}

const EXTENSION = 'Corvane Tidewall extension';
// The console's own release, shown on every page beside the extension's (whose module entry
// states none).
const CONSOLE_VERSION = '1.0.0';  // the release: CMake's project version and debian/changelog say the same
const PREFIX = '1.3.6.1.4.1.8642.';
const INT_MIN32 = -2147483648;
const INT_MAX32 = 2147483647;

function h(string $text): string { return htmlspecialchars($text, ENT_QUOTES | ENT_SUBSTITUTE, 'UTF-8'); }
function fx(string $function): bool { return function_exists($function); }

function machine_root(): string { return getenv('CORVANE_ROOT') ?: '/var/lib/corvane'; }

// PHP warnings of the calls are kept for the page instead of landing in the middle of the
// HTML; warnings() answers them.
function collect_warnings(): void {
    set_error_handler(function (int $level, string $message): bool {
        // A call silenced with @ (a probe of a server's socket) has said what it had to say.
        if ((error_reporting() & $level) === 0) return true;
        $GLOBALS['console_warnings'][] = $message;
        return true;
    });
}
function warnings(): array { return array_values(array_unique($GLOBALS['console_warnings'] ?? [])); }

// ---------------------------------------------------------------------------------------
// Response headers. Every page names what it may load: its own inline script and style,
// marked with a nonce made for this response, and nothing from anywhere else; no other
// site may frame it (a framed console could be clicked through by a hostile page).

function csp_nonce(): string {
    static $nonce = null;
    return $nonce ??= base64_encode(random_bytes(18));
}

function send_security_headers(): void {
    $nonce = csp_nonce();
    header("Content-Security-Policy: default-src 'none'; script-src 'nonce-$nonce'; style-src 'nonce-$nonce';"
         . " img-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
    header('X-Content-Type-Options: nosniff');
    header('Referrer-Policy: same-origin');
    header('X-Frame-Options: DENY');
    // Pages of settings stay out of caches: the back button after logging out shows nothing.
    header('Cache-Control: no-store');
    header_remove('X-Powered-By');
}

// ---------------------------------------------------------------------------------------
// Session, login and form token. A session lives in PHP's session store; it is logged in
// once login.php has checked an account of the accounts file, and logged out when it is
// idle too long, too old, or its account was removed or given a new password. Every POST
// carries the session's token; a POST without it (one sent from another site, or from a
// page of an expired session) changes nothing.

require_once __DIR__ . '/accounts.php';

// A session unused for this long is logged out.
const SESSION_IDLE_SECONDS = 15 * 60;
// A session is logged out this long after its login, however busy.
const SESSION_LIFETIME_SECONDS = 8 * 3600;

function accounts_file(): string { return (string)getenv('CORVANE_CONSOLE_ACCOUNTS'); }

function https(): bool { return !empty($_SERVER['HTTPS']) && $_SERVER['HTTPS'] !== 'off'; }

function client_address(): string {
    $address = $_SERVER['REMOTE_ADDR'] ?? '';
    return is_string($address) && filter_var($address, FILTER_VALIDATE_IP) !== false ? $address : 'unknown';
}

function console_session(): void {
    if (session_status() === PHP_SESSION_ACTIVE) return;
    session_name('cvconsole');
    session_set_cookie_params(['httponly' => true, 'samesite' => 'Strict', 'path' => '/', 'secure' => https()]);
    ini_set('session.use_strict_mode', '1');
    ini_set('session.use_only_cookies', '1');
    ini_set('session.gc_maxlifetime', (string)SESSION_IDLE_SECONDS);
    if (!@session_start()) {
        http_response_code(500);
        echo 'The console cannot keep a session: PHP\'s session save path is not writable.';
        exit;
    }
    if (!isset($_SESSION['token'])) $_SESSION['token'] = bin2hex(random_bytes(32));
}

// What a session remembers of its account's password: a new password or a removed account
// ends the sessions logged in with the old one.
function account_stamp(string $hash): string { return hash('sha256', $hash); }

// Marks this session logged in to $account ($hash: its hash in the accounts file), under a
// new session id and a new form token, so nothing learnt before the login serves after it.
function log_in(string $account, string $hash, int $now): void {
    if (session_status() === PHP_SESSION_ACTIVE) session_regenerate_id(true);
    $_SESSION = ['account' => $account, 'stamp' => account_stamp($hash), 'login_at' => $now,
                 'seen_at' => $now, 'token' => bin2hex(random_bytes(32))];
}

// The account this session is logged in to, or null. A session that is idle or too old, or
// whose account was removed or given a new password, is emptied here under a new id,
// keeping only why (for the login page).
function session_account(?int $now = null): ?string {
    $now ??= time();
    $name = $_SESSION['account'] ?? null;
    if (!is_string($name)) return null;
    $hash = (read_accounts(accounts_file()) ?? [])[$name] ?? null;
    $seen = $_SESSION['seen_at'] ?? null;
    $login = $_SESSION['login_at'] ?? null;
    $ended = match (true) {
        !is_int($seen) || !is_int($login) => 'expired',
        $now - $seen > SESSION_IDLE_SECONDS => 'idle',
        $now - $login > SESSION_LIFETIME_SECONDS => 'expired',
        $hash === null || !hash_equals(account_stamp($hash), (string)($_SESSION['stamp'] ?? '')) => 'changed',
        default => null,
    };
    if ($ended !== null) {
        if (session_status() === PHP_SESSION_ACTIVE) session_regenerate_id(true);
        $_SESSION = ['ended' => $ended, 'token' => bin2hex(random_bytes(32))];
        return null;
    }
    $_SESSION['seen_at'] = $now;
    return $name;
}

function current_account(): string { return (string)($GLOBALS['console_account'] ?? ''); }

function form_token(): string { return (string)$_SESSION['token']; }

function token_field(): string {
    return '<input type="hidden" name="token" value="' . h(form_token()) . '">';
}

// Answers 403 and stops unless the POST carries this session's token.
function require_token(): void {
    $sent = $_POST['token'] ?? '';
    if (!is_string($sent) || !hash_equals(form_token(), $sent)) {
        http_response_code(403);
        echo '<!DOCTYPE html><meta charset="utf-8"><title>Refused</title>'
           . '<p>This form was not sent from this console\'s own page (or the session has'
           . ' expired), so nothing was changed. <a href="index.php">Open the console again</a>.</p>';
        exit;
    }
}

// Where login.php sends the browser once logged in: a page of the console, never a URL
// that someone else chose.
function login_next(mixed $next): string {
    $page = '~^(index|mailstore|history)\.php(\?[A-Za-z0-9._%&=+-]*)?$~D';
    return is_string($next) && preg_match($page, $next) === 1 ? $next : 'index.php';
}

// The headers, PHP's warnings kept for the page, the session. Answers whether the request
// is a POST.
function console_start(): bool {
    send_security_headers();
    collect_warnings();
    console_session();
    return ($_SERVER['REQUEST_METHOD'] ?? 'GET') === 'POST';
}

// What every page but the login's does first: console_start; a request without a
// logged-in session goes to the login form (a GET comes back to the page it asked for
// afterwards), a POST without its token is refused. Answers [extension loaded, request is
// a POST].
function console_request(): array {
    $post = console_start();
    $account = session_account();
    if ($account === null) {
        $page = basename((string)($_SERVER['SCRIPT_NAME'] ?? 'index.php'));
        $query = (string)($_SERVER['QUERY_STRING'] ?? '');
        $next = login_next($post || $query === '' ? $page : "$page?$query");
        redirect('login.php' . ($next === 'index.php' ? '' : '?next=' . rawurlencode($next)));
    }
    $GLOBALS['console_account'] = $account;
    if ($post) require_token();
    return [extension_loaded(EXTENSION), $post];
}

// ---------------------------------------------------------------------------------------
// Failed logins, counted per account name and per client address in one small file of
// this process's own account (beside the sessions). While the wait after the last failure
// of either runs, an attempt is refused without checking its password; each failure
// doubles the wait, from LOGIN_DELAY_FIRST_SECONDS up to LOGIN_DELAY_MAX_SECONDS; failures
// are forgotten LOGIN_FAILURES_KEPT_SECONDS after the last one. Nothing sleeps: the page
// answers at once, and the one worker stays free for everyone else.

const LOGIN_DELAY_FIRST_SECONDS = 1;
const LOGIN_DELAY_MAX_SECONDS = 30;
const LOGIN_FAILURES_KEPT_SECONDS = 15 * 60;
// The names and addresses remembered; the least recent are forgotten first.
const LOGIN_STATE_MAX_ENTRIES = 1000;

function login_delay(int $failures): int {
    return $failures <= 0 ? 0 : min(LOGIN_DELAY_MAX_SECONDS, LOGIN_DELAY_FIRST_SECONDS << min($failures - 1, 16));
}

// The effective user id of this process (the posix extension is not always loaded).
function process_uid(): ?int {
    if (fx('posix_geteuid')) return posix_geteuid();
    $status = @file_get_contents('/proc/self/status');
    return $status !== false && preg_match('/^Uid:\s+\d+\s+(\d+)/m', $status, $match) ? (int)$match[1] : null;
}

// The counts live in a folder that only this process's account can change, made in the
// session store's folder. Null when that folder is another account's, a link, or open to
// others: counts that another account could reset are no counts.
function login_state_file(): ?string {
    $path = (string)ini_get('session.save_path');
    if (str_contains($path, ';')) $path = substr($path, strrpos($path, ';') + 1);
    if ($path === '') $path = sys_get_temp_dir();
    $uid = process_uid();
    if ($uid === null) return null;
    $dir = rtrim($path, '/') . "/cvconsole-logins-$uid";
    @mkdir($dir, 0700);
    clearstatcache();
    $info = @lstat($dir);
    if ($info === false || ($info['mode'] & 0170000) !== 0040000 || $info['uid'] !== $uid || ($info['mode'] & 0077) !== 0) {
        return null;
    }
    return "$dir/failures.json";
}

// One login attempt of $account from $address: answers ['checked' => $check was called (no
// wait ran), 'ok' => it said the password is right, 'wait' => seconds before the next
// attempt is checked, or null when the counts cannot be kept (and so nothing is checked)].
function login_attempt(string $account, string $address, callable $check, ?float $now = null): array {
    $now ??= microtime(true);
    $file = login_state_file();
    $handle = $file === null ? false : @fopen($file, 'c+');
    if ($handle === false) return ['checked' => false, 'ok' => false, 'wait' => null];
    flock($handle, LOCK_EX);
    $state = json_decode((string)stream_get_contents($handle, LOGIN_STATE_MAX_ENTRIES * 128), true);
    $state = array_filter(is_array($state) ? $state : [], fn($entry) => is_array($entry) && count($entry) === 2
        && is_int($entry[0]) && is_numeric($entry[1]) && $now - $entry[1] <= LOGIN_FAILURES_KEPT_SECONDS);
    $keys = ['account:' . $account, 'address:' . $address];
    $wait = 0;
    foreach ($keys as $key) {
        if (isset($state[$key])) $wait = max($wait, (int)ceil($state[$key][1] + login_delay($state[$key][0]) - $now));
    }
    $ok = false;
    $checked = $wait <= 0;
    if ($checked) {
        $ok = (bool)$check();
        $wait = 0;
        if ($ok) {
            unset($state[$keys[0]]);
        } else {
            foreach ($keys as $key) {
                $state[$key] = [($state[$key][0] ?? 0) + 1, $now];
                $wait = max($wait, login_delay($state[$key][0]));
            }
        }
        if (count($state) > LOGIN_STATE_MAX_ENTRIES) {
            uasort($state, fn($a, $b) => $b[1] <=> $a[1]);
            $state = array_slice($state, 0, LOGIN_STATE_MAX_ENTRIES, true);
        }
        ftruncate($handle, 0);
        rewind($handle);
        fwrite($handle, json_encode($state));
        fflush($handle);
    }
    flock($handle, LOCK_UN);
    fclose($handle);
    return ['checked' => $checked, 'ok' => $ok, 'wait' => $wait];
}

// ---------------------------------------------------------------------------------------
// The console's own log lines, on syslog (the sample console of scripts/run.sh prints them
// on its terminal too). Never a password, never an enciphered setting's value.

function console_log(int $priority, string $message): void {
    openlog('corvane-console', LOG_PID | (PHP_SAPI === 'cli-server' ? LOG_PERROR : 0), LOG_AUTHPRIV);
    syslog($priority, $message);
    closelog();
}

// ---------------------------------------------------------------------------------------
// The audit trail: who changed which setting, when, from what to what, and whether it was
// stored. Each save of the console leaves one record per setting it tried to write, in
// CONSOLE_AUDIT_FILE under the machine root (append-only, 0640: this account's, read by the
// administrators' group through the log folder's group) and on syslog. The management
// agent keeps AGENT_AUDIT_FILE the same way for every client that changes the policy
// (cvmactl, and this console's own process). One JSON object a line, fields time (UTC),
// source, account, address, action, oid, old, new (null: none) and result; no value can
// break a line (JSON escapes every line break), a value longer than AUDIT_VALUE_MAX_BYTES
// is cut and ends with AUDIT_CUT_MARK, and an enciphered setting's value is never written.

const CONSOLE_AUDIT_FILE = 'logs/console-audit.jsonl';
const AGENT_AUDIT_FILE = 'logs/agent-audit.jsonl';
// The most of one value a record keeps, in bytes of UTF-8 (the agent's bound is the same).
const AUDIT_VALUE_MAX_BYTES = 1024;
const AUDIT_CUT_MARK = '… [cut]';
const AUDIT_MASKED_VALUE = '(enciphered, not recorded)';
// The History page reads at most this many records from the end of each file, within at
// most HISTORY_MAX_BYTES of it: a file of any size costs the page the same.
const HISTORY_MAX_RECORDS = 1000;
const HISTORY_MAX_BYTES = 4 << 20;
// A line longer than this is no record of ours (a record is at most a few kilobytes).
const AUDIT_LINE_MAX_BYTES = 32 << 10;

function audit_json(array $record): string {
    return json_encode($record, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE | JSON_INVALID_UTF8_SUBSTITUTE);
}

// What a record keeps of a value of the setting $oid: null (none), the mask, or the text
// cut at AUDIT_VALUE_MAX_BYTES on a character boundary.
function audit_value(string $oid, ?string $text): ?string {
    if ($text === null) return null;
    if (isset(SECRETS[$oid])) return AUDIT_MASKED_VALUE;
    if (strlen($text) <= AUDIT_VALUE_MAX_BYTES) return $text;
    $end = AUDIT_VALUE_MAX_BYTES;
    while ($end > 0 && (ord($text[$end]) & 0xC0) === 0x80) $end--;
    return substr($text, 0, $end) . AUDIT_CUT_MARK;
}

// Records one save: $entries holds one ['oid' => string, 'old' => ?string, 'new' => ?string,
// 'result' => string] per setting the save tried to write, old and new as the review page
// showed them, result "stored" or why it was not. Written to the console's audit file and
// to syslog; when the file cannot take them, syslog still has them and says so.
function record_save(array $entries): void {
    $time = gmdate('Y-m-d\TH:i:s\Z');
    $lines = '';
    foreach ($entries as $entry) {
        $oid = (string)($entry['oid'] ?? '');
        $line = audit_json(['time' => $time, 'source' => 'console', 'account' => current_account(),
                            'address' => client_address(), 'action' => 'save', 'oid' => $oid,
                            'old' => audit_value($oid, isset($entry['old']) ? (string)$entry['old'] : null),
                            'new' => audit_value($oid, isset($entry['new']) ? (string)$entry['new'] : null),
                            'result' => (string)($entry['result'] ?? '')]);
        console_log(LOG_NOTICE, 'console audit: ' . $line);
        $lines .= $line . "\n";
    }
    if ($lines === '') return;
    $file = machine_root() . '/' . CONSOLE_AUDIT_FILE;
    $problem = append_audit($file, $lines);
    if ($problem !== null) {
        console_log(LOG_ERR, "console audit file $file $problem: the records of this save are only in the system log");
    }
}

// Appends whole lines to the audit file $file, making it 0640 when missing. Answers null, or
// what is wrong: a file that is not this account's own, or that others may write, or a
// link, is not written (whoever made it first in the log folder could edit it).
function append_audit(string $file, string $lines): ?string {
    $mask = umask(0027);
    $handle = @fopen($file, 'a');
    umask($mask);
    if ($handle === false) return 'cannot be opened';
    try {
        clearstatcache();
        $opened = fstat($handle);
        $named = @lstat($file);
        if ($named === false || ($named['mode'] & 0170000) !== 0100000 || $named['ino'] !== $opened['ino']
            || $named['dev'] !== $opened['dev'] || $opened['uid'] !== process_uid()
            || ($opened['mode'] & 0022) !== 0 || $opened['nlink'] !== 1) {
            return 'is not a file of this account\'s that only it may write';
        }
        if (!flock($handle, LOCK_EX) || fwrite($handle, $lines) !== strlen($lines) || !fflush($handle)) {
            return 'did not take the records';
        }
        return null;
    } finally {
        fclose($handle);
    }
}

// The last records of the audit file $file, oldest first: at most HISTORY_MAX_RECORDS, read
// from at most its last HISTORY_MAX_BYTES. Answers [records, lines that are no record, a
// problem or null]. A record is an array of the fields above, checked for their types.
function read_audit_tail(string $file): array {
    $handle = @fopen($file, 'r');
    if ($handle === false) {
        return [[], 0, file_exists($file) ? 'cannot be read by this account' : null];
    }
    $size = fstat($handle)['size'];
    $start = max(0, $size - HISTORY_MAX_BYTES);
    fseek($handle, $start);
    $text = (string)stream_get_contents($handle, HISTORY_MAX_BYTES);
    fclose($handle);
    if ($start > 0) {  // the first line is cut: the rest of it lies before the part read
        $cut = strpos($text, "\n");
        $text = $cut === false ? '' : substr($text, $cut + 1);
    }
    $lines = array_slice(explode("\n", rtrim($text, "\n")), -HISTORY_MAX_RECORDS);
    $records = [];
    $bad = 0;
    foreach ($lines as $line) {
        if ($line === '') continue;
        $record = strlen($line) <= AUDIT_LINE_MAX_BYTES ? json_decode($line, true, 2) : null;
        if (!is_array($record) || !audit_record_valid($record)) {
            $bad++;
            continue;
        }
        $records[] = $record;
    }
    return [$records, $bad, null];
}

function audit_record_valid(array $record): bool {
    foreach (['time', 'source', 'account', 'address', 'action', 'oid', 'result'] as $field) {
        if (!is_string($record[$field] ?? null)) return false;
    }
    foreach (['old', 'new'] as $field) {
        if (!array_key_exists($field, $record) || !($record[$field] === null || is_string($record[$field]))) return false;
    }
    return preg_match('/^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/D', $record['time']) === 1;
}

// The records of both files, newest first (records of the same second in the order they
// were written, the later first), those of the setting $oid (or below it) and the account
// $account when given. Answers [records, lines that are no record, problems by file].
function audit_history(?string $oid, ?string $account): array {
    $all = [];
    $bad = 0;
    $problems = [];
    foreach ([CONSOLE_AUDIT_FILE, AGENT_AUDIT_FILE] as $name) {
        $file = machine_root() . '/' . $name;
        [$records, $unreadable, $problem] = read_audit_tail($file);
        $bad += $unreadable;
        if ($problem !== null) $problems[$file] = $problem;
        foreach ($records as $n => $record) {
            if ($oid !== null && $record['oid'] !== $oid && !str_starts_with($record['oid'], "$oid.")) continue;
            if ($account !== null && $record['account'] !== $account) continue;
            $all[] = [$record['time'], $n, $record];
        }
    }
    usort($all, fn($a, $b) => [$b[0], $b[1]] <=> [$a[0], $a[1]]);
    return [array_column($all, 2), $bad, $problems];
}

// A message for the page that the browser is sent to after a POST.
function flash(array $message): void { $_SESSION['flash'] = $message; }
function take_flash(): ?array {
    $message = $_SESSION['flash'] ?? null;
    unset($_SESSION['flash']);
    return $message;
}

function redirect(string $location): never {
    session_write_close();
    header('Location: ' . $location, true, 303);
    exit;
}

// ---------------------------------------------------------------------------------------
// Status of the servers the console depends on: a connection to their sockets in the
// machine root. A server whose socket does not admit the web server's account is named
// as such, since that is an installation fault the operator can fix. Only a connection is
// tried: the installed pool's open_basedir keeps PHP's file functions out of the machine
// root, and a missing socket answers "no such file" to the connection too.

function probe_socket(string $path): array {
    $socket = @stream_socket_client('unix://' . $path, $code, $text, 1.0);
    if ($socket !== false) {
        fclose($socket);
        return ['up' => true, 'why' => 'reachable'];
    }
    if ($code === 13 || stripos($text, 'permission') !== false) {
        return ['up' => false, 'why' => 'running, but this account (' . web_account()
                                       . ') is not admitted to its socket'];
    }
    return ['up' => false, 'why' => 'not running'];
}

// The account this PHP process runs as (for messages); without the posix extension, read
// from the kernel's view of the process and the account database.
function web_account(): string {
    if (fx('posix_getpwuid') && ($uid = process_uid()) !== null) {
        $entry = posix_getpwuid($uid);
        if (is_array($entry)) return $entry['name'];
    }
    $uid = process_uid();
    if ($uid === null) return 'unknown';
    foreach (@file('/etc/passwd', FILE_IGNORE_NEW_LINES) ?: [] as $line) {
        $fields = explode(':', $line);
        if (count($fields) > 2 && $fields[2] === (string)$uid) return $fields[0];
    }
    return "uid $uid";
}

function agent_socket(): string { return machine_root() . '/run/cvmad.sock'; }

function server_status(): array {
    $root = machine_root();
    return [
        'agent' => probe_socket(agent_socket()) + ['socket' => agent_socket()],
        'storage' => probe_socket($root . '/run/cvstorage.sock') + ['socket' => $root . '/run/cvstorage.sock'],
    ];
}

// The last error of a commit, in words.
function last_error_text(?int $code): string {
    return match ($code) {
        null => 'unknown (the extension does not tell)',
        0 => 'none',
        12 => 'a setting is final or hidden in the policy, so it was not saved',
        14 => 'a setting could not be written to the policy or the registry',
        default => "error $code",
    };
}

// ---------------------------------------------------------------------------------------
// The settings list: every policy setting of $CORVANE_ROOT/policy-seed.jsonl (written by
// the seed) with its kind, and the registry-held settings.

// Groups, by OID prefix below the enterprise arc.
const GROUPS = [
    'vxm' => ['Mail-server product', ['20.1.']],
    'vxs' => ['Server product family', ['18.1.']],
    'common' => ['Common', ['42.1.', '11.1.']],
    'server' => ['Server product', ['12.1.', '38.1.', '38.2.', '53.1.', '53.4.', '61.1.', '61.4.', '57.1.']],
    'registry' => ['Registry settings', []],
];
// The installed product checks, each under the name of the group that holds its settings.
const PRODUCT_CHECKS = [
    'products_is_vexmail_installed' => 'vxm',
    'products_is_vexsrv_installed' => 'vxs',
    'products_is_pallsrv' => 'server',
];
// Registry settings: value name => kind.
const REGISTRY = [
    'OpenRetryDelay' => 'int', 'SendRetries' => 'int', 'SendRetryInterval' => 'int',
    'ScanningThreads' => 'int', 'ScanTimeout' => 'int',
    'AdditionalRcpts' => 'string', 'MTAAddress' => 'string', 'MTAPort' => 'int',
    'DatabaseName' => 'string', 'ServerAddress' => 'string', 'UserHldName' => 'string',
    'UserHldPassword' => 'secret', 'SqlProvider' => 'string',
];
// Enciphered settings are never shown; an empty field leaves them as they are.
const SECRETS = [PREFIX . '18.1.38.160' => true, 'UserHldPassword' => true];
// Table column types that hold strings; the others hold integers.
const STRING_COLUMNS = [3, 4];

function settings_list_file(): string { return machine_root() . '/policy-seed.jsonl'; }

// oid => ['kind' => int|string|secret|table, 'columns' => [type...], 'registry' => bool,
//         'group' => key]
function load_settings(): array {
    $settings = [];
    $file = settings_list_file();
    if (is_readable($file)) {
        foreach (file($file, FILE_IGNORE_NEW_LINES | FILE_SKIP_EMPTY_LINES) as $line) {
            if ($line[0] === '#') continue;
            $item = json_decode($line, true);
            if (!is_array($item) || !isset($item['oid']) || !is_string($item['oid'])) continue;
            $oid = $item['oid'];
            $group = group_of($oid);
            if ($group === null) continue;
            if (array_key_exists('int', $item)) {
                $kind = 'int';
            } elseif (array_key_exists('string', $item)) {
                $kind = isset(SECRETS[$oid]) ? 'secret' : 'string';
            } elseif (isset($item['columns']) && is_array($item['columns'])) {
                $kind = 'table';
            } else {
                continue;
            }
            $settings[$oid] = ['kind' => $kind, 'columns' => $item['columns'] ?? [],
                               'registry' => false, 'group' => $group];
        }
    }
    foreach (REGISTRY as $name => $kind) {
        $settings[$name] = ['kind' => $kind, 'columns' => [], 'registry' => true, 'group' => 'registry'];
    }
    return $settings;
}

function group_of(string $oid): ?string {
    if (!str_starts_with($oid, PREFIX)) return null;
    $rest = substr($oid, strlen(PREFIX));
    foreach (GROUPS as $key => [, $prefixes]) {
        foreach ($prefixes as $prefix) {
            if (str_starts_with($rest, $prefix)) return $key;
        }
    }
    return null;
}

// The branch a setting is listed under: its OID without the last arc.
function branch_of(string $oid): string {
    $cut = strrpos($oid, '.');
    return $cut === false ? '' : substr($oid, 0, $cut);
}

// ---------------------------------------------------------------------------------------
// Values as text: integers in decimal, strings as they are (line breaks as CR LF, as the
// items hold them and as browsers send them), tables as lines of comma-separated cells.

function functions_for(array $setting): array {
    $int = $setting['kind'] === 'int';
    if ($setting['registry']) {
        return $int ? ['settings_get_reg_int', 'settings_get_reg_default_int', 'settings_set_reg_int']
                    : ['settings_get_reg_str', 'settings_get_reg_default_str', 'settings_set_reg_str'];
    }
    if ($setting['kind'] === 'table') {
        return ['settings_get_table', 'settings_get_default_table', 'settings_set_table'];
    }
    return $int ? ['settings_get_int', 'settings_get_default_int', 'settings_set_int']
                : ['settings_get_str', 'settings_get_default_str', 'settings_set_str'];
}

// The current value (or default) as text; null when it cannot be read.
function value_text(string $oid, array $setting, bool $default = false): ?string {
    $function = functions_for($setting)[$default ? 1 : 0];
    if (!fx($function)) return null;
    if ($setting['kind'] === 'table') {
        $rows = [];
        return $function($oid, $rows) === 0 ? rows_to_text($rows) : null;
    }
    $value = null;
    $function($oid, $value);
    if ($value === null) return null;
    return $setting['kind'] === 'int' ? (string)$value : crlf((string)$value);
}

// At most $width characters of a text, cut at a character boundary.
function shorten(string $text, int $width = 60): string {
    if (!preg_match('/^.{0,' . $width . '}/su', $text, $match)) return '';
    return $match[0] === $text ? $text : $match[0] . '…';
}

function crlf(string $text): string { return str_replace("\n", "\r\n", str_replace("\r\n", "\n", $text)); }

// Integer cells of the current rows arrive as floats holding the unsigned value.
function cell_text(mixed $cell): string {
    if (is_float($cell)) {
        $cell = $cell > INT_MAX32 ? (int)($cell - 4294967296) : (int)$cell;
    }
    return (string)$cell;
}

function rows_to_text(array $rows): string {
    $stream = fopen('php://memory', 'w+');
    foreach ($rows as $row) {
        fputcsv($stream, array_map('cell_text', is_array($row) ? $row : [$row]), ',', '"', '');
    }
    rewind($stream);
    $text = stream_get_contents($stream);
    fclose($stream);
    return $text;
}

function text_to_rows(string $text): array {
    $stream = fopen('php://memory', 'w+');
    fwrite($stream, str_replace("\r\n", "\n", $text));
    rewind($stream);
    $rows = [];
    while (($row = fgetcsv($stream, null, ',', '"', '')) !== false) {
        if ($row === [null]) continue;  // a blank line
        $rows[] = $row;
    }
    fclose($stream);
    return $rows;
}

function int_error(string $text): ?string {
    if (!preg_match('/^\s*[+-]?\d+\s*$/', $text)) return 'not a whole number';
    $digits = ltrim(trim($text), '+');
    // Compared as numbers of arbitrary length: strip leading zeros, then compare as text.
    $negative = str_starts_with($digits, '-');
    $magnitude = ltrim(ltrim($digits, '-'), '0');
    $limit = $negative ? '2147483648' : '2147483647';
    if (strlen($magnitude) > strlen($limit) ||
        (strlen($magnitude) === strlen($limit) && strcmp($magnitude, $limit) > 0)) {
        return 'out of range';
    }
    return null;
}

// The problems listed for one field: a pasted table of thousands of bad rows names the first
// ones and counts the rest.
const FIELD_PROBLEMS_LISTED = 10;

// Checks what was typed for a setting. Answers [value to set, []] or [null, [message...]]:
// every bad row of a table is named (up to FIELD_PROBLEMS_LISTED, then how many more).
function parse_input(array $setting, string $text): array {
    $range = 'enter a whole number from ' . INT_MIN32 . ' to ' . INT_MAX32;
    switch ($setting['kind']) {
        case 'int':
            $problem = int_error($text);
            return $problem === null ? [(int)trim($text), []] : [null, [ucfirst("$problem: $range.")]];
        case 'table':
            $columns = $setting['columns'];
            $rows = $problems = [];
            foreach (text_to_rows($text) as $n => $cells) {
                $line = $n + 1;
                if (count($cells) !== count($columns)) {
                    $problems[] = "Row $line has " . count($cells) . ' cell' . (count($cells) === 1 ? '' : 's')
                                . ', the table has ' . count($columns) . ' column'
                                . (count($columns) === 1 ? '' : 's') . ' (' . column_names($columns) . ').';
                    continue;
                }
                $row = [];
                foreach ($columns as $c => $type) {
                    $cell = (string)$cells[$c];
                    if (in_array($type, STRING_COLUMNS, true)) {
                        $row[] = $cell;  // line breaks as LF, as the tables keep them
                        continue;
                    }
                    $problem = int_error($cell);
                    if ($problem !== null) {
                        $problems[] = "Row $line, cell " . ($c + 1) . ' ("' . $cell . "\") is $problem: $range.";
                        continue 2;
                    }
                    $row[] = (int)trim($cell);
                }
                $rows[] = $row;
            }
            if (count($problems) > FIELD_PROBLEMS_LISTED) {
                $more = count($problems) - FIELD_PROBLEMS_LISTED;
                $problems = array_slice($problems, 0, FIELD_PROBLEMS_LISTED);
                $problems[] = "And $more more row" . ($more === 1 ? '' : 's') . ' with a problem.';
            }
            return $problems ? [null, $problems] : [$rows, []];
        default:  // string, secret
            return [crlf($text), []];
    }
}

function column_names(array $columns): string {
    return implode(', ', array_map(fn($type) => in_array($type, STRING_COLUMNS, true) ? 'text' : 'number', $columns));
}

// The text form of a checked value, to compare with what the setting holds.
function canonical(array $setting, mixed $value): string {
    return match ($setting['kind']) {
        'int' => (string)$value,
        'table' => rows_to_text($value),
        default => (string)$value,
    };
}

// Hands a checked value to its setter (in memory only). False when it was refused.
function apply_value(string $oid, array $setting, mixed $value): bool {
    $set = functions_for($setting)[2];
    return fx($set) && $set($oid, $value) === 0;
}

function is_final_setting(string $oid, array $setting): ?bool {
    if ($setting['registry'] || !fx('settings_is_final')) return $setting['registry'] ? false : null;
    $answer = settings_is_final($oid, $setting['kind'] === 'table' ? 1 : 0);
    return $answer === -1 ? null : $answer === 1;
}

// Reads the whole policy again from the agent, so that the page shows what the agent holds
// and nothing that an earlier request set and did not commit (a save the agent failed
// leaves its values in this process). Answers whether the policy settings now hold the
// agent's values: false when the agent was not reachable before or after the read (its
// items then hold their defaults and count as final, as the fallbacks of an unreachable
// agent make them), or when changes could not be discarded.
function read_policy_from_agent(): bool {
    if (!fx('settings_read_policy')) return false;
    $before = probe_socket(agent_socket())['up'];
    settings_read_policy();
    $changed = 0;
    if (fx('settings_are_changed') && settings_are_changed($changed) === 0 && $changed === 1) return false;
    return $before && probe_socket(agent_socket())['up'];
}

// A digest of an enciphered setting's stored form, for the page to carry instead of the
// value: it tells at save time whether the value changed since the page showed it.
function value_digest(?string $text): string {
    return $text === null ? '' : hash_hmac('sha256', str_replace("\r\n", "\n", $text), form_token());
}

// ---------------------------------------------------------------------------------------
// Reviews. What a review page showed is kept in the session under a review id until it is
// saved or left: the save writes exactly those edits, and an enciphered setting's new value
// never travels in the page. A session keeps the REVIEWS_KEPT most recent (several tabs).

const REVIEWS_KEPT = 4;

// $reviews with $review added under $id, the oldest dropped beyond REVIEWS_KEPT.
// A review kept in the session holds no new password in clear: an enciphered setting's new
// value is sealed with a key of the review's own, which travels only in the review page's
// form. The session's file alone (a backup, a copy of the disk) gives no password away, and
// the page alone holds none.
function seal_review(array $entries, array $settings, string $key): array {
    foreach ($entries as $oid => $entry) {
        if ($settings[$oid]['kind'] !== 'secret') continue;
        $nonce = random_bytes(SODIUM_CRYPTO_SECRETBOX_NONCEBYTES);
        $entries[$oid] = ['sealed' => base64_encode($nonce . sodium_crypto_secretbox((string)$entry['value'], $nonce, $key))]
                       + array_diff_key($entry, ['typed' => 1, 'value' => 1]);
    }
    return $entries;
}

// The entries of a kept review with their sealed values opened by the key the form brought
// back; null when it does not open them.
function unseal_review(array $entries, string $key): ?array {
    $nonceBytes = SODIUM_CRYPTO_SECRETBOX_NONCEBYTES;
    foreach ($entries as $oid => $entry) {
        if (!isset($entry['sealed'])) continue;
        $box = base64_decode((string)$entry['sealed'], true);
        $value = ($box === false || strlen($box) <= $nonceBytes || strlen($key) !== SODIUM_CRYPTO_SECRETBOX_KEYBYTES) ? false
               : sodium_crypto_secretbox_open(substr($box, $nonceBytes), substr($box, 0, $nonceBytes), $key);
        if ($value === false) return null;
        unset($entry['sealed']);
        $entries[$oid] = $entry + ['value' => $value];
    }
    return $entries;
}

function keep_review(array $reviews, string $id, array $review): array {
    unset($reviews[$id]);
    $reviews[$id] = $review;
    return array_slice($reviews, -REVIEWS_KEPT, null, true);
}

// What a table edit changes, row by row (each row as its line of text): the rows before the
// first and after the last that differ are kept; in between, rows at the same place are
// changed, the rest added or removed. Answers [[kind, old row, new row]...] and the count of
// rows kept.
function table_changes(array $old, array $new): array {
    $line = fn($row) => rtrim(rows_to_text([$row]), "\n");
    [$a, $b] = [array_map($line, array_values($old)), array_map($line, array_values($new))];
    $head = 0;
    while ($head < count($a) && $head < count($b) && $a[$head] === $b[$head]) $head++;
    $tail = 0;
    while ($tail < count($a) - $head && $tail < count($b) - $head
           && $a[count($a) - 1 - $tail] === $b[count($b) - 1 - $tail]) $tail++;
    $a = array_slice($a, $head, count($a) - $head - $tail);
    $b = array_slice($b, $head, count($b) - $head - $tail);
    $changes = [];
    for ($i = 0; $i < max(count($a), count($b)); $i++) {
        $changes[] = match (true) {
            $i < count($a) && $i < count($b) => ['changed', $a[$i], $b[$i]],
            $i < count($a) => ['removed', $a[$i], null],
            default => ['added', null, $b[$i]],
        };
    }
    return [$changes, $head + $tail];
}

// ---------------------------------------------------------------------------------------
// Page frame.

const STYLE = <<<'CSS'
* { box-sizing: border-box; }
body { font-family: sans-serif; margin: 0 1em 5em; max-width: 100%; line-height: 1.35; }
h1 { font-size: 1.5em; margin: .6em 0 .3em; } h2 { font-size: 1.2em; margin: 1.2em 0 .4em; }
h3 { font-size: 1em; font-family: monospace; margin: 1em 0 .3em; color: #444; }
nav { margin: .3em 0 .6em; } nav a { margin-right: 1em; } nav a.here { font-weight: bold; color: #000; text-decoration: none; }
.status { display: flex; flex-wrap: wrap; gap: .3em 1.5em; padding: .4em .6em; background: #f3f3f3; border: 1px solid #ccc; }
.status .up::before { content: "● "; color: #070; } .status .down::before { content: "● "; color: #b00; }
.status .down { color: #900; font-weight: bold; }
.box { padding: .5em .8em; margin: .6em 0; border: 1px solid; }
.box.ok { background: #eaf6ea; border-color: #7b7; } .box.bad { background: #fdecea; border-color: #d88; }
.box.warn { background: #fff6d6; border-color: #dc6; }
.box p { margin: .2em 0; } .box ul { margin: .2em 0 .2em 1.2em; padding: 0; }
table { border-collapse: collapse; width: 100%; table-layout: fixed; }
td, th { border: 1px solid #bbb; padding: .25em .4em; text-align: left; vertical-align: top; overflow-wrap: anywhere; }
th { background: #eee; }
col.oid { width: 13em; } col.kind { width: 6.5em; } col.marks { width: 7em; }
td.oid { font-family: monospace; font-size: .9em; }
pre { margin: 0; white-space: pre-wrap; overflow-wrap: anywhere; font-size: .9em; }
input[type=text], input[type=password], textarea { width: 100%; font: inherit; font-family: monospace; font-size: .9em; }
textarea { resize: vertical; }
.mark { display: inline-block; font-size: .8em; padding: 0 .3em; margin: 0 .2em .2em 0; border-radius: .2em; }
.mark.final { background: #b00; color: #fff; } .mark.differs { background: #35c; color: #fff; }
.mark.unsaved { background: #e80; color: #000; } .mark.unavailable { background: #777; color: #fff; }
tr.unsaved td { background: #fff4e0; } tr.invalid td { background: #fdecea; }
.error { color: #b00; font-weight: bold; margin: .2em 0 0; }
.readonly { color: #555; }
.bar { position: fixed; left: 0; right: 0; bottom: 0; background: #223; color: #fff; padding: .5em 1em;
       display: flex; flex-wrap: wrap; gap: .5em 1em; align-items: center; }
.bar button { font-size: 1em; }
.tools { display: flex; flex-wrap: wrap; gap: .5em 1.5em; align-items: center; margin: .5em 0; }
.tools input[type=search] { width: 22em; max-width: 100%; }
.hidden { display: none; }
form.inline { display: inline; }
col.default { width: 30%; } table.narrow { width: auto; }
col.name { width: 25%; } col.level { width: 4em; }
col.time { width: 10em; } col.who { width: 13em; } col.result { width: 14em; }
tr.refused td.result { color: #b00; font-weight: bold; }
ul.tree, ul.tree ul { list-style: none; margin: 0; padding-left: 1.4em; } ul.tree { padding-left: 0; }
ul.tree li { margin: .15em 0; } ul.tree .url { color: #555; font-family: monospace; font-size: .85em; margin-left: .6em; }
form.account { position: absolute; top: .7em; right: 1em; }
form.login { max-width: 22em; margin: 1em 0; } form.login label { display: block; margin: .6em 0 .2em; }
form.login button { margin-top: .8em; font-size: 1em; }
.facts { color: #444; font-size: .9em; margin: 0 0 .3em; } .facts span { margin-right: 1.2em; }
#errors a { color: #900; }
ul.diff { list-style: none; margin: 0; padding: 0; font-family: monospace; font-size: .9em; }
ul.diff li { white-space: pre-wrap; overflow-wrap: anywhere; }
ul.diff .added { background: #e6f4e6; } ul.diff .removed { background: #fbe4e4; } ul.diff .changed { background: #eef; }
/* Narrow windows: every setting is a block of labelled lines, the value field the full width. */
@media (max-width: 760px) {
  body { margin: 0 .5em 7em; }
  form.account { position: static; margin: 0 0 .4em; }
  table.rows, table.rows tbody, table.rows tr, table.rows td, table.rows th { display: block; width: 100%; }
  table.rows colgroup, table.rows tr.head { display: none; }
  table.rows tr.setting, table.rows tr[data-oid] { border: 1px solid #bbb; margin: 0 0 .5em; }
  table.rows td, table.rows th { border: 0; }
  table.rows td[data-label]::before { content: attr(data-label); display: block; font-size: .8em; color: #555; font-weight: bold; }
  .tools input[type=search] { width: 100%; }
}
CSS;

function page_head(string $title): void {
    echo "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       . '<meta name="viewport" content="width=device-width, initial-scale=1">' . "\n"
       . '<title>' . h($title) . " — Corvane Tidewall</title>\n<style nonce=\"" . h(csp_nonce()) . "\">\n"
       . STYLE . "</style>\n</head>\n<body>\n";
}

// Who is logged in, and the button that logs out.
function account_bar(): void {
    echo '<form method="post" action="logout.php" class="account" id="account">Logged in as <strong id="account-name">'
       . h(current_account()) . '</strong> ' . token_field() . ' <button id="logout">Log out</button></form>' . "\n";
}

function status_line(array $status, ?int $lastError, bool $withLastError = true): void {
    $agent = $status['agent'];
    $storage = $status['storage'];
    echo '<div class="status" id="status">';
    echo '<span id="status-agent" class="' . ($agent['up'] ? 'up' : 'down') . '">Management agent: '
       . h($agent['why']) . '</span>';
    echo '<span id="status-storage" class="' . ($storage['up'] ? 'up' : 'down') . '">Storage server: '
       . h($storage['why']) . '</span>';
    if ($withLastError) {
        echo '<span id="status-error">Last error: ' . h($lastError === null ? 'unknown'
             : ($lastError === 0 ? 'none' : $lastError . ' — ' . last_error_text($lastError))) . '</span>';
    }
    echo "</div>\n";
    if (!$agent['up']) {
        echo '<div class="box bad" id="agent-down"><p>The management agent is ' . h($agent['why'])
           . ' (' . h($agent['socket']) . '). The policy cannot be read or saved now: its settings show'
           . ' as unavailable. Edits stay in the form and can be reviewed and saved once the agent'
           . ' runs again.</p></div>' . "\n";
    }
}

// What the page runs on: this host, the machine root, the versions.
function page_facts(): void {
    $extension = phpversion(EXTENSION);
    echo '<p class="facts" id="facts"><span>Host <strong id="fact-host">' . h(gethostname() ?: 'unknown')
       . '</strong></span><span>Machine root <code id="fact-root">' . h(machine_root()) . '</code></span>'
       . '<span id="fact-version">Console ' . h(CONSOLE_VERSION) . ', extension '
       . h(is_string($extension) ? $extension : (extension_loaded(EXTENSION) ? 'loaded (no version of its own)' : 'not loaded'))
       . ', PHP ' . h(PHP_VERSION) . "</span></p>\n";
}

// What the page noticed on its way that the reader should know (nothing when all went well).
function page_warnings(): void {
    if (!warnings()) return;
    echo "<h2>Warnings</h2>\n<div class=\"box warn\" id=\"warnings\">";
    foreach (warnings() as $note) echo '<p>' . h($note) . '</p>';
    echo "</div>\n";
}

// The navigation: the groups, the mail store page; $here is the current one.
function page_nav(string $here): void {
    echo "<nav>\n";
    foreach (GROUPS as $key => [$label]) {
        echo '<a href="index.php?group=' . h($key) . '"' . ($key === $here ? ' class="here" aria-current="page"' : '')
           . '>' . h($label) . "</a>\n";
    }
    echo '<a href="mailstore.php"' . ($here === 'mailstore' ? ' class="here" aria-current="page"' : '') . ">Mail store</a>\n";
    echo '<a href="history.php"' . ($here === 'history' ? ' class="here" aria-current="page"' : '') . ">History</a>\n";
    echo "</nav>\n";
}
