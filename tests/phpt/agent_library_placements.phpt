--TEST--
The agent's libraries copied outside the build, found through the delay-loading key and beside the PHP binary: the host and the module share one copy, and a setting changed with cvmactl reads back and commits
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
const OID = '1.3.6.1.4.1.8642.20.1.100.50.22';
$root = cv_root();
cv_agent($root);  // also registers the built copies, replaced below
cv_policy($root, [['oid' => OID, 'int' => 100]]);

// Copies of both libraries in a folder of their own.
function copies(string $dir): string {
    foreach (['libcvma32.so', 'libcvpmapi.so'] as $name) copy(cv_so($name), "$dir/$name") || cv_fail("cannot copy $name");
    return $dir;
}
function delay_loading(string $root, ?string $dir): void {
    $key = 'HKEY_LOCAL_MACHINE\Software\Veltmark\Corvane\delay loading';
    cv_run([cv_bin('cvreg'), 'delete', $key, '/f'], $root);
    if ($dir === null) return;
    $values = '';
    foreach (['libcvma32.so', 'libcvpmapi.so'] as $name) $values .= "\"$name\"=\"" . addcslashes("$dir/$name", '\\"') . "\"\n";
    cv_reg($root, "[$key]\n$values");
}

// One request: the value the agent holds, a change of it committed, and which copies of the
// agent's libraries the process mapped.
$page = <<<'PHP'
$value = $last = null;
$read = settings_read_policy();
$get = settings_get_int('1.3.6.1.4.1.8642.20.1.100.50.22', $value);
$final = settings_is_final('1.3.6.1.4.1.8642.20.1.100.50.22', 0);
$set = settings_set_int('1.3.6.1.4.1.8642.20.1.100.50.22', $value + 1);
$commit = settings_write_changed();
preg_match_all('#\S*/lib(cvma32|cvpmapi)\.so$#m', file_get_contents('/proc/self/maps'), $m);
$copies = array_values(array_unique(array_map('dirname', $m[0])));
echo "read $read, get $get value $value, final $final, set $set, commit $commit, last error ", settings_last_error(), "\n";
echo 'copies: ', json_encode($copies, JSON_UNESCAPED_SLASHES), "\n";
PHP;

function run(string $title, string $root, string $php, string $page, string $where): void {
    // No Service Check Mode: the settings exist without products.
    file_put_contents(dirname($php) . '/php-cvwwwui.ini', "[General]\nwork_mode_val=2\n");
    echo "== $title\n", str_replace($where, '<copies>', cv_php($root, $page, $php, true));
    echo 'agent holds: ', cv_ctl($root, 'get', OID);
}

$elsewhere = copies(cv_tempdir('cvlibs'));
delay_loading($root, $elsewhere);
$php = cv_php_in(cv_tempdir('cvexe'));
run('through the delay-loading key', $root, $php, $page, $elsewhere);
cv_ctl($root, 'set', OID, '--int', '200');
run('changed with cvmactl', $root, $php, $page, $elsewhere);

$exe = cv_tempdir('cvexe');
$php = cv_php_in($exe);
copies($exe);
delay_loading($root, null);
run('beside the PHP binary, no key', $root, $php, $page, $exe);
?>
--EXPECT--
== through the delay-loading key
read 0, get 100 value 100, final 0, set 0, commit 0, last error 0
copies: ["<copies>"]
agent holds: {"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":101}
== changed with cvmactl
read 0, get 200 value 200, final 0, set 0, commit 0, last error 0
copies: ["<copies>"]
agent holds: {"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":201}
== beside the PHP binary, no key
read 0, get 201 value 201, final 0, set 0, commit 0, last error 0
copies: ["<copies>"]
agent holds: {"oid":"1.3.6.1.4.1.8642.20.1.100.50.22","int":202}
