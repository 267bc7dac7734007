#!/bin/bash
# Packaging check, run by .ci/run after the README test command (which
# leaves a Release build in build/):
#  - the manual page renders without groff warnings;
#  - cpack builds the Debian package and lintian finds no errors in it;
#  - the installed package converts (and exports) the bundled example sets as
#    the program of the build tree does, and man finds its manual page;
#  - the installed parvane-example-sets prints its usage and writes the
#    bundled example sets;
#  - the installed manual page differs from its source in the version of
#    its .TH line only, and every link of the installed README and of the
#    documents it links resolves;
#  - the package is removed again;
#  - python3-parvane (when the Python package was built) is lintian clean,
#    the links of its reference page resolve,
#    installs, opens an installed example set through xarray's engine under
#    Debian's interpreter, and removes cleanly;
#  - every file an install writes is in one of the packages;
#  - when a Windows build (build-windows/parvane-convert.exe) and Wine are
#    there, the zip is built, unpacked and run on its bundled example sets,
#    and its texts are checked to have CR LF line ends.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export DEBIAN_FRONTEND=noninteractive

# Every relative link of each Markdown document of directory $1 (a package's
# documents), the README $2 among them, leads to a file the package holds
# (the part after '#' aside).
check_links() {
  local dir=$1 readme=$2 document target
  [[ -f $dir/$readme ]] || { echo "FAIL: the package lacks $readme"; exit 1; }
  while IFS= read -r document; do
    for target in $(grep -oE '\]\([^)#][^)]*\)' "$dir/$document" | sed 's/^](//; s/)$//; s/#.*//'); do
      [[ $target == *://* ]] && continue
      [[ -e $(dirname "$dir/$document")/$target ]] ||
        { echo "FAIL: $document links $target, which the package lacks"; exit 1; }
      echo "$document -> $target: shipped"
    done
  done < <(cd "$dir" && find . -name '*.md' -printf '%P\n' | sort)
}

echo "== packaging"
missing=()
command -v dpkg-shlibdeps >/dev/null 2>&1 || missing+=(dpkg-dev)
command -v lintian >/dev/null 2>&1 || missing+=(lintian)
command -v man >/dev/null 2>&1 || missing+=(man-db)
command -v groff >/dev/null 2>&1 || missing+=(groff-base)
command -v file >/dev/null 2>&1 || missing+=(file)
command -v unzip >/dev/null 2>&1 || missing+=(unzip)
if ((${#missing[@]})); then
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/parvane-package.XXXXXX")
installed_here=false
cleanup() {
  if $installed_here; then apt-get remove -y parvane-convert python3-parvane >/dev/null 2>&1 || apt-get remove -y parvane-convert >/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Runs the program $2 (through $3 when given, e.g. Wine) in the directory
# $1, which holds the three example sets; checks status 0 and one "Done!"
# line per set.
convert_examples() {
  local dir=$1 program=$2 runner=${3:-} status=0
  (cd "$dir" && $runner "$program" </dev/null >"$scratch/console.txt") || status=$?
  tr -d '\r' <"$scratch/console.txt" >"$scratch/console-lf.txt"
  cat "$scratch/console-lf.txt"
  if [[ $status -ne 0 ]]; then
    echo "FAIL: $program ended with status $status in $dir"; exit 1
  fi
  if [[ $(grep -c ' Done!$' "$scratch/console-lf.txt") -ne 3 ]]; then
    echo "FAIL: expected 3 \"Done!\" lines, one per example set"; exit 1
  fi
}

cmake --build --preset release
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)

echo "-- manual pages"
for source in build/packaging/*.1; do
  warnings=$(groff -man -ww -z "$source" 2>&1)
  if [[ -n $warnings ]]; then echo "$warnings"; echo "FAIL: groff warnings in $source"; exit 1; fi
done

echo "-- Debian package"
rm -f build/parvane-convert_*.deb build/python3-parvane_*.deb
(cd build && cpack -G DEB)
debs=(build/parvane-convert_*_*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
  echo "FAIL: expected one .deb in build/, found: ${debs[*]}"; exit 1
fi
deb=$root/${debs[0]}
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
echo "-- lintian (errors fail the check; warnings and notes are shown)"
lintian --display-info --fail-on error "$deb"

# Each install rule names the package it belongs to: a file of no component
# would be installed by cmake --install and shipped by no package.
echo "-- every file an install writes is in a package"
DESTDIR=$scratch/all cmake --install build --prefix /usr >/dev/null
(cd "$scratch/all" && find . -type f -o -type l | sed 's|^\./|/|' | sort) >"$scratch/installed-files.txt"
for package in build/*.deb; do
  dpkg-deb --fsys-tarfile "$package" | tar -t | sed 's|^\./|/|' | grep -v '/$'
done | sort -u >"$scratch/packaged-files.txt"
if ! diff "$scratch/installed-files.txt" "$scratch/packaged-files.txt"; then
  echo "FAIL: the packages do not hold exactly what an install writes"; exit 1
fi
echo "$(wc -l <"$scratch/installed-files.txt") files, each in a package"

echo "-- install"
if dpkg -s parvane-convert >/dev/null 2>&1; then apt-get remove -y parvane-convert; fi
apt-get install -y "$deb"
installed_here=true
file /usr/bin/parvane-convert | tee "$scratch/file.txt"
grep -q ', stripped' "$scratch/file.txt" || { echo "FAIL: the installed program is not stripped"; exit 1; }

# Minimal Debian images can tell dpkg not to unpack documentation
# (path-exclude in /etc/dpkg/dpkg.cfg.d/). dpkg -L still lists what it
# skipped, so it shows what the package ships, and the disk shows what
# was unpacked. Skipped examples and manual page are checked from the
# unpacked package file instead.
dpkg-deb -x "$deb" "$scratch/unpacked"
listed=$(dpkg -L parvane-convert)
examples=/usr/share/doc/parvane-convert/examples
page=/usr/share/man/man1/parvane-convert.1.gz
export_page=/usr/share/man/man1/parvane-export.1.gz
sets_page=/usr/share/man/man1/parvane-example-sets.1.gz
for shipped in "$examples/tp1" "$page" "$export_page" /usr/bin/parvane-export \
    /usr/bin/parvane-example-sets "$sets_page" \
    /usr/share/doc/parvane-convert/copyright; do
  grep -qx "$shipped" <<<"$listed" || { echo "FAIL: the package does not ship $shipped"; exit 1; }
done
if [[ ! -f $examples/tp1 ]]; then
  echo "note: dpkg did not unpack $examples (path-exclude); using the package file's copy"
  examples=$scratch/unpacked$examples
fi
if [[ -f $page ]]; then
  found=$(man -w parvane-convert) || true
  if [[ $found != "$page" ]]; then
    echo "FAIL: man -w parvane-convert gives '$found', not $page"; exit 1
  fi
  MANWIDTH=80 man parvane-convert >"$scratch/man.txt"
else
  echo "note: dpkg did not unpack $page (path-exclude); reading the package file's copy"
  MANWIDTH=80 man -l "$scratch/unpacked$page" >"$scratch/man.txt"
fi
grep -q '^EXIT STATUS' "$scratch/man.txt" || { echo "FAIL: manual page did not render"; exit 1; }
echo "the manual page renders"
# The build fills in the version on the .TH line and touches nothing else:
# the text's own "parvane\-convert 12" (a set number) must stay as written.
gzip -dc "$scratch/unpacked$page" >"$scratch/page.1"
th=$(grep '^\.TH ' "$scratch/page.1")
if [[ $th != *"\"parvane\\-convert $version\""* ]]; then
  echo "FAIL: the installed page's .TH line does not name version $version: $th"; exit 1
fi
if ! diff <(grep -v '^\.TH ' docs/parvane-convert.1) <(grep -v '^\.TH ' "$scratch/page.1"); then
  echo "FAIL: the installed page differs from its source beyond the .TH line"; exit 1
fi
grep -qF '"parvane\-convert 12"' "$scratch/page.1" ||
  { echo "FAIL: the installed page lost \"parvane\\-convert 12\""; exit 1; }
echo "the installed page differs from its source in its version only"

echo "-- links of the installed README and of the documents it links"
docs=$scratch/unpacked/usr/share/doc/parvane-convert
check_links "$docs" README.md

echo "-- the installed program on the installed example sets"
mkdir "$scratch/installed" "$scratch/built"
cp "$examples"/t* "$scratch/installed"/
cp examples/t* "$scratch/built"/
convert_examples "$scratch/installed" /usr/bin/parvane-convert
convert_examples "$scratch/built" "$root/build/parvane-convert" >/dev/null
diff -r "$scratch/built" "$scratch/installed"
echo "same files as the build tree's program"
/usr/bin/parvane-export -q --all "$scratch/installed"
"$root/build/parvane-export" -q --all "$scratch/built"
diff -r "$scratch/built" "$scratch/installed"
gzip -dc "$scratch/unpacked$export_page" | grep -q '^\.TH PARVANE\\-EXPORT 1 .*"parvane\\-export '"$version"'"' ||
  { echo "FAIL: the installed parvane-export page does not name version $version"; exit 1; }
echo "parvane-export: the same GWY files as the build tree's program; its page names $version"
/usr/bin/parvane-example-sets --help | tee "$scratch/sets-help.txt"
grep -q '^Usage: parvane-example-sets ' "$scratch/sets-help.txt" ||
  { echo "FAIL: parvane-example-sets --help printed no usage"; exit 1; }
/usr/bin/parvane-example-sets "$scratch/sets"
for set in examples/t*; do
  cmp "$set" "$scratch/sets/$(basename "$set")"
done
gzip -dc "$scratch/unpacked$sets_page" | grep -q '^\.TH PARVANE\\-EXAMPLE\\-SETS 1 .*"parvane\\-example\\-sets '"$version"'"' ||
  { echo "FAIL: the installed parvane-example-sets page does not name version $version"; exit 1; }
echo "parvane-example-sets: prints its usage, writes the bundled example sets; its page names $version"

echo "-- the Python package"
pydebs=(build/python3-parvane_*_*.deb)
if [[ ! -f ${pydebs[0]} ]]; then
  if [[ -e build/python/parvane/__init__.py ]]; then
    echo "FAIL: the Python package was built but cpack made no python3-parvane .deb"; exit 1
  fi
  echo "skipped: the Python package was not built"
else
  pydeb=$root/${pydebs[0]}
  dpkg-deb --info "$pydeb"
  dpkg-deb --contents "$pydeb"
  lintian --display-info --fail-on error "$pydeb"
  mkdir "$scratch/pyunpacked"
  dpkg-deb -x "$pydeb" "$scratch/pyunpacked"
  check_links "$scratch/pyunpacked/usr/share/doc/python3-parvane" python.md
  apt-get install -y "$pydeb"
  pylisted=$(dpkg -L python3-parvane)
  for shipped in /usr/lib/python3/dist-packages/parvane/__init__.py \
      "/usr/lib/python3/dist-packages/parvane-$version.dist-info/entry_points.txt" \
      /usr/share/doc/python3-parvane/copyright; do
    grep -qx "$shipped" <<<"$pylisted" || { echo "FAIL: python3-parvane does not ship $shipped"; exit 1; }
  done
  grep -q '^/usr/lib/python3/dist-packages/parvane/_parvane\..*\.so$' <<<"$pylisted" ||
    { echo "FAIL: python3-parvane does not ship the compiled module"; exit 1; }
  # The installed engine, found through its entry point with no PYTHONPATH,
  # on an installed example set, by Debian's interpreter from any directory.
  (cd "$scratch" && env -u PYTHONPATH /usr/bin/python3 -c '
import sys, xarray as xr
ds = xr.open_dataset(sys.argv[1], engine="parvane")
assert "topography" in ds and ds.topography.dims == ("direction", "y", "x"), ds
print("the installed engine opens", sys.argv[1] + ":", dict(ds.sizes))
' "$examples/tp1")
  apt-get remove -y python3-parvane
  if [[ -e /usr/lib/python3/dist-packages/parvane ]]; then
    echo "FAIL: /usr/lib/python3/dist-packages/parvane is still there after removing python3-parvane"; exit 1
  fi
fi

echo "-- remove"
apt-get remove -y parvane-convert
installed_here=false
if [[ -e /usr/bin/parvane-convert ]]; then echo "FAIL: still installed"; exit 1; fi

echo "-- Windows zip"
wine=""
for candidate in /usr/lib/wine/wine64 wine64; do
  if command -v "$candidate" >/dev/null 2>&1; then wine=$(command -v "$candidate"); break; fi
done
if [[ ! -f build-windows/parvane-convert.exe ]]; then
  echo "skipped: no Windows build (build-windows/parvane-convert.exe)"
elif [[ -z $wine ]]; then
  echo "skipped: Wine (wine64) is not installed"
else
  rm -f build-windows/parvane-convert-*-win64.zip
  (cd build-windows && cpack -G ZIP)
  zips=(build-windows/parvane-convert-*-win64.zip)
  unzip -l "${zips[0]}"
  mkdir "$scratch/zip"
  unzip -q "${zips[0]}" -d "$scratch/zip"
  top=$(find "$scratch/zip" -mindepth 1 -maxdepth 1 -type d)
  for part in parvane-convert.exe parvane-export.exe README.txt LICENSE.txt examples/tp1; do
    [[ -f $top/$part ]] || { echo "FAIL: $part missing from the zip"; exit 1; }
  done
  for text in README.txt LICENSE.txt; do
    if grep -qv $'\r$' "$top/$text"; then
      echo "FAIL: $text has lines without CR LF"; exit 1
    fi
  done
  grep -q "^parvane-convert $version for Windows"$'\r$' "$top/README.txt" ||
    { echo "FAIL: README.txt is not the Windows text of version $version"; exit 1; }
  export WINEDEBUG=-all
  wineserver=$(dirname "$wine")/wineserver
  [[ -x $wineserver ]] || wineserver=wineserver
  # A persistent wineserver for the run; it needs the prefix directory,
  # which Wine fills on first use. One that the Windows build's checks left
  # running refuses to start a second one, and serves as well.
  mkdir -p "${WINEPREFIX:-$HOME/.wine}"
  "$wineserver" -p60 </dev/null >/dev/null 2>&1 || true
  # Run the way the README tells Windows users: in the unpacked examples
  # folder, with the program one folder up.
  convert_examples "$top/examples" ../parvane-convert.exe "$wine"
  (cd "$top/examples" && "$wine" ../parvane-export.exe -q --all . </dev/null)
  "$wineserver" -k || true
  diff -r "$scratch/built" "$top/examples"
  echo "the zip's programs write the same files as the Linux programs"
fi
