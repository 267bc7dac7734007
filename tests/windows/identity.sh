#!/bin/bash
# The Windows build must convert and export exactly like the Linux build.
# Both convert the example sets and a generated matrix of sets, each in its
# own scratch directory, with the same run modes, and both export them as GWY
# files; after every run each output file must be byte-identical, the console
# text the same apart from the CR LF line ends of Windows, standard error the
# same apart from the system's wording of its reasons, and the exit status
# the same. Both builds also run at once in one directory: the staging file's
# lock must keep them apart.
#
# Usage: tests/windows/identity.sh LINUX_BINARY WINDOWS_EXE
# parvane-export is taken from beside each of them.
# The Windows executable runs under Wine: $WINE, else wine64 or wine on the
# PATH, else /usr/lib/wine/wine64. Exits non-zero on any difference and keeps
# the scratch directory for inspection then.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 LINUX_BINARY WINDOWS_EXE" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
examples=$here/../../examples
wine=${WINE:-$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)}
export WINEDEBUG=-all LC_ALL=C

root=$(mktemp -d "${TMPDIR:-/tmp}/parvane-identity.XXXXXX")
mkdir "$root/bin" "$root/linux" "$root/windows" "$root/console"
# Both programs under their usual names, so the hint line names them alike.
cp "$1" "$root/bin/parvane-convert"
cp "$2" "$root/bin/parvane-convert.exe"
cp "$(dirname "$1")/parvane-export" "$root/bin/parvane-export"
cp "$(dirname "$2")/parvane-export.exe" "$root/bin/parvane-export.exe"

# Wine sets up its prefix on first use and says so on standard error: that
# must happen before the runs whose standard error is compared.
"$wine" "$root/bin/parvane-convert.exe" help >/dev/null 2>&1 || true

# --- Generating sets -------------------------------------------------------

