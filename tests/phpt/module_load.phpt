--TEST--
The module loads, names itself, lists its functions in table order with their parameters and shows its information rows
--EXTENSIONS--
Corvane Tidewall extension
--FILE--
<?php
require __DIR__ . '/cv.inc';
$root = cv_root();

echo "== reflection\n";
[$rc, $out, $err] = cv_run([PHP_BINARY, '-n', '-d', 'extension=' . cv_so(), '--re', 'Corvane Tidewall extension'],
                           ['CORVANE_ROOT' => $root]);
echo $out, $err;

echo "== information rows before any session block\n";
$info = cv_php($root, 'phpinfo(INFO_MODULES);');
preg_match('/\nCorvane Tidewall extension\n\n(.*?)\n\n/s', $info, $m);
echo $m[1], "\n";

echo "== a missing hive is no failure\n";
$blocked = cv_tempdir('cvfile') . '/file';
touch($blocked);
echo cv_php("$blocked/root", 'var_dump(products_is_vexmail_installed(), products_is_pallsrv());');
?>
--EXPECTF--
== reflection
Extension [ <persistent> extension #%d Corvane Tidewall extension version <no_version> ] {

  - Functions {
    Function [ <internal:Corvane Tidewall extension> function products_is_vexmail_installed ] {

      - Parameters [0] {
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function products_is_vexsrv_installed ] {

      - Parameters [0] {
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function products_is_pallsrv ] {

      - Parameters [0] {
      }
      - Return [ int ]
    }
  }
}

== information rows before any session block
Corvane Tidewall extension => enabled
$cvma_session4php mapped at address => 00000000
== a missing hive is no failure
int(0)
int(0)
