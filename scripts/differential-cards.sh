#!/usr/bin/env bash
# Writes one set of card files into the folder $1 for scripts/test-differential.sh: every kind
# of line, groups, bad lines, quoting, line ends, every encoding the reader takes (UTF-8 with
# and without mark, UTF-16LE/BE, Windows-1252, Windows-1250), characters outside both code
# pages, and names that must not be taken (x.csvx, x.csv1, x.csv~, hidden, read-only).
# The card types it uses: STAFF, MONTHLY, DEBIT, VISITOR.
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$(dirname "$0")"
samples=$(pwd)/samples
cd "$dir"

crlf() { sed 's/$/\r/'; }                        # LF lines to CR LF
enc() { iconv -f UTF-8 -t "$1"; }                # UTF-8 text to an encoding

# The samples as they stand (every column, quoting, a backslash, a number that is no number).
cp "$samples/cards.csv" 01-sample-cards.csv
cp "$samples/groups.csv" 02-sample-groups.csv
cp "$samples/bad_number.csv" 03-sample-bad-number.csv

# Splitting: quotes open only at a field's start, a doubled quote is no escape, an unclosed
# quote runs to the end, a trailing comma adds no field, blanks stay.
crlf >04-quoting.csv <<'EOF'
A,200401,STAFF,"Desk, east wing",0800,20250106,1800,20261231,0,"Staff, North Gate",Quote"Inside,Ada
A,200402,STAFF,"ab"cd,0800,20250106,1800,20261231,0,,"O""Brien",Sean
A,200403,VISITOR, "blank then quote",0800,20250106,1800,20261231,0,,Lind,Maja
A,200404,STAFF,Unclosed,0800,20250106,1800,20261231,0,,"Runs, to, the end
A,200405,STAFF,  padded  ,0800,20250106,1800,20261231,0,,  Berg  ,
EOF

# Line ends: LF only, CR only, LF CR (an empty line between), no break at the end, and a NUL
# that ends the text.
printf 'Blue Lot,41\nA,200501,STAFF,LF only,0800,20250106,1800,20261231,0,Blue Lot,Lf,Only\n' >05-lf.csv
printf 'A,200601,STAFF,CR only,0800,20250106,1800,20261231,0,,Cr,Only\rA,200602,STAFF,CR two,0800,20250106,1800,20261231,0,,Cr,Two' >06-cr.csv
printf 'A,200701,STAFF,LF CR,0800,20250106,1800,20261231,0,,Lf,Cr\n\rA,200702,STAFF,Last line,0800,20250106,1800,20261231,0,,No,Break' >07-lfcr.csv
printf 'A,200801,STAFF,Before NUL,0800,20250106,1800,20261231,0,,Before,Nul\r\n\0A,200802,STAFF,After NUL,0800,20250106,1800,20261231,0,,After,Nul\r\n' >08-nul.csv

# Kinds of line: one field and empty lines are ignored, two fields make a group row (even a
# cut card row), more than 24 fields, commands A and C and others, dates and times at their
# edges, hexadecimal numbers, a debit top-up.
crlf >09-rules.csv <<'EOF'
just one field

Visitors' Yard,15
Harbour Deck,$78
A,200901
A,200902,STAFF,Twenty-six fields,0800,20250106,1800,20261231,0,Blue Lot,Many,Fields,1,2,3,4,5,6,7,8,9,10,11,12,13,14
A,200903,MONTHLY,Season,0000,20250201,2359,20250228,6,Harbour Deck,Month,Ly
C,200904,DEBIT,Top-up,,,,,500,,Debit,Card
A,200904,DEBIT,Opened,0000,20240101,2359,20991231,120,,Debit,Card
X,200905,STAFF,Other command,0800,20250106,1800,20261231,0,,Other,Command
A,200906,STAFF,Times,930,20240229,12345,20991231,0,,Leap,Day
A,200907,STAFF,Bad times,2400,20230229,0960,0,0,,Bad,Dates
A,200908,VISITOR,Future,0800,20990101,1800,20991231,0,,Future,Start
A,200909,STAFF,Hex value,0800,20250106,1800,20261231,0x10,,Hex,Value
EOF
crlf >10-header-line.csv <<'EOF'
COMMAND,NUMBER,CARD_TYPE,DESCR,T,START_DT,T,EXP_IRY,ADD_VALUE,GROUP_NAME,LAST_NAME,FIRST_NAME
A,201001,STAFF,After header,0800,20250106,1800,20261231,0,,After,Header
EOF

