--TEST--
Work modes from php-cvwwwui.ini beside the host executable
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';

// Runs a PHP linked into a folder of its own with the given ini text beside it (null:
// no ini) and prints the page's output and the trace lines that minit wrote.
function mode(string $title, ?string $ini, string $folder = ''): void {
    $dir = cv_tempdir('cvexe');
    if ($folder !== '') {
        $dir .= "/$folder";
        mkdir($dir, 0777, true);
    }
    $php = cv_php_in($dir);
    if ($ini !== null) file_put_contents("$dir/php-cvwwwui.ini", $ini);
    $root = cv_root();
    cv_reg($root, cv_trace_reg("$root/trace.log"));
    $lines = [trim(cv_php($root, 'echo "page";', $php))];
    foreach (cv_trace_messages("$root/trace.log") as $m) {
        if (str_starts_with($m, '1 minit()') || str_contains($m, 'Mode')) $lines[] = $m;
    }
    echo "$title: ", implode(' | ', $lines), "\n";
}

mode('3 is Demo Mode', "[General]\nwork_mode_val=3\n");
mode('2 is No Service Check Mode', "[General]\r\nwork_mode_val=2\r\n");
mode('03 is normal', "[General]\nwork_mode_val=03\n");
mode('33333 is cut to 3333: normal', "[General]\nwork_mode_val=33333\n");
mode('no ini file', null);
// The host executable's path is longer than the first 291-character buffer.
mode('a long executable path', "[General]\nwork_mode_val=3\n",
     str_repeat('d', 120) . '/' . str_repeat('e', 120) . '/' . str_repeat('f', 60));
?>
--EXPECT--
3 is Demo Mode: page | 1 minit() | 1 The product is running in Demo Mode | 1 minit() finished
2 is No Service Check Mode: page | 1 minit() | 1 The product is running in No Service Check Mode | 1 minit() finished
03 is normal: page | 1 minit() | 1 minit() finished
33333 is cut to 3333: normal: page | 1 minit() | 1 minit() finished
no ini file: page | 1 minit() | 1 minit() finished
a long executable path: page | 1 minit() | 1 The product is running in Demo Mode | 1 minit() finished
