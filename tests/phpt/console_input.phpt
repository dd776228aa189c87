--TEST--
The console's checks of typed input (32-bit integers, table rows against their columns, line breaks), a table edit's changed rows, the reviews a session keeps
--FILE--
<?php
require dirname(__DIR__, 2) . '/examples/include/console.php';

$int = ['kind' => 'int', 'columns' => [], 'registry' => false];
foreach (['7', ' -12 ', '+5', '-2147483648', '2147483647', '0002147483647',
          '2147483648', '-2147483649', '99999999999', '', 'abc', '1e3', '0x10', '7 8', '-'] as $text) {
    [$value, $problems] = parse_input($int, $text);
    echo json_encode($text), ' => ', $problems ? implode(' ', $problems) : var_export($value, true), "\n";
}

// A table of two integer columns and a text column.
$table = ['kind' => 'table', 'columns' => [8, 7, 4], 'registry' => false];
foreach (["1,2,a\r\n3,4,\"b, c\"\r\n", "\n\n1,-2,\"two\r\nlines\"\n\n", '', "1,2", "1,x,a", "1,2,a,b",
          "1,4294967296,a", "\"1\",\" 2\",\"\"", "1,x,a\n1,2,b\ny,2,c"] as $text) {
    [$rows, $problems] = parse_input($table, $text);
    echo json_encode($text), ' => ', $problems ? implode(' | ', $problems) : json_encode($rows), "\n";
}
// Every bad row is named up to the bound, then counted.
$problems = parse_input($table, str_repeat("1,2\n", FIELD_PROBLEMS_LISTED + 2))[1];
echo count($problems), ' ', end($problems), "\n";

// A table edit in review: rows kept around the first and last that differ, the rest in place.
echo json_encode(table_changes([[1, 'a'], [2, 'b'], [3, 'c'], [4, 'd']], [[1, 'a'], [2, 'B'], [9, 'x'], [4, 'd']])), "\n";
echo json_encode(table_changes([[1, 'a'], [2, 'b']], [[2, 'b']])), ' ', json_encode(table_changes([], [[5, 'e,f']])), "\n";

// A session keeps its most recent reviews, up to the bound; one kept again moves to the end.
$reviews = [];
foreach (range(1, REVIEWS_KEPT + 1) as $n) $reviews = keep_review($reviews, "r$n", ['n' => $n]);
$reviews = keep_review($reviews, 'r3', ['n' => 33]);
echo implode(' ', array_keys($reviews)), "\n";

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
"1,x,a\n1,2,b\ny,2,c" => Row 1, cell 2 ("x") is not a whole number: enter a whole number from -2147483648 to 2147483647. | Row 3, cell 1 ("y") is not a whole number: enter a whole number from -2147483648 to 2147483647.
11 And 2 more rows with a problem.
[[["changed","2,b","2,B"],["changed","3,c","9,x"]],2]
[[["removed","1,a",null]],1] [[["added",null,"5,\"e,f\""]],0]
r2 r4 r5 r3
[[1,-1,"x,\"y\"\nz"]]
"a\r\nb\r\nc"
"\u00e9\u00e9\u00e9\u00e9\u00e9\u2026" "short"
