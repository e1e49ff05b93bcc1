#!/usr/bin/env bash
# The Windows installer that scripts/package made, installed, used and
# removed under Wine, in a fresh 64-bit prefix of its own:
#   - `file` sees a 64-bit program (PE32+, x86-64);
#   - a silent install (/S) puts tessan.exe, tessan-gang.exe, README.md,
#     LICENSE.txt, the
#     documents in docs\ (and its uninstaller) into C:\Program Files\tessan,
#     nothing into Program Files (x86); appends ";C:\Program Files\tessan"
#     to the system PATH and changes nothing else of it; and lists tessan
#     with its version among the installed programs;
#   - `tessan` by name, from a new `cmd /c`, prints the banner and the usage
#     text of frontend/Texts.h (in CR LF lines), then Wine's pause, and ends
#     with status 255; `tessan-gang --help` by name shows its usage, status 0;
#   - on a PATH longer than the 1024 characters an NSIS string holds, as
#     many machines have (the test sets one, without tessan's folder), a
#     second silent install appends the folder to the whole PATH;
#   - a silent uninstall leaves no folder, that long PATH as it was, and no
#     listing.
# (Wine itself gives its programs no more than the first 1019 characters
# of the PATH, so tessan is run by name on the prefix's own short PATH.)
# The registry is read with `wine reg query`. Each step runs under a
# wineserver that this script starts and ends; the uninstall has one that
# ends by itself once the last Windows process is gone, since NSIS's
# uninstaller copies itself to a temporary folder, starts that copy and
# returns at once: the server's end is the copy's end.
# Usage: tests/package/check-installer.sh [INSTALLER]
#        (default build/package-win/packages/tessan-<version>-win64-setup.exe)
set -uo pipefail
# An installer named on the command line is found from where we were called.
installer=${1:+$(realpath "$1")}
cd "$(dirname "$0")/../.." || exit 1
source tests/package/report.sh

version=$(sed -n 's/^project(tessan VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
installer=${installer:-$(pwd)/build/package-win/packages/tessan-$version-win64-setup.exe}
if [ ! -f "$installer" ]; then
  echo "FAIL: no installer at $installer (scripts/package makes it)"
  exit 1
fi
start=$SECONDS

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko for the new prefix: nothing here needs them.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
log=$work/wine.log
server=

# True while process $1 exists and has not ended (a zombie has).
alive() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

# start_server PERSISTENCE: a wineserver of our own for the prefix, in the
# foreground so that it is our child; -p keeps it until stop_server, -p0
# lets it end as soon as no Windows process is left.
start_server() {
  wineserver -f "$1" </dev/null >>"$log" 2>&1 &
  server=$!
  # Until it listens, a client would start a server of its own.
  for _ in $(seq 100); do
    ls -l "/proc/$server/fd" 2>/dev/null | grep -q 'socket:' && return 0
    sleep 0.05
  done
  fail "wineserver did not start:"
  sed 's/^/      /' "$log"
  return 1
}

# await_server SECONDS: waits for the server to end by itself.
await_server() {
  for _ in $(seq "$(($1 * 10))"); do
    if ! alive "$server"; then
      wait "$server" 2>/dev/null
      server=
      return 0
    fi
    sleep 0.1
  done
  return 1
}

stop_server() {
  [ -n "$server" ] || return 0
  wineserver -k </dev/null >>"$log" 2>&1
  await_server 10 || { kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; server=; }
}

cleanup() {
  stop_server
  rm -rf "$work"
}
trap cleanup EXIT

env_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\tessan'
folder="$WINEPREFIX/drive_c/Program Files/tessan"

# reg_value KEY NAME: the value's data as `wine reg query` shows it; fails
# if there is no such key or value.
reg_value() {
  local out
  out=$(wine reg query "$1" /v "$2" </dev/null 2>>"$log") || return 1
  printf '%s\n' "$out" | tr -d '\r' | sed -n "s/^    $2    REG_[A-Z_]*    //p"
}

# A string constant of frontend/Texts.h: its quoted pieces joined, with
# escapes such as \n left for printf %b.
text_of() {
  sed -n "/^const char $1\[\] =/{ :more; /;\$/!{ N; b more; }; p; }" frontend/Texts.h | grep -o '"[^"]*"' |
    sed 's/^"//; s/"$//' | tr -d '\n'
}
# puts() ends each text with one more line feed; Wine's pause adds none.
{
  printf '%b\n' "$(text_of kBanner)"
  printf '%b\n' "$(text_of kUsage)"
  printf '%s' "Press any key to continue... "
} >"$work/usage.expected"

what=$(file -b "$installer")
case $what in
  "PE32+ executable (GUI) x86-64"*) pass "$(basename "$installer"): $what" ;;
  *) fail "$(basename "$installer") is not a 64-bit Windows program: $what" ;;
esac

echo "== a fresh prefix, a silent install"
mkdir "$WINEPREFIX"
start_server -p || exit 1
if ! wineboot -i </dev/null >>"$log" 2>&1; then
  fail "wineboot -i could not make the prefix:"
  sed 's/^/      /' "$log"
  exit 1
