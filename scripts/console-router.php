<?php
// The router of the sample console's built-in server (scripts/run.sh): only the console's
// pages are served, each by its plain name at the top of the pages' folder. Everything else
// there (the sample machine's registry file, the mail list with its password fields, the
// directory's LDIF, the pages' shared include/) answers 404, as the installed nginx does.
$path = parse_url($_SERVER['REQUEST_URI'] ?? '/', PHP_URL_PATH);
if ($path === '/') {
    return false;  // the folder's index.php
}
if (is_string($path) && preg_match('~^/([A-Za-z0-9_-]+\.php)$~D', $path, $page) === 1
        && is_file($_SERVER['DOCUMENT_ROOT'] . '/' . $page[1])) {
    return false;  // the built-in server runs the page
}
http_response_code(404);
header('Content-Type: text/plain; charset=utf-8');
header('X-Content-Type-Options: nosniff');
echo "Not found\n";
return true;
