#!/usr/bin/env bash
# Embedded-form stage: bpnet-gen --embed for nn (its sample save file), digits, digits-conv and
# two random descriptions, in the exact and the float form and the 16- and 8-bit integer forms,
# each with its test program (the integer forms on the host and an emulated Cortex-M0, the
# micro:bit board, with no floating-point helper linked; below the others):
# - on the host, compiled as C99 (-std=c99 -Wall -Wextra -Werror -pedantic) and as C++
#   (-x c++ -Wall -Wextra -Werror), and run;
# - cross-compiled for a Cortex-M4 (single-precision unit) and a Cortex-M7 (double-precision
#   unit) at -Os, the embedded object checked with arm-none-eabi-nm (it defines only
#   NAME_embed_clear and NAME_embed_forward and no writable data; it needs nothing from
#   outside but, in the exact form on the M4, the compiler's soft-double helpers), and run
#   under qemu-system-arm (mps2-an386 and mps2-an500, semihosting for the output and the exit
#   status).
# Prints the flash and RAM of each embedded object on the M4. Uses the Release build in
# build/release (BPNET_RELEASE_BUILD names another), building only what it needs. The Cortex-M
# part is skipped, with a line saying why, only when its packages cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=${BPNET_RELEASE_BUILD:-$root/build/release}
jobs=$(nproc 2>/dev/null || echo 2)

echo "embed: building bpnet-gen in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$jobs" --target bpnet-gen embed_random_description >/dev/null
gen=$build/gen/bpnet-gen

cross=1
if ! scripts/install-deps gcc-arm-none-eabi libnewlib-arm-none-eabi qemu-system-arm; then
  echo "embed: skipped the Cortex-M part: gcc-arm-none-eabi, libnewlib-arm-none-eabi and qemu-system-arm cannot be installed here"
  cross=0
fi
host_cc=${CC:-cc}
host_cxx=${CXX:-c++}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
  echo "embed: FAILED: $*"
  failed=1
  touch "$work/failed"
}

# The networks: name, description, weights file (or -).
"$build/tests/embed_random_description" 7205 >"$work/random1.toml"
"$build/tests/embed_random_description" 7333 4 24 >"$work/random2.toml"
networks=(
  "nn network/nn.varonel tests/data/sample.save"
  "digits examples/networks/digits.toml -"
  "digits_conv examples/networks/digits-conv.toml -"
  "random1 $work/random1.toml -"
  "random2 $work/random2.toml -"
)

# Soft-double helpers the M4 may need for the exact form's double arithmetic.
m4_helpers=" __aeabi_dadd __aeabi_dmul __aeabi_f2d __aeabi_d2f __aeabi_d2iz __aeabi_dsub __aeabi_dcmpeq __aeabi_dcmplt __aeabi_dcmple __aeabi_dcmpgt __aeabi_dcmpge __aeabi_dcmpun "
arm_flags="-mthumb -Os -std=c99 -Wall -Wextra -Werror -pedantic"
cpu_m4="-mcpu=cortex-m4 -mfloat-abi=hard -mfpu=fpv4-sp-d16"
cpu_m7="-mcpu=cortex-m7 -mfloat-abi=hard -mfpu=fpv5-d16"

# check_object OBJECT NAME ALLOWED: the symbols of an embedded object.
check_object() {
  local obj=$1 name=$2 allowed=$3 defined undefined s
  defined=$(arm-none-eabi-nm -g --defined-only "$obj" | awk '{print $3}' | sort | tr '\n' ' ')
  [ "$defined" = "${name}_embed_clear ${name}_embed_forward " ] ||
    fail "$obj defines $defined, expected ${name}_embed_clear ${name}_embed_forward"
  if arm-none-eabi-nm "$obj" | awk '$2 ~ /^[bBdDcCgGsS]$/' | grep -q .; then
    fail "$obj has writable data: $(arm-none-eabi-nm "$obj" | awk '$2 ~ /^[bBdDcCgGsS]$/ {print $3}' | tr '\n' ' ')"
  fi
  undefined=$(arm-none-eabi-nm -u "$obj" | awk '{print $2}')
  for s in $undefined; do
    case "$allowed" in *" $s "*) ;; *) fail "$obj needs $s from outside" ;; esac
  done
  echo "embed:   $(basename "$obj"): defines ${defined% }; needs ${undefined:-nothing}" | tr '\n' ' '
  echo
}

# run_qemu BOARD ELF EXPECT
run_qemu() {
  local board=$1 elf=$2 expect=$3 out status=0
  out=$(timeout 300 qemu-system-arm -M "$board" -display none -monitor none -serial none -semihosting \
        -kernel "$elf" 2>&1) || status=$?
  echo "embed:   $board: $out"
  [ "$status" -eq 0 ] || fail "$elf on $board: exit status $status"
  case "$out" in *"$expect"*) ;; *) fail "$elf on $board: no \"$expect\"" ;; esac
}

