#!/bin/sh
# Runs a Windows program under wine in a prefix of the build's own.
#   wine-run.sh WINE PREFIX PROGRAM [ARGUMENTS...]
#   wine-run.sh WINE PREFIX        only makes the prefix (the build does, once)
# The first start makes the prefix (ten seconds or more); a lock keeps
# programs that start at the same time from making it twice. A wine server that
# outlives each program by a few seconds spares the next one its start-up
# (about 0.6 s per test program instead of 2.5 s).
set -eu
if [ "$#" -lt 2 ]; then
  echo "usage: wine-run.sh WINE PREFIX [PROGRAM [ARGUMENTS...]]" >&2
  exit 2
fi
wine=$1
WINEPREFIX=$2
shift 2
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG

wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    if command -v flock >/dev/null 2>&1; then flock 9; fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 || true
      # Until the server has written the new prefix out.
      "$wineserver" -w >/dev/null 2>&1 || true
    fi
  ) 9>"$WINEPREFIX.lock"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-run.sh: could not make the wine prefix $WINEPREFIX" >&2
    exit 1
  fi
fi

[ "$#" -gt 0 ] || exit 0

# A server of this prefix that outlives the programs. Starting it fails
# harmlessly when one runs already; when it starts, so are the session's own
# processes (services, devices), with no output of this program's to hold
# open: whoever reads that output would wait until the session ends. Neither
# keeps the lock.
(
  if command -v flock >/dev/null 2>&1; then flock 9; fi
  if "$wineserver" -p10 </dev/null >/dev/null 2>&1 9>&-; then
    "$wine" wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"

# Now and then (about one start in a thousand, with many at once) wine ends
# at once with exit 1 and not a word, having started nothing. A program of
# ours always says something first (a test program names its main), so a
# start that ends silently in failure is tried again, twice at most.
output=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$output"' EXIT
for attempt in 1 2 3; do
  status=0
  "$wine" "$@" >"$output" 2>&1 || status=$?
  if [ "$status" -eq 0 ] || [ -s "$output" ] || [ "$attempt" -eq 3 ]; then
    cat "$output"
    exit "$status"
  fi
  echo "wine-run.sh: wine ended silently with exit $status, starting it again" >&2
done
