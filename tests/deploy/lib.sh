# Shared by the deployment tests (sourced): a temporary folder removed on
# exit, checks that count failures, and the skip status ctest reports.
set -euo pipefail

readonly kSkipStatus=77  # SKIP_RETURN_CODE of these tests
TMP="$(mktemp -d /tmp/kestrel-deploy-XXXXXX)"
trap 'rm -rf "$TMP"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

skip() {
  echo "SKIPPED: $*"
  exit "$kSkipStatus"
}

# Ends the test at once when a check failed so far.
stop_on_failure() {
  if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
}

finish() {
  stop_on_failure
  echo "all checks passed"
}

expect_file() {
  [ -f "$1" ] || fail "missing file $1"
}

expect_line() {  # file, exact line
  grep -qxF -- "$2" "$1" || fail "$(basename "$1") lacks the line '$2'"
}

# Runs a command with its output in a log; on failure shows the log and stops.
run_logged() {
  local log="$TMP/$1.log"
  shift
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    fail "command failed: $*"
    stop_on_failure
  fi
}
