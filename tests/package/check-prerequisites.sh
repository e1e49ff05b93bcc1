#!/usr/bin/env bash
# Checks scripts/lib/packages.sh, which installs or names the Debian
# packages a command needs: which packages each command asks for, what root
# and anyone else are told, the apt-get calls (non-interactive, input from
# /dev/null, no recommended packages) and the failures of apt-get. A
# stand-in id and apt-get on the PATH play root, a user and the package
# manager; nothing is installed. Also checks that every line of the real
# list is well-formed.
# Usage: tests/package/check-prerequisites.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/packages.sh

source tests/package/report.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/files"

# id -u answers $FAKE_UID; apt-get logs each call, and "installs" a package
# by creating its file, for the packages named in $FAKE_APT_BRINGS; an
# install exits with $FAKE_APT_STATUS.
cat >"$work/bin/id" <<'EOF'
#!/bin/sh
echo "$FAKE_UID"
EOF
# dpkg knows the architectures in $FAKE_ARCHS (the first is its own) and
# logs each --add-architecture.
cat >"$work/bin/dpkg" <<'EOF'
#!/bin/bash
case "$1" in
  --print-architecture) echo "${FAKE_ARCHS%% *}" ;;
  --print-foreign-architectures) [ "${FAKE_ARCHS#* }" = "$FAKE_ARCHS" ] || tr ' ' '\n' <<<"${FAKE_ARCHS#* }" ;;
  *) echo "dpkg $*" >>"$FAKE_LOG" ;;
esac
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/bash
echo "apt-get $* | DEBIAN_FRONTEND=${DEBIAN_FRONTEND:-} | stdin $(readlink /proc/self/fd/0)" >>"$FAKE_LOG"
installing=no
for arg; do
  if [ "$arg" = install ]; then installing=yes
  elif [ $installing = yes ] && [[ $arg != -* ]] && [[ " $FAKE_APT_BRINGS " == *" $arg "* ]]; then
    touch "$FAKE_FILES/$arg"
  fi
done
[ $installing = no ] || exit "${FAKE_APT_STATUS:-0}"
EOF
chmod +x "$work/bin/id" "$work/bin/dpkg" "$work/bin/apt-get"

list="$work/packages.list"
cat >"$list" <<EOF
# a comment, then a blank line

present:$work/files/present   demo package
alpha:$work/files/alpha       package
beta:$work/files/beta
gamma:$work/files/gamma       demo quick
EOF
touch "$work/files/present"

# Runs require_packages COMMAND [LIST] as user FAKE_UID with the stand-ins;
# leaves its output in $work/out, apt-get's calls in $work/apt.log and its
# status in $status.
run() {
  local uid=$1
  shift
  : >"$work/apt.log"
  (PATH="$work/bin:$PATH" FAKE_UID=$uid FAKE_LOG="$work/apt.log" FAKE_FILES="$work/files" \
     FAKE_ARCHS=${FAKE_ARCHS:-amd64 arm64} \
     require_packages "$@") >"$work/out" 2>&1 </dev/null
  status=$?
}

# expect WHAT STATUS EXPECTED-OUTPUT EXPECTED-APT-LOG
expect() {
  local what=$1 want_status=$2 want_out=$3 want_log=$4
  if [ "$status" -eq "$want_status" ] && [ "$(cat "$work/out")" = "$want_out" ] &&
     [ "$(cat "$work/apt.log")" = "$want_log" ]; then
    pass "$what"
  else
    fail "$what: status $status (expected $want_status), output then apt-get calls:"
    sed 's/^/      /' "$work/out" "$work/apt.log"
  fi
}

not_root() {
  printf '%s\n' "scripts/$1 needs Debian packages that are not installed: $2" \
    "Install them as root, then run it again:" \
    "    apt-get install --no-install-recommends $2"
}

echo "== not root: the missing packages of each command, named with their apt-get line"
run 1000 package "$list"
expect "package: only its own missing package" 1 "$(not_root package alpha)" ""
run 1000 demo "$list"
expect "demo: only its own missing package" 1 "$(not_root demo gamma)" ""
run 1000 quick "$list"
expect "quick: its own missing package, named as scripts/test --quick" 1 \
  "$(not_root "test --quick" gamma)" ""
