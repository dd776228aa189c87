--TEST--
Settings functions and the trace: the clear text of an enciphered setting is masked in every value line, held uncommitted in the catalogue or named while its product is not installed; an OID with a byte 0 is refused by every function that takes one, with the parser's warning and -1, nothing read or stored
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$php = cv_php_mode('3');  // Demo Mode: the catalogue is built without an agent

const SECRETS = <<<'PHP'
const POLICY_SECRET = '1.3.6.1.4.1.8642.18.1.38.160';
$shown = [];
foreach (['POLICY_SECRET' => POLICY_SECRET, 'UserHldPassword' => 'UserHldPassword'] as $name => $oid) {
    $policy = $oid === POLICY_SECRET;
    $rc = $policy ? settings_set_str($oid, "Clear-Set-$name") : settings_set_reg_str($oid, "Clear-Set-$name");
    $v = $d = null;
    $rc .= ' ' . ($policy ? settings_get_str($oid, $v) : settings_get_reg_str($oid, $v));
    $rc .= ' ' . ($policy ? settings_get_default_str($oid, $d) : settings_get_reg_default_str($oid, $d));
    echo "$name: $rc, holds ", json_encode($v), "\n";
}
settings_set_str('1.3.6.1.4.1.8642.18.1.38.150', 'Plain-Text');
PHP;

// The trace lines that carry a value, and whether any clear text reached the log.
function secrets(string $log): void {
    $text = file_get_contents($log);
    echo 'clear text in the log: ', preg_match_all('/Clear-Set/', $text), "\n";
    foreach (cv_trace_messages($log) as $m) {
        if (preg_match("/^. oid: .*value |Plain-Text|\\*{8}/", $m)) echo "   $m\n";
    }
}

echo "== installed, read and set but not committed: the catalogue holds the clear text\n";
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
echo cv_php($root, "settings_read_policy();\n" . SECRETS, $php);
secrets("$root/logs/trace.log");

echo "== no product installed, no agent: the catalogue holds neither\n";
$root = cv_root();
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
echo cv_php($root, "settings_read_policy();\n" . SECRETS);
secrets("$root/logs/trace.log");

echo "== an OID with a byte 0, for every function that takes one\n";
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/logs/trace.log"));
echo cv_php($root, <<<'PHP'
settings_read_policy();
const INT = '1.3.6.1.4.1.8642.20.1.100.50.22';
const STR = '1.3.6.1.4.1.8642.20.1.100.50.20';
const TABLE = '1.3.6.1.4.1.8642.20.1.100.40.10';
$calls = [
    'settings_set_int' => [INT, 7], 'settings_get_int' => [INT, 'out'],
    'settings_get_default_int' => [INT, 'out'], 'settings_set_reg_int' => ['MTAPort', 7],
    'settings_get_reg_int' => ['MTAPort', 'out'], 'settings_get_reg_default_int' => ['MTAPort', 'out'],
    'settings_set_reg_str' => ['ServerAddress', 'x'], 'settings_get_reg_str' => ['ServerAddress', 'out'],
    'settings_get_reg_default_str' => ['ServerAddress', 'out'], 'settings_set_str' => [STR, 'x'],
    'settings_get_str' => [STR, 'out'], 'settings_get_default_str' => [STR, 'out'],
    'settings_is_final' => [INT, 0], 'settings_set_table' => [TABLE, [[1]]],
    'settings_get_table' => [TABLE, 'out'], 'settings_get_default_table' => [TABLE, 'out'],
];
set_error_handler(function (int $level, string $message) { echo " | $message"; return true; });
foreach ($calls as $function => [$oid, $second]) {
    $out = str_ends_with($function, 'table') ? ['kept'] : 'kept';
    echo str_pad($function, 30);
    $rc = $second === 'out' ? $function("$oid\0garbage", $out) : $function("$oid\0garbage", $second);
    echo " | $rc ", json_encode($out), "\n";
}
settings_are_changed($changed);
echo "changed: $changed\n";
$t = [];
echo 'Demo Mode: a table has no type, refused: ', settings_get_table(TABLE, $t), ' ', settings_set_table(TABLE, []), "\n";
PHP, $php);
// Each call traced its name and nothing after it: no lookup, no value.
$calls = cv_trace_calls("$root/logs/trace.log");
$calls = array_slice($calls, array_search('settings_set_int()', $calls), 16);
echo count($calls), ' calls traced, with more than their name: ', json_encode(array_values(preg_grep('/ \| /', $calls))), "\n";
?>
--EXPECT--
== installed, read and set but not committed: the catalogue holds the clear text
POLICY_SECRET: 0 0 0, holds "Clear-Set-POLICY_SECRET"
UserHldPassword: 0 0 0, holds "Clear-Set-UserHldPassword"
clear text in the log: 0
   1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
   1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
   1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
   1 oid: 'UserHldPassword', value ********
   1 oid: '1.3.6.1.4.1.8642.18.1.38.150', value Plain-Text
== no product installed, no agent: the catalogue holds neither
POLICY_SECRET: 0 0 0, holds ""
UserHldPassword: 0 0 0, holds ""
clear text in the log: 0
   1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
   1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
   1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
   1 oid: 'UserHldPassword', value ********
   1 oid: '1.3.6.1.4.1.8642.18.1.38.150', value Plain-Text
== an OID with a byte 0, for every function that takes one
settings_set_int               | settings_set_int(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_int               | settings_get_int(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_default_int       | settings_get_default_int(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_set_reg_int           | settings_set_reg_int(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_reg_int           | settings_get_reg_int(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_reg_default_int   | settings_get_reg_default_int(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_set_reg_str           | settings_set_reg_str(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_reg_str           | settings_get_reg_str(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_reg_default_str   | settings_get_reg_default_str(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_set_str               | settings_set_str(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_str               | settings_get_str(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_get_default_str       | settings_get_default_str(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_is_final              | settings_is_final(): Argument #1 ($oid) must not contain any null bytes | -1 "kept"
settings_set_table             | settings_set_table(): Argument #1 ($oid) must not contain any null bytes | -1 ["kept"]
settings_get_table             | settings_get_table(): Argument #1 ($oid) must not contain any null bytes | -1 ["kept"]
settings_get_default_table     | settings_get_default_table(): Argument #1 ($oid) must not contain any null bytes | -1 ["kept"]
changed: 0
Demo Mode: a table has no type, refused: -1 -1
16 calls traced, with more than their name: []
