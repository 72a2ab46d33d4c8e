#!/usr/bin/env bash
# The mutation test: plants each mutant of tools/mutants.txt (a small,
# realistic fault), one at a time, builds and runs the whole test program.
# A mutant is KILLED when some test fails, SURVIVED when every test still
# passes (a fault the tests do not catch), NO-BUILD when it does not compile
# and NOT-FOUND when its original text no longer occurs exactly once in its
# file (the list has fallen behind the code).
#
#   tools/mutation.sh [-j N] [--keep] [PATTERN...]
#   tools/mutation.sh --list [PATTERN...]
#
#   PATTERN   run only the mutants whose names match one of these Perl
#             regular expressions
#   -j N      N workers in parallel (default 4); the machine's cores are
#             shared out among them for building and testing
#   --keep    keep the scratch folder (build and test logs of every mutant)
#   --list    list the mutants (name, file, fault) and build nothing
#
# The mutants are planted in scratch copies of this checkout as it stands
# (tracked and untracked files, uncommitted changes included), never in the
# checkout itself. Each worker configures the default preset once and
# rebuilds incrementally from one mutant to the next. Exit status: 0 when
# every mutant was killed; 1 when one survived, did not build or was not
# found; 2 when the tool could not run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/tools/mutants.txt"

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 2
}

