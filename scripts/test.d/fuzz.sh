#!/usr/bin/env bash
# Fuzz stage: builds the fuzz targets of the readers with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) in build/fuzz and runs each for a bounded time from its seed
# corpus. Fails on any crash, sanitizer report or broken invariant; the input that caused it
# is left in build/fuzz/artifacts/. The targets run side by side, one a core. Skips itself when
# clang or its fuzzer runtime is missing. FUZZ_SECONDS sets the time per target (default 60).
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${FUZZ_SECONDS:-60}
jobs=$(nproc 2>/dev/null || echo 2)
build=build/fuzz
targets=(load_binary load_ascii startup parse_csv parse_csv_sized parse_description)

# First make sure clang can link a fuzz target at all.
probe=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *, std::size_t) { return 0; }\n' \
  > "$probe/probe.cpp"
if ! command -v clang >/dev/null || ! command -v clang++ >/dev/null ||
   ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1; then
  echo "fuzz: skipped: clang with its libFuzzer runtime is not available"
  exit 0
fi

echo "fuzz: building the fuzz targets in $build"
CC=clang CXX=clang++ cmake -S . -B "$build" -DBPNET_FUZZ=ON -DBPNET_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_all

mkdir -p "$build/artifacts"
failed=0
# fuzz_target T: one target for its time from its seed corpus; its log in the artifacts folder.
fuzz_target() {
  local t=$1 dict=fuzz/$1.dict work=$probe/corpus-$1
  [ -e "$dict" ] || dict=fuzz/load_binary.dict
  mkdir -p "$work"
  TMPDIR=$probe ASAN_OPTIONS=detect_leaks=1 "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -dict="$dict" -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
    "$work" "fuzz/corpus/$t" >"$build/artifacts/$t.log" 2>&1
}
# The targets run side by side, one a core: each gets its whole time, the stage a fraction.
echo "fuzz: ${#targets[@]} targets for ${seconds} s each, $jobs at a time"
pids=()
for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  fuzz_target "$t" &
  pids+=($!)
done
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  log=$build/artifacts/$t.log
  if wait "${pids[$i]}"; then
    echo "fuzz: $t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
  else
    failed=1
    echo "fuzz: $t FAILED; the end of its log ($log):"
    grep -v '^Warning: _alloc_mem' "$log" | tail -n 40
    echo "fuzz: keep the input from $build/artifacts/$t-* in tests/data/regress/$t/ once mended"
  fi
done

# Accepted descriptions must generate modules that compile: a sample of the description
# corpus the run left (small networks, spread over the corpus) through bpnet-gen --shared of
# the Release build.
gen=build/release/gen/bpnet-gen
if [ -x "$gen" ]; then
  accepted=()
  for f in "$probe/corpus-parse_description"/* fuzz/corpus/parse_description/*; do
    [ -f "$f" ] || continue
    # A refused description prints nothing; --check's status is not this loop's business.
    floats=$("$gen" --check "$f" 2>/dev/null | sed -n 's/.* \([0-9]*\) floats of state$/\1/p' || true)
    if [ -n "$floats" ] && [ "$floats" -le 200000 ]; then
      accepted+=("$f")
    fi
  done
  sample=12
  step=$(( (${#accepted[@]} + sample - 1) / sample ))
  [ "$step" -ge 1 ] || step=1
  compiled=0
  for ((i = 0; i < ${#accepted[@]}; i += step)); do
    f=${accepted[$i]}
    if ! timeout 300 "$gen" --shared "$f" -o "$probe/sample.so" >"$probe/gen.log" 2>&1; then
      failed=1
      cp "$f" "$build/artifacts/parse_description-does-not-compile.toml"
      echo "fuzz: an accepted description does not compile (kept as $build/artifacts/parse_description-does-not-compile.toml):"
      tail -n 20 "$probe/gen.log"
      break
    fi
    compiled=$((compiled + 1))
  done
  echo "fuzz: parse_description: ${#accepted[@]} accepted descriptions in the corpus, $compiled of them compiled"
else
  echo "fuzz: $gen is not built: the compile check of accepted descriptions was skipped"
fi

if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "fuzz: all targets ran clean"
