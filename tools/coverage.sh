#!/usr/bin/env bash
# Builds everything with gcov instrumentation, runs the test suite and prints
# the line and branch coverage of the plug-in (source/) and of the SDK layer
# compiled into it (standin/sdk/), merged over the four module builds.
#
#   tools/coverage.sh            the figures
#   tools/coverage.sh --details  also every line and branch no test takes
#
# The modules are loaded and unloaded by the tests; gcc's runtime writes a
# module's counters when it is unloaded, so nothing is lost to dlclose.
# Branches are counted per function (each template instance on its own) and
# without the exception edges of calls.
set -euo pipefail
cd "$(dirname "$0")/.."

details=0
case "${1:-}" in
  "") ;;
  --details) details=1 ;;
  *)
    echo "usage: tools/coverage.sh [--details]" >&2
    exit 2
    ;;
esac
for tool in gcov python3; do
  command -v "$tool" >/dev/null || { echo "coverage: $tool is missing" >&2; exit 2; }
done

build=build/coverage
cmake --preset coverage >/dev/null
cmake --build --preset coverage
find "$build" -name '*.gcda' -delete
if ! ctest --preset coverage >"$build/coverage-tests.log" 2>&1; then
  echo "coverage: some tests failed (see $build/coverage-tests.log); the figures cover what ran" >&2
fi
tail -n 3 "$build/coverage-tests.log"
# The programs and modules hold no path of the build folder: they name their
# counter files "/coverage/" and the object's path below the build folder with
# "#" for "/", and the test preset (GCOV_PREFIX) puts them into the build
# folder. Each goes beside its notes file.
for counters in "$build"/*#*.gcda; do
  [[ -e $counters ]] || continue
  name=${counters##*/}
  mv "$counters" "$build/${name//#//}"
done

find "$build" -name '*.gcda' -print0 | xargs -0 gcov --json-format --stdout --branch-probabilities 2>/dev/null >"$build/coverage.jsonl"
python3 - "$build/coverage.jsonl" "$PWD" "$details" <<'PYTHON'
import collections
import json
import os
import sys

data, root, details = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
groups = [("source/", "the plug-in"), ("standin/sdk/", "the SDK layer")]

lines = collections.defaultdict(int)     # (file, line) -> count
branches = collections.defaultdict(int)  # (file, line, function, index) -> count
with open(data) as stream:
    for record in stream:
        for entry in json.loads(record)["files"]:
            path = os.path.relpath(os.path.realpath(entry["file"]), root)
            if not any(path.startswith(prefix) for prefix, _ in groups):
                continue
            for line in entry["lines"]:
                key = (path, line["line_number"])
                lines[key] += line["count"]
                taken = [b for b in line["branches"] if not b.get("throw", False)]
                for index, branch in enumerate(taken):
                    branches[key + (line.get("function_name", ""), index)] += branch["count"]


def figure(covered, total):
    share = 100.0 * covered / total if total else 100.0
    return f"{covered:5d}/{total:<5d} {share:5.1f}%"


for prefix, name in groups:
    group_lines = {k: v for k, v in lines.items() if k[0].startswith(prefix)}
    group_branches = {k: v for k, v in branches.items() if k[0].startswith(prefix)}
    print(f"\n{prefix} ({name})")
    print(f"  {'file':44s} {'lines':18s} {'branches':18s}")
    for path in sorted({k[0] for k in group_lines}):
        file_lines = [v for k, v in group_lines.items() if k[0] == path]
        file_branches = [v for k, v in group_branches.items() if k[0] == path]
        print(f"  {path:44s} {figure(sum(c > 0 for c in file_lines), len(file_lines))}"
              f" {figure(sum(c > 0 for c in file_branches), len(file_branches))}")
    print(f"  {'all':44s} {figure(sum(c > 0 for c in group_lines.values()), len(group_lines))}"
          f" {figure(sum(c > 0 for c in group_branches.values()), len(group_branches))}")
    if details:
        for (path, number), count in sorted(group_lines.items()):
            if count == 0:
                print(f"    line not run: {path}:{number}")
        missed = collections.defaultdict(list)
        for (path, number, function, index), count in sorted(group_branches.items()):
            if count == 0:
                missed[(path, number)].append(index)
        for (path, number), indices in sorted(missed.items()):
            print(f"    branch not taken: {path}:{number} (branch {', '.join(map(str, indices))})")
PYTHON
