--TEST--
The host-process extension publishes its agent session block inside each PHP process, with or without an agent
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();
$host_so = cv_so('cvwwwui.so');

// The child opens its block the only way there is, from inside the process, through the
// table of blocks the extension loaded, and prints what the published cell holds.
$page = <<<'PHP'
preg_match('#\S*/libcvblocks\.so$#m', file_get_contents('/proc/self/maps'), $lib) || exit('no table of blocks');
$blocks = FFI::cdef('uint32_t CvOpenBlock(const char* name, uint32_t* error);
    void* CvMapBlockView(uint32_t handle, bool writable, size_t* size, uint32_t* error);', $lib[0]);
$error = $blocks->new('uint32_t');
$handle = $blocks->CvOpenBlock('$cvma_session4php', FFI::addr($error));
if ($handle === 0) exit("no block (error {$error->cdata})");
$view = $blocks->CvMapBlockView($handle, false, null, FFI::addr($error));
$cell = $blocks->cast('uint32_t**', $view)[0];
echo 'block at ', FFI::isNull($cell) ? 'null' : 'an address', ', cell holds ',
     FFI::isNull($cell) ? '-' : ($cell[0] != 0 ? 'a session' : 'no session'),
     ', shared memory mapped: ', preg_match_all('#/dev/shm/#', file_get_contents('/proc/self/maps'));
PHP;

function run_page(string $title, string $root, string $so, string $page): void {
    [$rc, $out, $err] = cv_run([PHP_BINARY, '-n', '-d', "extension=$so", '-d', 'extension=ffi.so', '-d', 'ffi.enable=1',
                                '-r', $page], $root);
    echo "$title: $out$err, exit $rc\n";
}

$agent = cv_agent($root);
run_page('with the agent', $root, $host_so, $page);
proc_terminate($agent, 15);
for ($deadline = microtime(true) + 10; proc_get_status($agent)['running'] && microtime(true) < $deadline;) usleep(5000);
run_page('without the agent', $root, $host_so, $page);

[$rc, $out] = cv_run([PHP_BINARY, '-n', '-d', "extension=$host_so", '-i'], $root);
preg_match('/^Host-process components.*$/m', $out, $m);
echo 'information row: ', $m[0] ?? 'missing', "\n";
?>
--EXPECT--
with the agent: block at an address, cell holds a session, shared memory mapped: 0, exit 0
without the agent: block at an address, cell holds no session, shared memory mapped: 0, exit 0
information row: Host-process components => enabled
