#!/usr/bin/env bash
# Installs the package from a build folder into a scratch prefix and uses it the way another
# project would: the C host examples/host.c built once through find_package(bpnet) and once
# through pkg-config, each run and compared with the host built in the tree.
#
# Usage: install_test.sh STEP BUILD_DIR SOURCE_DIR WORK_DIR CMAKE C_COMPILER GENERATOR [C_FLAGS]
#   STEP is one of: install, find_package, find_package_static, pkg_config, network, runtime,
#   python, clean.
#   WORK_DIR holds the prefix (WORK_DIR/prefix) and the consumer builds.
#   C_FLAGS go to every consumer compile and link (the sanitizer flags of a sanitizer build).
# Exit status: 0 passed, 1 failed, 77 skipped (pkg_config when pkg-config is not installed,
# python when the build has no Python package).
set -uo pipefail

step=$1 build=$2 src=$3 work=$4 cmake=$5 cc=$6 generator=$7 cflags=${8:-}
prefix=$work/prefix
host_src=$src/examples/host.c
sample=$src/tests/data/sample.save

fail() { echo "FAIL: $*" >&2; exit 1; }

# Run a consumer's host without and with a save file; check the status, the layer names and,
# when the tree built its own host, that the installed library gives the same output.
check_host() {  # label, program, [environment assignments...]
    local label=$1 prog=$2; shift 2
    local out err status ref shown
    local -a args
    for run in plain loaded; do
        args=()
        [ "$run" == loaded ] && args=("$sample")
        shown=${args[*]:-(no save file)}
        out=$(env "$@" "$prog" "${args[@]}" 2>"$work/$label.err"); status=$?
        err=$(cat "$work/$label.err")
        [ "$status" -eq 0 ] || fail "$label: host $shown exited with status $status: $err"
        for layer in nn:Out nn:H2 nn:H1; do
            grep -qF "$layer" <<<"$out" || fail "$label: host $shown did not name layer $layer; it printed: $out"
        done
        if [ -x "$build/examples/host" ]; then
            ref=$("$build/examples/host" "${args[@]}" 2>/dev/null)
            [ "$out" == "$ref" ] || fail "$label: host $shown printed other values than the host built in the tree:
--- installed
$out
--- in tree
$ref"
        fi
        echo "$label: host $shown ran, status 0, layers nn:Out nn:H2 nn:H1 named"
    done
}

# A host built against the shared library must load libbpnet.so.1 at run time.
check_shared() {  # label, program
    if command -v readelf >/dev/null; then
        readelf -d "$2" | grep -q 'NEEDED.*\[libbpnet\.so\.1\]' ||
            fail "$1: the host does not use the shared library libbpnet.so.1"
    fi
}

