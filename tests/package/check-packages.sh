#!/usr/bin/env bash
# Checks the packages that scripts/package made:
#   - CHANGELOG's newest version is the project's version;
#   - each .deb (the native one, and the arm64 and armhf cross-builds):
#     lintian finds no error or warning; its name and control fields (the
#     Architecture, a Maintainer with an e-mail address, a Depends line
#     from the shared-library check), the files it unpacks with dpkg -x, the
#     copyright file, the changelog, the gzip'd manual pages, and the
#     programs running from the unpacked tree (the ARM ones under
#     qemu-user, started with the cross libraries as their root, so that no
#     binfmt_misc is needed);
#   - as root, the .deb installed with apt-get: man tessan, tessan,
#     tessan-gang and tessan-sim from the PATH; then apt-get remove leaves
#     none of its files;
#   - cmake --install of the same build into a prefix of its own;
#   - the Windows zip: exactly tessan.exe, tessan-gang.exe, the README, the
#     licence and the documents of docs/, and exes that need no DLLs beyond
#     the system's own.
# Usage: tests/package/check-packages.sh [NATIVE_BUILD_DIR WIN_BUILD_DIR [ARM64_BUILD_DIR ARMHF_BUILD_DIR]]
#        (default build/package-native build/package-win build/package-arm64
#        build/package-armhf)
# No run here opens a serial device: tessan runs without arguments, or
# against tessan-sim's pseudo-terminal in a temporary folder.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
src=$(pwd)
native=${1:-build/package-native}
win=${2:-build/package-win}
arm64=${3:-build/package-arm64}
armhf=${4:-build/package-armhf}

source tests/package/report.sh

work=$(mktemp -d)
sim_pid=
# "yes" while this run has tessan installed on the machine.
installed_here=no
# Another apt-get or dpkg may hold the lock for a while (an unattended
# upgrade, a parallel job): wait for it rather than fail at once. Nothing
# may stop to ask a question.
apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" </dev/null
}
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; fi
  if [ "$installed_here" = yes ]; then
    apt_get remove -y -q tessan >/dev/null 2>&1
  fi
  rm -rf "$work"
}
trap cleanup EXIT

