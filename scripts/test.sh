#!/usr/bin/env bash
# Builds and runs every test: the GoogleTest suites through CTest and the .phpt suite
# through PHP's own run-tests.php against the built extension. Ends with one line
# "N passed, N failed" over both suites; exits non-zero when anything failed or when the
# extension would not load (run-tests.php would otherwise skip every test and pass).
#
#   scripts/test.sh                      plain build in build/
#   scripts/test.sh --sanitize=address   ASan + UBSan build in build-asan/
#   scripts/test.sh --sanitize=thread    TSan build in build-tsan/ (GoogleTest suites), and the
#                                        threaded host suite with everything built with TSan
#   scripts/test.sh --valgrind           plain build, .phpt suite under valgrind
#   scripts/test.sh --windows            the core, the Windows port and their suites built
#                                        for 32-bit Windows in build-win/, run under Wine
#
# The plain run and the TSan run also run the threaded host suite (tests/threaded/run.sh):
# both extensions in a thread-safe PHP (built once from Debian's source into a cache, see
# scripts/zts-php.sh), requests on eight threads at once.
# The plain run also runs the deployment test (tests/deploy/run.sh): the build installed
# into a staging prefix and served through PHP-FPM and nginx; and then the package test
# (tests/package/run.sh): the Debian packages built, installed, served, upgraded and purged.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
sanitize=""
valgrind=0
windows=0
for arg in "$@"; do
  case "$arg" in
    --sanitize=*) sanitize=${arg#--sanitize=} ;;
    --valgrind) valgrind=1 ;;
    --windows) windows=1 ;;
    *) echo "usage: $0 [--sanitize=address|thread] [--valgrind] [--windows]" >&2; exit 2 ;;
  esac
done

[ $valgrind = 1 ] && export CV_WITH_VALGRIND=1
setup_args=()
[ $windows = 1 ] && setup_args+=(--windows)
"$here/scripts/setup.sh" "${setup_args[@]}" || { echo "0 passed, 1 failed"; exit 1; }

# No OS header or call outside the OS port: the core and the PHP shells reach the OS only
# through platform/ (the README's command, "The OS port"). Counts as one test.
os_passed=0; os_failed=0
os_found=$(cd "$here" &&
  grep -rnE --include='*.cc' --include='*.h' \
      --exclude='*_test.cc' --exclude='test_*.h' --exclude='*_test_support.h' --exclude='*_fuzz.cc' \
      -e '#include <[^>]*(/|\.h>)' \
      -e '(^|[^_[:alnum:]])errno([^_[:alnum:]]|$)' \
      -e '(^|[^.>:_[:alnum:]]|(^|[^:_[:alnum:]])::)(syscall|sysconf|membarrier|dl[a-z_0-9]+|pthread_[a-z_]+|get(e?[ug]id|pid|ppid|tid|pw[a-z_]+|gr[a-z_]+|hostname)|v?fork|exec[lv]p?e?|waitpid|kill|f?stat(at)?|lstat|f?chmod|f?chown|(local|gm)time_r|strn?casecmp|explicit_bzero|clock_gettime|gettimeofday|m(un)?map|mprotect|ioctl|fcntl|open(at|dir)?|close(dir)?|read(dir|link)?|p?write|pread|lseek|unlink(at)?|rmdir|mkdir|mk[sd]temp|realpath|access|getcwd|chdir|dup2?|pipe2?|socket|connect|bind|listen|accept|poll|select|send|recv|u?sleep|nanosleep|sigaction|popen|pclose)\(' \
      module settings support policy products mailstore php hostext)
case $? in
  1) os_passed=1 ;;
  0) echo "OS headers or calls outside platform/:"; echo "$os_found"; os_failed=1 ;;
  *) echo "the OS port check did not run"; os_failed=1 ;;
esac

# GoogleTest cases counted from the XML reports in $log/gtest and CTest's output in
# $log/ctest.txt: sets gt_passed and gt_failed.
count_gtest() {
  if grep -qE 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log/ctest.txt"; then
    gt_total=0; gt_failed=0
    for report in "$log"/gtest/*.xml; do
      [ -f "$report" ] || continue
      header=$(grep -m1 '<testsuites ' "$report")
      gt_total=$((gt_total + $(sed -E 's/.* tests="([0-9]+)".*/\1/' <<<"$header")))
      gt_failed=$((gt_failed + $(sed -E 's/.* failures="([0-9]+)".*/\1/' <<<"$header")))
    done
    for suite in $(sed -nE 's/^\s*[0-9]+ - ([A-Za-z0-9_]+) \(.*\)$/\1/p' "$log/ctest.txt"); do
      report="$log/gtest/$suite.xml"
      if [ ! -f "$report" ] || grep -m1 '<testsuites ' "$report" | grep -q ' failures="0"'; then
        gt_total=$((gt_total + 1)); gt_failed=$((gt_failed + 1))
      fi
    done
  else
    gt_total=1; gt_failed=1
  fi
  gt_passed=$((gt_total - gt_failed))
}