case $step in
install)
    rm -rf "$work" && mkdir -p "$work" || fail "cannot create $work"
    "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; fail "cmake --install failed"; }
    libdir=$(cd "$prefix" && ls -d lib*/pkgconfig 2>/dev/null | head -n 1)
    libdir=${libdir%/pkgconfig}
    [ -n "$libdir" ] || fail "no pkgconfig folder under $prefix/lib*"
    for f in "$libdir/libbpnet.a" "$libdir/libbpnet.so" "$libdir/libbpnet.so.1" \
             "$libdir/pkgconfig/bpnet.pc" "$libdir/cmake/bpnet/bpnetConfig.cmake" \
             "$libdir/cmake/bpnet/bpnetConfigVersion.cmake" \
             include/bpnet/bp/BpSim.h include/bpnet/bp/BpSupport.h include/bpnet/network/nn.h \
             include/bpnet/platform/vl_mem.h include/bpnet/platform/vl_file.h \
             include/bpnet/platform/vl_exit.h bin/PlotComposite share/man/man1/PlotComposite.1 \
             "$libdir/libbpsim.a" "$libdir/libbpsim.so" "$libdir/cmake/bpnet/BpnetNetwork.cmake" \
             bin/bpnet-gen share/man/man1/bpnet-gen.1 include/bpnet/bp/BpSimInline.h \
             include/bpnet/gen/runtime/bpnet_module.h include/bpnet/gen/runtime/bpnet_descriptor.h \
             include/bpnet/bp/BpSimKernelSets.h \
             include/bpnet/bp/BpSimMulti.h include/bpnet/bp/multi/common.h include/bpnet/bp/multi/portable.h \
             include/bpnet/bp/multi/sse2.h include/bpnet/bp/multi/avx2.h include/bpnet/bp/multi/avx512.h \
             include/bpnet/bp/multi/elementwise.inc; do
        [ -e "$prefix/$f" ] || fail "$f was not installed"
    done
    for internal in network/nn_layout.h; do
        [ ! -e "$prefix/include/bpnet/$internal" ] || fail "the internal header $internal was installed"
    done
    # The installed headers resolve their own includes from include/bpnet alone, in C; the
    # headers that generated modules compile against (C++ templates) do so in C++.
    for h in "$prefix"/include/bpnet/*/*.h "$prefix"/include/bpnet/bp/multi/*.h; do
        rel=${h#"$prefix/include/bpnet/"}
        printf '#include "%s"\nint main(void) { return 0; }\n' "$rel" >"$work/header.c"
        # C++: templates or namespaces, or the kernel header that only includes the paths' headers.
        if grep -q '^template\|^namespace\|^#include "bp/multi/' "$h"; then
            "$cc" -x c++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include/bpnet" "$work/header.c" ||
                fail "installed header $rel does not compile on its own as C++"
        else
            "$cc" -std=c11 -fsyntax-only -Wall -Wextra -Werror -I"$prefix/include/bpnet" "$work/header.c" ||
                fail "installed header $rel does not compile on its own as C"
        fi
    done
    # Every installed tool answers --version with its name and the package version and --help
    # on standard output, fails with status 1 when that output cannot be written, and refuses
    # an unknown option with status 1, a message on standard error and nothing on standard
    # output (PlotComposite too, though a Network.save lies beside it).
    version=$(sed -n 's/^Version: *//p' "$prefix/$libdir/pkgconfig/bpnet.pc")
    mkdir -p "$work/run" && cp "$sample" "$work/run/Network.save" && cd "$work/run" || fail "cannot set up $work/run"
    for tool in "$prefix"/bin/*; do
        name=${tool##*/}
        out=$("$tool" --version 2>"$work/err") || fail "$name --version failed"
        [ "$out" == "$name (bpnet) $version" ] || fail "$name --version printed '$out'"
        [ ! -s "$work/err" ] || fail "$name --version wrote to standard error"
        out=$("$tool" --help 2>"$work/err") || fail "$name --help failed"
        [ -n "$out" ] && [ ! -s "$work/err" ] || fail "$name --help printed nothing or wrote to standard error"
        if [ -w /dev/full ]; then
            for opt in --help --version; do
                "$tool" "$opt" >/dev/full 2>"$work/err" && fail "$name $opt reported success on a full output"
                [ -s "$work/err" ] || fail "$name $opt said nothing about a full output"
            done
        fi
        out=$("$tool" --no-such-option 2>"$work/err"); status=$?
        [ "$status" -eq 1 ] || fail "$name --no-such-option exited with status $status"
        [ -z "$out" ] && [ -s "$work/err" ] || fail "$name --no-such-option: no message, or output on standard output"
        [ -e "$prefix/share/man/man1/$name.1" ] || fail "$name has no manual page"
        # The manual page describes every option that --help lists.
        page=$(sed 's/\\-/-/g' "$prefix/share/man/man1/$name.1")
        for opt in $("$tool" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
            grep -qF -- "$opt" <<<"$page" || fail "the manual page of $name does not describe $opt"
        done
    done
    cd "$work" || fail "cannot enter $work"
    # The manual pages format without warnings.
    if command -v groff >/dev/null; then
        for page in "$prefix"/share/man/man1/*.1; do
            msgs=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
            [ -z "$msgs" ] || fail "${page##*/} formats with warnings: $msgs"
        done
    fi
    echo "installed into $prefix: libraries, headers, tools, manual pages, package files"
    ;;
find_package | find_package_static)
    target=bpnet::bpnet
    [ "$step" == find_package_static ] && target=bpnet::bpnet_static
    proj=$work/$step
    rm -rf "$proj" && mkdir -p "$proj" || fail "cannot create $proj"
    cp "$host_src" "$proj/host.c"
    cat >"$proj/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(bpnet_consumer LANGUAGES C)