# The same people in every encoding; characters beyond ASCII in every text column.
people() {  # first-number
  local n=$1
  cat <<EOF
Zöllner Straße,12
A,$n,STAFF,Müller & Søn – café,0800,20250106,1800,20261231,0,Zöllner Straße,Müller,Jürgen,Hauptstraße 5,Köln,50667,,,,,,naïve façade
A,$((n + 1)),VISITOR,Łódź – Kraków,0800,20250106,1800,20261231,0,,Żółć,Łucja,ul. Świętokrzyska,Łódź
A,$((n + 2)),STAFF,Price €12 „quoted“ ‘single’,0800,20250106,1800,20261231,0,,Œuvre,Zoë
EOF
}
# Characters that neither Windows-1252 nor Windows-1250 holds: Greek, Cyrillic, CJK, Arabic.
beyond() {  # first-number
  echo "A,$1,STAFF,Αθήνα Νότος,0800,20250106,1800,20261231,0,,Смирнова,Жанна,東京都,سعيد"
}
# Beyond U+FFFF (emoji, a musical symbol) and a combining mark. Files of their own, named to
# stage last: Wine's ODBC bridge garbles such characters for a driver without wide entry
# points, and the differential sets these files aside on SQLite (see the README).
astral() {  # first-number
  local n=$1
  cat <<EOF
A,$n,STAFF,Car 🚗 park 🅿️,0800,20250106,1800,20261231,0,,Emoji,Zoë 😀
A,$((n + 1)),STAFF,Clef 𝄞 and e + ́,0800,20250106,1800,20261231,0,,Ré́mi,X
EOF
}
{ printf '\xEF\xBB\xBF'; { people 201101; beyond 201111; } | crlf; } >11-utf8-bom.csv
{ people 201201; beyond 201211; } | crlf >12-utf8.csv
{ printf '\xFF\xFE'; { people 201301; beyond 201311; } | crlf | enc UTF-16LE; } >13-utf16le.csv
{ printf '\xFE\xFF'; { people 201401; beyond 201411; } | crlf | enc UTF-16BE; } >14-utf16be.csv
# Only what Windows-1252 holds (Ł and Ż are not in it), and bytes it leaves undefined (0x81,
# 0x8D, 0x8F, 0x90, 0x9D): replaced and counted.
{ people 201501 | grep -v 'Łódź' | crlf | enc WINDOWS-1252
  printf 'A,201509,STAFF,Undefined \x81 \x8d \x8f \x90 \x9d bytes,0800,20250106,1800,20261231,0,,Und\x81fined,X\r\n'
} >15-windows-1252.csv
# Windows-1250 text, read with the legacy code page in force (Windows-1252 unless set).
crlf <<'EOF' | enc WINDOWS-1250 >16-windows-1250.csv
Śląsk Parking,30
A,201601,STAFF,Łódź – Kraków,0800,20250106,1800,20261231,0,Śląsk Parking,Żółć,Łucja,ul. Świętokrzyska,Łódź
A,201602,VISITOR,Šťastný Žižek,0800,20250106,1800,20261231,0,,Dvořák,Antonín,Náměstí Míru,Brno
EOF
# UTF-8 and Windows-1252 lines in one file: read as the legacy code page, and the log says so.
{ people 201701 | head -n 2 | crlf
  printf 'A,201709,STAFF,Caf\xe9 1252,0800,20250106,1800,20261231,0,,M\xfcller,J\xfcrgen\r\n'
} >17-mixed.csv
# UTF-16 without a mark is no UTF-8: read as the legacy code page, up to its first NUL.
people 201801 | crlf | enc UTF-16LE >18-utf16le-no-mark.csv
# A surrogate without its partner and an odd last byte: replaced and counted.
{ printf '\xFF\xFE'; printf 'A,201901,STAFF,Lone surrogate,0800,20250106,1800,20261231,0,,Lone,X\r\n' | enc UTF-16LE
  printf '\x00\xD8A\x00\r\x00\n\x00'
  printf 'A,201902,STAFF,Odd byte,0800,20250106,1800,20261231,0,,Odd,Byte' | enc UTF-16LE; printf 'Z'
} >19-utf16-lone-surrogate.csv
# Invalid UTF-8 (a cut sequence, an overlong form): no UTF-8, so the legacy code page.
printf 'A,202001,STAFF,Bad \xC3( and \xC0\xAF,0800,20250106,1800,20261231,0,,Bad,Utf\r\n' >20-invalid-utf8.csv

# Names. Staged: upper case, a name beyond ASCII, a long name. Left alone: the rest.
line() { printf 'A,%s,STAFF,%s,0800,20250106,1800,20261231,0,,Name,Test\r\n' "$1" "$2"; }
line 202101 'Upper case' >'21-UPPER.CSV'
line 202102 'Mixed case' >'22-Mixed.Csv'
line 202103 'Name beyond ASCII' >'23-Zöllner – 東京 🚗.csv'
line 202104 'Long name' >"24-long-$(printf 'n%.0s' $(seq 1 200)).csv"
# Rejected (a letter O for a zero), so that its report bears a name beyond ASCII as well.
line 2021O9 'Rejected, name beyond ASCII' >'32-Łódź 東京 rejected.csv'
line 202105 'csvx' >'25-x.csvx'
line 202106 'csv1' >'26-x.csv1'
line 202107 'csv tilde' >'27-x.csv~'
line 202108 'hidden' >'.28-hidden.csv'
line 202109 'read-only' >'29-readonly.csv'
chmod 0444 29-readonly.csv
mkdir -p 30-folder.csv
line 202110 'txt' >'31-cards.txt'

astral 209001 | crlf >90-astral-utf8.csv
{ printf '\xFF\xFE'; astral 209101 | crlf | enc UTF-16LE; } >91-astral-utf16le.csv
