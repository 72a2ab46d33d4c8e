#!/usr/bin/env bash
# The reproducible build: clones the committed state (HEAD) twice, into a
# folder of five letters and into a long one, builds the four modules of each
# in a Release build and compares the two builds' module files byte for byte.
# Uncommitted changes are not part of it.
#
#   tools/reproducible.sh          the comparison
#   tools/reproducible.sh --test   also builds everything in the short clone
#                                  and runs the whole test suite there
#
# Exit status: 0 when every module file is the same in both clones; 1 when
# one differs (named) or the tests fail; 2 when the tool could not run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
test=0
case "${1:-}" in
  "") ;;
  --test) test=1 ;;
  *)
    echo "usage: tools/reproducible.sh [--test]" >&2
    exit 2
    ;;
esac
for tool in git cmake ctest cmp sha256sum; do
  command -v "$tool" >/dev/null || { echo "reproducible: $tool is missing" >&2; exit 2; }
done

commit=$(git -C "$root" rev-parse HEAD)
floors=(20017 23000 2023000 2024900)
jobs=$(nproc 2>/dev/null || echo 4)

# Both clones lie directly under /tmp, so that the short one's path is /tmp/
# and five letters whatever TMPDIR says; the long one's is some 80
# characters.
short=$(mktemp -d /tmp/XXXXX)
long=$(mktemp -d /tmp/harlwick-reproducible-XXXXXXXX)
cleanup() { rm -rf "$short" "$long"; }
trap cleanup EXIT
trap 'exit 2' INT TERM
clones=("$short" "$long/a-second-checkout-of-the-same-commit/harlwick")

echo "reproducible: commit $(git -C "$root" rev-parse --short HEAD), clones at ${clones[0]} and ${clones[1]}"
for clone in "${clones[@]}"; do
  git clone --quiet --no-checkout "$root" "$clone"
  git -C "$clone" checkout --quiet --detach "$commit"
  cmake -S "$clone" -B "$clone/build/release" -DCMAKE_BUILD_TYPE=Release -DHARLWICK_WERROR=ON >"$clone/configure.log" 2>&1 || {
    cat "$clone/configure.log" >&2
    exit 2
  }
done

build() {
  cmake --build "$1/build/release" -j "$jobs" "${@:2}" >"$1/build.log" 2>&1 || {
    tail -n 30 "$1/build.log" >&2
    echo "reproducible: the build in $1 failed" >&2
    exit 2
  }
}
modules=()
for floor in "${floors[@]}"; do modules+=(harlwick-$floor); done
if ((test)); then build "${clones[0]}"; else build "${clones[0]}" --target "${modules[@]}"; fi
build "${clones[1]}" --target "${modules[@]}"

differ=0
for module in "${modules[@]}"; do
  file=modules/$module/harlwick.xdl64
  first=${clones[0]}/build/release/$file
  second=${clones[1]}/build/release/$file
  if cmp -s "$first" "$second"; then
    echo "reproducible: same     $file ($(stat -c %s "$first") bytes, sha256 $(sha256sum "$first" | cut -c1-16))"
  else
    echo "reproducible: DIFFERS  $file ($(stat -c %s "$first") and $(stat -c %s "$second") bytes; first at byte $(cmp "$first" "$second" | sed -n 's/.* byte \([0-9]*\).*/\1/p'))"
    differ=1
  fi
done
if ((differ)); then
  echo "reproducible: the clones built different module files" >&2
  exit 1
fi
echo "reproducible: both clones built the same ${#modules[@]} module files"

if ((test)); then
  echo "reproducible: the whole test suite, Release build at ${clones[0]}"
  ctest --test-dir "${clones[0]}/build/release" -j "$jobs" --output-on-failure --no-tests=error || {
    echo "reproducible: tests of the Release build failed" >&2
    exit 1
  }
fi
