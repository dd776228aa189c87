--TEST--
cvslapd: a throwaway directory starts on its own socket only, private to its owner, refuses what it cannot serve, and stops only its own slapd
--SKIPIF--
<?php if (!is_executable('/usr/sbin/slapd')) die('skip slapd is not installed (scripts/setup.sh installs it)'); ?>
--FILE--
<?php
require __DIR__ . '/cv.inc';
$cvslapd = dirname(__DIR__, 2) . '/standins/directory/cvslapd';
// The work folder and the instances in it: the instances are stopped before the folder is
// removed when the test ends, whatever happens.
$work = sys_get_temp_dir() . '/cvslapd-' . getmypid() . '-' . bin2hex(random_bytes(3));
mkdir($work, 0700) || cv_fail("cannot make $work");
register_shutdown_function(function () use ($cvslapd, $work) {
    foreach (['i', 'b'] as $instance) cv_run([$cvslapd, 'stop', '--instance', "$work/$instance"], $work, false);
    exec('rm -rf ' . escapeshellarg($work));
});
file_put_contents("$work/config.ldif", "dn: CN=Configuration,DC=example,DC=test\nobjectClass: container\ncn: Configuration\n");
file_put_contents("$work/domain.ldif", <<<'LDIF'
dn: DC=example,DC=test
objectClass: domainDNS
dc: example

dn: CN=Evans\, Eve,DC=example,DC=test
objectClass: user
cn: Evans, Eve
sn: Evans
mail: eve@example.test

LDIF);
file_put_contents("$work/bad.ldif", "dn: DC=example,DC=test\nobjectClass: domainDNS\ndc: example\nnoSuchAttribute: x\n");

// Runs cvslapd: its exit status, what it printed and the first line of its error, with the
// work folder written as WORK.
function cvslapd(string ...$args): string {
    global $cvslapd, $work;
    [$rc, $out, $err] = cv_run(array_merge([$cvslapd], $args), $work, false);
    $text = $rc . (trim($out) !== '' ? ' ' . trim($out) : '') . ($err !== '' ? ' | ' . strtok($err, "\n") : '');
    return str_replace([$work, rawurlencode($work)], 'WORK', $text);
}
function start(string $instance, string $domain = 'domain.ldif'): string {
    global $work;
    return cvslapd('start', '--instance', $instance, '--suffix', 'DC=example,DC=test',
                   '--config-ldif', "$work/config.ldif", '--domain-ldif', "$work/$domain");
}
function search(string $uri, string ...$args): string {
    exec('env -u LD_PRELOAD LDAPNOINIT=1 ' . implode(' ', array_map('escapeshellarg', array_merge(['ldapsearch', '-Q', '-LLL', '-Y', 'EXTERNAL', '-H', $uri], $args))) . ' 2>&1', $out, $rc);
    return "$rc " . implode(' / ', array_filter($out));
}

$instance = "$work/i";
echo "== start\n";
$started = start($instance);
$uri = str_replace('WORK', rawurlencode($work), substr($started, 2));
echo 'start: ', $started, "\n";
echo 'uri: ', cvslapd('uri', '--instance', $instance), "\n";
echo 'root DSE: ', search($uri, '-b', '', '-s', 'base', '(objectClass=*)', 'configurationNamingContext'), "\n";
exec('env -u LD_PRELOAD LDAPNOINIT=1 ldapwhoami -Q -Y EXTERNAL -H ' . escapeshellarg($uri), $who);
echo 'bound as: ', preg_replace('/uidNumber=\d+/', 'uidNumber=U', preg_replace('/gidNumber=\d+/', 'gidNumber=G', implode('', $who))), "\n";
echo 'user: ', search($uri, '-b', 'DC=example,DC=test', '(mail=eve@example.test)', 'mail'), "\n";
$open = [];
foreach (new RecursiveIteratorIterator(new RecursiveDirectoryIterator($instance, FilesystemIterator::SKIP_DOTS), RecursiveIteratorIterator::SELF_FIRST) as $file) {
    if (!$file->isLink() && filetype($file->getPathname()) !== 'socket' && ($file->getPerms() & 0077)) $open[] = $file->getFilename();
}
echo 'folder: ', decoct(fileperms($instance) & 0777), ', open to others: ', $open ? implode(' ', $open) : 'nothing', "\n";
$args = explode(' ', trim(file_get_contents("$instance/slapd.args")));
echo 'listens on: ', str_replace(rawurlencode($work), 'WORK', $args[array_search('-h', $args) + 1] ?? 'nothing'), "\n";

echo "== refused\n";
echo 'second start: ', start($instance), "\n";
echo 'still answers: ', substr(search($uri, '-b', 'DC=example,DC=test', '(mail=*)', '1.1'), 0, 1), "\n";
$long = "$work/" . str_repeat('x', 101 - strlen($work));
echo 'long path: ', preg_replace('~/x+~', '/X', start($long)), ', made: ', file_exists($long) ? 'yes' : 'no', "\n";
[$rc, , $err] = cv_run([$cvslapd, 'start', '--instance', "$work/b", '--suffix', 'DC=example,DC=test',
                        '--config-ldif', "$work/config.ldif", '--domain-ldif', "$work/bad.ldif"], $work, false);
echo 'bad LDIF: ', $rc, ', slapadd\'s reason given: ', str_contains($err, 'noSuchAttribute') ? 'yes' : $err, "\n";
echo 'no slapd on it: ', cvslapd('uri', '--instance', "$work/b"), "\n";

echo "== stop\n";
$pid = (int)file_get_contents("$instance/slapd.pid");
echo 'stop: ', cvslapd('stop', '--instance', $instance), "\n";
$status = (string)@file_get_contents("/proc/$pid/status");
echo 'slapd running: ', $status !== '' && !preg_match('/^State:\s*[ZX]/m', $status) ? 'yes' : 'no', "\n";
echo 'again: ', cvslapd('stop', '--instance', $instance), "\n";
// A pid file naming another process: stop leaves it alone.
file_put_contents("$instance/slapd.pid", getmypid() . "\n");
echo 'pid file of another process: ', cvslapd('stop', '--instance', $instance), ", this process alive\n";
echo 'restart: ', start($instance), "\n";
echo 'stop: ', cvslapd('stop', '--instance', $instance), "\n";
?>
--EXPECTF--
== start
start: 0 ldapi://WORK%2Fi%2Fldapi
uri: 0 ldapi://WORK%2Fi%2Fldapi
root DSE: 0 dn: / configurationNamingContext: CN=Configuration,DC=example,DC=test
bound as: dn:gidNumber=G+uidNumber=U,cn=peercred,cn=external,cn=auth
user: 0 dn: cn=Evans\2C Eve,dc=example,dc=test / mail: eve@example.test
folder: 700, open to others: nothing
listens on: ldapi://WORK%2Fi%2Fldapi
== refused
second start: 1 | cvslapd: a slapd already runs on WORK/i (pid %d); stop it first
still answers: 0
long path: 1 | cvslapd: instance folder WORK/X is too long: its socket path WORK/X/ldapi has 108 bytes, at most 107 fit in a socket address, made: no
bad LDIF: 1, slapadd's reason given: yes
no slapd on it: 1 | cvslapd: no slapd runs on WORK/b
== stop
stop: 0
slapd running: no
again: 0 | cvslapd: no slapd runs on WORK/i
pid file of another process: 0 | cvslapd: no slapd runs on WORK/i, this process alive
restart: 0 ldapi://WORK%2Fi%2Fldapi
stop: 0
