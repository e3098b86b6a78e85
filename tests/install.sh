#!/usr/bin/env bash
# Installs the release build into a temporary prefix, runs the installed
# table5 on the example and shows its manual page; builds the packages,
# checks the .deb with lintian and, as root, installs, runs and removes it;
# checks the Windows .zip when the windows preset is built. Installs lintian
# with apt-get when it is missing (as root).
set -uo pipefail
cd "$(dirname "$0")/.."
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
passed=0 failed=0
check() {  # check NAME COMMAND...: counts and reports one case
  local name=$1
  shift
  if "$@" >"$prefix/check.log" 2>&1; then
    echo "ok   $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name: $(head -c 400 "$prefix/check.log")"
    failed=$((failed + 1))
  fi
}

set -e
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
cmake --install build/release --prefix "$prefix/usr" >/dev/null
set +e
cp examples/club.pgn "$prefix/club.pgn"
runs_the_example() {
  "$1" "$prefix/club.pgn" && cmp "$prefix/clubs.txt" <(sed -n '/^    name/,/^ 3\./p' README.md)
}
check "installed table5 writes the standings the README shows" runs_the_example "$prefix/usr/bin/table5"
if command -v man >/dev/null; then
  check "man -l shows the page" \
    sh -c "man -l '$prefix/usr/share/man/man1/table5.1.gz' | grep -q 'table5 - cross table and standings'"
fi
check "licence, copyright and README installed" test -s "$prefix/usr/share/doc/table5/copyright" -a \
  -s "$prefix/usr/share/doc/table5/LICENSE" -a -s "$prefix/usr/share/doc/table5/README.md"
if command -v readelf >/dev/null; then
  check "the release program binds at once (BIND_NOW)" sh -c "readelf -d build/release/table5 | grep -q BIND_NOW"
fi
# As a distribution builds it: no build type (an optimised program), its own
# documentation folder, and its own copyright and changelog.
plain_install() {
  cmake -S . -B build/plain -G Ninja -DTABLE5_TESTS=OFF -DTABLE5_INSTALL_LICENSE_FILES=OFF \
    -DCMAKE_INSTALL_DOCDIR=share/doc/table5-cli >/dev/null &&
    grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' build/plain/CMakeCache.txt &&
    cmake --build build/plain >/dev/null && cmake --install build/plain --prefix "$prefix/plain" >/dev/null &&
    test -s "$prefix/plain/share/doc/table5-cli/README.md" &&
    ! test -e "$prefix/plain/share/doc/table5-cli/copyright" && ! test -e "$prefix/plain/share/doc/table5"
}
check "no build type builds Release; documents follow CMAKE_INSTALL_DOCDIR; licence files can be left out" plain_install

rm -f build/packages/*.deb build/packages/*.tar.gz build/packages/*.zip
check "cpack makes the .tar.gz and the .deb" cpack --preset release
check "the .tar.gz carries LICENSE" sh -c "tar tzf build/packages/*.tar.gz | grep -q /LICENSE$"
mkdir -p "$prefix/first" && cp build/packages/*.deb build/packages/*.tar.gz "$prefix/first/"
check "a second cpack gives the same packages byte for byte" sh -c \
  "cpack --preset release && for f in '$prefix'/first/*; do cmp \"\$f\" build/packages/\$(basename \"\$f\"); done"
deb=$(ls build/packages/*.deb 2>/dev/null)
if ! command -v lintian >/dev/null && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lintian >/dev/null 2>&1 ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lintian; } >/dev/null 2>&1
fi
if command -v lintian >/dev/null; then
  check "lintian finds no error or warning in the .deb" \
    sh -c "! lintian --pedantic '$deb' 2>/dev/null | grep -E '^(E|W):'"
fi
if [ "$(id -u)" = 0 ] && command -v dpkg >/dev/null; then
  check "dpkg installs the .deb" dpkg -i "$deb"
  check "the packaged table5 writes the standings" runs_the_example /usr/bin/table5
  check "dpkg removes it cleanly" sh -c "dpkg -r table5 && ! test -e /usr/bin/table5 && ! test -e /usr/share/doc/table5"
fi
if [ -f build/windows/table5.exe ]; then
  check "the .zip holds table5.exe, table5-web.cmd, README.txt and LICENSE.txt, with CR LF" sh -c \
    "cpack --preset windows && unzip -Z1 build/packages/*.zip | sed 's|^[^/]*/||' | sort | tr '\n' ' ' |
       grep -qx 'LICENSE.txt README.txt table5-web.cmd table5.exe ' &&
     [ \$(unzip -p build/packages/*.zip '*/README.txt' | tr -cd '\\r' | wc -c) -gt 40 ] &&
     [ \$(unzip -p build/packages/*.zip '*/table5-web.cmd' | tr -cd '\\r' | wc -c) = 5 ]"
fi
echo "install: $passed passed, $failed failed"
[ "$failed" = 0 ]