# Writes the 4 big-endian bytes of the 32-bit pattern `hex` into `file` at
# byte `offset`, keeping the rest of the file.
put() {
  local file=$1 offset=$2 hex=$3
  printf "\\x${hex:0:2}\\x${hex:2:2}\\x${hex:4:2}\\x${hex:6:2}" |
    dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
int() { put "$1" "$2" "$(printf '%08x' $(($3 & 0xffffffff)))"; }
text() { printf '%b' "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }

# `count` pseudo-random bytes from `seed`: every 16-bit sample value occurs.
# With $plain set, zeros instead, for sets that only need to be large.
noise() {
  if [ -n "${plain:-}" ]; then
    head -c "$(($1 > 0 ? $1 : 0))" /dev/zero
    return
  fi
  awk -v n="$1" -v s="$2" 'BEGIN {
    for (i = 0; i < n; i++) { s = (s * 1103515245 + 12345) % 2147483648
                              printf "%c", int(s / 65536) % 256 } }'
}

# A set: number, image size X Y, forward-only flag, forward and backward
# spectroscopy points (0 0: no ts file). The record is 512 bytes with typical
# values; callers overwrite fields and shorten files afterwards.
set_of() {
  local n=$1 x=$2 y=$3 forward_only=$4 pf=$5 pb=$6 tp=tp$1
  head -c 512 /dev/zero >"$tp"
  put "$tp" 12 40000000   # field size x: 2.0 (nm)
  put "$tp" 16 40000000   # field size y
  put "$tp" 20 3d000000   # increments: 0.03125
  put "$tp" 24 3d000000
  int "$tp" 28 "$x"
  int "$tp" 32 "$y"
  put "$tp" 36 41700000   # scan angle 15
  put "$tp" 48 3a83126f   # z resolution 0.001
  int "$tp" 108 2000
  put "$tp" 116 3f800000  # gap voltages 1.0 and -1.0
  put "$tp" 120 bf800000
  put "$tp" 136 3f800000  # feedback set 1.0
  put "$tp" 152 bf800000  # spectroscopy -1 V to +1 V, step 0.05
  put "$tp" 156 3f800000
  put "$tp" 160 3d4ccccd
  int "$tp" 164 "$pf"
  put "$tp" 168 3f800000
  put "$tp" 172 bf800000
  put "$tp" 176 bd4ccccd
  int "$tp" 180 "$pb"
  int "$tp" 248 4
  int "$tp" 308 "$forward_only"
  text "$tp" 312 "14.03.2006 10:15"
  text "$tp" 332 "set $n: ${x} x ${y}"
  text "$tp" 382 "operator"
  local planes=$((forward_only == 1 ? 1 : 2))
  noise $((2 * x * y * planes)) "$n" >"tz$n"
  if [ "$pf" -gt 0 ] || [ "$pb" -gt 0 ]; then
    noise $((2 * x * y * (pf + pb))) "$((n + 1000))" >"ts$n"
  fi
}

make_matrix() {
  set_of 0 4 4 0 0 0                         # reached only by a negative start
  set_of 1 7 5 0 3 2                         # dual, spectroscopy, odd sizes
  set_of 2 9 4 1 4 0                         # forward only, spectroscopy
  set_of 3 1 13 0 0 0                        # dual, no spectroscopy, one column
  set_of 4 16 1 1 0 0                        # forward only, one line
  set_of 5 33 17 0 5 5                       # larger than one transpose block
  set_of 6 6 6 0 4 3 && truncate -s 40 tz6 && truncate -s 111 ts6  # short
  set_of 7 5 3 0 2 2 && : >tz7 && : >ts7     # empty samples
  set_of 8 3 3 0 0 0 && truncate -s 30 tp8   # record ends before the size
  set_of 9 3 3 1 0 0 && : >tp9               # empty record
  set_of 10 8 8 0 2 2                        # numbers that are not finite
  put tp10 12 7f800000                       # +inf
  put tp10 16 ff800000                       # -inf
  put tp10 20 7fc00000                       # nan
  put tp10 24 ffc00000                       # -nan
  put tp10 36 80000000                       # -0
  put tp10 48 00000001                       # smallest subnormal
  put tp10 116 007fffff                      # largest subnormal
  put tp10 136 7f7fffff                      # largest float
  put tp10 152 ff7fffff                      # its negative
  int tp10 248 0                             # scan speed from a zero timing
  set_of 11 4 4 0 0 0                        # texts: LF, CR, high bytes, full width
  text tp11 312 'a\nb\rc\351\377'
  text tp11 332 "$(printf '%050d' 7)"
  text tp11 382 'no terminator here!!'
  set_of 12 2 2 0 1 0 && int tp12 164 -5 && int tp12 180 -1  # negative counts
  set_of 13 -3 2 0 0 0                       # negative image size
  set_of 14 3 2 7 0 0                        # forward-only flag neither 0 nor 1
  set_of 20 4 4 0 0 0 && rm tz20             # fails: no topography
  set_of 21 4 4 0 0 0 && rm tz21 && mkdir tz21  # fails: topography is a directory
  mkdir tp15                                 # not a set: skipped by the walk
  set_of 007 3 3 0 0 0                       # reached only as typed
}

# Sets whose files the system itself makes special. Reading /proc/self/mem
# at offset 0 fails (nothing is mapped there), in the Linux program and in
# Wine alike: read errors. Links of an output onto a source or onto another
# output of the set.
make_system() {
  set_of 1 4 4 0 2 2 && rm tp1 && ln -s /proc/self/mem tp1
  set_of 2 4 4 0 2 2 && rm tz2 && ln -s /proc/self/mem tz2
  set_of 3 4 4 0 2 2 && rm ts3 && ln -s /proc/self/mem ts3
  set_of 4 4 4 0 0 0 && ln tz4 m4_ori.tf0
  set_of 5 4 4 0 0 0 && ln -s tp5 m5_ori.par
  set_of 6 4 4 0 2 2 && : >m6_ori.tf0 && ln m6_ori.tf0 m6_ori.sf0
  set_of 7 4 4 0 2 2 && ln -s tz7 m7.gwy     # the export's output onto a source
}

make_examples() { cp "$examples"/tp* "$examples"/tz* "$examples"/ts* .; }

# Sets whose spectroscopy another program cuts while the export reads it
# (below): one for each of the export's tile readers, by the shapes it
# chooses (whole pixels, a pixel at a time, bands of points).
make_cut() {
  local plain=yes
  set_of 1 7 5 0 3 2
  set_of 2 4 4 1 300000 0
  set_of 3 96 64 1 1024 0
}

# Directories whose names no ANSI code page holds whole: the names must
# reach the system as typed, and come back on the console as typed.
make_unicode() {
  mkdir Messung-ü Ausgabe-µ
  (cd Messung-ü && make_examples)
}

# --- Running and comparing -------------------------------------------------

failures=0
runs=0
c=$root/console

# Runs one side's program ($tool, parvane-convert unless set) in its copy of
# `case`; stdout, stderr and the exit status go to
# $root/console/<tag>.{out,err,status}.
run_side() {
  local side=$1 case=$2 tag=$3 status=0
  shift 3
  local program=$root/bin/${tool:-parvane-convert}
  (
    cd "$root/$side/$case"
    if [ "$side" = windows ]; then
      "$wine" "$program.exe" "$@"
    else
      "$program" "$@"
    fi
  ) >"${console:-$c/$tag.out}" 2>"$c/$tag.err" || status=$?
  echo "$status" >"$c/$tag.status"
  drop_wine_messages "$c/$tag.err"
  # A walk that finds no set names the directory it looked in, as each
  # system spells it.
  sed -i 's/^\(parvane-convert: no set found: .*\) in [^[:cntrl:]]*/\1 in DIR/' \
    "$c/$tag.err"
}

# Wine's own background processes report their troubles on the standard
# error they inherited from the program that started them; those lines
# ("wine: ...") are Wine's, not the converter's, and are shown, not compared.
drop_wine_messages() {
  if grep -q '^wine: ' "$1"; then
    sed -n 's/^wine: /  (Wine) /p' "$1"
    sed -i '/^wine: /d' "$1"
  fi
}

# The Linux text with every line ended by CR LF, as a Windows console gets it.
crlf() { sed 's/$/\r/' "$1"; }

# The programs' own reasons read the same on both systems; a reason in the
# system's words ("No such file or directory", "File not found") is compared
# only as being there. Notes of a wait depend on timing and are dropped.
OWN_REASONS='a link to |a symbolic link|has another name|a file number with|'\
'not a regular file|a directory\r?$|a pipe or socket|larger than|the system |'\
'ends in a dot|Couldn.t write to standard output|exists; --force|'\
'is one of the set.s sources|was exported from another set|'\
'is not a file of a set|no set found \(no file|is not a directory|'\
'.*\(see --help\)|holds [0-9]+ bytes|needs [0-9]+ bytes|ended at [0-9]+ bytes|'\
'interrupted'
PROGRAMS='parvane-(convert|export)'
# With $windows_rules set, Windows' own naming rules refuse the number (a
# separator, a trailing dot or space) where Linux finds no file: standard
# error then only has to hold as many lines.
reasons() {
  if [ -n "${windows_rules:-}" ]; then
    sed -E "s/^($PROGRAMS): .*/\1: (refused)/" "$1"
    return
  fi
  sed -E "/: waiting for another conversion/d;
          /: ($OWN_REASONS)/!s/^($PROGRAMS: .*): [^:]+$/\1: (system)/" "$1"
}

difference() {
  echo "DIFFERENT  $*"
  failures=$((failures + 1))
}

# With $separators set, the backslashes of the Windows console count as the
# slashes Linux prints: each build joins a directory and a name with its own.
separators() {
  if [ -n "${separators:-}" ]; then sed 's#\\#/#g' "$1"; else cat "$1"; fi
}

# Compares the Linux run `tag` with the Windows run of the same tag; on a
# difference reports it under `label` and returns 1.
same_console() {
  local label=$1 tag=$2
  if ! cmp -s "$c/linux$tag.status" "$c/windows$tag.status"; then
    difference "$label: exit status $(cat "$c/linux$tag.status") on Linux," \
      "$(cat "$c/windows$tag.status") on Windows"
  elif ! crlf "$c/linux$tag.out" | cmp -s - <(separators "$c/windows$tag.out"); then
    difference "$label: console output"
    crlf "$c/linux$tag.out" | diff - "$c/windows$tag.out" | head -20 || true
    head -5 "$c/windows$tag.err"
  elif ! crlf "$c/linux$tag.err" | reasons /dev/stdin |
      cmp -s - <(reasons "$c/windows$tag.err"); then
    difference "$label: standard error"
    crlf "$c/linux$tag.err" | diff - "$c/windows$tag.err" | head -20 || true
  else
    return 0
  fi
  return 1
}

same_files() {
  local label=$1 case=$2
  if diff -r "$root/linux/$case" "$root/windows/$case" >"$c/files" 2>&1; then
    return 0
  fi
  difference "$label: files"
  head -20 "$c/files"
  return 1
}

# Runs both programs on one case with one argument list and compares.
check() {
  local case=$1
  shift
  local label="$case: ${tool:-parvane-convert}${*:+ $*}"
  runs=$((runs + 1))
  run_side linux "$case" linux "$@"
  run_side windows "$case" windows "$@"
  same_console "$label" "" && same_files "$label" "$case" &&
    echo "same       $label (status $(cat "$c/linux.status"))"
  return 0
}

check_export() { tool=parvane-export check "$@"; }

# Two runs at once in one directory, on each side: the staging file's lock
# must serialise their conversions, so that both report every set done and
# the files end exactly as after one run.
check_concurrent() {
  local case=$1 side
  shift
  local label="$case: two at once, parvane-convert $*"
  runs=$((runs + 1))
  for side in linux windows; do
    run_side "$side" "$case" "$side.a" "$@" &
    run_side "$side" "$case" "$side.b" "$@" &
    wait
  done
  same_console "$label (first)" .a && same_console "$label (second)" .b &&
    same_files "$label" "$case" &&
    echo "same       $label (status $(cat "$c/linux.a.status"))"
  return 0
}

# A console that cannot be written: both must fail the run with status 1
# and say so on standard error.
check_full_console() {
  local case=$1 side
  shift
  local label="$case: parvane-convert $* >/dev/full"
  runs=$((runs + 1))
  for side in linux windows; do
    console=/dev/full run_side "$side" "$case" "$side" "$@"
    : >"$c/$side.out"
  done
  same_console "$label" "" && same_files "$label" "$case" &&
    echo "same       $label (status $(cat "$c/linux.status"))"
  return 0
}

# The Linux build and the Windows build at once in one directory, `rounds`
# times: both lock the same byte of tmp.par, so each must report every set
# done and every file must end byte for byte as after a run on its own (the
# Linux side of `case`, already converted by `check`).
check_mixed() {
  local case=$1 rounds=$2 round
  shift 2
  local label="$case: Linux and Windows at once, parvane-convert $*"
  for round in $(seq "$rounds"); do
    runs=$((runs + 1))
    rm -rf "$root/mixed"
    mkdir "$root/mixed"
    cp -a "$root/sources-$case" "$root/mixed/$case"
    run_side mixed "$case" mixed.linux "$@" &
    (cd "$root/mixed/$case" && "$wine" "$root/bin/parvane-convert.exe" "$@") \
      >"$c/mixed.windows.out" 2>/dev/null &
    wait
    if ! cmp -s "$c/mixed.linux.out" "$c/linux.out" ||
      ! crlf "$c/linux.out" | cmp -s - "$c/mixed.windows.out"; then
      difference "$label (round $round): console"
    elif ! diff -r "$root/linux/$case" "$root/mixed/$case" >"$c/files" 2>&1; then
      difference "$label (round $round): files"
      head -20 "$c/files"
    else
      echo "same       $label (round $round)"
    fi
  done
}

# A Linux program holds the lock byte of tmp.par (as a Linux conversion
# does) until told to let go: the Windows build must say that it waits, wait,
# and then convert. Needs a C compiler for the holder.
check_waits_for_linux() {
  local case=$1 cc=${CC:-cc}
  shift
  command -v "$cc" >/dev/null || { echo "skipped    $case: no C compiler"; return 0; }
  printf '%s\n' '#include <fcntl.h>' '#include <unistd.h>' \
    'int main(void) { int fd = open("tmp.par", O_RDWR | O_CREAT, 0666);' \
    '  struct flock l = {0}; l.l_type = F_WRLCK; l.l_whence = SEEK_SET;' \
    '  l.l_start = (off_t)1 << 62; l.l_len = 1;' \
    '  if (fd < 0 || fcntl(fd, F_SETLK, &l) != 0) return 1;' \
    '  close(open("held", O_WRONLY | O_CREAT, 0666));' \
    '  while (access("release", F_OK) != 0) usleep(10000);' \
    '  unlink("tmp.par"); return 0; }' >"$root/hold.c"
  "$cc" -o "$root/hold" "$root/hold.c"
  runs=$((runs + 1))
  rm -rf "$root/mixed"
  mkdir "$root/mixed"
  cp -a "$root/sources-$case" "$root/mixed/$case"
  local here_case=$root/mixed/$case label="$case: Windows waits for Linux"
  (cd "$here_case" && "$root/hold") &
  while [ ! -e "$here_case/held" ]; do sleep 0.05; done
  (cd "$here_case" && "$wine" "$root/bin/parvane-convert.exe" "$@") \
    >"$c/wait.out" 2>"$c/wait.err" &
  local windows=$!
  sleep 3
  if [ -e "$here_case/m1_ori.par" ]; then
    difference "$label: converted while the lock was held"
  fi
  touch "$here_case/release"
  wait
  rm -f "$here_case/held" "$here_case/release"
  if ! grep -q '^parvane-convert: waiting for another conversion' "$c/wait.err"; then
    difference "$label: no note of the wait"
  elif ! diff -r "$root/linux/$case" "$here_case" >"$c/files" 2>&1; then
    difference "$label: files"
  else
    echo "same       $label"
  fi
}

# Ctrl-C in the middle of a run, on each side: a SIGINT to the Linux
# program, and to the Windows program's process under Wine, which Wine
# delivers as a console Ctrl-C event. Each side is interrupted once a file
# of `case` named like `pattern` holds more than a MiB; both must then leave
# the same files, print the same lines and end with status 130.
check_interrupted() {
  local case=$1 pattern=$2 side
  shift 2
  local label="$case: ${tool:-parvane-convert} $*, Ctrl-C once $pattern is written"
  local program=$root/bin/${tool:-parvane-convert}
  runs=$((runs + 1))
  for side in linux windows; do
    (
      cd "$root/$side/$case"
      # A background job of a script starts with SIGINT ignored, which the
      # programs (rightly) keep: this one gets the default back.
      if [ "$side" = windows ]; then
        env --default-signal=INT "$wine" "$program.exe" "$@" &
      else
        env --default-signal=INT "$program" "$@" &
      fi
      local pid=$! waited=0
      until [ -n "$(find . -maxdepth 1 -name "$pattern" -size +1024k)" ]; do
        sleep 0.01
        waited=$((waited + 1))
        # A minute at most: the run has ended or is stuck.
        if [ "$waited" -gt 6000 ] || ! kill -0 "$pid" 2>/dev/null; then break; fi
      done
      kill -INT "$pid" 2>/dev/null || true
      # A minute to stop, or the run is killed (status 137).
      (sleep 60 && kill -KILL "$pid") 2>/dev/null &
      local watchdog=$! status=0
      wait "$pid" || status=$?
      kill "$watchdog" 2>/dev/null || true
      echo "$status" >"$c/$side.status"
    ) >"$c/$side.out" 2>"$c/$side.err"
    drop_wine_messages "$c/$side.err"
  done
  if [ "$(cat "$c/linux.status") $(cat "$c/windows.status")" != "130 130" ]; then
    difference "$label: exit status $(cat "$c/linux.status") on Linux," \
      "$(cat "$c/windows.status") on Windows, not 130"
    return 0
  fi
  same_console "$label" "" && same_files "$label" "$case" &&
    echo "same       $label (status 130)"
  return 0
}

# A small set 1 and a set 2 large enough to be caught mid-write: 128 x 128
# pixels with 2048 points each way, its samples a sparse file of zeros.
make_large() {
  set_of 1 16 16 0 8 8
  set_of 2 128 128 0 0 0
  int tp2 164 2048
  int tp2 180 2048
  truncate -s $((2 * 128 * 128 * 4096)) ts2
}

# Creates the case directory on both sides with the sources `maker` writes.
prepare() {
  local case=$1 maker=$2
  mkdir "$root/linux/$case"
  (cd "$root/linux/$case" && "$maker")
  cp -a "$root/linux/$case" "$root/windows/$case"
  cp -a "$root/linux/$case" "$root/sources-$case"
}

make_busy() {
  local plain=yes
  set_of 1 128 128 0 64 64
  set_of 2 96 160 1 32 0
}

prepare examples make_examples
check examples
check examples 2 3
check examples 1 -
check examples - 2
check examples 1 - 3
check examples 2 4
check examples 3 -
check examples 600 -
check examples help
check examples '?'
if [ -w /dev/full ]; then check_full_console examples 3; fi
check_export examples --all .
check_export examples 1 ./tz2 tp3
# One set however spelled, and a set without a record, each met once.
check_export examples tp1 ./tz1 1 ../examples/ts1 5 ./tp5 ./ts5
check_export examples -q -f 2 ts2
check_export examples -o . -f 3
check_export examples
check_export examples --all . 1
check_export examples -o nowhere 1
check_export examples --help

# Wine reads the Unix command line in the locale's character set: UTF-8 here.
prepare unicode make_unicode
LC_ALL=C.UTF-8 separators=yes check_export unicode --all Messung-ü
LC_ALL=C.UTF-8 separators=yes check_export unicode -o Ausgabe-µ Messung-ü/tz2 \
  nowhere-ä/tp1

prepare matrix make_matrix
check matrix 1 2 3 4 5 6 7 8 9 10 11 12 13 14
check matrix - 14
check matrix -3 - 4
check matrix 5 - 18
check matrix 007 7
check matrix
check matrix 1 20 2
check matrix 21
check matrix 15
windows_rules=yes check matrix 1:2
windows_rules=yes check matrix 'a\b'
check matrix ./1
windows_rules=yes check matrix 1. 2
windows_rules=yes check matrix '1 ' 2
check matrix ' 5' - 7
check matrix help extra
check_export matrix 1 2 3 4 5 6 7 8 9 10 11 12 13 14 20 21 007
check_export matrix -f --all .
check_export matrix 15 ./tp16 x

if [ -r /proc/self/mem ]; then
  prepare system make_system
  for set in 1 2 3 4 5 6; do check system "$set"; done
  check_export system 1 2 3 4 5 6 7
  check_export system -f 7
fi

# The library the Linux test suite preloads to cut a source short at a chosen
# byte once the export has planned from its size. Wine reads files with the
# same system calls, so it cuts the Windows program's source alike: both
# must fail the set the same way and leave the same files.
shim=$(cd "$(dirname "$1")" && pwd)/tests/libparvane_short_read_shim.so
if [ -f "$shim" ]; then
  prepare cut make_cut
  while read -r number at; do
    LD_PRELOAD=$shim PARVANE_CUT_FILE=ts$number PARVANE_CUT_AT=$at \
      check_export cut "$number"
  done <<'CUTS'
1 100
2 1500000
3 3000000
CUTS
else
  echo "skipped    cut: no $shim (build the Linux tests first)"
fi

prepare busy make_busy
check_concurrent busy $(printf '1 2 %.0s' {1..8})
check busy $(printf '1 2 %.0s' {1..4})
check_mixed busy 3 $(printf '1 2 %.0s' {1..4})
check_waits_for_linux busy 1 2

prepare large make_large
check_interrupted large 'm2_ori.sf0' 1 2
tool=parvane-export check_interrupted large '*.tmp' 1 2

echo
if [ "$failures" -ne 0 ]; then
  echo "identity: $failures of $runs runs differ between Linux and Windows;" \
    "scratch kept in $root"
  exit 1
fi
echo "identity: all $runs runs identical on Linux and Windows" \
  "(files byte for byte, console apart from CR LF, exit status)"
[ -n "${PARVANE_KEEP_SCRATCH:-}" ] || rm -rf "$root"
