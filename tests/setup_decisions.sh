#!/bin/bash
# The decisions of ./setup, with stand-ins for dpkg, apt-get and the user id:
# each row says which packages are installed, whether we are root, which
# installs fail, and what setup must run, print and return.
# Usage: setup_decisions.sh SOURCE_DIRECTORY
set -uo pipefail
source_dir=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/parvane-setup.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# A list of every form the file may take: comments, blank lines, spacing.
cat >"$scratch/list" <<'LIST'
# comment line
make required
libcli11-dev   required   # why it is needed

gwyddion	optional
LIST

# Stand-ins. `installed` holds the installed packages, `failing` a pattern
# of the install commands that fail.
# shellcheck source=../setup
source "$source_dir/setup"
have_dpkg() { $dpkg; }
running_as_root() { $root; }
package_installed() { [[ " $installed " == *" $1 "* ]]; }
run() {
  echo "$*" >>"$scratch/commands"
  # shellcheck disable=SC2053
  [[ $* == $failing ]] && return 100
  if [[ $1 == apt-get && $2 == install ]]; then installed+=" ${*:6}"; fi
  return 0
}

apt='apt-get install -y --no-install-recommends'
failures=0
# name | installed | root | dpkg | failing install | status | commands run
# (";" between them) | a line it must print
while IFS='|' read -r name installed root dpkg failing status commands line; do
  [[ -z $name || $name == \#* ]] && continue
  : >"$scratch/commands"
  package_list=$scratch/list
  main >"$scratch/out" 2>&1
  got_status=$?
  got_commands=$(paste -sd';' "$scratch/commands")
  if [[ $got_status != "$status" || $got_commands != "$commands" ]] ||
     ! grep -qF -- "$line" "$scratch/out"; then
    echo "FAIL $name: status $got_status (want $status), ran '$got_commands' (want '$commands')"
    sed 's/^/  | /' "$scratch/out"
    echo "  wanted a line holding: $line"
    failures=$((failures + 1))
  fi
done <<ROWS
AllThere|make libcli11-dev gwyddion|false|true|-|0||are installed
RootInstallsTheMissingOnes|make|true|true|-|0|apt-get update;$apt libcli11-dev gwyddion|installing libcli11-dev gwyddion
RootWithoutAnOptionalOneThatCannotBeHad|make|true|true|*gwyddion*|0|apt-get update;$apt libcli11-dev gwyddion;$apt libcli11-dev|could not install gwyddion
RootFailsWhenARequiredOneCannotBeHad|make gwyddion|true|true|*libcli11-dev*|1|apt-get update;$apt libcli11-dev;$apt libcli11-dev|could not install libcli11-dev
RootGoesOnWhenTheIndexCannotBeUpdated|make libcli11-dev|true|true|apt-get update|0|apt-get update;$apt gwyddion|apt-get update failed
UserMissingARequiredOneIsToldTheLineAndStops|make gwyddion|false|true|-|1||as root, run: apt-get update && $apt libcli11-dev
UserMissingOnlyOptionalOnesGoesOn|make libcli11-dev|false|true|-|0||as root, run: apt-get update && $apt gwyddion
NoDpkgChecksNothing||false|false|-|0||install the prerequisites the README lists
ROWS

# The project's own list: the build's packages are required, Gwyddion is
# optional, and nothing else is neither.
package_list=$source_dir/debian-packages.txt
required=$(listed_packages required | paste -sd' ')
optional=$(listed_packages optional | paste -sd' ')
for package in cmake g++ make libcli11-dev libgtest-dev; do
  [[ " $required " == *" $package "* ]] ||
    { echo "FAIL: $package is not required in debian-packages.txt"; failures=$((failures + 1)); }
done
[[ " $optional " == *" gwyddion "* ]] ||
  { echo "FAIL: gwyddion is not optional in debian-packages.txt"; failures=$((failures + 1)); }
listed=$(sed 's/#.*//' "$package_list" | awk 'NF' | wc -l)
kinds=$(( $(wc -w <<<"$required") + $(wc -w <<<"$optional") ))
[[ $listed == "$kinds" ]] ||
  { echo "FAIL: a line of debian-packages.txt is neither required nor optional"; failures=$((failures + 1)); }

if ((failures)); then exit 1; fi
echo "setup decides as every row says"
