// What every multi-unit kernel path shares: the compiler and processor switches that decide
// which paths a build carries, the function attributes of the wider paths, the choice of the
// path at run time, and the row arithmetic of the dot products. The paths themselves live
// beside this file, one per header (portable.h, sse2.h, avx2.h, avx512.h); bp/BpSimMulti.h
// includes them all. C++ only, for module code.
#ifndef BP_MULTI_COMMON_H
#define BP_MULTI_COMMON_H

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"

// Compiled with BP_MULTI_ONE_UNIT defined, only the portable path exists and its dot products
// take one unit at a time (the inline copies): the scalar form of a module, for comparisons.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(BP_MULTI_ONE_UNIT)
#define BP_MULTI_X86 1
// GCC 12's AVX-512 intrinsics fill their don't-care source operands from deliberately
// uninitialised variables, which its own uninitialised-use warnings then report.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
// Function attributes of the wider paths: a function carrying one may inline that path's kernels.
// The 512-bit path keeps the compiler's own vectorisation at 256 bits (see wide_groups), and,
// since its instruction set has fused multiply-adds, asks GCC not to form any even where the
// command line would allow it.
#define BP_MULTI_AVX2 __attribute__((target("avx2")))
#if defined(__clang__)
#define BP_MULTI_AVX512 __attribute__((target("avx2,avx512f,avx512vl")))
#else
#define BP_MULTI_AVX512 \
    __attribute__((target("avx2,avx512f,avx512vl,prefer-vector-width=256"), optimize("fp-contract=off")))
#endif
#else
#define BP_MULTI_X86 0
#endif

namespace bp_multi {

// The kernel paths, narrowest first.
enum class Path : int { portable = 0, sse2 = 1, avx2 = 2, avx512 = 3 };
constexpr int kPathCount = 4;

// Lower-case name of a path ("portable", "sse2", "avx2", "avx512").
const char *path_name(Path p);
// Whether this build carries the path and this processor and system can run it.
bool path_runs(Path p);
// The widest path that runs here.
Path best_path();
// The path modules use, decided on the first call: the one the environment variable
// BPNET_KERNEL_PATH names when it runs here, otherwise the widest that runs (an unknown name,
// or one this machine cannot run, is reported once on standard error).
Path active_path();

// Widened source vectors live on the stack up to this many columns; wider sources are
// widened one column at a time instead.
constexpr int kMaxWidened = 4096;

// Row j of a group whose first v rows are the caller's: rows past v repeat row v-1, so that
// every load stays inside the weight block; their lanes are computed and never stored.
template <int n, int v>
constexpr int row_offset(int j)
{
    return (j < v ? j : v - 1) * n;
}

}  // namespace bp_multi

#endif
