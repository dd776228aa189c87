--TEST--
The console's checks of typed input: 32-bit integers, table rows against their columns, line breaks
--FILE--
<?php
require dirname(__DIR__, 2) . '/examples/include/console.php';

$int = ['kind' => 'int', 'columns' => [], 'registry' => false];
foreach (['7', ' -12 ', '+5', '-2147483648', '2147483647', '0002147483647',
          '2147483648', '-2147483649', '99999999999', '', 'abc', '1e3', '0x10', '7 8', '-'] as $text) {
    [$value, $problem] = parse_input($int, $text);
    echo json_encode($text), ' => ', $problem === null ? var_export($value, true) : $problem, "\n";
}

// A table of two integer columns and a text column.
$table = ['kind' => 'table', 'columns' => [8, 7, 4], 'registry' => false];
foreach (["1,2,a\r\n3,4,\"b, c\"\r\n", "\n\n1,-2,\"two\r\nlines\"\n\n", '', "1,2", "1,x,a", "1,2,a,b",
          "1,4294967296,a", "\"1\",\" 2\",\"\""] as $text) {
    [$rows, $problem] = parse_input($table, $text);
    echo json_encode($text), ' => ', $problem ?? json_encode($rows), "\n";
}

// What the page shows of rows reads back as the same rows; strings keep CR LF as the items
// hold them; cells of the unsigned integer kind show signed.
$rows = [[1.0, 4294967295.0, "x,\"y\"\nz"]];
[$again] = parse_input($table, rows_to_text($rows));
echo json_encode($again), "\n";
echo json_encode(parse_input(['kind' => 'string', 'columns' => [], 'registry' => false], "a\nb\r\nc")[0]), "\n";
echo json_encode(shorten(str_repeat('é', 70), 5)), ' ', json_encode(shorten('short')), "\n";
?>
--EXPECT--
"7" => 7
" -12 " => -12
"+5" => 5
"-2147483648" => -2147483648
"2147483647" => 2147483647
"0002147483647" => 2147483647
"2147483648" => Out of range: enter a whole number from -2147483648 to 2147483647.
"-2147483649" => Out of range: enter a whole number from -2147483648 to 2147483647.
"99999999999" => Out of range: enter a whole number from -2147483648 to 2147483647.
"" => Not a whole number: enter a whole number from -2147483648 to 2147483647.
"abc" => Not a whole number: enter a whole number from -2147483648 to 2147483647.
"1e3" => Not a whole number: enter a whole number from -2147483648 to 2147483647.
"0x10" => Not a whole number: enter a whole number from -2147483648 to 2147483647.
"7 8" => Not a whole number: enter a whole number from -2147483648 to 2147483647.
"-" => Not a whole number: enter a whole number from -2147483648 to 2147483647.
"1,2,a\r\n3,4,\"b, c\"\r\n" => [[1,2,"a"],[3,4,"b, c"]]
"\n\n1,-2,\"two\r\nlines\"\n\n" => [[1,-2,"two\nlines"]]
"" => []
"1,2" => Row 1 has 2 cells, the table has 3 columns (number, number, text).
"1,x,a" => Row 1, cell 2 ("x") is not a whole number: enter a whole number from -2147483648 to 2147483647.
"1,2,a,b" => Row 1 has 4 cells, the table has 3 columns (number, number, text).
"1,4294967296,a" => Row 1, cell 2 ("4294967296") is out of range: enter a whole number from -2147483648 to 2147483647.
"\"1\",\" 2\",\"\"" => [[1,2,""]]
[[1,-1,"x,\"y\"\nz"]]
"a\r\nb\r\nc"
"\u00e9\u00e9\u00e9\u00e9\u00e9\u2026" "short"
