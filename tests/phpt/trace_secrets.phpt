--TEST--
A traced run that sets both enciphered settings writes neither clear text to the log: the lines keep their shape with the value masked
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
const POLICY_SECRET = '1.3.6.1.4.1.8642.18.1.38.160';
$root = cv_root();
cv_reg($root, preg_replace('/^Windows Registry Editor.*\n/', '', file_get_contents(dirname(__DIR__, 2) . '/examples/machine.reg')));
cv_reg($root, cv_trace_reg("$root/trace.log"));
cv_agent($root);
cv_policy($root, [['oid' => POLICY_SECRET, 'string' => '']]);
echo cv_php($root, <<<'PHP'
settings_read_policy();
echo 'set: ', settings_set_str('1.3.6.1.4.1.8642.18.1.38.160', 'Policy-Clear-Text'), ' ',
     settings_set_reg_str('UserHldPassword', 'Registry-Clear-Text'), ', commit: ', settings_write_changed(),
     ', last error: ', settings_last_error(), "\n";
PHP, host: true);
$log = file_get_contents("$root/trace.log");
echo 'clear text in the log: ', preg_match_all('/Clear-Text/', $log), "\n";
foreach (cv_trace_messages("$root/trace.log") as $m) {
    if (str_contains($m, '********')) echo $m, "\n";
}
echo 'policy holds: ', preg_replace('/0x[0-9A-F]{32,}/', '<cipher>', cv_ctl($root, 'get', POLICY_SECRET));
?>
--EXPECT--
set: 0 0, commit: 0, last error: 0
clear text in the log: 0
1 oid: '1.3.6.1.4.1.8642.18.1.38.160', value ********
1 Set policy var 1.3.6.1.4.1.8642.18.1.38.160 to ********
1 Unicode string: '********'
1 Set registry var 'UserHldPassword' to '********'
1 Unicode string: '********'
1 UTF8 string: '********'
policy holds: {"oid":"1.3.6.1.4.1.8642.18.1.38.160","string":"<cipher>"}
