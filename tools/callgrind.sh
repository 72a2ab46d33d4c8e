#!/usr/bin/env bash
# Builds the bench preset and counts, with callgrind, the instructions of a
# whole run, of the line calls and of the bare host protocol on the same
# lines (10,000 lines of 10 and of 100 characters, ASCII and mixed, and a run
# without lines), then prints per character and per line:
#   whole run      everything a run executes (host, C library and module);
#   line calls     the bare protocol with the host calls a run makes per line
#                  around it (line String, "Message: @" text and write, releases);
#   bare protocol  the host calls the file demands, with the loop that makes them;
#   module's own   the instructions of the module file alone (the plug-in and
#                  the SDK compiled into it), the host's and the C library's excluded;
#   bare loop      the bare protocol's own loop, the host's calls excluded.
#
#   tools/callgrind.sh           the figures
#   tools/callgrind.sh --trace   the same with the host recording its call trace
#   tools/callgrind.sh --keep    also keeps the callgrind files in build/bench/callgrind/
set -euo pipefail
cd "$(dirname "$0")/.."

keep=0
trace=
for argument in "$@"; do
  case "$argument" in
    --keep) keep=1 ;;
    --trace) trace=--profile-trace ;;
    *)
      echo "usage: tools/callgrind.sh [--trace] [--keep]" >&2
      exit 2
      ;;
  esac
done
for tool in valgrind callgrind_annotate python3; do
  command -v "$tool" >/dev/null || { echo "callgrind: $tool is missing" >&2; exit 2; }
done

cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null
bench=build/bench/bench/harlwick_bench
out=build/bench/callgrind
rm -rf "$out"
mkdir -p "$out"

lines=10000
# name, lines, length, extra argument
shapes=("empty 0 0" "ascii10 $lines 10" "ascii100 $lines 100" "mixed100 $lines 100 --profile-nonascii")
for shape in "${shapes[@]}"; do
  read -r name count length extra <<<"$shape"
  valgrind --tool=callgrind --callgrind-out-file="$out/$name.out" --collect-atstart=no \
    --toggle-collect='*ProfiledWholeRun*' --toggle-collect='*ProfiledLineCalls*' \
    --toggle-collect='*ProfiledBareProtocol*' \
    "$bench" --profile-lines="$count" --profile-length="$length" ${extra:-} $trace >"$out/$name.log" 2>&1 || {
    cat "$out/$name.log" >&2
    exit 1
  }
  callgrind_annotate --inclusive=yes --threshold=100 "$out/$name.out" >"$out/$name.inclusive" 2>/dev/null
  callgrind_annotate --threshold=100 "$out/$name.out" >"$out/$name.self" 2>/dev/null
done

python3 - "$out" "$lines" "$trace" <<'EOF'
import re, sys

folder, lines = sys.argv[1], int(sys.argv[2])

def rows(path):
    for line in open(path):
        match = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)$", line)
        if match:
            yield int(match.group(1).replace(",", "")), match.group(2)

def figures(name):
    whole = calls = bare = module = loop = 0
    for count, where in rows(f"{folder}/{name}.inclusive"):
        if "::ProfiledWholeRun()" in where: whole = count
        if "::ProfiledLineCalls(" in where: calls = count
        if "::ProfiledBareProtocol(" in where: bare = count
    for count, where in rows(f"{folder}/{name}.self"):
        if where.endswith("harlwick.xdl64]"): module += count
        if "::ProfiledBareProtocol(" in where: loop = count
    log = open(f"{folder}/{name}.log").read()
    characters = int(re.search(r", (\d+) characters, \d+ bytes", log).group(1))
    if "every run answered true" not in log:
        sys.exit(f"callgrind: a run of {name} failed")
    return dict(whole=whole, calls=calls, bare=bare, module=module, loop=loop, characters=characters)

shapes = {name: figures(name) for name in ("empty", "ascii10", "ascii100", "mixed100")}
kinds = (("whole", "whole run"), ("calls", "line calls"), ("bare", "bare protocol"), ("module", "module's own"), ("loop", "bare loop"))

trace = " with the host's call trace recording" if len(sys.argv) > 3 and sys.argv[3] else ""
print(f"Instructions (callgrind), {lines:,} lines{trace}; a line's characters count with its line feed\n")
print(f"{'per character of the file':34}" + "".join(f"{label:>15}" for _, label in kinds) + f"{'whole/bare':>12}{'own/loop':>10}")
for name, label in (("ascii10", "10-char ASCII lines"), ("ascii100", "100-char ASCII lines"), ("mixed100", "100-char mixed lines")):
    shape = shapes[name]
    print(f"  {label:32}" + "".join(f"{shape[kind] / shape['characters']:15.2f}" for kind, _ in kinds)
          + f"{shape['whole'] / shape['bare']:12.3f}{shape['module'] / shape['loop']:10.3f}")

empty = shapes["empty"]
print(f"\n{'a run without lines':34}" + "".join(f"{empty[kind]:15,}" for kind, _ in kinds))
print("per line, less the run without lines")
for name, length in (("ascii10", 10), ("ascii100", 100)):
    shape = shapes[name]
    print(f"  {str(length) + '-char ASCII lines':32}" + "".join(f"{(shape[kind] - empty[kind]) / lines:15.1f}" for kind, _ in kinds))
short, long = shapes["ascii10"], shapes["ascii100"]
print("\nFit over 10- and 100-char ASCII lines (per line = fixed + per character x length):")
for kind, label in kinds:
    slope = (long[kind] - short[kind]) / (lines * 90)
    fixed = (short[kind] - empty[kind]) / lines - 10 * slope
    print(f"  {label:15} {fixed:10.1f} per line + {slope:7.2f} per character")
EOF

if ((keep == 0)); then rm -rf "$out"; fi
