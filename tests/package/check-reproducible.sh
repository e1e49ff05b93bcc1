#!/usr/bin/env bash
# Checks the release folder that scripts/package made, build/release/:
#   - SHA256SUMS lists every other file there, sorted, and each sum holds;
#   - the packages are reproducible: scripts/package, run again later in a
#     clone of this tree at another path, makes a release folder with the
#     same files, byte for byte. A file that differs is named with its first
#     differing byte, and the second tree is kept for a closer look
#     (diffoscope names every difference).
# The clone is of the commit checked out here. Uncommitted changes (tracked
# files changed or deleted, new files that git does not ignore) are copied
# into it, so that both builds are of the same sources; their time stamps
# are still the last commit's.
# Usage: tests/package/check-reproducible.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source tests/package/report.sh
release=build/release

# The files in folder $1, one a line, sorted.
files_in() { (cd "$1" && find . -maxdepth 1 -type f -printf '%f\n' | LC_ALL=C sort); }

echo "== $release/SHA256SUMS"
if [ ! -f "$release/SHA256SUMS" ]; then
  fail "no $release/SHA256SUMS (run scripts/package first)"
  finish "reproducibility checks"
fi
listed=$(sed 's/^[0-9a-f]\{64\}  //' "$release/SHA256SUMS")
present=$(files_in "$release" | grep -vx SHA256SUMS)
if [ -n "$present" ] && [ "$listed" = "$present" ]; then
  pass "SHA256SUMS lists, sorted, the $(wc -l <<<"$present") packages there: $(tr '\n' ' ' <<<"$present")"
else
  fail "SHA256SUMS lists '$(tr '\n' ' ' <<<"$listed")', the folder holds '$(tr '\n' ' ' <<<"$present")'"
fi
if (cd "$release" && sha256sum --strict --quiet -c SHA256SUMS) >/dev/null 2>&1; then
  pass "sha256sum -c SHA256SUMS: every sum holds"
else
  fail "sha256sum -c SHA256SUMS:"
  (cd "$release" && sha256sum --strict -c SHA256SUMS 2>&1) | sed 's/^/      /'
fi

echo "== the same packages from a second clone"
work=$(mktemp -d "${TMPDIR:-/tmp}/tessan-again.XXXXXX") || exit 1
again="$work/tessan-again"
commit=$(git rev-parse HEAD) || exit 1
if ! git clone -q --no-checkout . "$again" || ! git -C "$again" checkout -q --detach "$commit"; then
  fail "git clone . $again, commit $commit"
  rm -rf "$work"
  finish "reproducibility checks"
fi
if [ -n "$(git status --porcelain)" ]; then
  echo "uncommitted changes here: copied into the clone"
  git ls-files -z --deleted | (cd "$again" && xargs -0 -r rm -f --)
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$again"
fi
start=$SECONDS
if ! "$again/scripts/package" </dev/null >"$work/package.log" 2>&1; then
  fail "scripts/package in $again:"
  sed 's/^/      /' "$work/package.log"
  rm -rf "$work"
  finish "reproducibility checks"
fi
pass "scripts/package again in $again ($((SECONDS - start)) s)"

second="$again/$release"
here=$(files_in "$release")
if [ "$here" = "$(files_in "$second")" ]; then
  pass "both release folders hold: $(tr '\n' ' ' <<<"$here")"
else
  fail "the release folders differ: here '$(tr '\n' ' ' <<<"$here")', again '$(files_in "$second" | tr '\n' ' ')'"
fi
while read -r file; do
  [ -f "$second/$file" ] || continue
  if difference=$(cmp -- "$release/$file" "$second/$file" 2>&1); then
    pass "$file: the same $(stat -c %s "$release/$file") bytes"
  elif [[ $difference =~ differ:\ byte\ ([0-9]+) ]]; then
    offset=$((BASH_REMATCH[1] - 1))
    fail "$file differs, first at offset $offset ($(printf '0x%x' "$offset")): $difference"
  else
    fail "$file differs: $difference"
  fi
done <<<"$here"

if [ "$failures" -eq 0 ]; then
  rm -rf "$work"
else
  echo "the second tree is kept: diffoscope $release/FILE $second/FILE"
fi
finish "reproducibility checks"
