#!/usr/bin/env bash
# Cross-builds the daemon for the controller (armhf) with the project's
# toolchain file and runs it under qemu-arm: it must print its version with
# the example configuration. Skipped where the cross tools are not installed
# (scripts/cross-build armhf installs them).
# Usage: cross_armhf_test.sh SOURCE_DIR WORK_DIR   (WORK_DIR is kept, so
# later runs rebuild only what changed)
. "$(dirname "$0")/lib.sh"
source="$1"
work="$2"
readonly triplet=arm-linux-gnueabihf
readonly multiarch_lib="/usr/lib/$triplet"

for tool in "$triplet-g++" qemu-arm; do
  command -v "$tool" >/dev/null ||
    skip "$tool not installed; scripts/cross-build armhf installs the cross tools"
done
for library in "$multiarch_lib/libiniparser.so" "$multiarch_lib/pkgconfig/mxml.pc"; do
  [ -e "$library" ] ||
    skip "$library missing (libiniparser-dev:armhf, libmxml-dev:armhf); scripts/cross-build armhf installs them"
done

run_logged configure cmake -S "$source" -B "$work" \
  -DCMAKE_TOOLCHAIN_FILE="$source/cmake/toolchain-armhf.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKESTREL_WERROR=ON -DKESTREL_TESTS=OFF
run_logged build cmake --build "$work" --target kestrel -j 2

machine="$(readelf -h "$work/kestrel" | sed -n 's/^ *Machine: *//p')"
[ "$machine" = ARM ] || fail "the binary is built for '$machine', not ARM"
readelf -d "$work/kestrel" | grep -q 'NEEDED.*libiniparser' || fail "the binary does not link iniparser"

mkdir -p "$TMP/root/config"
cp "$source"/config/*.ini "$TMP/root/config/"
version="$(KESTREL_ROOT="$TMP/root" qemu-arm -L "/usr/$triplet" "$work/kestrel" -v)" ||
  fail "kestrel -v under qemu-arm failed"
[ "$version" = 1.01.04 ] || fail "kestrel -v under qemu-arm printed '$version'"
finish
