--TEST--
The module loads, names itself, lists its functions in table order with their parameters and shows its information rows; with the host extension and no agent it finds the session block and the process ends cleanly
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();

echo "== reflection: name, version, then each function in table order\n";
echo cv_php($root, <<<'PHP'
$e = new ReflectionExtension('Corvane Tidewall extension');
echo $e->getName(), ' ', var_export($e->getVersion(), true), ' ', (new ReflectionFunction('settings_read_policy'))->isInternal() ? 'internal' : '', "\n";
foreach ($e->getFunctions() as $f) {
    $ps = array_map(fn($p) => ($p->isOptional() ? 'optional ' : '') . $p->getType() . ' '
                              . ($p->isPassedByReference() ? '&' : '') . '$' . $p->getName(), $f->getParameters());
    echo $f->getName(), '(', implode(', ', $ps), '): ', $f->getReturnType(), "\n";
}
PHP);

echo "== information rows before any session block\n";
$info = cv_php($root, 'phpinfo(INFO_MODULES);');
preg_match('/\nCorvane Tidewall extension\n\n(.*?)\n\n/s', $info, $m);
echo $m[1], "\n";

echo "== with the host extension, which makes the session block, and no agent\n";
$info = cv_php($root, 'phpinfo(INFO_MODULES);', host: true);
preg_match('/\nCorvane Tidewall extension\n\n(.*?)\n\n/s', $info, $m);
preg_match('/^Host-process components.*$/m', $info, $host);
echo preg_replace('/=> [0-9A-F]{8,}$/m', '=> <address>', $m[1]), "\n", $host[0] ?? 'no host row', "\n";
echo preg_match('/\[exit \d+\]/', $info, $exit) ? $exit[0] : 'exit 0', "\n";

echo "== a missing hive is no failure\n";
$blocked = cv_tempdir('cvfile') . '/file';
touch($blocked);
echo cv_php("$blocked/root", 'var_dump(products_is_vexmail_installed(), products_is_pallsrv());');
?>
--EXPECT--
== reflection: name, version, then each function in table order
Corvane Tidewall extension NULL internal
settings_read_policy(): int
settings_are_changed(mixed &$changed): int
settings_write_changed(): int
settings_is_final(string $oid, int $isTable): int
settings_last_error(): int
settings_reset_last_error(): int
settings_set_int(string $oid, int $value): int
settings_get_int(string $oid, mixed &$value): int
settings_get_default_int(string $oid, mixed &$value): int
settings_set_reg_int(string $oid, int $value): int
settings_get_reg_int(string $oid, mixed &$value): int
settings_get_reg_default_int(string $oid, mixed &$value): int
settings_set_reg_str(string $oid, string $value): int
settings_get_reg_str(string $oid, mixed &$value): int
settings_get_reg_default_str(string $oid, mixed &$value): int
settings_set_str(string $oid, string $value): int
settings_get_str(string $oid, mixed &$value): int
settings_get_default_str(string $oid, mixed &$value): int
settings_set_table(string $oid, ?array $rows): int
settings_get_table(string $oid, array &$rows): int
settings_get_default_table(string $oid, array &$rows): int
settings_set_query(string $tag, string $id, array $values): int
settings_get_query(string $tag, string $id, array &$result): int
settings_free_query(string $tag): int
products_is_vexmail_installed(): int
products_is_vexsrv_installed(): int
products_is_pallsrv(): int
== information rows before any session block
Corvane Tidewall extension => enabled
$cvma_session4php mapped at address => 00000000
== with the host extension, which makes the session block, and no agent
Corvane Tidewall extension => enabled
$cvma_session4php mapped at address => <address>
Host-process components => enabled
exit 0
== a missing hive is no failure
int(0)
int(0)