fi
entry='C:\Program Files\tessan'
before=$(reg_value "$env_key" PATH)
wine "$installer" /S </dev/null >>"$log" 2>&1
status=$?
files=$(cd "$folder" 2>/dev/null && LC_ALL=C ls -A | tr '\n' ' ')
mapfile -t document_names < <(cd docs && LC_ALL=C ls -1 -- *.md)
documents="${document_names[*]} "
installed_documents=$(cd "$folder/docs" 2>/dev/null && LC_ALL=C ls -A | tr '\n' ' ')
if [ "$status" -eq 0 ] && [ "$files" = "LICENSE.txt README.md Uninstall.exe docs tessan-gang.exe tessan.exe " ] &&
   [ "$installed_documents" = "$documents" ] &&
   [ ! -e "$WINEPREFIX/drive_c/Program Files (x86)/tessan" ]; then
  pass "installer /S: exit status 0, C:\\Program Files\\tessan holds $files, docs\\ holds $documents"
else
  fail "installer /S: exit status $status, C:\\Program Files\\tessan holds '$files', docs\\ holds '$installed_documents'"
fi
cmp -s "$folder/README.md" README.md && cmp -s "$folder/LICENSE.txt" LICENSE ||
  fail "the installed README.md or LICENSE.txt is not the source's"
for name in "${document_names[@]}"; do
  cmp -s "$folder/docs/$name" "docs/$name" || fail "the installed docs\\$name is not the source's"
done

after=$(reg_value "$env_key" PATH)
if [ "$after" = "$before;$entry" ]; then
  pass "PATH: the prefix's own and ;$entry"
else
  fail "PATH after the install: $after (before: $before)"
fi
listing=$(reg_value "$uninstall_key" DisplayName)/$(reg_value "$uninstall_key" DisplayVersion)/$(reg_value "$uninstall_key" UninstallString)
if [ "$listing" = "tessan/$version/\"$entry\\Uninstall.exe\"" ]; then
  pass "listed: DisplayName/DisplayVersion/UninstallString $listing"
else
  fail "the Uninstall key says: $listing"
fi

wine cmd /c tessan </dev/null >"$work/out" 2>"$work/err"
status=$?
if [ "$status" -eq 255 ] && tr -d '\r' <"$work/out" | cmp -s - "$work/usage.expected" && [ ! -s "$work/err" ]; then
  pass "cmd /c tessan: banner, usage, pause, exit status 255, nothing on stderr"
else
  fail "cmd /c tessan: exit status $status, output (then the expected):"
  sed 's/^/      /' "$work/out" "$work/err" "$work/usage.expected"
fi

wine cmd /c tessan-gang --help </dev/null >"$work/out" 2>"$work/err"
status=$?
if [ "$status" -eq 0 ] && tr -d '\r' <"$work/out" | grep -q '^usage: tessan-gang <filename.ext> PORT' &&
   [ ! -s "$work/err" ]; then
  pass "cmd /c tessan-gang --help: its usage, exit status 0, nothing on stderr"
else
  fail "cmd /c tessan-gang --help: exit status $status, output:"
  sed 's/^/      /' "$work/out" "$work/err"
fi

echo "== a long PATH, the install again"
# The prefix's own entries, then 60 bin folders: over 2000 characters.
path=$before
for n in $(seq 60); do path+=";C:\\Program Files\\Tools of vendor $n\\bin"; done
wine reg add "$env_key" /v PATH /t REG_EXPAND_SZ /d "$path" /f </dev/null >>"$log" 2>&1
before=$(reg_value "$env_key" PATH)
wine "$installer" /S </dev/null >>"$log" 2>&1
status=$?
after=$(reg_value "$env_key" PATH)
if [ "$before" = "$path" ] && [ "$status" -eq 0 ] && [ "$after" = "$before;$entry" ]; then
  pass "installer /S on a PATH of ${#before} characters: exit status 0, the PATH whole and ;$entry"
else
  fail "installer /S: exit status $status; PATH set (${#path} characters): $path;" \
    "read back (${#before}): $before; after the install (${#after}): $after"
fi
stop_server

echo "== a silent uninstall"
start_server -p0 || exit 1
wine "$entry\\Uninstall.exe" /S </dev/null >>"$log" 2>&1
status=$?
if ! await_server 60; then
  fail "the uninstaller was still running after 60 s"
  exit 1
fi
start_server -p || exit 1
after=$(reg_value "$env_key" PATH)
listing=$(wine reg query "$uninstall_key" </dev/null 2>&1 | tr -d '\r')
if [ "$status" -eq 0 ] && [ ! -e "$folder" ] && [ "$after" = "$before" ] &&
   [ "$listing" = "reg: Unable to find the specified registry key" ]; then
  pass "uninstaller /S: exit status 0, no folder, the long PATH as it was, no Uninstall key"
else
  fail "uninstaller /S: exit status $status; left in the folder: $(ls -A "$folder" 2>/dev/null | tr '\n' ' ');" \
    "PATH (${#after} characters): $after; Uninstall key: $listing"
fi
stop_server

echo "   installer under Wine: $((SECONDS - start)) s"
finish "installer checks"
