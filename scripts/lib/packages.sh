# shellcheck shell=bash
# Sourced by the scripts: makes sure the Debian packages that a command
# needs are installed, from the one list in scripts/lib/packages.list.
#
#   require_packages COMMAND [LIST]
#
# COMMAND is demo, package, chaos, fuzz, bench, soak, quick (scripts/test
# --quick) or test (test needs every package listed). When something is
# missing, root gets it installed with apt-get (non-interactive, without
# recommended packages); anyone else is told which packages are missing
# and the apt-get line that installs them.
# A package of another architecture (libstdc++6:arm64) needs that
# architecture known to dpkg: root gets it added (dpkg --add-architecture)
# before apt-get update; anyone else is shown that line too.
# Returns 0 when everything is there, 1 otherwise (with the reason printed on
# standard output).

tessan_package_list=$(dirname "${BASH_SOURCE[0]}")/packages.list

# Prints "PACKAGE FILE" for each line of LIST that COMMAND needs. PACKAGE
# may name an architecture (libstdc++6:arm64), so it ends at the ":" that
# starts FILE's "/".
packages_for() {
  local command=$1 list=$2 entry users
  while read -r entry users; do
    [[ -z $entry || $entry == \#* ]] && continue
    if [ "$command" = test ] || [[ " $users " == *" $command "* ]]; then
      echo "${entry%%:/*} /${entry#*:/}"
    fi
  done <"$list"
}

# Prints, space-separated, the architectures that the packages given name
# (libstdc++6:arm64) and that dpkg does not know yet: apt-get can install
# such a package only after dpkg --add-architecture and apt-get update.
new_architectures() {
  local name arch known new=()
  known=" $(dpkg --print-architecture 2>/dev/null) $(dpkg --print-foreign-architectures 2>/dev/null | tr '\n' ' ') "
  for name; do
    [[ $name == *:* ]] || continue
    arch=${name#*:}
    [[ $known == *" $arch "* || " ${new[*]} " == *" $arch "* ]] || new+=("$arch")
  done
  echo "${new[*]}"
}

# Prints, space-separated, the packages that COMMAND needs whose file is
# not there.
missing_packages() {
  local command=$1 list=$2 name file missing=()
  while read -r name file; do
    [ -e "$file" ] || missing+=("$name")
  done < <(packages_for "$command" "$list")
  echo "${missing[*]}"
}

# apt-get update, tried a few times: one architecture's index may fail to
# download for a while (a mirror being updated). A failure in the end is
# reported and the install still tried: the indexes that did come may do.
apt_update() {
  local try
  for try in 1 2 3; do
    DEBIAN_FRONTEND=noninteractive "$@" update -q </dev/null && return 0
    echo "== apt-get update failed (attempt $try of 3)"
    [ "$try" -lt 3 ] && sleep 10
  done
  echo "== going on with the indexes apt-get has"
  return 0
}

# shared_version NAME ARCH...: the newest version of NAME that apt offers
# for every ARCH (empty: none). A Multi-Arch: same package (libssl-dev)
# must have one version across the architectures installed; when one
# architecture's index lags behind, the newest of all is not installable.
shared_version() {
  local name=$1 arch common='' versions v best=''
  shift
  for arch; do
    versions=$(apt-cache madison "$name:$arch" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}' | sort -u)
    if [ "$arch" = "$1" ]; then common=$versions; else common=$(comm -12 <(echo "$common") <(echo "$versions")); fi
  done
  for v in $common; do
    if [ -z "$best" ] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done
  echo "$best"
}

# pinned_packages PACKAGE...: for each package that comes in several
# architectures (NAME:ARCH, together with the machine's own NAME), NAME of
# every one of those architectures at the version they all share, and its
# dependencies of exactly that version (libssl3 of libssl-dev) likewise.
# Other packages are printed as they are.
pinned_packages() {
  local package name arch archs version dependency out=() done=" "
  for package; do
    name=${package%%:*}
    [[ $done == *" $name "* ]] && continue
    # Only a package named with a foreign architecture is pinned; the
    # machine's own architecture always comes with it.
    archs=$(for p; do [[ ${p%%:*} == "$name" && $p == *:* ]] && echo "${p#*:}"; done)
    if [ -z "$archs" ]; then
      out+=("$package")
      continue
    fi
    # shellcheck disable=SC2086 # $archs is a list of architectures
    archs=$(echo $archs "$(dpkg --print-architecture)" | tr ' ' '\n' | sort -u)
    # shellcheck disable=SC2086
    version=$(shared_version "$name" $archs)
    if [ -z "$version" ]; then
      out+=("$package")
      continue
    fi
    done+="$name "
    for arch in $archs; do
      out+=("$name:$arch=$version")
      for dependency in $(apt-cache show "$name:$arch=$version" 2>/dev/null | sed -n 's/^Depends: //p' | head -n 1 |
                          tr ',' '\n' | sed -n "s/^ *\([^ ]*\) (= $version)\$/\1/p"); do
        out+=("${dependency%%:*}:$arch=$version")
      done
    done
  done
  echo "${out[*]}"
}

require_packages() {
  local command=$1 list=${2:-$tessan_package_list} missing
  # The command as its user typed it, for the messages.
  local name="scripts/$command"
  [ "$command" = quick ] && name="scripts/test --quick"
  if [ ! -r "$list" ]; then
    echo "$name: the package list $list cannot be read"
    return 1
  fi
  missing=$(missing_packages "$command" "$list")
  [ -z "$missing" ] && return 0
  local arch architectures
  # shellcheck disable=SC2086 # $missing is a list of package names
  architectures=$(new_architectures $missing)

  if [ "$(id -u)" -ne 0 ]; then
    echo "$name needs Debian packages that are not installed: $missing"
    echo "Install them as root, then run it again:"
    if [ -n "$architectures" ]; then
      for arch in $architectures; do echo "    dpkg --add-architecture $arch"; done
      echo "    apt-get update"
    fi
    echo "    apt-get install --no-install-recommends $missing"
    return 1
  fi
  if ! command -v apt-get >/dev/null; then
    echo "$name needs these packages, and this machine has no apt-get: $missing"
    return 1
  fi

  echo "== installing for $name: $missing"
  # Another apt-get or dpkg may hold the lock for a while (an unattended
  # upgrade, a parallel job): wait for it rather than fail at once.
  local apt=(apt-get -o DPkg::Lock::Timeout=600)
  for arch in $architectures; do
    echo "== adding the architecture $arch to dpkg, for its libraries"
    if ! dpkg --add-architecture "$arch"; then
      echo "$name: dpkg --add-architecture $arch failed"
      return 1
    fi
  done
  apt_update "${apt[@]}"
  # shellcheck disable=SC2086 # $missing is a list of package names
  if ! DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -q --no-install-recommends $missing </dev/null; then
    # Packages of several architectures at the version they all share.
    local pinned
    # shellcheck disable=SC2086
    pinned=$(pinned_packages $missing)
    # shellcheck disable=SC2086
    if [ "$pinned" = "$missing" ] ||
       ! echo "== trying the versions all architectures share: $pinned" ||
       ! DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -q --no-install-recommends --allow-downgrades \
           $pinned </dev/null; then
      echo "$name: apt-get could not install: $missing"
      return 1
    fi
  fi
  # A package that installed but did not bring its file means the list is
  # out of date (a renamed package or a moved file): say which.
  missing=$(missing_packages "$command" "$list")
  if [ -n "$missing" ]; then
    echo "$name: still missing after apt-get (see scripts/lib/packages.list): $missing"
    return 1
  fi
}