# The Windows run: the core, the port and their suites for 32-bit Windows (build-win/,
# cmake/mingw32.cmake), each suite run under Wine in a WINEPREFIX of the build's own. One
# wineserver is kept up across the suites (a Wine start costs seconds each otherwise); it is
# started apart from CTest's output, which it would otherwise hold open. The built programs
# must be 32-bit PE files (one test). Suites that need a port file not written yet, or the
# stand-ins, are not built: they are named, not counted.
if [ $windows = 1 ]; then
  if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$here}
  fi
  build="$here/build-win"
  if ! "$here/scripts/build.sh" build-win -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw32.cmake"; then
    echo "build failed"; echo "0 passed, 1 failed"; exit 1
  fi
  log=$(mktemp -d)
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
  trap 'wineserver -k >/dev/null 2>&1; rm -rf "$log"' EXIT

  pe_passed=0; pe_failed=0
  programs=$(find "$build/tests" "$build/bin" -name '*.exe' 2>/dev/null)
  not_pe=""
  for program in $programs; do
    i686-w64-mingw32-objdump -f "$program" | grep -q 'file format pei-i386' &&
      file -b "$program" | grep -q '^PE32 executable.*Intel 80386' || not_pe+=" $program"
  done
  if [ -z "$programs" ]; then
    echo "no program was built"; pe_failed=1
  elif [ -n "$not_pe" ]; then
    echo "not 32-bit PE files:$not_pe"; pe_failed=1
  else
    pe_passed=1; echo "$(wc -w <<<"$programs") programs, all 32-bit PE (i386)"
  fi

  # No .NET or HTML engine is wanted: without them the prefix is made without asking.
  [ -d "$WINEPREFIX" ] || WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
  setsid wineserver -p </dev/null >/dev/null 2>&1
  mkdir -p "$log/gtest"
  # One suite at a time: one wineserver carries every call of every suite, and the frame's
  # limit cases time their connections.
  GTEST_SHUFFLE=1 GTEST_REPEAT=3 GTEST_OUTPUT="xml:$(winepath -w "$log/gtest")\\" \
    ctest --test-dir "$build" -j1 --output-on-failure --timeout 600 </dev/null | tee "$log/ctest.txt"
  wineserver -k >/dev/null 2>&1
  count_gtest

  # Skipped cases with their reasons (the last line of GoogleTest's skip message).
  for report in "$log"/gtest/*.xml; do
    [ -f "$report" ] || continue
    awk '/<testcase / { match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
                        match($0, /classname="[^"]*"/); suite = substr($0, RSTART + 11, RLENGTH - 12) }
         /<skipped message="/ { match($0, /message="[^"]*"/); why = substr($0, RSTART + 9, RLENGTH - 10)
                                sub(/.*&#x0A;/, "", why); print "skipped: " suite "." name ": " why }' "$report"
  done | sort -u
  pending=$(cat "$build/windows_port_pending.txt")
  [ -z "$pending" ] || echo "Windows port files not written yet: $pending"
  sed '/^$/d; s/^/not built on Windows yet: /' "$build/not_built_on_windows.txt"

  # A skipped case is told apart from a passed one here: skips are what Wine lacks.
  skipped=0
  for report in "$log"/gtest/*.xml; do
    [ -f "$report" ] || continue
    for n in $(sed -nE 's/.*<testsuite .* skipped="([0-9]+)".*/\1/p' "$report"); do
      skipped=$((skipped + n))
    done
  done
  passed=$((gt_passed - skipped + os_passed + pe_passed))
  failed=$((gt_failed + os_failed + pe_failed))
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit
fi

dir=build
cmake_args=()
if [ -n "$sanitize" ]; then
  dir=build-${sanitize/address/asan}; dir=${dir/thread/tsan}
  cmake_args+=(-DCV_SANITIZE="$sanitize")
fi
if ! "$here/scripts/build.sh" "$dir" "${cmake_args[@]}"; then
  echo "build failed"; echo "0 passed, 1 failed"; exit 1
