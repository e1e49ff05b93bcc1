#!/usr/bin/env bash
# scripts/package as the first command on a machine that lacks what it
# needs. In a mount namespace of its own (nothing outside it changes), the
# file that shows each of scripts/package's Debian packages is installed
# (scripts/lib/packages.list: cmake, the cross compilers, file, ...) is
# hidden under an overlay, and a stand-in apt-get on the PATH brings a file
# back when it is asked to install its package. In a copy of the project's
# tracked files, as a fresh clone has them:
#   - run as a user, scripts/package names every missing package and the
#     apt-get line, and stops before building anything;
#   - run as root, it asks apt-get for exactly those packages (update, then
#     install without recommends, non-interactive, input from /dev/null),
#     then builds the .debs (amd64, arm64, armhf), the Windows zip and the
#     Windows installer.
# Needs root and mount namespaces; says "skipped" and succeeds without them.
# Usage: tests/package/fresh-machine.sh
set -uo pipefail
# Run again below, after the cd: a relative $0 would no longer lead here.
self=$(realpath "$0") || exit 1
cd "$(dirname "$self")/../.." || exit 1
source tests/package/report.sh

if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: scripts/package on a fresh machine (hiding its packages needs root)"
    exit 0
  fi
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "skipped: scripts/package on a fresh machine (no mount namespace here)"
    exit 0
  fi
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  mkdir "$work/copy"
  # A partial copy would make the checks below fail for the wrong reason.
  if ! git ls-files -z | tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$work/copy"; then
    fail "copying the project's tracked files (git ls-files, tar) into $work/copy"
    finish "fresh-machine checks"
  fi
  unshare -m --propagation private bash "$self" --inside "$work"
  exit $?
fi

# In the mount namespace from here on.
work=$2
source scripts/lib/packages.sh

# Every folder that holds a hidden file gets an overlay whose upper layer
# (on a tmpfs: an overlay cannot write to the container's own) holds a
# whiteout for that file; "real" keeps the folder as it was underneath.
# The whiteouts are made before the overlay is mounted, which then sees
# them all.
mkdir "$work/layers" && mount -t tmpfs tmpfs "$work/layers" || exit 1
declare -A layer_of=()
layers=0
hidden=()
while read -r name file; do
  if [ ! -e "$file" ]; then
    fail "$name is not installed here ($file), so it cannot be hidden and brought back"
    continue
  fi
  dir=$(dirname "$file")
  if [ -z "${layer_of[$dir]:-}" ]; then
    layers=$((layers + 1))
    layer_of[$dir]="$work/layers/$layers"
    mkdir -p "${layer_of[$dir]}/upper" "${layer_of[$dir]}/work" "${layer_of[$dir]}/real"
  fi
  mknod "${layer_of[$dir]}/upper/$(basename "$file")" c 0 0
  echo "$name $file ${layer_of[$dir]}/real/$(basename "$file")" >>"$work/hidden"
  hidden+=("$name")
done < <(packages_for package scripts/lib/packages.list)
# Parents before the folders inside them (/usr/include before
# /usr/include/openssl): an overlay mounted on a parent later would cover
# the overlay inside it.
while read -r dir; do
  layer=${layer_of[$dir]}
  mount --bind "$dir" "$layer/real" &&
    mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir" ||
    fail "an overlay on $dir"
done < <(printf '%s\n' "${!layer_of[@]}" | sort)
[ "$failures" -eq 0 ] || exit 1

still=$(missing_packages package scripts/lib/packages.list)
if [ "$still" = "${hidden[*]}" ] && ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  pass "hidden: ${hidden[*]} (no x86_64-w64-mingw32-g++ on the PATH)"
else
  fail "hiding the packages' files: missing now '$still', expected '${hidden[*]}'"
  exit 1
fi

# apt-get logs each call; "install" puts back the files of the packages
# it is given.
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<EOF
#!/bin/bash
echo "apt-get \$* | DEBIAN_FRONTEND=\${DEBIAN_FRONTEND:-} | stdin \$(readlink /proc/self/fd/0)" >>"$work/apt.log"
installing=no
for arg; do
  if [ "\$arg" = install ]; then installing=yes
  elif [ \$installing = yes ] && [[ \$arg != -* ]]; then
    while read -r name file real; do
      [ "\$name" = "\$arg" ] && cp -a "\$real" "\$file"
    done <"$work/hidden"
  fi
done
exit 0
EOF
chmod 755 "$work/bin/apt-get"
: >"$work/apt.log"
cd "$work/copy" || exit 1

echo "== as a user: the missing packages named, nothing built"
setpriv --reuid=65534 --regid=65534 --clear-groups env PATH="$work/bin:$PATH" \
  scripts/package </dev/null >"$work/out" 2>&1
status=$?
expected=$(printf '%s\n' "scripts/package needs Debian packages that are not installed: ${hidden[*]}" \
  "Install them as root, then run it again:" \
  "    apt-get install --no-install-recommends ${hidden[*]}")
if [ "$status" -ne 0 ] && [ "$(cat "$work/out")" = "$expected" ] && [ ! -s "$work/apt.log" ] &&
   [ ! -e build ]; then
  pass "scripts/package as a user: exit status $status, the packages and the apt-get line, no build"
else
  fail "scripts/package as a user: exit status $status, output:"
  sed 's/^/      /' "$work/out"
fi

echo "== as root: apt-get brings the packages, then every package is built"
start=$SECONDS
env PATH="$work/bin:$PATH" scripts/package </dev/null >"$work/out" 2>&1
status=$?
calls=$(printf '%s\n' \
  "apt-get -o DPkg::Lock::Timeout=600 update -q | DEBIAN_FRONTEND=noninteractive | stdin /dev/null" \
  "apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends ${hidden[*]} | DEBIAN_FRONTEND=noninteractive | stdin /dev/null")
version=$(sed -n 's/^project(tessan VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
made=()
for package in "build/package-native/packages/tessan_${version}_$(dpkg --print-architecture).deb" \
  "build/package-arm64/packages/tessan_${version}_arm64.deb" \
  "build/package-armhf/packages/tessan_${version}_armhf.deb" \
  "build/package-win/packages/tessan-${version}-win64.zip" \
  "build/package-win/packages/tessan-${version}-win64-setup.exe"; do
  grep -qxF "$work/copy/$package" "$work/out" && [ -f "$work/copy/$package" ] && made+=("$(basename "$package")")
done
if [ "$status" -eq 0 ] && [ "$(cat "$work/apt.log")" = "$calls" ] &&
   grep -qx "== installing for scripts/package: ${hidden[*]}" "$work/out" && [ ${#made[@]} -eq 5 ]; then
  pass "scripts/package as root: apt-get update and install, then ${made[*]} ($((SECONDS - start)) s)"
else
  fail "scripts/package as root: exit status $status, output, then apt-get's calls:"
  sed 's/^/      /' "$work/out" "$work/apt.log"
fi

finish "fresh-machine checks"
