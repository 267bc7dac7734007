#!/bin/bash
# The Windows build: cross-built with MinGW-w64, checked to need no DLL
# beyond those Windows ships, and run under Wine against the Linux build,
# which must already exist as build/parvane-convert (.ci/run builds it first).
set -euo pipefail
cd "$(dirname "$0")/.."

export DEBIAN_FRONTEND=noninteractive WINEDEBUG=-all
# googletest: its sources, which the Windows test suite is built from.
# icoutils: wrestool, which reads the version information back.
packages=(g++-mingw-w64-x86-64-posix mingw-w64 wine64 googletest icoutils)
if ! dpkg -s "${packages[@]}" >/dev/null 2>&1; then
  apt-get update
  apt-get install -y --no-install-recommends "${packages[@]}"
fi
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
# Wine sets up its prefix on first use, with messages on standard error that
# must not reach the identity test's console comparison: on a fresh machine
# set it up first and wait until every process of the set-up has ended.
if [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
  "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" -w
fi
# Then one Wine server for all runs instead of one started per program; it
# ends a minute after the last one, holding none of this script's output
# open so that nothing waits for it. A server already running for the
# prefix refuses to start a second one, and serves as well.
"$wineserver" -p60 </dev/null >/dev/null 2>&1 || true

echo "== Windows build"
cmake --preset windows && cmake --build --preset windows

for exe in parvane-convert parvane-export; do
  echo "== DLLs $exe.exe needs"
  imports=$(x86_64-w64-mingw32-objdump -p build-windows/$exe.exe |
    sed -n 's/^[[:space:]]*DLL Name: //p')
  echo "$imports"
  # The system's own: KERNEL32, SHELL32 (which splits the wide command
  # line), the C runtime (msvcrt or the ucrt api sets).
  unexpected=$(echo "$imports" | grep -viE '^(kernel32|shell32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$' || true)
  if [ -n "$unexpected" ]; then
    echo "$exe.exe needs DLLs that Windows does not ship: $unexpected" >&2
    exit 1
  fi
done

# What Explorer shows under Properties, Details: the version resource (type
# 16), whose keys and values are UTF-16 strings, each value after its key.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows/CMakeCache.txt)
for exe in parvane-convert parvane-export; do
  echo "== version information of $exe.exe"
  strings=$(wrestool -x --raw -t16 "build-windows/$exe.exe" | strings -el -n 3)
  echo "$strings"
  while IFS='|' read -r key value; do
    found=$(grep -A1 -xF "$key" <<<"$strings" | sed -n 2p)
    if [[ $found != "$value" ]]; then
      echo "FAIL: $exe.exe: $key is \"$found\", not \"$value\"" >&2; exit 1
    fi
  done <<VERSION
ProductName|parvane-convert
FileVersion|$version
ProductVersion|$version
LegalCopyright|MIT licence, The parvane-convert authors
OriginalFilename|$exe.exe
InternalName|$exe
VERSION
done

echo "== Linux and Windows builds convert and export alike"
WINE=$wine tests/windows/identity.sh build/parvane-convert build-windows/parvane-convert.exe

echo "== runs from a terminal under Wine never wait for a key"
# Wine gives a program run from a Unix terminal a console of its own, as the
# Explorer gives one started by a double-click; only the latter may wait.
# Each program runs without arguments on a pseudo-terminal (script), and the
# prompt must not appear.
for exe in parvane-convert parvane-export; do
  shown=$(cd "$(mktemp -d)" && WINEDEBUG=-all timeout 60 script -qec \
    "$wine $PWD/build-windows/$exe.exe" /dev/null </dev/null) || true
  if grep -q "Press any key" <<<"$shown"; then
    echo "FAIL: $exe.exe waited for a key on a terminal under Wine" >&2
    exit 1
  fi
  echo "$exe.exe: no wait"
done

echo "== test suite under Wine"
# ctest starts one Wine process per test. A fresh persistent server for the
# prefix, with Wine's background processes started here, outside ctest: a
# background process that a test's Wine started would hold ctest's output
# open, and a server started anew for each test costs seconds every time.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
"$wineserver" -p60 </dev/null >/dev/null 2>&1 || true
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
ctest --preset windows

echo "== read-only outputs under Wine, as a user whom read-only files bind"
# Root writes read-only files anyway, under Wine as on Linux, so ctest run as
# root skips these rows; run them once more as nobody, in a Wine prefix of
# its own. A skip here is a failure.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null 2>&1; then
  as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
  if as_nobody test -r build-windows/tests/parvane_tests.exe; then
    home=$(mktemp -d)
    chown 65534:65534 "$home"
    as_nobody env HOME="$home" WINEPREFIX="$home/wine" "$wine" \
      build-windows/tests/parvane_tests.exe --gtest_brief=1 \
      --gtest_filter='*BlockedOutput*ReadOnly*' </dev/null >"$home/log" 2>&1 &&
      status=0 || status=$?
    as_nobody env HOME="$home" WINEPREFIX="$home/wine" "$wineserver" -w
    cat "$home/log"
    grep -q SKIPPED "$home/log" && status=1
    rm -rf "$home"
    [ "$status" = 0 ]
  else
    echo "skipped: nobody cannot read build-windows"
  fi
fi