# host_checks WHAT DIR NAME: the test program of DIR built as strict C99 and as C++ with the
# host's compilers, and run.
host_checks() {
  local what=$1 dir=$2 name=$3 out
  if $host_cc -std=c99 -Wall -Wextra -Werror -pedantic -O2 -I"$dir" "$dir/${name}_embed.c" \
       "$dir/${name}_embed_test.c" -o "$dir/host-c" 2>"$dir.cc.err"; then
    out=$("$dir/host-c") || fail "$what: the C99 test program failed: $out"
    echo "embed:   host C99: $out"
  else
    fail "$what: not clean C99: $(cat "$dir.cc.err")"
  fi
  if $host_cxx -x c++ -Wall -Wextra -Werror -O2 -I"$dir" "$dir/${name}_embed.c" "$dir/${name}_embed_test.c" \
       -o "$dir/host-cxx" 2>"$dir.cc.err"; then
    out=$("$dir/host-cxx") || fail "$what: the C++ test program failed: $out"
    echo "embed:   host C++: $out"
  else
    fail "$what: not clean C++: $(cat "$dir.cc.err")"
  fi
}

# cross_build WHAT CPU FLAGS LDSCRIPT DIR NAME ALLOWED: the embedded file of DIR compiled for a
# Cortex-CPU into DIR/NAME_embed-CPU.o (checked: no helper beyond ALLOWED) and linked with its
# test program into DIR/test-CPU.elf; status 1 when either fails.
cross_build() {
  local what=$1 cpu=$2 flags=$3 ld=$4 dir=$5 name=$6 allowed=$7
  local obj=$dir/${name}_embed-$cpu.o
  # shellcheck disable=SC2086
  if ! arm-none-eabi-gcc $flags $arm_flags -c "$dir/${name}_embed.c" -o "$obj" 2>"$dir.cc.err"; then
    fail "$what: does not compile for the Cortex-${cpu^^}: $(cat "$dir.cc.err")"
    return 1
  fi
  check_object "$obj" "$name" "$allowed"
  # shellcheck disable=SC2086
  if ! arm-none-eabi-gcc $flags -mthumb -Os -Wall -Wextra -Werror --specs=rdimon.specs -nostartfiles \
       -T "$ld" -I"$dir" tests/embed/startup.c "$obj" "$dir/${name}_embed_test.c" \
       -o "$dir/test-$cpu.elf" 2>"$dir.cc.err"; then
    fail "$what: the test program does not link for the Cortex-${cpu^^}: $(cat "$dir.cc.err")"
    return 1
  fi
}

# embed_form LABEL DESCRIPTION WEIGHTS FORM: one network in one form, on the host and the
# emulated processors.
embed_form() {
  local label=$1 description=$2 weights=$3 form=$4 dir args name expect out obj flags board allowed text ram cpu
  dir=$work/$label-$form
  args=(--embed "$description" --accumulate "$form" --test 40 -o "$dir")
  [ "$weights" = "-" ] || args+=(--weights "$weights")
  echo "embed: $label, sums in $form"
  if ! "$gen" "${args[@]}" >"$dir.gen.out" 2>&1; then
    fail "bpnet-gen ${args[*]}: $(cat "$dir.gen.out")"
    return
  fi
  sed 's/^/embed:   /' "$dir.gen.out"
  name=$(basename "$(ls "$dir"/*_embed_test.c)" _embed_test.c)
  expect="bit for bit"
  [ "$form" = double ] || expect="largest deviation"

  host_checks "$label $form" "$dir" "$name"

  [ "$cross" -eq 1 ] || return 0
  for cpu in m4 m7; do
    flags=$cpu_m4 board=mps2-an386 allowed=" "
    if [ "$cpu" = m7 ]; then
      flags=$cpu_m7 board=mps2-an500
    elif [ "$form" = double ]; then
      allowed=$m4_helpers
    fi
    obj=$dir/${name}_embed-$cpu.o
    cross_build "$label $form" "$cpu" "$flags" tests/embed/mps2.ld "$dir" "$name" "$allowed" || continue
    run_qemu "$board" "$dir/test-$cpu.elf" "$expect"
    if [ "$cpu" = m4 ]; then
      text=$(arm-none-eabi-size "$obj" | awk 'NR == 2 {print $1}')
      ram=$(awk '/_EMBED_WORK / {print 4 * $3}' "$dir/${name}_embed.h")
      printf '%-12s %-6s %8s %8s %8s\n' "$label" "$form" "$text" "-" "$ram" >"$dir.sizes"
    fi
  done
}

