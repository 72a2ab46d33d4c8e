#!/usr/bin/env bash
# Writes the seed corpus of quistmoor_fuzz into fuzz/corpus/ (the input
# layout is described at the top of quistmoor_fuzz.cpp). Each seed is:
# switches, fault, fault index, then the Python logger, the default logger
# and the null-logger object. Line units: FE the marker, FD v n an altered
# marker, FC a b c d a 32-bit code, FB n a repeat, FA a null line, FF the
# line's end.
set -euo pipefail
cd "$(dirname "$0")"
mkdir -p corpus

seed() {
  printf "$2" >"corpus/$1"
}

# No lines anywhere: the file holds its header and footer only.
seed 01-empty ''
# The bundled sample: a Python line; the default logger's second type stores two.
seed 02-sample '\x00\x00\x00''\x01\x00\x01'"print('hi')"'\xff''\x02\x01\x00\x00\x02one\xffzwei \xa0\xac\xff''\x00'
# The marker in the second Python line: no file.
seed 03-marker '\x00\x00\x00''\x01\x00\x02before\xff\xfe\xff''\x01\x00\x01x\xff''\x00'
# The marker split over two lines: no hit; the Python lines are written.
seed 04-marker-split '\x00\x00\x00''\x01\x00\x02\xfd\x00\x08\xff\xfd\x01\x08\xff''\x00''\x00'
# The marker upper-cased, and with one letter's case flipped: no hit.
seed 05-marker-cased '\x00\x00\x00''\x01\x00\x02\xfd\x02\x00\xff\xfd\x03\x00\xff''\x00''\x00'
# The marker twice in one line, then alone: two hits.
seed 06-marker-repeated '\x00\x00\x00''\x01\x00\x03a\xfe\xfeb\xff\xfe\xffc\xff''\x00''\x00'
# Code 0, line feeds, e-acute, euro, a surrogate, above U+10FFFF, an emoji, CR LF.
seed 07-codes '\x00\x00\x00''\x00''\x01\x00\x03\x00\x0a\x80\xe9\xa0\xac\xff\xfc\x00\xd8\x00\x00\xfc\x00\x00\x11\x00\xfc\x00\xf6\x01\x00\xff\x0d\x0a\xff''\x00'
# A line of 16321 characters.
seed 08-long-line '\x00\x00\x00''\x00''\x01\x00\x01x\xfb\xff\xff''\x00'
# No Python entry; the host's null-logger object stores the marker: no file.
seed 09-null-logger-marker '\x07\x00\x00''\x00''\x00''\x01\x00\x01\xfe\xff'
# The Python entry is no logger and the host has no default logger: the
# null-logger object's lines are read twice and written.
seed 10-not-a-logger '\x0e\x00\x00''\x01\x00\x01py\xff''\x00''\x01\x00\x01from null\xff'
# Reading the default logger fails at its second line: a message box, false.
seed 11-iterate-fails '\x00\x00\x00''\x00''\x01\x04\x01\x02a\xffb\xff''\x00'
# The sixth byte written is lost: false.
seed 12-write-fault '\x00\x0e\x05''\x00''\x01\x00\x01abc\xff''\x00'
# The default logger is not resolved: the null-logger object's lines are written.
seed 13-resolve-fault '\x04\x12\x00''\x00''\x01\x00\x01default\xff''\x01\x00\x01null line\xff'
# The Python logger's list of types is not given: its marker is not seen.
seed 14-types-fault '\x00\x13\x00''\x01\x00\x01\xfe\xff''\x00''\x00'
# Empty entries, types that keep no lines, null lines and an empty line.
seed 15-null-lines '\x00\x00\x00''\x03\x02\x00\x00\x02A\xff\xfa\xff\x01\x00''\x03\x00\x01gone\xff\x02\x00\x00\x03\xfa\xff\xffz\xff''\x00'
# No storage can grow from the first request on: false.
seed 16-no-growth '\x00\x22\x00''\x01\x00\x01a\xff''\x01\x00\x01b\xff''\x00'
