#!/bin/sh
# Puts cpp-httplib's whole header (header-only, as its authors ship it) into
# DIR/httplib.h, from Debian's source package of the same version as the
# installed libcpp-httplib-dev, with Debian's patches applied. The cross builds
# (Windows, ARM) compile the station view's server from it: Debian's own
# /usr/include/httplib.h holds declarations only, its code is in an amd64
# shared library. Nothing is kept in git; DIR is a build folder.
#   scripts/lib/httplib-source.sh DIR
set -eu
dir=$1
[ -s "$dir/httplib.h" ] && exit 0
version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/get"
# The machine's own Debian sources, for source packages.
for f in /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && sed 's/^Types: deb$/Types: deb-src/' "$f" >"$work/parts/$(basename "$f")"
done
if [ -f /etc/apt/sources.list ]; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/parts/main.list"
fi
# Debian's own apt-get by its path: this fetches a source into a folder of
# its own and installs nothing, so a stand-in on the PATH (the fresh-machine
# check's) is not the one to ask.
aptget=/usr/bin/apt-get
apt="-o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts=$work/parts -o Dir::State::Lists=$work/lists"
# shellcheck disable=SC2086
"$aptget" -qq $apt update >/dev/null 2>&1
# shellcheck disable=SC2086
(cd "$work/get" && "$aptget" -qq $apt source --download-only "cpp-httplib=$version" >/dev/null 2>&1)
dpkg-source -x "$work"/get/cpp-httplib_*.dsc "$work/src" >/dev/null 2>&1
mkdir -p "$dir"
cp "$work/src/httplib.h" "$dir/httplib.h.new"
mv "$dir/httplib.h.new" "$dir/httplib.h"
