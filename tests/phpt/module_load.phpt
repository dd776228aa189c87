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
    Function [ <internal:Corvane Tidewall extension> function settings_read_policy ] {

      - Parameters [0] {
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_are_changed ] {

      - Parameters [1] {
        Parameter #0 [ <required> mixed &$changed ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_write_changed ] {

      - Parameters [0] {
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_is_final ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> int $isTable ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_last_error ] {

      - Parameters [0] {
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_reset_last_error ] {

      - Parameters [0] {
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_set_int ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> int $value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_int ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_default_int ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_set_reg_int ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> int $value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_reg_int ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_reg_default_int ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_set_reg_str ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> string $value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_reg_str ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_reg_default_str ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_set_str ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> string $value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_str ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_default_str ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> mixed &$value ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_set_table ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> ?array $rows ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_table ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> array &$rows ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_default_table ] {

      - Parameters [2] {
        Parameter #0 [ <required> string $oid ]
        Parameter #1 [ <required> array &$rows ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_set_query ] {

      - Parameters [3] {
        Parameter #0 [ <required> string $tag ]
        Parameter #1 [ <required> string $id ]
        Parameter #2 [ <required> array $values ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_get_query ] {

      - Parameters [3] {
        Parameter #0 [ <required> string $tag ]
        Parameter #1 [ <required> string $id ]
        Parameter #2 [ <required> array &$result ]
      }
      - Return [ int ]
    }
    Function [ <internal:Corvane Tidewall extension> function settings_free_query ] {

      - Parameters [1] {
        Parameter #0 [ <required> string $tag ]
      }
      - Return [ int ]
    }
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
