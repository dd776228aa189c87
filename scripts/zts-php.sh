#!/usr/bin/env bash
# Builds a thread-safe (ZTS) PHP 8.2 with the embed SAPI from Debian's php8.2 source and
# prints its install prefix on standard output (everything else goes to standard error):
#
#   scripts/zts-php.sh [debug|release|tsan]     (default debug)
#
#   debug    --enable-debug: assertions, and "memory leaks detected" on stderr at request end
#   release  -O2
#   tsan     debug, with the engine itself built with -fsanitize=thread: the threaded host's
#            ThreadSanitizer runs need the engine's own synchronisation to be seen
#
# The prefix is cached outside the build folders and keyed on the source version, the
# variant and its flags: $CV_PHP_ZTS_CACHE (default /var/cache/settingsext/php-zts, or
# ~/.cache/settingsext/php-zts when that cannot be written)/<version>-<variant>-<hash>/php.
# php-config keeps absolute paths, so the prefix cannot move: PHP is configured for its place
# there and installed into it, and a second run only checks the stamp and prints the prefix. Concurrent runs of the same
# key wait for each other.
#
# The source comes through a private apt configuration (the system's own sources are left
# as they are) that names, as deb-src, the Debian archive the system's sources name for
# bookworm. Its build dependencies (build-essential, autoconf) are installed when missing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

variant=${1:-debug}
# 8.2.32 from bookworm main: the same module API (20220829) as the system's 8.2; the
# security suite's newer upload cannot be fetched as source.
version=${CV_PHP_ZTS_VERSION:-8.2.32-1~deb12u1}
upstream=${version%%-*}
jobs=${CV_JOBS:-2}
# Bump when the recipe below changes in a way the flags do not show.
recipe=1

configure=(--enable-zts --enable-embed=static --disable-all --enable-cli --disable-cgi
           --disable-phpdbg --without-pear --disable-opcache)
cflags=""
ldflags=""
case "$variant" in
  debug) configure+=(--enable-debug) ;;
  release) cflags="-O2 -g" ;;
  tsan)
    # The engine picks some string routines at load time through ifunc resolvers, which
    # run before the sanitizer runtime is set up and crash when instrumented.
    configure+=(--enable-debug ax_cv_have_func_attribute_ifunc=no)
    cflags="-fsanitize=thread -fno-omit-frame-pointer -g"
    ldflags="-fsanitize=thread"
    ;;
  *) echo "usage: $0 [debug|release|tsan]" >&2; exit 2 ;;
esac

say() { echo "zts-php: $*" >&2; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

cache=${CV_PHP_ZTS_CACHE:-/var/cache/settingsext/php-zts}
if ! mkdir -p "$cache" 2>/dev/null || [ ! -w "$cache" ]; then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/settingsext/php-zts
  mkdir -p "$cache"
fi
hash=$(printf '%s\n' "$recipe" "$version" "${configure[*]}" "$cflags" "$ldflags" "$(gcc -dumpfullversion)" |
       sha256sum | cut -c1-10)
key="$upstream-$variant-$hash"
top="$cache/$key"
prefix="$top/php"

exec 9>"$cache/$key.lock"
flock 9
if [ -f "$top/complete" ] && [ -x "$prefix/bin/php-config" ]; then
  say "cached: $prefix"
  echo "$prefix"
  exit 0
fi
started=$(now)
rm -rf "$top"
mkdir -p "$top"

# Build dependencies, only those missing.
missing=()
for p in build-essential autoconf; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" = "install ok installed" ] || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  say "installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 ||
    { $sudo apt-get update -q >&2 && DEBIAN_FRONTEND=noninteractive \
        $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2; }
fi

# The Debian archive the system's own sources name for bookworm (deb822 stanzas first,
# then one-line entries); CV_DEBIAN_MIRROR wins.
archive_uri() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
         { uris = ""; ok = 0
           for (i = 1; i <= NF; i++) {
             if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[ \t]*/, "", uris) }
             if ($i ~ /^Suites:/ && $i ~ /[ \t]bookworm([ \t]|$)/) ok = 1
           }
           if (ok && uris != "") { split(uris, u, /[ \t]+/); print u[1]; exit } }' "$file"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    awk '$1 == "deb" || $1 == "deb-src" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                                           if ($(i + 1) == "bookworm") { print $i; exit } }' "$file"
  done
}
mirror=${CV_DEBIAN_MIRROR:-$(archive_uri | sed -n 1p)}
[ -n "$mirror" ] || { say "no Debian archive for bookworm in the system's apt sources (set CV_DEBIAN_MIRROR)"; exit 1; }

# The source package, downloaded once for every variant.
downloads="$cache/downloads"
dsc="$downloads/php8.2_${version#*:}.dsc"
if [ ! -f "$dsc" ]; then
  t=$(now)
  apt="$cache/apt"
  mkdir -p "$apt/lists/partial" "$apt/sources.d" "$downloads"
  cat >"$apt/sources.d/debsrc.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apto=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/sources.d"
        -o Dir::State::Lists="$apt/lists")
  apt-get "${apto[@]}" -q update >&2
  (cd "$downloads" && apt-get "${apto[@]}" -q source --download-only "php8.2=$version" >&2)
  say "source downloaded from $mirror in $(since "$t")"
fi

# The source and the objects (some 300 MB) are needed only until the install: they go to a
# scratch folder, in memory when /dev/shm has room ($CV_PHP_ZTS_SCRATCH chooses another).
scratch_parent=${CV_PHP_ZTS_SCRATCH:-}
if [ -z "$scratch_parent" ]; then
  scratch_parent=${TMPDIR:-/tmp}
  [ "$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 { print $4 }')" -gt 2000000 ] 2>/dev/null && scratch_parent=/dev/shm
fi
work=$(mktemp -d "$scratch_parent/php-zts.XXXXXX")
trap 'rm -rf "$work"' EXIT

t=$(now)
dpkg-source -x "$dsc" "$work/src" >&2
(cd "$work/src" && ./buildconf --force >&2)
say "source unpacked and configure made in $(since "$t")"

t=$(now)
mkdir -p "$work/build"
(cd "$work/build" &&
   CFLAGS="$cflags" CXXFLAGS="$cflags" LDFLAGS="$ldflags" \
   "$work/src/configure" --prefix="$prefix" "${configure[@]}" >"$top/configure.log" 2>&1) ||
  { tail -30 "$top/configure.log" >&2; say "configure failed (log: $top/configure.log)"; exit 1; }
say "configured in $(since "$t")"

t=$(now)
(cd "$work/build" && make -j"$jobs" >"$top/make.log" 2>&1 && make install >>"$top/make.log" 2>&1) ||
  { tail -30 "$top/make.log" >&2; say "make failed (log: $top/make.log)"; exit 1; }
say "built and installed in $(since "$t")"

case "$("$prefix/bin/php" -v 2>&1)" in
  *ZTS*) ;;
  *) say "the PHP built does not run or is not thread-safe"; exit 1 ;;
esac
t=$(now)
rm -rf "$work"
say "scratch folder removed in $(since "$t")"
printf 'version %s\nvariant %s\nconfigure %s\nCFLAGS %s\nLDFLAGS %s\nseconds %s\n' \
  "$version" "$variant" "${configure[*]}" "$cflags" "$ldflags" "$(since "$started")" >"$top/complete"
say "$variant ready in $(since "$started"): $prefix"
echo "$prefix"