fi
build="$here/$dir"
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT

# GoogleTest through CTest: each suite is one process; its cases are counted from the XML
# report it writes. A suite that failed without reporting a failed case (a crash, a
# time-out) counts as one failed case. Every suite runs its cases in a random order, three
# times over in one process, so that a case relying on what another left behind (a warm
# cache, a configured trace) fails; the suite's output names the seed of a failed order
# (--gtest_random_seed=N runs it again). The XML report holds the last round; a failure of
# an earlier one fails the suite.
mkdir -p "$log/gtest"
GTEST_SHUFFLE=1 GTEST_REPEAT=3 GTEST_OUTPUT="xml:$log/gtest/" ctest --test-dir "$build" -j"$(nproc)" --output-on-failure --timeout 600 |
  tee "$log/ctest.txt"
count_gtest

# The .phpt suite. TSan cannot be preloaded into an uninstrumented PHP, so that build
# runs the GoogleTest suites only.
pt_passed=0; pt_failed=0
if [ "$sanitize" != thread ]; then
  so="$build/lib/settingsext.so"
  # A machine root of the run's own: a test that names none must not make a hive in the
  # installed one (as root, a registry.db of root's there would break a later install).
  mkdir -m 0700 "$log/phpt-root"
  php_env=(CORVANE_ROOT="$log/phpt-root")
  if [ "$sanitize" = address ]; then
    # PHP itself is not instrumented: preload the runtime, and leave leak checking to
    # the GoogleTest suites and valgrind (PHP's own allocations at exit are not ours).
    # PHP opens extensions with RTLD_DEEPBIND, which the runtime refuses: a small
    # preloaded library drops that flag, so it has to come before the runtime.
    php_env+=(LD_PRELOAD="$build/lib/no_deepbind.so $(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
              ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:verify_asan_link_order=0
              UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
  fi
  if ! env "${php_env[@]}" php -n -d extension="$so" \
      -r 'exit(extension_loaded("Corvane Tidewall extension") ? 0 : 1);'; then
    echo "settingsext.so does not load into PHP"
    pt_failed=1
  else
    runner=$(php-config --extension-dir)/build/run-tests.php
    rt_args=(-q -n -d extension="$so" -j"$(nproc)" --show-diff)
    if [ $valgrind = 1 ]; then
      rt_args+=(-m)
      # The pages a test runs in child PHP processes are checked too; the system's own
      # account tools and directory server are not ours to check (and setpriv's child,
      # running as another account, could not write the log).
      VALGRIND_OPTS="--leak-check=full --errors-for-leak-kinds=definite --suppressions=$here/tests/sanitizer/valgrind.supp"
      export VALGRIND_OPTS="$VALGRIND_OPTS --trace-children-skip=*/useradd,*/userdel,*/setpriv,*/cvslapd,*/slapd,*/slapadd,*/ldapsearch,*/ldapwhoami,*/env"
    fi
    env "${php_env[@]}" SETTINGSEXT_SO="$so" CV_BIN_DIR="$build/bin" TEST_PHP_EXECUTABLE="$(command -v php)" \
      php "$runner" "${rt_args[@]}" "$here/tests/phpt" | tee "$log/phpt.txt"
    count() { grep -E "^Tests $1 *:" "$log/phpt.txt" | sed -E 's/^[^:]*: *([0-9]+).*/\1/' | head -1; }
    pt_passed=$(count passed); pt_passed=${pt_passed:-0}
    pt_failed=$(count failed); pt_failed=${pt_failed:-0}
    skipped=$(count skipped); skipped=${skipped:-0}
    leaked=$(grep -cE '^LEAK' "$log/phpt.txt")
    borked=$(grep -cE '^BORK' "$log/phpt.txt")
    # A skipped test here means the extension or a stand-in was missing: count it failed.
    pt_failed=$((pt_failed + skipped + leaked + borked))
    [ "$pt_passed" -gt 0 ] || pt_failed=$((pt_failed + 1))
  fi
fi

# A short libFuzzer run of every fuzz target (plain runs only): CV_FUZZ_SECONDS each
# (default 12, some two minutes for the ten), starting from the target's seeds. Each
# target counts as one test.
fuzzers=(
  "wire_fuzz standins/wire/fuzz_corpus"
  "reg_file_fuzz platform/fuzz_corpus/reg_file"
  "profile_fuzz platform/fuzz_corpus/profile"
  "directory_fuzz platform/fuzz_corpus/directory"
  "trace_fuzz support/fuzz_corpus/trace"
  "json_line_fuzz standins/cvmactl/fuzz_corpus/json_line"
  "oid_fuzz standins/cvmactl/fuzz_corpus/oid"
  "storage_server_fuzz standins/cvstorage/fuzz_corpus/server"
  "local_server_fuzz platform/fuzz_corpus/local_server"
  "passwd_fuzz standins/cvstorage/fuzz_corpus/passwd"
  "maildir_fuzz standins/cvstorage/fuzz_corpus/maildir"
)
fz_passed=0; fz_failed=0
if [ -z "$sanitize" ] && [ $valgrind = 0 ]; then
  fuzz_build="$here/build-fuzz"
  targets=()
  for entry in "${fuzzers[@]}"; do targets+=("${entry%% *}"); done
  if CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$fuzz_build" -DCV_FUZZ=ON -DCV_TESTS=OFF >/dev/null &&
     cmake --build "$fuzz_build" --target "${targets[@]}" -j"$(nproc)" >/dev/null; then
    for entry in "${fuzzers[@]}"; do
      target=${entry%% *}; seeds=$here/${entry#* }
      mkdir -p "$log/corpus/$target"
      # A failing input is kept as build-fuzz/<target>-crash-… (or -timeout-, -leak-…).
      if "$fuzz_build/bin/$target" -max_total_time="${CV_FUZZ_SECONDS:-12}" -timeout=30 \
           -print_final_stats=1 -artifact_prefix="$fuzz_build/$target-" \
           "$log/corpus/$target" "$seeds" >"$log/$target.txt" 2>&1; then
        fz_passed=$((fz_passed + 1))
        echo "$target: $(grep -E 'stat::number_of_executed_units' "$log/$target.txt" | awk '{print $2}') inputs, no failure"
      else
        fz_failed=$((fz_failed + 1))
        echo "$target failed:"; tail -40 "$log/$target.txt"
      fi
    done
  else
    echo "the fuzz targets did not build"; fz_failed=${#fuzzers[@]}
  fi
fi

# "PASSED FAILED" of a suite that ends with its own "N passed, N failed" line; one failure
# when that line is missing (the suite did not finish).
suite_counts() {
  local counts
  counts=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$1" | tail -1)
  if [ -n "$counts" ]; then
    sed -E 's/^([0-9]+) passed, ([0-9]+) failed$/\1 \2/' <<<"$counts"
  else
    echo "0 1"
  fi
}

# The threaded host suite: its checks count as tests.
th_passed=0; th_failed=0
if [ $valgrind = 0 ] && { [ -z "$sanitize" ] || [ "$sanitize" = thread ]; }; then
  th_args=()
  [ "$sanitize" = thread ] && th_args+=(--tsan)
  "$here/tests/threaded/run.sh" "${th_args[@]}" | tee "$log/threaded.txt"
  read -r th_passed th_failed < <(suite_counts "$log/threaded.txt")
fi

# The console in a real browser, served by scripts/run.sh (PHP's built-in server); plain
# runs only. Screenshots of failed cases go to build/browser-screenshots.
br_passed=0; br_failed=0
if [ -z "$sanitize" ] && [ $valgrind = 0 ]; then
  "$here/tests/browser/run.sh" --build "$build" | tee "$log/browser.txt"
  read -r br_passed br_failed < <(suite_counts "$log/browser.txt")
fi

# The deployment test (plain runs only): the installed system under PHP-FPM and nginx; its
# checks count as tests.
dp_passed=0; dp_failed=0
if [ -z "$sanitize" ] && [ $valgrind = 0 ]; then
  "$here/tests/deploy/run.sh" --build "$build" | tee "$log/deploy.txt"
  read -r dp_passed dp_failed < <(suite_counts "$log/deploy.txt")
fi

# The package test (plain runs only), after the deployment test, never beside it: both run
# the system's accounts and services on this machine. It purges its packages before it ends.
pk_passed=0; pk_failed=0
if [ -z "$sanitize" ] && [ $valgrind = 0 ]; then
  "$here/tests/package/run.sh" | tee "$log/package.txt"
  read -r pk_passed pk_failed < <(suite_counts "$log/package.txt")
fi

passed=$((gt_passed + pt_passed + fz_passed + os_passed + th_passed + br_passed + dp_passed + pk_passed))
failed=$((gt_failed + pt_failed + fz_failed + os_failed + th_failed + br_failed + dp_failed + pk_failed))
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
