# shellcheck shell=bash
# Sourced by the package checks: one "ok:" or "FAIL:" line a check, then a
# closing line with the count of failures (exit status 1 if there were any).
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok:   $*"; }

# finish WHAT: the closing line, and exit 1 if any check failed.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$1: $failures failed"
    exit 1
  fi
  echo "$1: all passed"
  exit 0
}
