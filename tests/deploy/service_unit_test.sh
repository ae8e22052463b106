#!/usr/bin/env bash
# The systemd unit as `cmake --install` writes it: it runs the installed
# daemon in the foreground, restarts it whenever it ends, starts after the
# network, and passes systemd-analyze verify (when that command exists).
# Usage: service_unit_test.sh BUILD_DIR
. "$(dirname "$0")/lib.sh"
build="$1"
root="$TMP/root"

DESTDIR="$root" run_logged install cmake --install "$build" --prefix /usr
unit="$root/usr/lib/systemd/system/kestrel.service"
[ -f "$unit" ] || { echo "FAIL: no unit at $unit" >&2; exit 1; }

expect_line "$unit" "ExecStart=/usr/sbin/kestrel"
[ -x "$root/usr/sbin/kestrel" ] || fail "ExecStart names /usr/sbin/kestrel, which was not installed"
expect_line "$unit" "Type=notify"
expect_line "$unit" "ExecReload=/bin/kill -HUP \$MAINPID"
expect_line "$unit" "StateDirectory=kestrel"
expect_line "$unit" "Restart=always"
expect_line "$unit" "StartLimitIntervalSec=0"
expect_line "$unit" "Wants=network-online.target"
expect_line "$unit" "After=network-online.target"
expect_line "$unit" "WantedBy=multi-user.target"
restart_sec="$(sed -n 's/^RestartSec=\([0-9][0-9]*\)$/\1/p' "$unit")"
if [ -z "$restart_sec" ] || [ "$restart_sec" -gt 5 ]; then
  fail "RestartSec missing or above 5 seconds"
fi
# The watchdog must outlast the longest the loop can be held with the
# example configuration, which kestrel-check prints (in ms), twice over.
watchdog_sec="$(sed -n 's/^WatchdogSec=\([0-9][0-9]*\)$/\1/p' "$unit")"
mkdir "$TMP/example" && cp -r "$(dirname "$0")/../../config" "$TMP/example/config"
hold="$(KESTREL_ROOT="$TMP/example" "$build/tools/kestrel-check" |
  sed -n 's/^longest the main loop can be held: \([0-9.]*\) ms.*/\1/p')"
if [ -z "$watchdog_sec" ] || [ -z "$hold" ] || ! awk -v w="$watchdog_sec" -v h="$hold" 'BEGIN { exit !(1000 * w >= 2 * h) }'; then
  fail "WatchdogSec ('$watchdog_sec') is not at least twice the longest loop hold of the example configuration ('$hold' ms)"
fi
# Tracing is switched on by creating /tmp/kestrel.log: a private /tmp would
# hide that file from the gateway, and /tmp is the one place it writes.
expect_line "$unit" "PrivateTmp=no"
expect_line "$unit" "ReadWritePaths=/tmp"
expect_line "$unit" "User=kestrel"
stop_on_failure

if ! command -v systemd-analyze >/dev/null; then
  skip "systemd-analyze not found: the unit's settings were checked, systemd did not verify it"
fi
# Verified as installed, except that ExecStart names the daemon in the
# temporary tree (systemd-analyze checks that it exists and is executable)
# and man finds the page of Documentation= there.
mkdir "$TMP/verify"
sed "s|^ExecStart=/usr/sbin/kestrel\$|ExecStart=$root/usr/sbin/kestrel|" "$unit" >"$TMP/verify/kestrel.service"
verify_log="$TMP/verify.log"
if ! MANPATH="$root/usr/share/man" systemd-analyze verify "$TMP/verify/kestrel.service" >"$verify_log" 2>&1; then
  fail "systemd-analyze verify failed"
fi
# Unknown settings and bad values are only warned about: any output counts.
if [ -s "$verify_log" ]; then
  cat "$verify_log" >&2
  fail "systemd-analyze verify reported problems"
fi
# systemd's own rating of the sandbox, from 0 (safe) to 10 (unsafe): at
# most 3.0 (the threshold is in tenths).
security_log="$TMP/security.log"
if ! systemd-analyze security --offline=true --threshold=30 --no-pager "$TMP/verify/kestrel.service" \
  >"$security_log" 2>&1; then
  cat "$security_log" >&2
  fail "systemd-analyze security rates the unit above 3.0"
fi
grep 'Overall exposure level' "$security_log" || fail "systemd-analyze security printed no rating"
finish
