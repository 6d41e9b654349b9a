#!/usr/bin/env bash
# Valgrind stage: memcheck over the driver and the tools of the Release build in
# build/release (built here when missing; BPNET_RELEASE_BUILD names another build folder):
# no memory error and no definitely lost block.
# Skips itself when valgrind is missing; skips a tool, with a message, whose binary is missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${BPNET_RELEASE_BUILD:-$root/build/release}
jobs=$(nproc 2>/dev/null || echo 2)

if ! command -v valgrind >/dev/null; then
  echo "valgrind: skipped: valgrind is not installed"
  exit 0
fi
if [ ! -x "$build/driver/PlotComposite" ]; then
  echo "valgrind: building the Release build in $build"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j "$jobs"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
runs=0

# check NAME STATUS DIR STDIN COMMAND...: run COMMAND under memcheck in DIR with STDIN as
# standard input; it must end with STATUS and memcheck must report no error (leaks of the
# definite kind count as errors).
check() {
  local name=$1 expected=$2 dir=$3 input=$4
  shift 4
  local log=$work/$name.vg status=0
  runs=$((runs + 1))
  (cd "$dir" && valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
     --errors-for-leak-kinds=definite --log-file="$log" "$@" <"$input" >"$work/$name.out" 2>"$work/$name.err") ||
    status=$?
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
    echo "valgrind: $name: memcheck reports errors:"
    cat "$log"
    failed=1
  elif [ "$status" -ne "$expected" ]; then
    echo "valgrind: $name: exit status $status, expected $expected; its standard error:"
    cat "$work/$name.err"
    failed=1
  else
    echo "valgrind: $name: clean"
  fi
}

# tool NAME: path of a tool's binary, or empty (with a message) when it is not built.
tool() {
  local path=$build/tools/$1/$1
  if [ -x "$path" ]; then
    echo "$path"
  else
    echo "valgrind: skipped $1: $path is missing" >&2
  fi
}

# The driver is linked statically, and memcheck sees the allocations and the string
# functions of a static C library only as plain code (with false reports from inside it):
# link the same compiled driver once more against the shared C library for this stage.
link=$build/driver/CMakeFiles/PlotComposite.dir/link.txt
if [ -e "$link" ] &&
   (cd "$build/driver" && eval "$(sed -e 's/ -static / /' -e "s| -o PlotComposite | -o '$work/PlotComposite' |" "$link")"); then
  driver=$work/PlotComposite
else
  echo "valgrind: PlotComposite: cannot link the driver against the shared C library"
  exit 1
fi

# The driver on the sample network, and with no save file at all.
mkdir -p "$work/plot" "$work/empty"
cp tests/data/sample.save "$work/plot/Network.save"
check PlotComposite 0 "$work/plot" /dev/null "$driver"
if ! cmp -s "$work/PlotComposite.out" tests/data/sample-composite.txt; then
  echo "valgrind: PlotComposite: the grid differs from tests/data/sample-composite.txt"
  failed=1
fi
check PlotComposite-missing-file 1 "$work/empty" /dev/null "$driver"

# A short training, then a short evaluation of its result.
mkdir -p "$work/tools"
printf '# x0,x1,t0,t1,t2,t3\n0.4,0.2,1,0,0,0\n-0.4,0.2,0,1,0,0\n0,-0.2,0,0,1,0\n0,0.2,0,0,0,1\n' \
  >"$work/tools/patterns.csv"
cp tests/data/sample.save "$work/tools/Network.save"
train=$(tool nn-train)
if [ -n "$train" ]; then
  check nn-train 0 "$work/tools" /dev/null "$train" --iterations 300 --samples 40 --output trained.save
  check nn-train-csv 0 "$work/tools" /dev/null "$train" --data patterns.csv --iterations 60 --output csv.save
fi
evaluate=$(tool nn-eval)
if [ -n "$evaluate" ]; then
  check nn-eval 0 "$work/tools" /dev/null "$evaluate" --samples 40
  check nn-eval-csv 0 "$work/tools" /dev/null "$evaluate" --data patterns.csv --trace
fi
ascii=$(tool nn-ascii)
if [ -n "$ascii" ]; then
  check nn-ascii-show 0 "$work/tools" /dev/null "$ascii" show
  check nn-ascii-export 0 "$work/tools" /dev/null "$ascii" export
  cp "$work/nn-ascii-export.out" "$work/tools/dump.txt"
  check nn-ascii-import 0 "$work/tools" "$work/tools/dump.txt" "$ascii" import imported.save
  check nn-ascii-import-cut 1 "$work/tools" "$work/tools/patterns.csv" "$ascii" import cut.save
fi

# The generator, and the tools on a module it makes: a network of 3 inputs and 3 outputs.
gen=$build/gen/bpnet-gen
if [ -x "$gen" ]; then
  mkdir -p "$work/module"
  cp tests/data/networks/tri.toml "$work/module/tri.toml"
  printf '0.1,0.2,0.3,1,0,0\n-0.4,0.5,0.6,0,1,0\n0.7,-0.8,0.9,0,0,1\n' >"$work/module/tri.csv"
  check bpnet-gen 0 "$work/module" /dev/null "$gen" tri.toml -o generated
  check bpnet-gen-check 0 "$work/module" /dev/null "$gen" --check tri.toml
  check bpnet-gen-refused 1 "$work/module" /dev/null "$gen" --check "$work/tools/patterns.csv"
  if "$gen" --shared "$work/module/tri.toml" -o "$work/module/tri.so" 2>"$work/gen.err"; then
    [ -n "$train" ] && check nn-train-module 0 "$work/module" /dev/null "$train" --module ./tri.so \
      --data tri.csv --iterations 90 --output tri.save
    [ -n "$evaluate" ] && check nn-eval-module 0 "$work/module" /dev/null "$evaluate" --module ./tri.so \
      --network tri.save --data tri.csv
    [ -n "$ascii" ] && check nn-ascii-module 0 "$work/module" /dev/null "$ascii" --module ./tri.so show tri.save
  else
    echo "valgrind: bpnet-gen --shared failed:"
    cat "$work/gen.err"
    failed=1
  fi
else
  echo "valgrind: skipped bpnet-gen and modules: $gen is missing"
fi

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "valgrind: $runs runs clean"
