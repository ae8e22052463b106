#!/usr/bin/env bash
# The Debian package built by CPack from this build: unpacked with dpkg -x
# it holds exactly the installed layout, declares its library dependencies
# and conffiles, and its daemon runs with the configuration it ships.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
build="$1"
source="$2"

for tool in dpkg dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || skip "$tool not found: no Debian packaging tools here"
done

run_logged cpack cpack -G DEB --config "$build/CPackConfig.cmake" -B "$TMP/out"
debs=("$TMP"/out/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: expected one .deb, found: ${debs[*]}" >&2; exit 1; }
deb="${debs[0]}"
root="$TMP/root"
run_logged unpack dpkg -x "$deb" "$root"

# Layout: exactly these files, nothing from the build machine's paths.
ini_names=()
for ini in "$source"/config/*.ini; do ini_names+=("$(basename "$ini")"); done
monitoring=(kestrel.rules.yml kestrel-dashboard.json)
expected="$TMP/expected.txt"
{
  echo "usr/sbin/kestrel"
  echo "usr/bin/kestrel-check"
  echo "usr/share/man/man1/kestrel-check.1"
  echo "usr/lib/systemd/system/kestrel.service"
  echo "usr/share/man/man8/kestrel.8"
  for example in "$source"/config/*; do echo "usr/share/doc/kestrel/examples/$(basename "$example")"; done
  for name in "${ini_names[@]}"; do echo "config/$name"; done
  for name in "${monitoring[@]}"; do echo "usr/share/kestrel/$name"; done
} | sort >"$expected"
(cd "$root" && find . -type f -printf '%P\n' | sort) >"$TMP/actual.txt"
if ! diff -u "$expected" "$TMP/actual.txt" >&2; then fail "package layout differs (- expected, + packaged)"; fi
stop_on_failure

[ -x "$root/usr/sbin/kestrel" ] || fail "usr/sbin/kestrel is not executable"
expect_line "$root/usr/lib/systemd/system/kestrel.service" "ExecStart=/usr/sbin/kestrel"
for example in "$source"/config/*; do
  cmp -s "$example" "$root/usr/share/doc/kestrel/examples/$(basename "$example")" ||
    fail "example $(basename "$example") differs from config/"
done
for name in "${ini_names[@]}"; do
  cmp -s "$source/config/$name" "$root/config/$name" || fail "config/$name differs from the example"
done
for name in "${monitoring[@]}"; do
  cmp -s "$source/monitoring/$name" "$root/usr/share/kestrel/$name" || fail "usr/share/kestrel/$name differs from monitoring/"
done

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kestrel ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = 1.01.04 ] || fail "Version is '$(field Version)', the program says 1.01.04"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
depends="$(field Depends)"
for dependency in libiniparser1 libmxml1 libc6 libstdc++6; do
  [[ ", $depends," == *", $dependency "* || ", $depends," == *", $dependency,"* ]] ||
    fail "Depends lacks $dependency: $depends"
done
# The service manager's protocol is the gateway's own: no libsystemd, and
# none of the compression and crypto libraries it brings along.
for library in libsystemd liblzma libzstd liblz4 libgcrypt; do
  [[ "$depends" != *"$library"* ]] || fail "Depends names $library: $depends"
done

# Conffiles: the INI files under /config, so that local edits survive upgrades.
dpkg-deb -e "$deb" "$TMP/control"
expect_file "$TMP/control/conffiles"
for name in "${ini_names[@]}"; do expect_line "$TMP/control/conffiles" "/config/$name"; done
[ "$(wc -l <"$TMP/control/conffiles")" -eq "${#ini_names[@]}" ] || fail "conffiles lists more than the INI files"

# dpkg installs it into an empty root (the libraries are the build
# machine's, so dependencies are not looked at) and registers the conffiles.
# Its maintainer scripts run outside the root, which they are told in
# DPKG_ROOT: postinst makes the system user kestrel, in dialout, in the
# root's user database, and a purge removes it again.
installed="$TMP/installed"
admin="$installed/var/lib/dpkg"
mkdir -p "$admin/info" "$admin/updates" "$installed/etc"
touch "$admin/status"
printf 'root:x:0:0:root:/root:/bin/sh\n' >"$installed/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\n' >"$installed/etc/group"
printf 'root:*:19000:0:99999:7:::\n' >"$installed/etc/shadow"
printf 'root:*::\ndialout:*::\n' >"$installed/etc/gshadow"
dpkg_root() { dpkg --root="$installed" --log=/dev/null --force-depends --force-script-chrootless "$@"; }
run_logged dpkg-install dpkg_root -i "$deb"
grep -q '^kestrel:[^:]*:[0-9]*:[0-9]*:[^:]*:/nonexistent:/usr/sbin/nologin$' "$installed/etc/passwd" ||
  fail "postinst made no system user kestrel: $(cat "$installed/etc/passwd")"
grep -qx 'dialout:x:20:kestrel' "$installed/etc/group" || fail "kestrel is not in dialout: $(cat "$installed/etc/group")"
run_logged dpkg-reinstall dpkg_root -i "$deb"  # an upgrade finds the user there
[ "$(grep -c '^kestrel:' "$installed/etc/passwd")" -eq 1 ] || fail "a second install made a second user kestrel"
for name in "${ini_names[@]}"; do
  dpkg-query --admindir="$admin" -W -f='${Conffiles}\n' kestrel | grep -q "^ /config/$name " ||
    fail "dpkg did not register /config/$name as a conffile"
done
cmp -s "$root/usr/sbin/kestrel" "$TMP/installed/usr/sbin/kestrel" || fail "dpkg -i did not install usr/sbin/kestrel"
run_logged dpkg-purge dpkg_root --purge kestrel
if grep -q '^kestrel:' "$installed/etc/passwd" "$installed/etc/group"; then fail "the purge left the user kestrel"; fi

# The packaged daemon loads the packaged configuration.
version="$(KESTREL_ROOT="$root" "$root/usr/sbin/kestrel" -v)" || fail "packaged kestrel -v failed"
[ "$version" = 1.01.04 ] || fail "packaged kestrel -v printed '$version'"
# The packaged checker finds nothing wrong with the packaged examples.
if ! KESTREL_ROOT="$root" "$root/usr/bin/kestrel-check" -q \
  -d "$root/usr/share/doc/kestrel/examples/meters.xml" >"$TMP/check.log"; then
  cat "$TMP/check.log" >&2
  fail "packaged kestrel-check reports findings on the packaged examples"
fi
finish