version=$(sed -n 's/^project(tessan VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
if [ -z "$version" ]; then
  echo "FAIL: no version in the project() line of CMakeLists.txt"
  exit 1
fi
# The documents of docs/, installed beside the README wherever it goes, so
# that its links hold.
mapfile -t documents < <(cd docs && LC_ALL=C ls -1 -- *.md)
# What an install holds, relative to its prefix. The sim is built, and so
# installed, where its sources are.
installed="bin/tessan
bin/tessan-gang
share/man/man1/tessan.1.gz
share/man/man1/tessan-gang.1.gz
share/doc/tessan/README.md
share/doc/tessan/copyright
share/doc/tessan/changelog.gz
$(printf 'share/doc/tessan/docs/%s\n' "${documents[@]}")"
with_sim=no
if [ -f sim/CMakeLists.txt ]; then
  with_sim=yes
  installed+="
bin/tessan-sim
share/man/man1/tessan-sim.1.gz"
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

# Each document of docs/ in the folder $1, the same bytes as the source's.
check_documents() {
  local name
  for name in "${documents[@]}"; do check_same "$1/$name" "docs/$name" "$2's docs/$name"; done
}

# How the programs of a .deb of architecture $1 are started on this
# machine: directly for its own, under qemu-user with the cross compiler's
# libraries as the root for arm64 and armhf. Prints nothing for its own.
declare -A qemu_of=([arm64]="qemu-aarch64-static -L /usr/aarch64-linux-gnu"
                    [armhf]="qemu-arm-static -L /usr/arm-linux-gnueabihf")
launcher() {
  [ "$1" = "$(dpkg --print-architecture)" ] || echo "${qemu_of[$1]}"
}

# EXE --help: exit status 0 and tessan-sim's usage line. WHAT names the run;
# the words of LAUNCHER (see launcher) start it.
check_sim_help() {
  local exe=$1 what=$2 launch=${3:-}
  # shellcheck disable=SC2086 # the launcher's words
  if $launch "$exe" --help </dev/null >"$work/sim-help" 2>&1 && grep -q '^usage: tessan-sim PATH' "$work/sim-help"; then
    pass "$what shows its usage"
  else
    fail "$what:"
    sed 's/^/      /' "$work/sim-help"
  fi
}

# EXE --help: exit status 0, tessan-gang's usage text, nothing on standard
# error. WHAT names the run; the words of LAUNCHER start it.
check_gang_help() {
  local exe=$1 what=$2 launch=${3:-} status
  # shellcheck disable=SC2086 # the launcher's words
  $launch "$exe" --help </dev/null >"$work/gang-help" 2>"$work/gang-err"
  status=$?
  if [ "$status" -eq 0 ] && grep -q '^usage: tessan-gang <filename.ext> PORT' "$work/gang-help" &&
     [ ! -s "$work/gang-err" ]; then
    pass "$what shows its usage"
  else
    fail "$what: exit status $status:"
    sed 's/^/      /' "$work/gang-help" "$work/gang-err"
  fi
}

# tessan with no arguments and input from /dev/null: exactly the banner
# (which says v1.0 whatever the package's version), the usage text and the
# pause, nothing on standard error, status 255.
printf '%s\n\n%s\n\n%s\n%s\n\n%s\n' \
  "tessan v1.0 - (c) 2026 The tessan developers" "usage: tessan <filename.ext> [-COMx] " \
  "  filename.ext    File containing flash upgrade buffer." \
  "  -COM x          Communications port number, default 1 (COM1)" \
  "Press any key to continue . . . " >"$work/usage.expected"
check_tessan_runs() {
  local exe=$1 what=$2 launch=${3:-} status
  # shellcheck disable=SC2086 # the launcher's words
  $launch "$exe" </dev/null >"$work/out" 2>"$work/err"
  status=$?
  if [ "$status" -eq 255 ] && cmp -s "$work/out" "$work/usage.expected" && [ ! -s "$work/err" ]; then
    pass "$what runs: banner, usage, pause, exit status 255, nothing on stderr"
  else
    fail "$what without arguments: exit status $status, output (then the expected):"
    sed 's/^/      /' "$work/out" "$work/err" "$work/usage.expected"
  fi
}

# A gzip'd file as gzip -9n makes it: the same bytes again when its content
# is compressed that way (best compression, no name or time stamp inside).
check_gzip() {
  local file=$1 what=$2
  if zcat "$file" 2>/dev/null | gzip -9n | cmp -s - "$file"; then
    pass "$what is compressed with gzip -9n"
  else
    fail "$what is not what gzip -9n makes of its content"
  fi
}

# A gzip'd manual page: compressed as Debian wants it, the version filled
# in, groff without warnings, man -l renders it.
check_man() {
  local gz=$1 name=$2
  if [ ! -f "$gz" ]; then
    fail "no manual page $gz"
    return
  fi
  check_gzip "$gz" "$name(1)"
  local page="$work/$name.1"
  zcat "$gz" >"$page"
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
  if LC_ALL=C MANWIDTH=80 man --warnings -l "$gz" >"$work/man.out" 2>"$work/man.err" &&
     [ ! -s "$work/man.err" ] && grep -q '^NAME' "$work/man.out" &&
     grep -q "^ *$name - " "$work/man.out"; then
    pass "$name(1): man -l renders it without warnings"
  else
    fail "$name(1): man -l:"
    sed 's/^/      /' "$work/man.err"
  fi
}

# The copyright file: the machine-readable format, the holder of LICENSE's
# "Copyright (c)" line, and LICENSE's text after that line as the Expat
# licence paragraph (lines indented by one space, " ." for an empty line).
check_copyright() {
  local file=$1
  local holder text
  holder=$(sed -n 's/^Copyright (c) //p' LICENSE)
  if [ "$(head -n 1 "$file")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] &&
     grep -qx "Copyright: $holder" "$file" && grep -qx "License: Expat" "$file"; then
    pass "copyright: machine-readable, Copyright: $holder, License: Expat"
  else
    fail "copyright: not the expected header and fields:"
    sed 's/^/      /' "$file"
  fi
  # The last paragraph, from its License line on, back to plain text.
  text=$(awk '/^$/ { para = ""; next } { para = para $0 "\n" } END { printf "%s", para }' "$file" |
         sed '1d; s/^ //; s/^\.$//')
  if [ "$text" = "$(sed '1,/^Copyright (c) /d' LICENSE | sed '/./,$!d')" ]; then
    pass "copyright: the licence paragraph is LICENSE's text"
  else
    fail "copyright: the licence paragraph differs from LICENSE's text"
  fi
}

# As root: the .deb installed with apt-get as a user would, the programs and
# manual pages used from where it put them, then removed with apt-get, after
# which none of the files it installed may be left.
check_install() {
  local deb=$1
  if ! apt_get install -y -q --no-install-recommends "$(realpath "$deb")" >"$work/apt.log" 2>&1; then
    fail "apt-get install $deb:"
    sed 's/^/      /' "$work/apt.log"
    return
  fi
  installed_here=yes
  local status
  status=$(dpkg-query -W -f='${Status} ${Version}' tessan 2>&1)
  if [ "$status" = "install ok installed $version" ]; then
    pass "apt-get install ./$(basename "$deb"): $status"
  else
    fail "after apt-get install: dpkg says '$status'"
  fi
  dpkg -L tessan >"$work/owned"
  if [ "$(command -v tessan)" = /usr/bin/tessan ]; then
    check_tessan_runs tessan "tessan from the PATH"
  else
    fail "tessan on the PATH is '$(command -v tessan)', not /usr/bin/tessan"
  fi
  if [ "$(command -v tessan-gang)" = /usr/bin/tessan-gang ]; then
    check_gang_help tessan-gang "tessan-gang --help from the PATH"
  else
    fail "tessan-gang on the PATH is '$(command -v tessan-gang)', not /usr/bin/tessan-gang"
  fi
  local name
  for name in tessan tessan-gang $([ "$with_sim" = yes ] && echo tessan-sim); do
    if [ "$(man -w "$name" 2>&1)" = "/usr/share/man/man1/$name.1.gz" ] &&
       LC_ALL=C MANWIDTH=80 man --warnings "$name" >"$work/man.out" 2>"$work/man.err" </dev/null &&
       [ ! -s "$work/man.err" ] && grep -q "^ *$name - " "$work/man.out"; then
      pass "man $name renders /usr/share/man/man1/$name.1.gz without warnings"
    else
      fail "man $name: $(man -w "$name" 2>&1)"
      sed 's/^/      /' "$work/man.err"
    fi
  done
  if [ "$with_sim" = yes ]; then check_sim_help tessan-sim "tessan-sim --help from the PATH"; fi

  if ! apt_get remove -y -q tessan >"$work/apt.log" 2>&1; then
    fail "apt-get remove tessan:"
    sed 's/^/      /' "$work/apt.log"
    return
  fi
  installed_here=no
  status=$(dpkg-query -W -f='${db:Status-Abbrev}' tessan 2>/dev/null)
  case "$status" in
    "" | u* | n*) pass "apt-get remove tessan: dpkg keeps no trace of it (status '${status% }')" ;;
    *) fail "after apt-get remove: dpkg status '$status'" ;;
  esac
  # What is still there must be a folder that another package owns too
  # (/usr/bin, /usr/share/man/man1, ...).
  local path left=()
  while read -r path; do
    [ "$path" = /. ] && continue
    if [ -e "$path" ] || [ -L "$path" ]; then
      if [ ! -d "$path" ] || ! dpkg -S "$path" >/dev/null 2>&1; then left+=("$path"); fi
    fi
  done <"$work/owned"
  if [ ${#left[@]} -eq 0 ]; then
    pass "apt-get remove left none of the $(wc -l <"$work/owned") paths the package had"
  else
    fail "apt-get remove left behind: ${left[*]}"
  fi
}

# start_sim BIN PORT: the unpacked tessan-sim in BIN, publishing PORT (its
# output in PORT.out), waited for until it has (5 s at most); its pid in
# $started_sim.
start_sim() {
  "$1/tessan-sim" "$2" --timeout 20 >"$2.out" 2>&1 &
  started_sim=$!
  for _ in $(seq 500); do
    [ -s "$2.out" ] && break
    sleep 0.01
  done
}

# A whole transfer between the unpacked tessan and tessan-sim, over the
# sim's pseudo-terminal: the pair works from where the package puts it.
check_transfer() {
  local bin=$1 port="$work/port" status
  start_sim "$bin" "$port"
  sim_pid=$started_sim
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
    sed 's/^/      sim: /' "$port.out"
  fi
}

# Two boards at once: the unpacked tessan-gang runs the unpacked tessan
# beside it against two tessan-sims.
check_gang_transfer() {
  local bin=$1 status sims=() i
  for i in 1 2; do
    start_sim "$bin" "$work/board$i"
    sims+=("$started_sim")
  done
  timeout 30 "$bin/tessan-gang" examples/small.txt "$work/board1" "$work/board2" </dev/null \
    >"$work/gang.out" 2>"$work/gang.err"
  status=$?
  local sim_status=0
  for i in "${sims[@]}"; do wait "$i" || sim_status=$?; done
  if [ "$status" -eq 0 ] && [ "$sim_status" -eq 0 ] && [ ! -s "$work/gang.err" ] &&
     grep -q '^Updated 2 of 2 boards\.$' "$work/gang.out"; then
    pass "unpacked tessan-gang flashed examples/small.txt into two unpacked tessan-sims"
  else
    fail "two boards with the unpacked programs: tessan-gang $status, a tessan-sim $sim_status"
    sed 's/^/      tessan-gang: /' "$work/gang.out" "$work/gang.err"
  fi
}

echo "== changelog"
newest=$(dpkg-parsechangelog -l CHANGELOG -S Version 2>&1)
if [ "$newest" = "$version" ]; then
  pass "CHANGELOG's newest entry is version $version"
else
  fail "CHANGELOG's newest entry is '$newest', the project's version (CMakeLists.txt) is $version"
fi

# check_deb BUILD_DIR ARCHITECTURE: the .deb that scripts/package made in
# BUILD_DIR for ARCHITECTURE, its fields, files and programs.
check_deb() {
  local dir=$1 arch=$2 launch
  launch=$(launcher "$arch")
  echo "== Debian package ($arch)"
  local deb="$dir/packages/tessan_${version}_${arch}.deb"
  if [ ! -f "$deb" ]; then
    fail "no $deb (found: $(ls "$dir/packages" 2>/dev/null | tr '\n' ' '))"
    return
  fi
  pass "$deb"
  local lintian_args=(--fail-on error,warning --display-info)
  [ "$(id -u)" -eq 0 ] && lintian_args+=(--allow-root)
  if lintian "${lintian_args[@]}" "$deb" >"$work/lintian.out" 2>&1; then
    pass "lintian ${lintian_args[*]}: no error or warning"
  else
    fail "lintian ${lintian_args[*]}:"
  fi
  sed 's/^/      /' "$work/lintian.out"
  [ "$(dpkg-deb -f "$deb" Package)" = tessan ] || fail "Package field: $(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version field: $(dpkg-deb -f "$deb" Version)"
  if [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]; then
    pass "Architecture: $arch"
  else
    fail "Architecture field: $(dpkg-deb -f "$deb" Architecture), expected $arch"
  fi
  local maintainer depends
  maintainer=$(dpkg-deb -f "$deb" Maintainer)
  if [[ "$maintainer" =~ ^[^\<\>@]+\ \<[^\<\>@\ ]+@[^\<\>@\ ]+\>$ ]]; then
    pass "Maintainer: $maintainer"
  else
    fail "Maintainer is not 'Name <address>': '$maintainer'"
  fi
  depends=$(dpkg-deb -f "$deb" Depends)
  # The programs are dynamically linked C++ with OpenSSL: the shared-library
  # check must have found at least the C and C++ runtime libraries and
  # libssl3, as plain package names (a Depends field cannot name an
  # architecture, as libc6:arm64).
  if [[ "$depends" == *libc6* && "$depends" == *libstdc++* && "$depends" == *libssl3* && "$depends" != *:* ]]; then
    pass "Depends: $depends"
  else
    fail "Depends line missing or incomplete: '$depends'"
  fi

  local root="$work/root-$arch"
  dpkg -x "$deb" "$root" || fail "dpkg -x $deb"
  check_tree "$root" "$(printf '%s\n' "$installed" | sed 's|^|usr/|')" "the $arch .deb"
  # Every program is an ELF file of the package's architecture, stripped
  # (by the strip of its own toolchain).
  local program
  for program in "$root"/usr/bin/*; do
    case "$(file -b "$program")" in
      *" executable, ${machine_of[$arch]}"*", stripped") pass "$(basename "$program"): an $arch program, stripped" ;;
      *) fail "$(basename "$program") is not a stripped $arch program: $(file -b "$program")" ;;
    esac
  done
  check_same "$root/usr/share/doc/tessan/README.md" README.md "the .deb's README.md"
  check_documents "$root/usr/share/doc/tessan/docs" "the .deb"
  local doc="$root/usr/share/doc/tessan"
  check_gzip "$doc/changelog.gz" "the .deb's changelog.gz"
  if zcat "$doc/changelog.gz" 2>/dev/null | cmp -s - CHANGELOG; then
    pass "the .deb's changelog.gz holds the source's CHANGELOG"
  else
    fail "the .deb's changelog.gz differs from CHANGELOG"
  fi
  check_copyright "$doc/copyright"
  check_tessan_runs "$root/usr/bin/tessan" "unpacked tessan${launch:+ under ${launch%% *}}" "$launch"
  check_man "$root/usr/share/man/man1/tessan.1.gz" tessan
  check_gang_help "$root/usr/bin/tessan-gang" "unpacked tessan-gang --help${launch:+ under ${launch%% *}}" "$launch"
  check_man "$root/usr/share/man/man1/tessan-gang.1.gz" tessan-gang
  if [ "$with_sim" = yes ]; then
    check_sim_help "$root/usr/bin/tessan-sim" "unpacked tessan-sim --help${launch:+ under ${launch%% *}}" "$launch"
    check_man "$root/usr/share/man/man1/tessan-sim.1.gz" tessan-sim
    # The whole transfer between the two programs runs natively only (the
    # ARM builds' transfers are the cross stage's end-to-end cases).
    if [ -z "$launch" ]; then
      check_transfer "$root/usr/bin"
      check_gang_transfer "$root/usr/bin"
    fi
  fi
}

# What file(1) says of each architecture's programs, after "executable, ".
declare -A machine_of=([amd64]="x86-64," [arm64]="ARM aarch64," [armhf]="ARM, EABI5 ")

native_arch=$(dpkg --print-architecture)
deb="$native/packages/tessan_${version}_${native_arch}.deb"
check_deb "$native" "$native_arch"
check_deb "$arm64" arm64
check_deb "$armhf" armhf

echo "== the .deb installed with apt-get and removed again"
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: installing the .deb needs root (run as root to check apt-get install, man tessan and apt-get remove)"
elif [ ! -f "$deb" ]; then
  # Already counted as a failure under "Debian package".
  echo "skipped: installing the .deb (there is no $deb)"
elif [ "$(dpkg-query -W -f='${db:Status-Abbrev}' tessan 2>/dev/null | cut -c2)" = i ]; then
  echo "skipped: tessan $(dpkg-query -W -f='${Version}' tessan) is already installed on this machine, and this check would replace and remove it"
else
  check_install "$deb"
fi

echo "== cmake --install into a prefix"
prefix="$work/prefix"
if cmake --install "$native" --prefix "$prefix" >"$work/install.log" 2>&1; then
  check_tree "$prefix" "$installed" "cmake --install --prefix"
  check_tessan_runs "$prefix/bin/tessan" "installed tessan"
  check_gang_help "$prefix/bin/tessan-gang" "installed tessan-gang --help"
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
$top/tessan-gang.exe
$top/README.md
$top/LICENSE.txt
$(printf '%s\n' "${documents[@]/#/$top/docs/}")" "the zip"
  check_same "$work/zip/$top/README.md" README.md "the zip's README.md"
  check_documents "$work/zip/$top/docs" "the zip"
  check_same "$work/zip/$top/LICENSE.txt" LICENSE "the zip's LICENSE.txt"
  for exe in "$work/zip/$top/tessan.exe" "$work/zip/$top/tessan-gang.exe"; do
    name=$(basename "$exe")
    if [ "$(head -c 2 "$exe" 2>/dev/null)" = MZ ]; then
      pass "$name is a Windows executable"
    else
      fail "$name does not start with MZ"
    fi
    # The zip carries no DLLs, so the exe may import only these libraries of
    # every Windows (TLS is the system's own: Secur32 and CRYPT32; SETUPAPI
    # names a COM port's USB device), never the compiler's runtime
    # (libstdc++-6.dll, libgcc_s_seh-1.dll, ...) nor another TLS library.
    if command -v x86_64-w64-mingw32-objdump >/dev/null; then
      dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
      others=$(printf '%s\n' "$dlls" |
        grep -viE '^(KERNEL32|msvcrt|WS2_32|ADVAPI32|Secur32|CRYPT32|SETUPAPI)\.dll$' || true)
      if [ -n "$dlls" ] && [ -z "$others" ]; then
        pass "$name imports only $(echo $dlls)"
      else
        fail "$name imports: $(echo $dlls)"
      fi
    fi
  done
fi

finish "package checks"
