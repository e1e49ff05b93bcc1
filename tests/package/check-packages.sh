#!/usr/bin/env bash
# Checks the packages that scripts/package made:
#   - the .deb: its name and control fields (a Depends line from the
#     shared-library check), the files it unpacks with dpkg -x, the installed
#     programs running from the unpacked tree, and its manual pages;
#   - cmake --install of the same build into a prefix of its own;
#   - the Windows zip: exactly tessan.exe, the README and the licence, and an
#     exe that needs no DLLs beyond the system's own.
# Usage: tests/package/check-packages.sh [NATIVE_BUILD_DIR WIN_BUILD_DIR]
#        (default build/package-native build/package-win)
# No run here opens a serial device: tessan runs without arguments, or
# against tessan-sim's pseudo-terminal in a temporary folder.
set -uo pipefail
cd "$(dirname "$0")/../.."
src=$(pwd)
native=${1:-build/package-native}
win=${2:-build/package-win}

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok:   $*"; }

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

version=$(sed -n 's/^project(tessan VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo "FAIL: no version in the project() line of CMakeLists.txt"
  exit 1
fi
# What an install holds, relative to its prefix. The sim is built, and so
# installed, where its sources are.
installed="bin/tessan
share/man/man1/tessan.1
share/doc/tessan/README.md
share/doc/tessan/LICENSE"
with_sim=no
if [ -f sim/CMakeLists.txt ]; then
  with_sim=yes
  installed+="
bin/tessan-sim
share/man/man1/tessan-sim.1"
fi
echo "version $version, tessan-sim expected: $with_sim"

# Compares the sorted list of files (and links) under $1 with the lines of $2.
check_tree() {
  local dir=$1 expected=$2 what=$3
  local actual
  actual=$(cd "$dir" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
  if [ "$actual" = "$(printf '%s\n' "$expected" | LC_ALL=C sort)" ]; then
    pass "$what holds exactly the expected files"
  else
    fail "$what: files differ from the expected list"
    diff <(printf '%s\n' "$expected" | LC_ALL=C sort) <(printf '%s\n' "$actual") | sed 's/^/      /'
  fi
}

# The same bytes as the file in the source tree.
check_same() {
  if cmp -s "$1" "$2"; then pass "$3 is the source's $(basename "$2")"; else fail "$3 differs from $2"; fi
}

# tessan with no arguments and input from /dev/null: banner with this
# version, the usage text, the pause, nothing on standard error, status 255.
check_tessan_runs() {
  local exe=$1 what=$2 status
  "$exe" </dev/null >"$work/out" 2>"$work/err"
  status=$?
  if [ "$status" -eq 255 ] &&
     [ "$(head -n 1 "$work/out")" = "tessan v$version - (c) 2026 The tessan developers" ] &&
     grep -q '^usage: tessan <filename.ext>' "$work/out" &&
     grep -q 'Press any key to continue' "$work/out" &&
     [ ! -s "$work/err" ]; then
    pass "$what runs: banner v$version, usage, exit status 255, nothing on stderr"
  else
    fail "$what without arguments: exit status $status, output:"
    sed 's/^/      /' "$work/out" "$work/err"
  fi
}

# A manual page: the version filled in, groff without warnings, man -l renders.
check_man() {
  local page=$1 name=$2
  if [ ! -f "$page" ]; then
    fail "no manual page $page"
    return
  fi
  if grep -q '@[A-Z_]*@' "$page"; then fail "$name(1) has an unfilled @...@"; fi
  if grep -q "^\.TH .*\"tessan $version\"" "$page"; then
    pass "$name(1) carries version $version"
  else
    fail "$name(1): the .TH line does not carry version $version: $(grep '^\.TH' "$page")"
  fi
  local warnings
  warnings=$(groff -ww -man -z "$page" 2>&1)
  if [ $? -eq 0 ] && [ -z "$warnings" ]; then
    pass "$name(1): groff -ww -man -z is clean"
  else
    fail "$name(1): groff -ww -man -z says:"
    printf '%s\n' "$warnings" | sed 's/^/      /'
  fi
  if LC_ALL=C MANWIDTH=80 man --warnings -l "$page" >"$work/man.out" 2>"$work/man.err" &&
     [ ! -s "$work/man.err" ] && grep -q '^NAME' "$work/man.out" &&
     grep -q "^ *$name - " "$work/man.out"; then
    pass "$name(1): man -l renders it without warnings"
  else
    fail "$name(1): man -l:"
    sed 's/^/      /' "$work/man.err"
  fi
}

# A whole transfer between the unpacked tessan and tessan-sim, over the
# sim's pseudo-terminal: the pair works from where the package puts it.
check_transfer() {
  local bin=$1 port="$work/port" status
  "$bin/tessan-sim" "$port" --timeout 20 >"$work/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 500); do
    [ -s "$work/sim.out" ] && break
    sleep 0.01
  done
  timeout 30 "$bin/tessan" examples/small.txt -COM "$port" </dev/null >"$work/tool.out" 2>"$work/tool.err"
  status=$?
  wait "$sim_pid"
  local sim_status=$?
  sim_pid=
  if [ "$status" -eq 0 ] && [ "$sim_status" -eq 0 ] && [ ! -s "$work/tool.err" ] &&
     grep -q '^Target updated successfully\.$' "$work/tool.out"; then
    pass "unpacked tessan flashed examples/small.txt into the unpacked tessan-sim"
  else
    fail "transfer between the unpacked programs: tessan $status, tessan-sim $sim_status"
    sed 's/^/      tessan: /' "$work/tool.out" "$work/tool.err"
    sed 's/^/      sim: /' "$work/sim.out"
  fi
}

echo "== Debian package"
arch=$(dpkg --print-architecture)
deb="$native/packages/tessan_${version}_${arch}.deb"
if [ ! -f "$deb" ]; then
  fail "no $deb (found: $(ls "$native/packages" 2>/dev/null | tr '\n' ' '))"
else
  pass "$deb"
  [ "$(dpkg-deb -f "$deb" Package)" = tessan ] || fail "Package field: $(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version field: $(dpkg-deb -f "$deb" Version)"
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture field: $(dpkg-deb -f "$deb" Architecture)"
  depends=$(dpkg-deb -f "$deb" Depends)
  # The programs are dynamically linked C++: the shared-library check must
  # have found at least the C and C++ runtime libraries.
  if [[ "$depends" == *libc6* && "$depends" == *libstdc++* ]]; then
    pass "Depends: $depends"
  else
    fail "Depends line missing or incomplete: '$depends'"
  fi

  root="$work/root"
  dpkg -x "$deb" "$root" || fail "dpkg -x $deb"
  check_tree "$root" "$(printf '%s\n' "$installed" | sed 's|^|usr/|')" "the .deb"
  check_same "$root/usr/share/doc/tessan/README.md" README.md "the .deb's README.md"
  check_same "$root/usr/share/doc/tessan/LICENSE" LICENSE "the .deb's LICENSE"
  check_tessan_runs "$root/usr/bin/tessan" "unpacked tessan"
  check_man "$root/usr/share/man/man1/tessan.1" tessan
  if [ "$with_sim" = yes ]; then
    "$root/usr/bin/tessan-sim" --help </dev/null >"$work/sim-help" 2>&1
    if [ $? -eq 0 ] && grep -q '^usage: tessan-sim PATH' "$work/sim-help"; then
      pass "unpacked tessan-sim --help shows its usage"
    else
      fail "unpacked tessan-sim --help:"
      sed 's/^/      /' "$work/sim-help"
    fi
    check_man "$root/usr/share/man/man1/tessan-sim.1" tessan-sim
    check_transfer "$root/usr/bin"
  fi
fi

echo "== cmake --install into a prefix"
prefix="$work/prefix"
if cmake --install "$native" --prefix "$prefix" >"$work/install.log" 2>&1; then
  check_tree "$prefix" "$installed" "cmake --install --prefix"
  check_tessan_runs "$prefix/bin/tessan" "installed tessan"
else
  fail "cmake --install $native --prefix $prefix:"
  sed 's/^/      /' "$work/install.log"
fi

echo "== Windows zip"
zip="$win/packages/tessan-${version}-win64.zip"
if [ ! -f "$zip" ]; then
  fail "no $zip (found: $(ls "$win/packages" 2>/dev/null | tr '\n' ' '))"
else
  pass "$zip"
  top="tessan-${version}-win64"
  unzip -q "$zip" -d "$work/zip" || fail "unzip $zip"
  check_tree "$work/zip" "$top/tessan.exe
$top/README.md
$top/LICENSE.txt" "the zip"
  check_same "$work/zip/$top/README.md" README.md "the zip's README.md"
  check_same "$work/zip/$top/LICENSE.txt" LICENSE "the zip's LICENSE.txt"
  exe="$work/zip/$top/tessan.exe"
  if [ "$(head -c 2 "$exe" 2>/dev/null)" = MZ ]; then
    pass "tessan.exe is a Windows executable"
  else
    fail "tessan.exe does not start with MZ"
  fi
  # The zip carries no DLLs, so the exe may import only the system's own
  # (KERNEL32, msvcrt, ...), not the compiler's runtime (libstdc++-6.dll,
  # libgcc_s_seh-1.dll, libwinpthread-1.dll).
  if command -v x86_64-w64-mingw32-objdump >/dev/null; then
    dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    if [ -n "$dlls" ] && ! printf '%s\n' "$dlls" | grep -qi '^lib'; then
      pass "tessan.exe imports only $(echo $dlls)"
    else
      fail "tessan.exe imports: $(echo $dlls)"
    fi
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "package checks: $failures failed"
  exit 1
fi
echo "package checks: all passed"
