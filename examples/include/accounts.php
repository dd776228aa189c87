<?php
// The console's accounts file: one line per account, "NAME:HASH", the hash made by
// password_hash with Argon2id. Shared by the pages (which only read it) and the tool that
// manages it (corvane-console-account), so that both hold the same rules for names, the
// same bound on the file and the same format. Requested by itself it answers 404.
declare(strict_types=1);

if (realpath($_SERVER['SCRIPT_FILENAME'] ?? '') === __FILE__) {
    http_response_code(404);
    exit;
}

// A file larger than this is not an accounts file anyone made with the tool (a thousand
// accounts take about 120 KiB less): it is refused whole rather than read in part.
const ACCOUNTS_FILE_MAX_BYTES = 65536;
// A password longer than this is refused before it is hashed or checked.
const PASSWORD_MAX_BYTES = 1024;
// Names are safe in a log line, a file line and a page without quoting.
const ACCOUNT_NAME_PATTERN = '/^[A-Za-z0-9_][A-Za-z0-9_.-]{0,31}$/D';

function valid_account_name(string $name): bool { return preg_match(ACCOUNT_NAME_PATTERN, $name) === 1; }

// The accounts of $file as [name => hash], or null when it is missing, cannot be read, is
// not a plain file or is larger than the bound. Lines that are not an account are skipped.
function read_accounts(string $file): ?array {
    if ($file === '' || !is_file($file)) return null;
    $handle = @fopen($file, 'rb');
    if ($handle === false) return null;
    $text = @fread($handle, ACCOUNTS_FILE_MAX_BYTES + 1);
    fclose($handle);
    if (!is_string($text) || strlen($text) > ACCOUNTS_FILE_MAX_BYTES) return null;
    $accounts = [];
    foreach (explode("\n", $text) as $line) {
        $parts = explode(':', rtrim($line, "\r"), 2);
        if (count($parts) !== 2 || !valid_account_name($parts[0])) continue;
        if (!str_starts_with($parts[1], '$argon2id$')) continue;
        $accounts[$parts[0]] = $parts[1];
    }
    return $accounts;
}

function accounts_text(array $accounts): string {
    $text = '';
    foreach ($accounts as $name => $hash) $text .= "$name:$hash\n";
    return $text;
}
