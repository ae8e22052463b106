#!/usr/bin/env bash
# The manual pages render without a single warning; kestrel(8) has the
# sections an administrator looks for, states the version the program
# prints, and documents every INI key and DeviceFile attribute that the
# example configuration uses.
# Usage: manual_test.sh SOURCE_DIR KESTREL_BINARY
. "$(dirname "$0")/lib.sh"
source="$1"
binary="$2"
page="$source/doc/kestrel.8"

command -v groff >/dev/null || skip "groff not found: the manual pages cannot be rendered here"
# Every page of doc/: -ww shows every warning; tbl for the tables.
for any_page in "$source"/doc/*.[1-8]; do
  groff -t -man -Tutf8 -ww -z "$any_page" 2>"$TMP/groff.err" || fail "groff failed on $any_page"
  if [ -s "$TMP/groff.err" ]; then cat "$TMP/groff.err" >&2; fail "groff warned on $any_page"; fi
  if command -v man >/dev/null; then
    MANWIDTH=80 man -l "$any_page" 2>&1 >/dev/null | grep . >&2 && fail "man -l warned on $any_page"
  fi
done

rendered="$TMP/rendered.txt"
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$page" >"$rendered" 2>"$TMP/man.err" || fail "man -l failed"
  if [ -s "$TMP/man.err" ]; then cat "$TMP/man.err" >&2; fail "man -l warned"; fi
else
  groff -t -man -Tutf8 -rLL=80n -P-cbou "$page" >"$rendered"
fi
stop_on_failure

for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES ENVIRONMENT "EXIT STATUS" SIGNALS \
  CONFIGURATION DEVICEFILE "TRACE LOG" LEDS EXAMPLES; do
  grep -qx "$section" "$rendered" || fail "no section $section"
done

mkdir -p "$TMP/root/config"
cp "$source"/config/*.ini "$TMP/root/config/"
version="$(KESTREL_ROOT="$TMP/root" "$binary" -v)"
grep -q "kestrel $version" "$rendered" || fail "the page does not name version $version"

# Each documented key or attribute is the tag of its own entry: the name at
# the start of an indented line, followed by its kind or default in
# parentheses.
documented() { grep -qE "^ +$1 \(" "$rendered"; }
for ini in kestrel.ini kestrel_default.ini; do
  for key in $(sed -n 's/^[[:space:]]*\([A-Za-z_]*\)[[:space:]]*=.*/\1/p' "$source/config/$ini" | sort -u); do
    documented "$key" || fail "INI key $key ($ini) is not documented"
  done
done
for xml in "$source"/config/*.xml; do
  for attribute in $(grep -o '[A-Za-z]*="' "$xml" | tr -d '="' | grep -v '^version$' | sort -u); do
    documented "$attribute" || fail "DeviceFile attribute $attribute ($(basename "$xml")) is not documented"
  done
done
finish