# Integer helpers of the compiler's library an integer form may need (64-bit products, shifts
# and division); never a floating-point one.
int_helpers=" __aeabi_lmul __aeabi_ldivmod __aeabi_uldivmod __aeabi_llsl __aeabi_llsr __aeabi_lasr __aeabi_idiv __aeabi_idivmod __aeabi_uidiv __aeabi_uidivmod "
cpu_m0="-mcpu=cortex-m0 -mfloat-abi=soft"
float_helpers='__aeabi_[fd]|__aeabi_[iu]2[fd]|__aeabi_[fd]2|__(add|sub|mul|div|neg|cmp|eq|ne|lt|le|gt|ge|unord|fix|fixuns|float|floatun|floatsi|floatunsi|extend|trunc|pow)[sdt]f'

# embed_integer LABEL DESCRIPTION WEIGHTS BITS: the integer form of one network, on the host
# (C99 and C++), then on an emulated Cortex-M0 (micro:bit, no floating-point unit: nothing
# floating point may be linked) and compiled for the Cortex-M4 for its size.
embed_integer() {
  local label=$1 description=$2 weights=$3 bits=$4 dir args name out obj elf m0 m4 ram
  dir=$work/$label-int$bits
  args=(--embed "$description" --integer "$bits" --test 40 -o "$dir")
  [ "$weights" = "-" ] || args+=(--weights "$weights")
  echo "embed: $label, $bits-bit integers"
  if ! "$gen" "${args[@]}" >"$dir.gen.out" 2>&1; then
    fail "bpnet-gen ${args[*]}: $(cat "$dir.gen.out")"
    return
  fi
  sed 's/^/embed:   /' "$dir.gen.out"
  name=$(basename "$(ls "$dir"/*_embed_test.c)" _embed_test.c)
  if grep -lwE 'float|double' "$dir"/*.[ch] >/dev/null; then
    fail "$label int$bits: a generated file names a floating-point type: $(grep -lwE 'float|double' "$dir"/*.[ch] | tr '\n' ' ')"
  fi
  host_checks "$label int$bits" "$dir" "$name"

  [ "$cross" -eq 1 ] || return 0
  obj=$dir/${name}_embed-m0.o
  elf=$dir/test-m0.elf
  cross_build "$label int$bits" m0 "$cpu_m0" tests/embed/microbit.ld "$dir" "$name" "$int_helpers" || return
  if arm-none-eabi-nm "$elf" | awk '{print $NF}' | grep -qE "^($float_helpers)"; then
    fail "$label int$bits: floating-point helpers linked for the Cortex-M0: $(arm-none-eabi-nm "$elf" | awk '{print $NF}' | grep -E "^($float_helpers)" | tr '\n' ' ')"
  fi
  run_qemu microbit "$elf" "agrees on"
  # shellcheck disable=SC2086
  arm-none-eabi-gcc $cpu_m4 $arm_flags -c "$dir/${name}_embed.c" -o "$dir/${name}_embed-m4.o" 2>"$dir.cc.err" ||
    fail "$label int$bits: does not compile for the Cortex-M4: $(cat "$dir.cc.err")"
  m0=$(arm-none-eabi-size "$obj" | awk 'NR == 2 {print $1}')
  m4=$(arm-none-eabi-size "$dir/${name}_embed-m4.o" | awk 'NR == 2 {print $1}')
  ram=$(awk '/_EMBED_WORK / {print 4 * $3}' "$dir/${name}_embed.h")
  printf '%-12s %-6s %8s %8s %8s\n' "$label" "int$bits" "$m4" "$m0" "$ram" >"$dir.sizes"
}

# Every network in every form, one at a time a core; each job's report follows in order.
pids=()
logs=()
for entry in "${networks[@]}"; do
  read -r label description weights <<<"$entry"
  for form in double float int16 int8; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    case "$form" in
      int*) embed_integer "$label" "$description" "$weights" "${form#int}" >"$work/log-$label-$form" 2>&1 & ;;
      *) embed_form "$label" "$description" "$weights" "$form" >"$work/log-$label-$form" 2>&1 & ;;
    esac
    pids+=($!)
    logs+=("$work/log-$label-$form")
  done
done
sizes=""
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || fail "a job ended early: ${logs[$i]}"
  cat "${logs[$i]}"
  dir=${logs[$i]/\/log-//}
  [ ! -e "$dir.sizes" ] || sizes+=$(cat "$dir.sizes")$'\n'
done
[ ! -e "$work/failed" ] || failed=1

if [ -n "$sizes" ]; then
  echo "embed: -Os, the embedded object: flash (code and constants) on the Cortex-M4 and M0, and RAM (working storage), bytes"
  printf 'embed: %-12s %-6s %8s %8s %8s\n' network form M4 M0 RAM
  printf '%s' "$sizes" | sed 's/^/embed: /'
fi
if [ "$failed" -ne 0 ]; then
  exit 1
fi
echo "embed: every embedded network compiled clean and passed its test$([ "$cross" -eq 1 ] && echo ", on the host and the emulated Cortex-M4 and M7 (the integer forms on the Cortex-M0)")"
