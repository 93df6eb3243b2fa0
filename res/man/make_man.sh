#!/usr/bin/env bash
# Writes a program's manual page, gzip-compressed: help2man over the
# program's own help and --version, plus the hand-written sections of an
# include file. The help's command list (tarvik's --help-all) becomes a
# COMMANDS section with one subsection per command; the help's closing notes
# are left to the hand-written sections.
#   res/man/make_man.sh PROGRAM HELP_OPTION INCLUDE OUTPUT.gz
set -euo pipefail
program=$(realpath "$1")
help_option=$2
include=$3
out=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# help2man runs a stand-in of the program's name that answers --help with
# the reshaped help and passes everything else on.
stand_in=$work/$(basename "$program")
cat > "$stand_in" <<STANDIN
#!/bin/sh
if [ "\$1" = --help ]; then
  "$program" $help_option | awk -f "$here/help_sections.awk"
else
  exec "$program" "\$@"
fi
STANDIN
chmod +x "$stand_in"
help2man --no-info --section=1 --include="$include" --output="$work/page.1" "$stand_in"
# The stand-in's folder must not show in the page.
if grep -q "$work" "$work/page.1"; then
  echo "make_man.sh: the page names the build's temporary folder" >&2
  exit 1
fi
# Long paths (the copies' layout) may break after a slash, and lines are set
# ragged-right, so that a terminal of 80 columns renders them without a
# warning.
sed -e '/^\.TH /a .ad l' -e '/^[.'"'"']/!s|/|/\\:|g' "$work/page.1" | gzip -9n > "$out"