run 1000 test "$list"
expect "test: every missing package in the list, in its order" 1 "$(not_root test "alpha beta gamma")" ""

echo "== nothing missing"
run 1000 package <(grep -v -e alpha -e beta -e gamma "$list")
expect "nothing to do, nothing said, apt-get not called" 0 "" ""
run 0 package <(grep -v -e alpha -e beta -e gamma "$list")
expect "nothing to do as root either" 0 "" ""

apt_calls() {
  printf '%s\n' \
    "apt-get -o DPkg::Lock::Timeout=600 update -q | DEBIAN_FRONTEND=noninteractive | stdin /dev/null" \
    "apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $1 | DEBIAN_FRONTEND=noninteractive | stdin /dev/null"
}

echo "== root: apt-get installs what is missing"
export FAKE_APT_BRINGS="alpha beta gamma"
run 0 test "$list"
expect "update, then install without recommends, non-interactive, input /dev/null" 0 \
  "== installing for scripts/test: alpha beta gamma" "$(apt_calls "alpha beta gamma")"
run 0 test "$list"
expect "once installed, nothing is missing" 0 "" ""

rm -f "$work/files/alpha" "$work/files/beta"
FAKE_APT_STATUS=100 run 0 package "$list"
expect "apt-get failing is reported" 1 \
  "$(printf '%s\n' "== installing for scripts/package: alpha" "scripts/package: apt-get could not install: alpha")" \
  "$(apt_calls alpha)"

touch "$work/files/alpha"
FAKE_APT_BRINGS=alpha run 0 test "$list"
expect "a package whose file apt-get did not bring is named" 1 \
  "$(printf '%s\n' "== installing for scripts/test: beta" \
     "scripts/test: still missing after apt-get (see scripts/lib/packages.list): beta")" \
  "$(apt_calls beta)"

echo "== a package of an architecture that dpkg does not know yet"
cat >"$work/arch.list" <<EOF
delta:armel:$work/files/delta:armel   package
epsilon:arm64:$work/files/epsilon:arm64   package
EOF
run 1000 package "$work/arch.list"
expect "not root: the dpkg line for the new architecture only, then apt-get update" 1 \
  "$(printf '%s\n' "scripts/package needs Debian packages that are not installed: delta:armel epsilon:arm64" \
     "Install them as root, then run it again:" "    dpkg --add-architecture armel" "    apt-get update" \
     "    apt-get install --no-install-recommends delta:armel epsilon:arm64")" ""
FAKE_APT_BRINGS="delta:armel epsilon:arm64" run 0 package "$work/arch.list"
expect "root: the architecture added before apt-get update" 0 \
  "$(printf '%s\n' "== installing for scripts/package: delta:armel epsilon:arm64" \
     "== adding the architecture armel to dpkg, for its libraries")" \
  "$(printf '%s\n' "dpkg --add-architecture armel" "$(apt_calls "delta:armel epsilon:arm64")")"

echo "== the package list itself"
run 0 package "$work/no-such-list"
expect "an unreadable list is reported" 1 \
  "scripts/package: the package list $work/no-such-list cannot be read" ""

# Each line: a Debian package name, ":", an absolute path, then only the
# commands that read the list; no package twice.
bad=$(grep -v -e '^#' -e '^$' scripts/lib/packages.list |
      grep -Ev '^[a-z0-9][a-z0-9+.-]+(:[a-z0-9]+)?:/[^[:space:]]+([[:space:]]+(demo|package|chaos|fuzz|bench|soak|quick))*[[:space:]]*$')
dups=$(grep -v -e '^#' -e '^$' scripts/lib/packages.list | sed 's|:/.*||' | sort | uniq -d)
if [ -z "$bad" ] && [ -z "$dups" ]; then
  pass "scripts/lib/packages.list: $(grep -cv -e '^#' -e '^$' scripts/lib/packages.list) well-formed lines"
else
  fail "scripts/lib/packages.list: malformed lines: '$bad'; listed twice: '$dups'"
fi

finish "prerequisite checks"