workers=4
keep=0
listing=0
patterns=()
while (($#)); do
  case "$1" in
    -j)
      [[ $# -ge 2 && $2 =~ ^[1-9][0-9]*$ ]] || { echo "mutation: -j needs a number of workers" >&2; exit 2; }
      workers=$2
      shift 2
      ;;
    -j*)
      [[ ${1#-j} =~ ^[1-9][0-9]*$ ]] || { echo "mutation: -j needs a number of workers" >&2; exit 2; }
      workers=${1#-j}
      shift
      ;;
    --keep) keep=1; shift ;;
    --list) listing=1; shift ;;
    -h | --help) usage ;;
    -*) echo "mutation: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) patterns+=("$1"); shift ;;
  esac
done

# The list's reader, in Perl. "select" prints the chosen mutants, one a line:
# name, file, state ("ok" or why its text does not apply) and fault,
# separated by tabs. "plant" puts one mutant into a tree. The list's format
# is described at the top of tools/mutants.txt.
read -r -d '' MUTANTS <<'PERL' || true
use strict;
use warnings;

my ($command, $list, @arguments) = @ARGV;

sub parse {
  open(my $in, '<', $list) or die "mutation: cannot read $list: $!\n";
  my (@mutants, %seen, $mutant, $block);
  while (my $line = <$in>) {
    chomp $line;
    if (defined $block) {  # inside an original or replacement text: verbatim
      if ($block eq 'from' && $line eq '-- to') { $block = 'to'; next; }
      if ($block eq 'to' && $line eq '-- end') {
        push @mutants, $mutant;
        undef $block;
        undef $mutant;
        next;
      }
      push @{$mutant->{$block}}, $line;
      next;
    }
    next if $line =~ /^\s*(#.*)?$/;
    if ($line =~ /^== ([A-Za-z0-9._-]+)$/) {
      die "$list:$.: mutant $mutant->{name} has no text\n" if defined $mutant;
      die "$list:$.: a second mutant named $1\n" if $seen{$1}++;
      $mutant = {name => $1, line => $., from => [], to => []};
    } elsif ($line =~ /^(file|fault): +(.+)$/ && defined $mutant) {
      $mutant->{$1} = $2;
    } elsif ($line eq '-- from' && defined $mutant) {
      for my $field ('file', 'fault') {
        die "$list:$.: mutant $mutant->{name} has no $field\n" unless defined $mutant->{$field};
      }
      $block = 'from';
    } else {
      die "$list:$.: not understood: $line\n";
    }
  }
  die "$list: the list ends inside mutant $mutant->{name}\n" if defined $mutant;
  for my $m (@mutants) {
    $m->{from} = join("\n", @{$m->{from}});
    $m->{to} = join("\n", @{$m->{to}});
    die "$list:$m->{line}: mutant $m->{name} has an empty original text\n" if $m->{from} eq '';
  }
  return @mutants;
}

sub slurp {
  my ($path) = @_;
  open(my $in, '<:raw', $path) or return undef;
  local $/;
  return scalar <$in>;
}

# Where the original text occurs in the file, or why it cannot be planted.
sub locate {
  my ($m, $tree) = @_;
  my $text = slurp("$tree/$m->{file}");
  return (undef, "no file $m->{file}") unless defined $text;
  my ($count, $at, $first) = (0, -1, -1);
  while (($at = index($text, $m->{from}, $at + 1)) >= 0) {
    $first = $at if $count++ == 0;
  }
  return (undef, "its original text occurs $count times in $m->{file}, not once") if $count != 1;
  return ($text, $first);
}

my @mutants = parse();
if ($command eq 'select') {
  my ($tree, @patterns) = @arguments;
  for my $m (@mutants) {
    next if @patterns && !grep { $m->{name} =~ /$_/ } @patterns;
    my ($text, $where) = locate($m, $tree);
    print join("\t", $m->{name}, $m->{file}, defined $text ? 'ok' : $where, $m->{fault}), "\n";
  }
} elsif ($command eq 'plant') {
  my ($name, $tree) = @arguments;
  my ($m) = grep { $_->{name} eq $name } @mutants or die "mutation: no mutant $name\n";
  my ($text, $where) = locate($m, $tree);
  die "$where\n" unless defined $text;
  substr($text, $where, length $m->{from}) = $m->{to};
  open(my $out, '>:raw', "$tree/$m->{file}") or die "cannot write $m->{file}: $!\n";
  print $out $text;
  close($out) or die "cannot write $m->{file}: $!\n";
} else {
  die "mutation: unknown command $command\n";
}
PERL

mutants() { perl -e "$MUTANTS" "$1" "$list" "${@:2}"; }

for tool in perl cmake ctest git; do
  command -v "$tool" >/dev/null || { echo "mutation: $tool is missing" >&2; exit 2; }
done
[[ -f $list ]] || { echo "mutation: no list $list" >&2; exit 2; }

selection=$(mutants select "$root" "${patterns[@]}") || exit 2
[[ -n $selection ]] || { echo "mutation: no mutant matches ${patterns[*]}" >&2; exit 2; }
names=() files=() states=() faults=()
while IFS=$'\t' read -r name file state fault; do
  names+=("$name") files+=("$file") states+=("$state") faults+=("$fault")
done <<<"$selection"
count=${#names[@]}

if ((listing)); then
  for ((i = 0; i < count; ++i)); do
    printf '%-34s %-40s %s\n' "${names[i]}" "${files[i]}" "${faults[i]}"
    [[ ${states[i]} == ok ]] || printf '%-34s NOT-FOUND: %s\n' "" "${states[i]}"
  done
  exit 0
fi

runnable=0
for state in "${states[@]}"; do [[ $state == ok ]] && runnable=$((runnable + 1)); done
((workers > runnable && runnable > 0)) && workers=$runnable
cores=$(nproc 2>/dev/null || echo 4)
jobs=$((cores / workers))
((jobs >= 1)) || jobs=1
# Ninja when there is one: its no-op checks are fast; else the default.
if [[ -z ${CMAKE_GENERATOR:-} ]] && command -v ninja >/dev/null; then export CMAKE_GENERATOR=Ninja; fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/harlwick-mutation.XXXXXX")
# Background jobs, each in a process group of its own (job control on while
# it starts), so that stopping one stops its builds and tests with it.
pids=()
spawn() {
  set -m
  "$@" </dev/null &
  pids+=($!)
  set +m
}
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if ((keep)); then
    echo "mutation: scratch folder kept: $scratch" >&2
  else
    rm -rf "$scratch" 2>/dev/null || { sleep 1; rm -rf "$scratch"; }
  fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM
mkdir -p "$scratch/src" "$scratch/claims" "$scratch/results" "$scratch/logs"
started=$SECONDS

# The pristine copy: the checkout's files as they stand, without ignored ones
# (build folders). Files tracked but deleted are left out.
(
  cd "$root"
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' path; do [[ -f $path ]] && printf '%s\0' "$path"; done |
    tar --null --files-from=- -cf -
) | tar -xf - -C "$scratch/src"

commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo "?")
changed=$(git -C "$root" status --porcelain 2>/dev/null | grep -c . || true)
echo "mutation: $count mutants, $workers workers of $jobs jobs each; tree of $root at $commit" \
  "($([[ $changed == 0 ]] && echo "no uncommitted changes" || echo "$changed files changed or new"))"

# One tree and build folder per worker, configured and built in parallel.
if ((runnable > 0)); then
  echo "mutation: building $workers scratch trees" >&2
  setup() {
    cp -a "$scratch/src" "$scratch/w$1"
    cd "$scratch/w$1"
    cmake --preset default && cmake --build build/default -j "$jobs"
  } >"$scratch/logs/setup-w$1.log" 2>&1
  for ((w = 1; w <= workers; ++w)); do spawn setup "$w"; done
  for ((w = 1; w <= workers; ++w)); do
    if ! wait "${pids[w - 1]}"; then
      echo "mutation: the unmutated tree does not build; see the end of its log:" >&2
      tail -n 20 "$scratch/logs/setup-w$w.log" >&2
      exit 2
    fi
  done
  pids=()
  # Mutants are judged against a suite that passes without them.
  if ! ctest --test-dir "$scratch/w1/build/default" -j "$cores" --timeout 120 >"$scratch/logs/unmutated.log" 2>&1; then
    echo "mutation: the tests fail without any mutant; fix them first:" >&2
    sed -n '/tests FAILED:/,$p' "$scratch/logs/unmutated.log" >&2
    exit 2
  fi
fi

# Plants, builds and tests one mutant in the worker's tree; prints its result
# line (status, detail) and puts the tree back as it was.
judge() {
  local tree=$1 name=$2 file=$3 fault=$4 log="$scratch/logs/$2"
  local status detail
  if ! detail=$(mutants plant "$name" "$tree" 2>&1); then
    status=NOT-FOUND
  elif ! cmake --build "$tree/build/default" -j "$jobs" >"$log.build.log" 2>&1; then
    status=NO-BUILD
    detail=$(grep -m1 'error:' "$log.build.log" || grep -m1 -E 'Error|FAILED' "$log.build.log" || echo "the build failed")
    detail=${detail//$tree\//}
  elif ctest --test-dir "$tree/build/default" -j "$jobs" --timeout 120 --stop-on-failure >"$log.test.log" 2>&1; then
    status=SURVIVED
    detail=$fault
  else
    status=KILLED
    # The first failing test, without its parameter's comment: "by Suite.Test/Param (Failed)".
    detail=$(sed -n '/tests FAILED:/{n;p;q}' "$log.test.log" |
      sed -E 's/^[[:space:]]*[0-9]+ - /by /; s/[[:space:]]+#.*(\([^)]*\))$/ \1/')
    [[ -n $detail ]] || detail="the test run failed"
  fi
  # A fresh copy, so that the next build sees the file newer than its objects.
  [[ ! -f $scratch/src/$file ]] || cp "$scratch/src/$file" "$tree/$file"
  printf '%s\t%s\n' "$status" "$detail"
}

# A worker claims the next unclaimed mutant (mkdir is atomic) until none is left.
worker() {
  local tree="$scratch/w$1" i
  for ((i = 0; i < count; ++i)); do
    [[ ${states[i]} == ok ]] || continue
    mkdir "$scratch/claims/$i" 2>/dev/null || continue
    judge "$tree" "${names[i]}" "${files[i]}" "${faults[i]}" >"$scratch/results/$i.part"
    mv "$scratch/results/$i.part" "$scratch/results/$i"
  done
}

if ((runnable > 0)); then
  for ((w = 1; w <= workers; ++w)); do spawn worker "$w"; done
fi

built=$((SECONDS - started))

# The results in the list's order, each as soon as it and those before it are in.
killed=0 survived=0 nobuild=0 notfound=0
survivors=() failures=()
for ((i = 0; i < count; ++i)); do
  if [[ ${states[i]} == ok ]]; then
    while [[ ! -f $scratch/results/$i ]]; do
      alive=0
      for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
      if ((!alive)) && [[ ! -f $scratch/results/$i ]]; then
        echo "mutation: the workers stopped before mutant ${names[i]} was judged" >&2
        exit 2
      fi
      sleep 0.5
    done
    IFS=$'\t' read -r status detail <"$scratch/results/$i"
  else
    status=NOT-FOUND detail=${states[i]}
  fi
  printf '%-9s %-34s %s\n' "$status" "${names[i]}" "$detail"
  case "$status" in
    KILLED) killed=$((killed + 1)) ;;
    SURVIVED) survived=$((survived + 1)) survivors+=("${names[i]}: ${faults[i]}") ;;
    NO-BUILD) nobuild=$((nobuild + 1)) failures+=("${names[i]} (no build)") ;;
    *) notfound=$((notfound + 1)) failures+=("${names[i]} (not found)") ;;
  esac
done
wait "${pids[@]}" 2>/dev/null || true
pids=()

judged=$((killed + survived))
elapsed=$((SECONDS - started))
echo
printf 'mutation: %d mutants: %d killed, %d survived, %d did not build, %d not found' \
  "$count" "$killed" "$survived" "$nobuild" "$notfound"
((judged > 0)) && printf '; score %d/%d (%d%%)' "$killed" "$judged" $((100 * killed / judged))
printf '; %dm%02ds, %ds of it building the trees\n' $((elapsed / 60)) $((elapsed % 60)) "$built"
if ((survived)); then
  echo "Survivors:"
  printf '  %s\n' "${survivors[@]}"
fi
if ((${#failures[@]})); then
  echo "To mend in tools/mutants.txt:"
  printf '  %s\n' "${failures[@]}"
fi
((survived == 0 && nobuild == 0 && notfound == 0))
