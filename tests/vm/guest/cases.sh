# Shell functions for the case scripts the host runs in the guest (sourced).
# Every wait is bounded, so a case that goes wrong ends with a message on the
# console rather than a hang.

# wait_for_path PATH SECONDS: until PATH exists.
wait_for_path() {
  n=$(($2 * 20))
  while [ ! -e "$1" ]; do
    n=$((n - 1))
    if [ "$n" -le 0 ]; then
      echo "case: $1 did not appear within $2 s"
      return 1
    fi
    sleep 0.05
  done
}

# wait_for_text FILE TEXT SECONDS: until FILE holds TEXT.
wait_for_text() {
  n=$(($3 * 20))
  while ! grep -qF "$2" "$1" 2>/dev/null; do
    n=$((n - 1))
    if [ "$n" -le 0 ]; then
      echo "case: '$2' did not show in $1 within $3 s"
      return 1
    fi
    sleep 0.05
  done
}

# run_tessan NAME ARGS...: runs tessan as a script would, standard input from
# /dev/null, into NAME.out, NAME.err and NAME.status.
run_tessan() {
  name=$1
  shift
  tessan "$@" </dev/null >"$name.out" 2>"$name.err"
  echo $? >"$name.status"
}