find_package(bpnet 1.0 REQUIRED CONFIG)
add_executable(host host.c)
target_link_libraries(host PRIVATE $target)
EOF
    "$cmake" -S "$proj" -B "$proj/build" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" \
        >"$proj/configure.log" 2>&1 || { cat "$proj/configure.log" >&2; fail "$step: configure failed"; }
    "$cmake" --build "$proj/build" >"$proj/build.log" 2>&1 ||
        { cat "$proj/build.log" >&2; fail "$step: build failed"; }
    [ "$step" == find_package ] && check_shared "$step" "$proj/build/host"
    check_host "$step" "$proj/build/host"
    ;;
pkg_config)
    if ! command -v pkg-config >/dev/null; then
        echo "SKIPPED: pkg-config is not installed, so the pkg-config build of the host was not tried"
        exit 77
    fi
    export PKG_CONFIG_PATH
    PKG_CONFIG_PATH=$(ls -d "$prefix"/lib*/pkgconfig | head -n 1)
    pkg-config --exists bpnet || fail "pkg-config does not find bpnet in $PKG_CONFIG_PATH"
    flags=$(pkg-config --cflags --libs bpnet) || fail "pkg-config --cflags --libs bpnet failed"
    # shellcheck disable=SC2086  # the flags are words
    "$cc" $cflags -o "$work/host_pc" "$host_src" $flags || fail "cc host.c \$(pkg-config --cflags --libs bpnet) failed"
    check_shared pkg_config "$work/host_pc"
    check_host pkg_config "$work/host_pc" LD_LIBRARY_PATH="$(pkg-config --variable=libdir bpnet)"
    # The static link: libbpnet.a alone, with the private libraries pkg-config lists for it.
    libdir=$(pkg-config --variable=libdir bpnet)
    # shellcheck disable=SC2086
    "$cc" $cflags -o "$work/host_pc_static" "$host_src" $(pkg-config --cflags bpnet) "$libdir/libbpnet.a" \
        $(pkg-config --static --libs-only-l bpnet | sed 's/-lbpnet//') ||
        fail "static link with pkg-config --static failed"
    check_host pkg_config_static "$work/host_pc_static"
    ;;
network)
    # A project of its own: the network of examples/networks/xor.toml made into a library by
    # bpnet_add_network from the installed package, linked by the C host examples/xor_host.c,
    # which trains, saves, reloads and runs it; a changed description is generated again; and
    # the installed bpnet-gen --shared makes a shared module of it.
    proj=$work/network
    rm -rf "$proj" && mkdir -p "$proj" || fail "cannot create $proj"
    cp "$src/examples/xor_host.c" "$src/examples/networks/xor.toml" "$proj/" || fail "cannot copy the example"
    cat >"$proj/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(bpnet_network_consumer LANGUAGES C CXX)
find_package(bpnet 1.0 REQUIRED CONFIG)
bpnet_add_network(xor_network xor.toml)
add_executable(xor_host xor_host.c)
target_link_libraries(xor_host PRIVATE xor_network)
EOF
    "$cmake" -S "$proj" -B "$proj/build" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cflags" \
        -DCMAKE_EXE_LINKER_FLAGS="$cflags" >"$proj/configure.log" 2>&1 ||
        { cat "$proj/configure.log" >&2; fail "network: configure failed"; }
    "$cmake" --build "$proj/build" >"$proj/build.log" 2>&1 ||
        { cat "$proj/build.log" >&2; fail "network: build failed"; }
    out=$("$proj/build/xor_host" "$proj/xor.save" 2>&1) || fail "network: xor_host failed: $out"
    grep -q "all four right" <<<"$out" || fail "network: xor_host printed: $out"
    echo "network: a host of the generated xor module built with bpnet_add_network trains, saves, reloads and runs"
    sed -i 's/units = 3/units = 4/' "$proj/xor.toml"
    "$cmake" --build "$proj/build" >"$proj/build2.log" 2>&1 ||
        { cat "$proj/build2.log" >&2; fail "network: rebuild after a description change failed"; }
    grep -q "XOR_DATA_SIZE 6[0-9]" "$proj/build/xor_network_module/xor.h" ||
        fail "network: the module was not generated again after the description changed"
    "$proj/build/xor_host" "$proj/xor.save" >/dev/null 2>&1 || fail "network: xor_host of the changed network failed"
    echo "network: the changed description was generated again and the host rebuilt"
    "$prefix/bin/bpnet-gen" --shared "$proj/xor.toml" -o "$proj/xor.so" 2>"$proj/gen.err" ||
        { cat "$proj/gen.err" >&2; fail "network: the installed bpnet-gen --shared failed"; }
    [ -s "$proj/xor.so" ] || fail "network: no shared module written"
    echo "network: the installed bpnet-gen --shared made a shared module"
    ;;
