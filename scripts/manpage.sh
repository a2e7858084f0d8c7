#!/usr/bin/env bash
# Turns a manual page kept as plain text (man/*.txt) into roff on stdout.
#   scripts/manpage.sh FILE NAME SECTION VERSION
# The text: a line in capitals opens a section; "* term" opens a tagged paragraph whose text
# follows; lines indented by four spaces are shown as they are; a blank line ends a paragraph.
set -euo pipefail
file=$1 name=$2 section=$3 version=$4
printf '.TH %s %s "" "Fenwold %s" "Fenwold"\n' "${name^^}" "$section" "$version"
awk '
  function esc(s) {
    gsub(/\\/, "\\e", s); gsub(/-/, "\\-", s)
    if (s ~ /^[.\047]/) s = "\\&" s
    return s
  }
  /^    / { if (!verbatim) { print ".RS\n.nf"; verbatim = 1 }; print esc(substr($0, 5)); next }
  verbatim { print ".fi\n.RE"; verbatim = 0 }
  /^[A-Z][A-Z ]*$/ { print ".SH " $0; fresh = 1; next }
  /^\* / { print ".TP\n.B " esc(substr($0, 3)); fresh = 1; next }
  /^$/ { if (!fresh) print ".PP"; fresh = 1; next }
  { print esc($0); fresh = 0 }
  END { if (verbatim) print ".fi\n.RE" }
' "$file"
