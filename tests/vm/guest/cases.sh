# Shell functions for the case scripts the host runs in the guest (sourced).
# Every wait is bounded, so a case that goes wrong ends with a message on the
# console rather than a hang.

# wait_until SECONDS WHAT COMMAND...: until COMMAND succeeds, or complains
# that WHAT did not happen.
wait_until() {
  limit=$1
  n=$((limit * 20))
  what=$2
  shift 2
  until "$@"; do
    n=$((n - 1))
    if [ "$n" -le 0 ]; then
      echo "case: $what, not within $limit s"
      return 1
    fi
    sleep 0.05
  done
}

# wait_for_path PATH SECONDS: until PATH exists.
wait_for_path() { wait_until "$2" "no $1" test -e "$1"; }

# wait_for_text FILE TEXT SECONDS: until FILE holds TEXT.
wait_for_text() { wait_until "$3" "no '$2' in $1" grep -qsF "$2" "$1"; }

# run_tessan NAME ARGS...: runs tessan as a script would, standard input from
# /dev/null, into NAME.out, NAME.err and NAME.status.
run_tessan() {
  name=$1
  shift
  tessan "$@" </dev/null >"$name.out" 2>"$name.err"
  echo $? >"$name.status"
}