runtime)
    # A C++ project of its own: the network of examples/networks/xor.toml built at run time
    # through the installed bpnet::rtnet_static, trained for 40 passes and saved; the save
    # file must be the bytes the installed nn-train writes with --description.
    proj=$work/runtime
    rm -rf "$proj" && mkdir -p "$proj" || fail "cannot create $proj"
    printf '0,0,0\n0,1,1\n1,0,1\n1,1,0\n' >"$proj/xor.csv"
    cat >"$proj/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(bpnet_runtime_consumer LANGUAGES CXX)
find_package(bpnet 1.0 REQUIRED CONFIG)
add_executable(xor_runtime xor_runtime.cpp)
target_compile_features(xor_runtime PRIVATE cxx_std_20)
target_link_libraries(xor_runtime PRIVATE bpnet::rtnet_static)
EOF
    cat >"$proj/xor_runtime.cpp" <<'EOF'
#include <cstdio>
#include "bpnet_network.h"
int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    try {
        auto net = bpnet::Network::from_file(argv[1]);
        const float x[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}}, t[4] = {0, 1, 1, 0};
        for (int pass = 0; pass < 40; pass++)
            for (int k = 0; k < 4; k++)
                net->learn(x[k], &t[k]);
        net->save(argv[2]);
    } catch (const bpnet::Error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
EOF
    "$cmake" -S "$proj" -B "$proj/build" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_CXX_FLAGS="$cflags" -DCMAKE_EXE_LINKER_FLAGS="$cflags" >"$proj/configure.log" 2>&1 ||
        { cat "$proj/configure.log" >&2; fail "runtime: configure failed"; }
    "$cmake" --build "$proj/build" >"$proj/build.log" 2>&1 ||
        { cat "$proj/build.log" >&2; fail "runtime: build failed"; }
    out=$("$proj/build/xor_runtime" "$src/examples/networks/xor.toml" "$proj/consumer.save" 2>&1) ||
        fail "runtime: the consumer failed: $out"
    (cd "$proj" && "$prefix/bin/nn-train" --description "$src/examples/networks/xor.toml" --data xor.csv \
        --epochs 40 --output tool.save >/dev/null 2>"$proj/train.err") ||
        { cat "$proj/train.err" >&2; fail "runtime: the installed nn-train --description failed"; }
    cmp -s "$proj/consumer.save" "$proj/tool.save" ||
        fail "runtime: the consumer's save file differs from nn-train's"
    echo "runtime: a C++ host of bpnet::rtnet_static trains xor and saves the bytes nn-train --description writes"
    ;;
python)
    # The Python package as installed: Debian's interpreter imports it from
    # PREFIX/lib/python3/dist-packages, builds the xor network from its description and
    # learns it.
    site=$prefix/lib/python3/dist-packages
    if [ ! -e "$site/bpnet/__init__.py" ]; then
        echo "SKIPPED: this build has no Python package"
        exit 77
    fi
    ls "$site"/bpnet/_bpnet*.so >/dev/null 2>&1 || fail "python: the extension was not installed in $site/bpnet"
    out=$(cd "$work" && PYTHONPATH=$site /usr/bin/python3 - "$src/examples/networks/xor.toml" "$site" <<'PY' 2>&1
import sys
import numpy as np
import bpnet
assert bpnet.__file__.startswith(sys.argv[2]), bpnet.__file__
net = bpnet.Network(sys.argv[1])
net.initialize()
X = np.array([[0, 0], [0, 1], [1, 0], [1, 1]], dtype=np.float32)
errors = net.learn(X, np.array([[0], [1], [1], [0]], dtype=np.float32), epochs=50)
assert errors[-1] < errors[0], errors
print("python:", net, "learned, error", errors[0], "->", errors[-1])
PY
) || fail "python: $out"
    echo "$out"
    ;;
clean)
    rm -rf "$work"
    ;;
*)
    fail "unknown step $step"
    ;;
esac
exit 0
