#!/usr/bin/env bash
# CI: builds the fuzz target, replays the committed corpus, then fuzzes for
# a while (FUZZ_SECONDS, default 60). Fails on a crash or a violated
# property; the input that caused it is left in build/fuzz/artifacts/ and
# belongs in fuzz/corpus/ together with the fix.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
cmake --preset fuzz
cmake --build --preset fuzz

fuzzer=build/fuzz/fuzz/quistmoor_fuzz
artifacts=build/fuzz/artifacts
work=build/fuzz/corpus
rm -rf "$work"
mkdir -p "$artifacts" "$work"
options=(-max_len=4096 -timeout=25 "-artifact_prefix=$artifacts/")

echo "== replaying fuzz/corpus"
"$fuzzer" "${options[@]}" fuzz/corpus/*

echo "== fuzzing for ${seconds} seconds"
# New inputs go to the scratch corpus in build/, never into fuzz/corpus.
log=build/fuzz/fuzz.log
status=0
"$fuzzer" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 "$work" fuzz/corpus >"$log" 2>&1 || status=$?
# Everything but the progress lines of each new or smaller input.
grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE)' "$log" || true
if [ "$status" -ne 0 ]; then
  echo "fuzz: failed (exit $status); the input is in $artifacts/" >&2
  exit "$status"
fi
echo "fuzz: no crash in $(sed -n 's/^stat::number_of_executed_units: *//p' "$log") runs"
