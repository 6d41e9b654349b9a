// Multi-unit kernels for full connections with constant sizes: several destination units at
// once, with exactly the results of the library kernels. A full connection feeds every
// destination unit from the same source vector x, so BPlvdot's x offset is zero for every unit
// (ov = n), and its unit i sums W[i*n+k]*x[k] from zero in ascending k. Here each vector lane
// keeps one unit's own double sum, in that same order: the rows of a group of units are read
// four (or sixteen) columns at a time and transposed into lanes, so that one vector add advances
// every unit of the group by one term. The learning kernels are vectorised across the source
// units k, where every element is its own sequence of float roundings (the gradient g[i*n+k],
// the back-propagated delta h[k] across i in ascending order). No product is fused with an add:
// a float times a float is exact in double, so a double multiply followed by a double add is
// exactly the kernel's arithmetic, and the roundings to float sit where the kernels put them.
//
// Paths: `portable` (plain C++, four units side by side in scalar doubles; every build),
// and on x86-64 `sse2` (two double lanes; every x86-64), `avx2` (four lanes) and `avx512`
// (eight lanes for layers wide enough to gain from them, the four-lane code elsewhere). The
// x86 paths are compiled with the target attribute of their instruction set, so a module built
// for the baseline carries them all and picks one at run time (bp_multi::active_path()); a
// caller inlines a path's kernels by carrying the same attribute (BP_MULTI_AVX2,
// BP_MULTI_AVX512). Every path gives the same bits. No kernel uses a masked store: where a
// vector would reach past the end of a row, the last step covers the row's last full vector
// instead (see the four-lane kernels), or the lanes are stored one by one.
//
// Each namespace offers the same kernels: lvdot<n, m>, lvdot_sum<n, m>,
// accum_weights_from_input<m, n>, accum_weights_from_hidden<m, n>, accum_biases<n>,
// deriv_sig1<n>, update_weights<n>, update_weights(..., n) and update_weights_clear (the update
// followed by zeroed gradients); sig1<n> and output_error<n> are the inline copies.
// C++ only, for module code.
#ifndef BP_BPSIMMULTI_H
#define BP_BPSIMMULTI_H

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

// ---------------------------------------------------------------------------------------------
// Portable path: four units side by side in scalar doubles, any processor.
namespace portable {

namespace detail {

// Units 0..v-1 (v <= 4) of a group: their sums advance together, each in ascending k.
template <int n, int v, bool add>
inline void lvdot_group(const float *W, const float *x, float *d)
{
    bp_wide s[4] = {0.0, 0.0, 0.0, 0.0};
    for (int k = 0; k < n; k++) {
        const bp_wide xk = x[k];
#pragma GCC unroll 4
        for (int j = 0; j < v; j++)
            s[j] += static_cast<bp_wide>(W[j * n + k]) * xk;
    }
#pragma GCC unroll 4
    for (int j = 0; j < v; j++)
        d[j] = add ? static_cast<float>(d[j] + s[j]) : static_cast<float>(s[j]);
}

template <int n, int m, bool add>
inline void lvdot_units(const float *W, const float *x, float *d)
{
#ifdef BP_MULTI_ONE_UNIT
    if constexpr (add)
        bp_inline::lvdot_sum<n, m, n>(W, x, d);
    else
        bp_inline::lvdot<n, m, n>(W, x, d);
#else
    constexpr int rest = m % 4;
    for (int i = 0; i + 4 <= m; i += 4)
        lvdot_group<n, 4, add>(W + i * n, x, d + i);
    if constexpr (rest != 0)
        lvdot_group<n, rest, add>(W + (m - rest) * n, x, d + (m - rest));
#endif
}

}  // namespace detail

// BPlvdot over a full connection: d[i] = sum_k W[i*n+k]*x[k].
template <int n, int m>
inline void lvdot(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, false>(W, x, d);
}

// BPlvdot_sum over a full connection: d[i] = d[i] + sum_k W[i*n+k]*x[k], rounded once.
template <int n, int m>
inline void lvdot_sum(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, true>(W, x, d);
}

template <int m, int n>
inline void accum_weights_from_input(const float *e, const float *x, float *g)
{
    bp_inline::accum_weights_from_input<m, n, n>(e, x, g);
}

template <int m, int n>
inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g)
{
    bp_inline::accum_weights_from_hidden<m, n, n>(e, x, h, W, g);
}

using bp_inline::accum_biases;
using bp_inline::deriv_sig1;
using bp_inline::output_error;
using bp_inline::sig1;
using bp_inline::update_weights;

// BPupdate_weights, then the gradients set to zero.
inline void update_weights_clear(float mom, float *g, float *W, float *p, int n)
{
    for (int i = 0; i < n; i++) {
        const bp_wide s = static_cast<bp_wide>(mom) * p[i] + g[i];
        W[i] = static_cast<float>(W[i] + s);
        p[i] = static_cast<float>(s);
        g[i] = 0.0f;
    }
}

template <int n>
inline void update_weights_clear(float mom, float *g, float *W, float *p)
{
    update_weights_clear(mom, g, W, p, n);
}

}  // namespace portable

#if BP_MULTI_X86

// ---------------------------------------------------------------------------------------------
// SSE2: two double lanes, every x86-64.
namespace sse2 {

namespace detail {

// Two floats at p as two doubles.
inline __m128d load2(const float *p)
{
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))));
}

// Two doubles rounded to float and stored at p.
inline void store2(float *p, __m128d v)
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
}

// One double at p (a float) in both lanes' places: lane 0 only, lane 1 zero.
inline __m128d load1(const float *p)
{
    return _mm_cvtss_sd(_mm_setzero_pd(), _mm_load_ss(p));
}

inline void store1(float *p, __m128d v)
{
    _mm_store_ss(p, _mm_cvtpd_ps(v));
}

// The source vector widened, each value twice (a two-lane operand ready to load).
template <int n>
inline void widen_pairs(const float *x, double *xp)
{
    for (int k = 0; k < n; k++)
        xp[2 * k] = xp[2 * k + 1] = x[k];
}

// x[c] in both lanes, from the widened pairs or straight from the floats.
inline __m128d pair(const double *xp, int c) { return _mm_load_pd(xp + 2 * c); }
inline __m128d pair(const float *x, int c) { return _mm_set1_pd(static_cast<bp_wide>(x[c])); }

// Columns k, k+1 (t = 2) or k alone (t = 1) of a group of four rows (v of them the caller's):
// rows 0-1 advance in a01, rows 2-3 in a23.
template <int n, int v, int t, typename X>
inline void step(const float *p, const X *xs, int k, __m128d &a01, __m128d &a23)
{
    const float *r0 = p + row_offset<n, v>(0), *r1 = p + row_offset<n, v>(1);
    const float *r2 = p + row_offset<n, v>(2), *r3 = p + row_offset<n, v>(3);
    if constexpr (t == 2) {
        const __m128d x0 = pair(xs, k), x1 = pair(xs, k + 1);
        const __m128d w0 = load2(r0 + k), w1 = load2(r1 + k);
        a01 = _mm_add_pd(a01, _mm_mul_pd(_mm_unpacklo_pd(w0, w1), x0));
        a01 = _mm_add_pd(a01, _mm_mul_pd(_mm_unpackhi_pd(w0, w1), x1));
        if constexpr (v > 2) {
            const __m128d w2 = load2(r2 + k), w3 = load2(r3 + k);
            a23 = _mm_add_pd(a23, _mm_mul_pd(_mm_unpacklo_pd(w2, w3), x0));
            a23 = _mm_add_pd(a23, _mm_mul_pd(_mm_unpackhi_pd(w2, w3), x1));
        }
    } else {
        const __m128d x0 = pair(xs, k);
        a01 = _mm_add_pd(a01, _mm_mul_pd(_mm_unpacklo_pd(load1(r0 + k), load1(r1 + k)), x0));
        if constexpr (v > 2)
            a23 = _mm_add_pd(a23, _mm_mul_pd(_mm_unpacklo_pd(load1(r2 + k), load1(r3 + k)), x0));
    }
}

// Rounds a group's sums (v rows) into d: stored, or added to d[i] first.
template <int v, bool add>
inline void finish(__m128d a01, __m128d a23, float *d)
{
    if constexpr (add) {
        a01 = _mm_add_pd(a01, v >= 2 ? load2(d) : load1(d));
        if constexpr (v > 2)
            a23 = _mm_add_pd(a23, v == 4 ? load2(d + 2) : load1(d + 2));
    }
    if constexpr (v >= 2)
        store2(d, a01);
    else
        store1(d, a01);
    if constexpr (v == 4)
        store2(d + 2, a23);
    else if constexpr (v == 3)
        store1(d + 2, a23);
}

// G groups of four rows side by side (the last has v rows), over all n columns.
template <int n, int G, int v, bool add, typename X>
inline void block(const float *W, const X *xs, float *d)
{
    __m128d a01[G], a23[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++)
        a01[g] = a23[g] = _mm_setzero_pd();
    for (int k = 0; k + 2 <= n; k += 2) {
#pragma GCC unroll 4
        for (int g = 0; g < G - 1; g++)
            step<n, 4, 2>(W + 4 * g * n, xs, k, a01[g], a23[g]);
        step<n, v, 2>(W + 4 * (G - 1) * n, xs, k, a01[G - 1], a23[G - 1]);
    }
    if constexpr (n % 2 != 0) {
#pragma GCC unroll 4
        for (int g = 0; g < G - 1; g++)
            step<n, 4, 1>(W + 4 * g * n, xs, n - 1, a01[g], a23[g]);
        step<n, v, 1>(W + 4 * (G - 1) * n, xs, n - 1, a01[G - 1], a23[G - 1]);
    }
#pragma GCC unroll 4
    for (int g = 0; g < G - 1; g++)
        finish<4, add>(a01[g], a23[g], d + 4 * g);
    finish<v, add>(a01[G - 1], a23[G - 1], d + 4 * (G - 1));
}

// Groups per block: two groups, eight units in flight.
constexpr int kGroups = 2;

template <int n, int m, bool add, typename X>
inline void lvdot_blocks(const float *W, const X *xs, float *d)
{
    constexpr int units = 4 * kGroups;
    constexpr int full = m / units;
    constexpr int rest = m % units;
    for (int b = 0; b < full; b++)
        block<n, kGroups, 4, add>(W + b * units * n, xs, d + b * units);
    if constexpr (rest != 0)
        block<n, (rest + 3) / 4, rest % 4 == 0 ? 4 : rest % 4, add>(W + full * units * n, xs, d + full * units);
}

template <int n, int m, bool add>
inline void lvdot_units(const float *W, const float *x, float *d)
{
    if constexpr (n <= kMaxWidened) {
        alignas(16) double xp[2 * n];
        widen_pairs<n>(x, xp);
        lvdot_blocks<n, m, add>(W, static_cast<const double *>(xp), d);
    } else {
        lvdot_blocks<n, m, add>(W, x, d);
    }
}

}  // namespace detail

template <int n, int m>
inline void lvdot(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, false>(W, x, d);
}

template <int n, int m>
inline void lvdot_sum(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, true>(W, x, d);
}

// g[i*n+k] = g + x[k]*e[i]: two columns at a time along each row.
template <int m, int n>
inline void accum_weights_from_input(const float *e, const float *x, float *g)
{
    using namespace detail;
    for (int i = 0; i < m; i++, g += n) {
        const __m128d d = _mm_set1_pd(static_cast<bp_wide>(e[i]));
        int k = 0;
        for (; k + 2 <= n; k += 2)
            store2(g + k, _mm_add_pd(load2(g + k), _mm_mul_pd(load2(x + k), d)));
        if constexpr (n % 2 != 0)
            store1(g + k, _mm_add_pd(load1(g + k), _mm_mul_pd(load1(x + k), d)));
    }
}

// h[k] = h[k] + e[i]*W[i*n+k] for i ascending; g[i*n+k] = g + x[k]*e[i].
template <int m, int n>
inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g)
{
    using namespace detail;
    for (int i = 0; i < m; i++, g += n, W += n) {
        const __m128d d = _mm_set1_pd(static_cast<bp_wide>(e[i]));
        int k = 0;
        for (; k + 2 <= n; k += 2) {
            store2(h + k, _mm_add_pd(load2(h + k), _mm_mul_pd(d, load2(W + k))));
            store2(g + k, _mm_add_pd(load2(g + k), _mm_mul_pd(load2(x + k), d)));
        }
        if constexpr (n % 2 != 0) {
            store1(h + k, _mm_add_pd(load1(h + k), _mm_mul_pd(d, load1(W + k))));
            store1(g + k, _mm_add_pd(load1(g + k), _mm_mul_pd(load1(x + k), d)));
        }
    }
}

namespace detail {

inline __m128d deriv_sig1_2(__m128d a, __m128d e, __m128d off)
{
    return _mm_mul_pd(_mm_add_pd(_mm_mul_pd(a, _mm_sub_pd(_mm_set1_pd(1.0), a)), off), e);
}

// One momentum step of two (or one) values; the gradients are cleared when asked.
template <bool clear, int t>
inline void update_step(__m128d mom, float *g, float *W, float *p)
{
    const __m128d pv = t == 2 ? load2(p) : load1(p), gv = t == 2 ? load2(g) : load1(g);
    const __m128d wv = t == 2 ? load2(W) : load1(W);
    const __m128d s = _mm_add_pd(_mm_mul_pd(mom, pv), gv);
    if constexpr (t == 2) {
        store2(W, _mm_add_pd(wv, s));
        store2(p, s);
        if constexpr (clear)
            _mm_storel_epi64(reinterpret_cast<__m128i *>(g), _mm_setzero_si128());
    } else {
        store1(W, _mm_add_pd(wv, s));
        store1(p, s);
        if constexpr (clear)
            *g = 0.0f;
    }
}

// The momentum update of n values; g is written only when clear is set (the callers without
// clearing pass their const gradients through a cast).
template <bool clear>
inline void update(float mom, float *g, float *W, float *p, int n)
{
    const __m128d mv = _mm_set1_pd(static_cast<bp_wide>(mom));
    int i = 0;
    for (; i + 2 <= n; i += 2)
        update_step<clear, 2>(mv, g + i, W + i, p + i);
    if (i < n)
        update_step<clear, 1>(mv, g + i, W + i, p + i);
}

}  // namespace detail

template <int n>
inline void deriv_sig1(const float *a, float *e, float off)
{
    using namespace detail;
    const __m128d o = _mm_set1_pd(static_cast<bp_wide>(off));
    int i = 0;
    for (; i + 2 <= n; i += 2)
        store2(e + i, deriv_sig1_2(load2(a + i), load2(e + i), o));
    if constexpr (n % 2 != 0)
        store1(e + i, deriv_sig1_2(load1(a + i), load1(e + i), o));
}

template <int n>
inline void accum_biases(float *g, const float *e)
{
    using namespace detail;
    int i = 0;
    for (; i + 2 <= n; i += 2)
        store2(g + i, _mm_add_pd(load2(g + i), load2(e + i)));
    if constexpr (n % 2 != 0)
        store1(g + i, _mm_add_pd(load1(g + i), load1(e + i)));
}

inline void update_weights(float mom, const float *g, float *W, float *p, int n)
{
    detail::update<false>(mom, const_cast<float *>(g), W, p, n);
}

template <int n>
inline void update_weights(float mom, const float *g, float *W, float *p)
{
    detail::update<false>(mom, const_cast<float *>(g), W, p, n);
}

inline void update_weights_clear(float mom, float *g, float *W, float *p, int n)
{
    detail::update<true>(mom, g, W, p, n);
}

template <int n>
inline void update_weights_clear(float mom, float *g, float *W, float *p)
{
    detail::update<true>(mom, g, W, p, n);
}

using bp_inline::output_error;
using bp_inline::sig1;

}  // namespace sse2

// ---------------------------------------------------------------------------------------------
// AVX2: four double lanes.
namespace avx2 {

namespace detail {

// Four floats at p as four doubles; four doubles rounded to float and stored at p.
BP_MULTI_AVX2 inline __m256d load4(const float *p)
{
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
}

BP_MULTI_AVX2 inline void store4(float *p, __m256d v)
{
    _mm_storeu_ps(p, _mm256_cvtpd_ps(v));
}

// The first v (1 to 4) floats at p as doubles, the other lanes zero; and the first v lanes
// rounded and stored. Plain loads and stores of one, two or three floats: a masked store is
// not forwarded to the loads that follow it on some processors, and they wait for it.
template <int v>
BP_MULTI_AVX2 inline __m256d load_part(const float *p)
{
    if constexpr (v == 4)
        return load4(p);
    else if constexpr (v == 1)
        return _mm256_cvtps_pd(_mm_load_ss(p));
    else if constexpr (v == 2)
        return _mm256_cvtps_pd(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64 *>(p)));
    else
        return _mm256_cvtps_pd(
            _mm_movelh_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64 *>(p)), _mm_load_ss(p + 2)));
}

template <int v>
BP_MULTI_AVX2 inline void store_part(float *p, __m256d v4)
{
    const __m128 f = _mm256_cvtpd_ps(v4);
    if constexpr (v == 4) {
        _mm_storeu_ps(p, f);
    } else if constexpr (v == 1) {
        _mm_store_ss(p, f);
    } else {
        _mm_storel_pi(reinterpret_cast<__m64 *>(p), f);
        if constexpr (v == 3)
            _mm_store_ss(p + 2, _mm_movehl_ps(f, f));
    }
}

// The source vector widened to doubles (n of them).
template <int n>
BP_MULTI_AVX2 inline void widen(const float *x, double *xd)
{
    if constexpr (n < 4) {
        for (int k = 0; k < n; k++)
            xd[k] = x[k];
    } else {
        for (int k = 0; k + 4 <= n; k += 4)
            _mm256_storeu_pd(xd + k, load4(x + k));
        if constexpr (n % 4 != 0)
            _mm256_storeu_pd(xd + n - 4, load4(x + n - 4));
    }
}

// x[c] in all four lanes, from the widened vector or straight from the floats.
BP_MULTI_AVX2 inline __m256d bcast(const double *xd, int c)
{
    return _mm256_broadcast_sd(xd + c);
}
BP_MULTI_AVX2 inline __m256d bcast(const float *x, int c)
{
    return _mm256_set1_pd(static_cast<bp_wide>(x[c]));
}

// Columns k+c0 .. k+3 of a group of four rows (v of them the caller's): each row's four
// columns k..k+3 widened to doubles, the 4x4 block transposed so that column c holds the four
// rows' terms, and columns c0..3 added to the four sums in ascending order. A row's last,
// partial step is the step over its last four columns that adds only the columns not yet added.
template <int n, int v, int c0, typename X>
BP_MULTI_AVX2 inline __m256d step(const float *p, const X *xs, int k, __m256d acc)
{
    const __m256d r0 = load4(p + row_offset<n, v>(0) + k), r1 = load4(p + row_offset<n, v>(1) + k);
    const __m256d r2 = load4(p + row_offset<n, v>(2) + k), r3 = load4(p + row_offset<n, v>(3) + k);
    const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
    const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
    if constexpr (c0 <= 0)
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t0, t2, 0x20), bcast(xs, k)));
    if constexpr (c0 <= 1)
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t1, t3, 0x20), bcast(xs, k + 1)));
    if constexpr (c0 <= 2)
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t0, t2, 0x31), bcast(xs, k + 2)));
    acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_permute2f128_pd(t1, t3, 0x31), bcast(xs, k + 3)));
    return acc;
}

// All n columns of rows narrower than a vector (n < 4): each column gathered from the rows.
template <int n, int v, typename X>
BP_MULTI_AVX2 inline __m256d narrow_sums(const float *p, const X *xs, __m256d acc)
{
    for (int k = 0; k < n; k++) {
        const __m256d col = _mm256_cvtps_pd(_mm_setr_ps(p[row_offset<n, v>(0) + k], p[row_offset<n, v>(1) + k],
                                                        p[row_offset<n, v>(2) + k], p[row_offset<n, v>(3) + k]));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(col, bcast(xs, k)));
    }
    return acc;
}

// Rounds a group's sums (v rows) into d: stored, or added to d[i] first.
template <int v, bool add>
BP_MULTI_AVX2 inline void finish(__m256d acc, float *d)
{
    if constexpr (add)
        acc = _mm256_add_pd(acc, load_part<v>(d));
    store_part<v>(d, acc);
}

// G groups of four rows side by side (the last has v rows), over all n columns.
template <int n, int G, int v, bool add, typename X>
BP_MULTI_AVX2 inline void block(const float *W, const X *xs, float *d)
{
    __m256d acc[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++)
        acc[g] = _mm256_setzero_pd();
    if constexpr (n < 4) {
#pragma GCC unroll 4
        for (int g = 0; g < G - 1; g++)
            acc[g] = narrow_sums<n, 4>(W + 4 * g * n, xs, acc[g]);
        acc[G - 1] = narrow_sums<n, v>(W + 4 * (G - 1) * n, xs, acc[G - 1]);
    } else {
        for (int k = 0; k + 4 <= n; k += 4) {
#pragma GCC unroll 4
            for (int g = 0; g < G - 1; g++)
                acc[g] = step<n, 4, 0>(W + 4 * g * n, xs, k, acc[g]);
            acc[G - 1] = step<n, v, 0>(W + 4 * (G - 1) * n, xs, k, acc[G - 1]);
        }
        if constexpr (n % 4 != 0) {
            constexpr int c0 = 4 - n % 4;
#pragma GCC unroll 4
            for (int g = 0; g < G - 1; g++)
                acc[g] = step<n, 4, c0>(W + 4 * g * n, xs, n - 4, acc[g]);
            acc[G - 1] = step<n, v, c0>(W + 4 * (G - 1) * n, xs, n - 4, acc[G - 1]);
        }
    }
#pragma GCC unroll 4
    for (int g = 0; g < G - 1; g++)
        finish<4, add>(acc[g], d + 4 * g);
    finish<v, add>(acc[G - 1], d + 4 * (G - 1));
}

// Groups per block: four groups, sixteen units in flight.
constexpr int kGroups = 4;

template <int n, int m, bool add, typename X>
BP_MULTI_AVX2 inline void lvdot_blocks(const float *W, const X *xs, float *d)
{
    constexpr int units = 4 * kGroups;
    constexpr int full = m / units;
    constexpr int rest = m % units;
    for (int b = 0; b < full; b++)
        block<n, kGroups, 4, add>(W + b * units * n, xs, d + b * units);
    if constexpr (rest != 0)
        block<n, (rest + 3) / 4, rest % 4 == 0 ? 4 : rest % 4, add>(W + full * units * n, xs, d + full * units);
}

template <int n, int m, bool add>
BP_MULTI_AVX2 inline void lvdot_units(const float *W, const float *x, float *d)
{
    if constexpr (n <= kMaxWidened) {
        alignas(32) double xd[n];
        widen<n>(x, xd);
        lvdot_blocks<n, m, add>(W, static_cast<const double *>(xd), d);
    } else {
        lvdot_blocks<n, m, add>(W, x, d);
    }
}

// The elementwise kernels go four values at a time. Of n >= 4 values, a last, partial step
// is the full step over the last four: computed from the values as they were before any store
// and stored after the others, so the values it shares with the step before get the same bits
// twice. Fewer than four values are one partial step.

BP_MULTI_AVX2 inline __m256d deriv_sig1_4(__m256d a, __m256d e, __m256d off)
{
    return _mm256_mul_pd(_mm256_add_pd(_mm256_mul_pd(a, _mm256_sub_pd(_mm256_set1_pd(1.0), a)), off), e);
}

// One momentum step of four values: s = mom*p + g; W += s; p = s; g cleared when asked.
struct Step4 {
    __m256d w, s;
};
BP_MULTI_AVX2 inline Step4 momentum4(__m256d mom, const float *g, const float *W, const float *p)
{
    const __m256d s = _mm256_add_pd(_mm256_mul_pd(mom, load4(p)), load4(g));
    return {_mm256_add_pd(load4(W), s), s};
}

template <bool clear>
BP_MULTI_AVX2 inline void put4(Step4 r, float *g, float *W, float *p)
{
    store4(W, r.w);
    store4(p, r.s);
    if constexpr (clear)
        _mm_storeu_ps(g, _mm_setzero_ps());
}

// The momentum update of n values; g is written only when clear is set (the callers without
// clearing pass their const gradients through a cast).
template <bool clear>
BP_MULTI_AVX2 inline void update(float mom, float *g, float *W, float *p, int n)
{
    if (n < 4) {
        for (int i = 0; i < n; i++) {
            const bp_wide s = static_cast<bp_wide>(mom) * p[i] + g[i];
            W[i] = static_cast<float>(W[i] + s);
            p[i] = static_cast<float>(s);
            if constexpr (clear)
                g[i] = 0.0f;
        }
        return;
    }
    const __m256d mv = _mm256_set1_pd(static_cast<bp_wide>(mom));
    const Step4 last = momentum4(mv, g + n - 4, W + n - 4, p + n - 4);
    for (int i = 0; i + 4 <= n; i += 4)
        put4<clear>(momentum4(mv, g + i, W + i, p + i), g + i, W + i, p + i);
    put4<clear>(last, g + n - 4, W + n - 4, p + n - 4);
}

// One gradient row: g[k] = g[k] + x[k]*d, the source widened in xd or read as floats.
BP_MULTI_AVX2 inline __m256d source4(const double *xd, int k)
{
    return _mm256_loadu_pd(xd + k);
}
BP_MULTI_AVX2 inline __m256d source4(const float *x, int k)
{
    return load4(x + k);
}

template <int n, typename X>
BP_MULTI_AVX2 inline void accum_row(float *g, const X *xs, __m256d d)
{
    if constexpr (n < 4) {
        const __m256d x = _mm256_setr_pd(static_cast<bp_wide>(xs[0]), n > 1 ? static_cast<bp_wide>(xs[n > 1 ? 1 : 0]) : 0.0,
                                         n > 2 ? static_cast<bp_wide>(xs[n > 2 ? 2 : 0]) : 0.0, 0.0);
        store_part<n>(g, _mm256_add_pd(load_part<n>(g), _mm256_mul_pd(x, d)));
    } else {
        __m256d last = _mm256_setzero_pd();
        if constexpr (n % 4 != 0)
            last = _mm256_add_pd(load4(g + n - 4), _mm256_mul_pd(source4(xs, n - 4), d));
        for (int k = 0; k + 4 <= n; k += 4)
            store4(g + k, _mm256_add_pd(load4(g + k), _mm256_mul_pd(source4(xs, k), d)));
        if constexpr (n % 4 != 0)
            store4(g + n - 4, last);
    }
}

// One row of the hidden accumulation: h[k] += d*W[k] and g[k] += x[k]*d.
template <int n>
BP_MULTI_AVX2 inline void hidden_row(const float *x, float *h, const float *W, float *g, __m256d d)
{
    if constexpr (n < 4) {
        store_part<n>(h, _mm256_add_pd(load_part<n>(h), _mm256_mul_pd(d, load_part<n>(W))));
        store_part<n>(g, _mm256_add_pd(load_part<n>(g), _mm256_mul_pd(load_part<n>(x), d)));
    } else {
        __m256d hl = _mm256_setzero_pd(), gl = _mm256_setzero_pd();
        if constexpr (n % 4 != 0) {
            hl = _mm256_add_pd(load4(h + n - 4), _mm256_mul_pd(d, load4(W + n - 4)));
            gl = _mm256_add_pd(load4(g + n - 4), _mm256_mul_pd(load4(x + n - 4), d));
        }
        for (int k = 0; k + 4 <= n; k += 4) {
            store4(h + k, _mm256_add_pd(load4(h + k), _mm256_mul_pd(d, load4(W + k))));
            store4(g + k, _mm256_add_pd(load4(g + k), _mm256_mul_pd(load4(x + k), d)));
        }
        if constexpr (n % 4 != 0) {
            store4(h + n - 4, hl);
            store4(g + n - 4, gl);
        }
    }
}

}  // namespace detail

template <int n, int m>
BP_MULTI_AVX2 inline void lvdot(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, false>(W, x, d);
}

template <int n, int m>
BP_MULTI_AVX2 inline void lvdot_sum(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, true>(W, x, d);
}

template <int m, int n>
BP_MULTI_AVX2 inline void accum_weights_from_input(const float *e, const float *x, float *g)
{
    using namespace detail;
    if constexpr (n <= kMaxWidened) {
        alignas(32) double xd[n];
        widen<n>(x, xd);
        for (int i = 0; i < m; i++, g += n)
            accum_row<n>(g, static_cast<const double *>(xd), _mm256_set1_pd(static_cast<bp_wide>(e[i])));
    } else {
        for (int i = 0; i < m; i++, g += n)
            accum_row<n>(g, x, _mm256_set1_pd(static_cast<bp_wide>(e[i])));
    }
}

template <int m, int n>
BP_MULTI_AVX2 inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W,
                                                    float *g)
{
    for (int i = 0; i < m; i++, g += n, W += n)
        detail::hidden_row<n>(x, h, W, g, _mm256_set1_pd(static_cast<bp_wide>(e[i])));
}

template <int n>
BP_MULTI_AVX2 inline void deriv_sig1(const float *a, float *e, float off)
{
    using namespace detail;
    const __m256d o = _mm256_set1_pd(static_cast<bp_wide>(off));
    if constexpr (n < 4) {
        store_part<n>(e, deriv_sig1_4(load_part<n>(a), load_part<n>(e), o));
    } else {
        __m256d last = _mm256_setzero_pd();
        if constexpr (n % 4 != 0)
            last = deriv_sig1_4(load4(a + n - 4), load4(e + n - 4), o);
        for (int i = 0; i + 4 <= n; i += 4)
            store4(e + i, deriv_sig1_4(load4(a + i), load4(e + i), o));
        if constexpr (n % 4 != 0)
            store4(e + n - 4, last);
    }
}

template <int n>
BP_MULTI_AVX2 inline void accum_biases(float *g, const float *e)
{
    using namespace detail;
    if constexpr (n < 4) {
        store_part<n>(g, _mm256_add_pd(load_part<n>(g), load_part<n>(e)));
    } else {
        __m256d last = _mm256_setzero_pd();
        if constexpr (n % 4 != 0)
            last = _mm256_add_pd(load4(g + n - 4), load4(e + n - 4));
        for (int i = 0; i + 4 <= n; i += 4)
            store4(g + i, _mm256_add_pd(load4(g + i), load4(e + i)));
        if constexpr (n % 4 != 0)
            store4(g + n - 4, last);
    }
}

BP_MULTI_AVX2 inline void update_weights(float mom, const float *g, float *W, float *p, int n)
{
    detail::update<false>(mom, const_cast<float *>(g), W, p, n);
}

template <int n>
BP_MULTI_AVX2 inline void update_weights(float mom, const float *g, float *W, float *p)
{
    detail::update<false>(mom, const_cast<float *>(g), W, p, n);
}

BP_MULTI_AVX2 inline void update_weights_clear(float mom, float *g, float *W, float *p, int n)
{
    detail::update<true>(mom, g, W, p, n);
}

template <int n>
BP_MULTI_AVX2 inline void update_weights_clear(float mom, float *g, float *W, float *p)
{
    detail::update<true>(mom, g, W, p, n);
}

using bp_inline::output_error;
using bp_inline::sig1;

}  // namespace avx2

// ---------------------------------------------------------------------------------------------
// AVX-512: eight double lanes.
namespace avx512 {

namespace detail {

// Eight floats at p (the first t, the rest read as zero) as eight doubles.
template <int t = 8>
BP_MULTI_AVX512 inline __m512d load8(const float *p)
{
    if constexpr (t == 8)
        return _mm512_cvtps_pd(_mm256_loadu_ps(p));
    else
        return _mm512_cvtps_pd(_mm256_maskz_loadu_ps(static_cast<__mmask8>((1u << t) - 1u), p));
}

// Eight doubles rounded to float and stored at p.
BP_MULTI_AVX512 inline void store8(float *p, __m512d v)
{
    _mm256_storeu_ps(p, _mm512_cvtpd_ps(v));
}

// The source vector widened to doubles; xd holds n rounded up to eight, the padding zero.
template <int n>
BP_MULTI_AVX512 inline void widen(const float *x, double *xd)
{
    int k = 0;
    for (; k + 8 <= n; k += 8)
        _mm512_store_pd(xd + k, load8(x + k));
    if constexpr (n % 8 != 0)
        _mm512_store_pd(xd + k, load8<n % 8>(x + k));
}

BP_MULTI_AVX512 inline __m512d bcast(const double *xd, int c) { return _mm512_set1_pd(xd[c]); }
BP_MULTI_AVX512 inline __m512d bcast(const float *x, int c) { return _mm512_set1_pd(static_cast<bp_wide>(x[c])); }

// Sixteen floats of a row (the first t, the rest read as zero).
template <int t>
BP_MULTI_AVX512 inline __m512 load16(const float *p)
{
    if constexpr (t == 16)
        return _mm512_loadu_ps(p);
    else
        return _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << t) - 1u), p);
}

// Four rows of sixteen columns transposed within each 128-bit lane: lane L of c[j] holds
// column 4L+j of the four rows.
BP_MULTI_AVX512 inline void transpose_lanes(__m512 r0, __m512 r1, __m512 r2, __m512 r3, __m512 c[4])
{
    const __m512 t0 = _mm512_unpacklo_ps(r0, r1), t1 = _mm512_unpackhi_ps(r0, r1);
    const __m512 t2 = _mm512_unpacklo_ps(r2, r3), t3 = _mm512_unpackhi_ps(r2, r3);
    c[0] = _mm512_shuffle_ps(t0, t2, 0x44);
    c[1] = _mm512_shuffle_ps(t0, t2, 0xEE);
    c[2] = _mm512_shuffle_ps(t1, t3, 0x44);
    c[3] = _mm512_shuffle_ps(t1, t3, 0xEE);
}

// Columns k..k+t-1 (t <= 16) of a group of eight rows (v of them the caller's): the two
// halves of the group are transposed within lanes, their lanes paired so that each 256-bit
// half holds one column of all eight rows, widened and added to the eight sums in ascending
// column order.
template <int n, int v, int t, typename X>
BP_MULTI_AVX512 inline __m512d step(const float *p, const X *xs, int k, __m512d acc)
{
    __m512 a[4], b[4];
    transpose_lanes(load16<t>(p + row_offset<n, v>(0) + k), load16<t>(p + row_offset<n, v>(1) + k),
                    load16<t>(p + row_offset<n, v>(2) + k), load16<t>(p + row_offset<n, v>(3) + k), a);
    transpose_lanes(load16<t>(p + row_offset<n, v>(4) + k), load16<t>(p + row_offset<n, v>(5) + k),
                    load16<t>(p + row_offset<n, v>(6) + k), load16<t>(p + row_offset<n, v>(7) + k), b);
    // Columns j and 4+j; columns 8+j and 12+j.
    const __m512i lo = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 4, 5, 6, 7, 20, 21, 22, 23);
    const __m512i hi = _mm512_setr_epi32(8, 9, 10, 11, 24, 25, 26, 27, 12, 13, 14, 15, 28, 29, 30, 31);
    __m512 cols[4][2];
#pragma GCC unroll 4
    for (int j = 0; j < 4; j++) {
        cols[j][0] = _mm512_permutex2var_ps(a[j], lo, b[j]);
        cols[j][1] = _mm512_permutex2var_ps(a[j], hi, b[j]);
    }
#pragma GCC unroll 16
    for (int c = 0; c < t; c++) {
        const __m512 pair = cols[c % 4][c / 8];
        const __m256 col = (c / 4) % 2 == 0 ? _mm512_castps512_ps256(pair)
                                            : _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(pair), 1));
        acc = _mm512_add_pd(acc, _mm512_mul_pd(_mm512_cvtps_pd(col), bcast(xs, k + c)));
    }
    return acc;
}

// Rounds a group's sums (v rows) into d: stored, or added to d[i] first. A partial group
// goes through plain stores of its lanes (a masked store would hold up the loads of d that
// follow).
template <int v, bool add>
BP_MULTI_AVX512 inline void finish(__m512d acc, float *d)
{
    if constexpr (v == 8) {
        if constexpr (add)
            acc = _mm512_add_pd(acc, load8(d));
        store8(d, acc);
    } else {
        alignas(64) bp_wide s[8];
        _mm512_store_pd(s, acc);
        for (int j = 0; j < v; j++)
            d[j] = add ? static_cast<float>(d[j] + s[j]) : static_cast<float>(s[j]);
    }
}

// A block: F full groups of eight rows, then optionally a group of eight with v8 rows
// (0: none) and a group of four with v4 rows (0: none), all side by side over all n columns.
template <int n, int F, int v8, int v4, bool add, typename X>
BP_MULTI_AVX512 inline void block(const float *W, const X *xs, float *d)
{
    constexpr int G = F + (v8 > 0 ? 1 : 0);
    const float *W4 = W + 8 * G * n;
    __m512d acc[G > 0 ? G : 1];
    __m256d acc4 = _mm256_setzero_pd();
#pragma GCC unroll 4
    for (int g = 0; g < G; g++)
        acc[g] = _mm512_setzero_pd();
    int k = 0;
    for (; k + 16 <= n; k += 16) {
#pragma GCC unroll 4
        for (int g = 0; g < F; g++)
            acc[g] = step<n, 8, 16>(W + 8 * g * n, xs, k, acc[g]);
        if constexpr (v8 > 0)
            acc[F] = step<n, v8, 16>(W + 8 * F * n, xs, k, acc[F]);
        if constexpr (v4 > 0) {
#pragma GCC unroll 4
            for (int q = 0; q < 16; q += 4)
                acc4 = avx2::detail::step<n, v4, 0>(W4, xs, k + q, acc4);
        }
    }
    if constexpr (n % 16 != 0) {
        constexpr int t = n % 16;
#pragma GCC unroll 4
        for (int g = 0; g < F; g++)
            acc[g] = step<n, 8, t>(W + 8 * g * n, xs, k, acc[g]);
        if constexpr (v8 > 0)
            acc[F] = step<n, v8, t>(W + 8 * F * n, xs, k, acc[F]);
        if constexpr (v4 > 0) {
#pragma GCC unroll 4
            for (int q = 0; q + 4 <= t; q += 4)
                acc4 = avx2::detail::step<n, v4, 0>(W4, xs, k + q, acc4);
            if constexpr (t % 4 != 0)
                acc4 = avx2::detail::step<n, v4, 4 - t % 4>(W4, xs, n - 4, acc4);
        }
    }
#pragma GCC unroll 4
    for (int g = 0; g < F; g++)
        finish<8, add>(acc[g], d + 8 * g);
    if constexpr (v8 > 0)
        finish<v8, add>(acc[F], d + 8 * F);
    if constexpr (v4 > 0)
        avx2::detail::finish<v4, add>(acc4, d + 8 * G);
}

template <int n, int m, bool add, typename X>
BP_MULTI_AVX512 inline void lvdot_blocks(const float *W, const X *xs, float *d)
{
    // Blocks of two groups of eight, sixteen units in flight; the last block takes the odd
    // group and the rest of the rows (more than four as a partial group of eight, otherwise
    // as a group of four).
    constexpr int groups = m / 8;
    constexpr int rest = m % 8;
    constexpr int pairs = groups / 2;
    constexpr int odd = groups % 2;
    for (int b = 0; b < pairs; b++)
        block<n, 2, 0, 0, add>(W + b * 16 * n, xs, d + b * 16);
    if constexpr (odd != 0 || rest != 0)
        block<n, odd, (rest > 4 ? rest : 0), (rest <= 4 ? rest : 0), add>(W + pairs * 16 * n, xs, d + pairs * 16);
}

// Where 512-bit vectors pay off. Each unit's sum is one chain of dependent additions, and a
// 512-bit addition can take longer than a 256-bit one (four cycles against two on some
// processors), so a narrow layer, whose time is that chain, runs faster in four lanes; the
// wider vectors win where a layer has many units to keep them busy. The elementwise kernels
// gain little from them below a few thousand values.
constexpr int kWideMinUnits = 16;
constexpr int kWideMinWeights = 4096;
constexpr int kWideMinValues = 4096;
template <int n, int m>
constexpr bool wide_groups = n >= 16 && m >= kWideMinUnits && static_cast<long>(n) * m >= kWideMinWeights;
template <int n, int m>
constexpr bool wide_rows = n >= 8 && static_cast<long>(n) * m >= kWideMinWeights;

template <int n, int m, bool add>
BP_MULTI_AVX512 inline void lvdot_units(const float *W, const float *x, float *d)
{
    if constexpr (!wide_groups<n, m>) {
        avx2::detail::lvdot_units<n, m, add>(W, x, d);
    } else if constexpr (n <= kMaxWidened) {
        alignas(64) double xd[(n + 7) / 8 * 8];
        widen<n>(x, xd);
        lvdot_blocks<n, m, add>(W, static_cast<const double *>(xd), d);
    } else {
        lvdot_blocks<n, m, add>(W, x, d);
    }
}

BP_MULTI_AVX512 inline __m512d deriv_sig1_8(__m512d a, __m512d e, __m512d off)
{
    return _mm512_mul_pd(_mm512_add_pd(_mm512_mul_pd(a, _mm512_sub_pd(_mm512_set1_pd(1.0), a)), off), e);
}

// One momentum step of eight values: s = mom*p + g; W += s; p = s; g cleared when asked.
struct Step8 {
    __m512d w, s;
};
BP_MULTI_AVX512 inline Step8 momentum8(__m512d mom, const float *g, const float *W, const float *p)
{
    const __m512d s = _mm512_add_pd(_mm512_mul_pd(mom, load8(p)), load8(g));
    return {_mm512_add_pd(load8(W), s), s};
}

template <bool clear>
BP_MULTI_AVX512 inline void put8(Step8 r, float *g, float *W, float *p)
{
    store8(W, r.w);
    store8(p, r.s);
    if constexpr (clear)
        _mm256_storeu_ps(g, _mm256_setzero_ps());
}

// The momentum update of n >= 8 values, the last partial step as the full step over the
// last eight (see the four-lane kernels); g is written only when clear is set.
template <bool clear>
BP_MULTI_AVX512 inline void update(float mom, float *g, float *W, float *p, int n)
{
    const __m512d mv = _mm512_set1_pd(static_cast<bp_wide>(mom));
    const Step8 last = momentum8(mv, g + n - 8, W + n - 8, p + n - 8);
    for (int i = 0; i + 8 <= n; i += 8)
        put8<clear>(momentum8(mv, g + i, W + i, p + i), g + i, W + i, p + i);
    put8<clear>(last, g + n - 8, W + n - 8, p + n - 8);
}

BP_MULTI_AVX512 inline __m512d source8(const double *xd, int k)
{
    return _mm512_loadu_pd(xd + k);
}
BP_MULTI_AVX512 inline __m512d source8(const float *x, int k)
{
    return load8(x + k);
}

// One gradient row of n >= 8 values: g[k] = g[k] + x[k]*d (the last partial step as the full
// step over the last eight).
template <int n, typename X>
BP_MULTI_AVX512 inline void accum_row(float *g, const X *xs, __m512d d)
{
    __m512d last = _mm512_setzero_pd();
    if constexpr (n % 8 != 0)
        last = _mm512_add_pd(load8(g + n - 8), _mm512_mul_pd(source8(xs, n - 8), d));
    for (int k = 0; k + 8 <= n; k += 8)
        store8(g + k, _mm512_add_pd(load8(g + k), _mm512_mul_pd(source8(xs, k), d)));
    if constexpr (n % 8 != 0)
        store8(g + n - 8, last);
}

template <int m, int n>
BP_MULTI_AVX512 inline void accum_input_wide(const float *e, const float *x, float *g)
{
    if constexpr (n <= kMaxWidened) {
        alignas(64) double xd[(n + 7) / 8 * 8];
        widen<n>(x, xd);
        for (int i = 0; i < m; i++, g += n)
            accum_row<n>(g, static_cast<const double *>(xd), _mm512_set1_pd(static_cast<bp_wide>(e[i])));
    } else {
        for (int i = 0; i < m; i++, g += n)
            accum_row<n>(g, x, _mm512_set1_pd(static_cast<bp_wide>(e[i])));
    }
}

template <int m, int n>
BP_MULTI_AVX512 inline void accum_hidden_wide(const float *e, const float *x, float *h, const float *W, float *g)
{
    for (int i = 0; i < m; i++, g += n, W += n) {
        const __m512d d = _mm512_set1_pd(static_cast<bp_wide>(e[i]));
        __m512d hl = _mm512_setzero_pd(), gl = _mm512_setzero_pd();
        if constexpr (n % 8 != 0) {
            hl = _mm512_add_pd(load8(h + n - 8), _mm512_mul_pd(d, load8(W + n - 8)));
            gl = _mm512_add_pd(load8(g + n - 8), _mm512_mul_pd(load8(x + n - 8), d));
        }
        for (int k = 0; k + 8 <= n; k += 8) {
            store8(h + k, _mm512_add_pd(load8(h + k), _mm512_mul_pd(d, load8(W + k))));
            store8(g + k, _mm512_add_pd(load8(g + k), _mm512_mul_pd(load8(x + k), d)));
        }
        if constexpr (n % 8 != 0) {
            store8(h + n - 8, hl);
            store8(g + n - 8, gl);
        }
    }
}

template <int n>
BP_MULTI_AVX512 inline void deriv_sig1_wide(const float *a, float *e, float off)
{
    const __m512d o = _mm512_set1_pd(static_cast<bp_wide>(off));
    __m512d last = _mm512_setzero_pd();
    if constexpr (n % 8 != 0)
        last = deriv_sig1_8(load8(a + n - 8), load8(e + n - 8), o);
    for (int i = 0; i + 8 <= n; i += 8)
        store8(e + i, deriv_sig1_8(load8(a + i), load8(e + i), o));
    if constexpr (n % 8 != 0)
        store8(e + n - 8, last);
}

template <int n>
BP_MULTI_AVX512 inline void accum_biases_wide(float *g, const float *e)
{
    __m512d last = _mm512_setzero_pd();
    if constexpr (n % 8 != 0)
        last = _mm512_add_pd(load8(g + n - 8), load8(e + n - 8));
    for (int i = 0; i + 8 <= n; i += 8)
        store8(g + i, _mm512_add_pd(load8(g + i), load8(e + i)));
    if constexpr (n % 8 != 0)
        store8(g + n - 8, last);
}

}  // namespace detail

template <int n, int m>
BP_MULTI_AVX512 inline void lvdot(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, false>(W, x, d);
}

template <int n, int m>
BP_MULTI_AVX512 inline void lvdot_sum(const float *W, const float *x, float *d)
{
    detail::lvdot_units<n, m, true>(W, x, d);
}

template <int m, int n>
BP_MULTI_AVX512 inline void accum_weights_from_input(const float *e, const float *x, float *g)
{
    if constexpr (detail::wide_rows<n, m>)
        detail::accum_input_wide<m, n>(e, x, g);
    else
        avx2::accum_weights_from_input<m, n>(e, x, g);
}

template <int m, int n>
BP_MULTI_AVX512 inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W,
                                                      float *g)
{
    if constexpr (detail::wide_rows<n, m>)
        detail::accum_hidden_wide<m, n>(e, x, h, W, g);
    else
        avx2::accum_weights_from_hidden<m, n>(e, x, h, W, g);
}

template <int n>
BP_MULTI_AVX512 inline void deriv_sig1(const float *a, float *e, float off)
{
    if constexpr (n >= detail::kWideMinValues)
        detail::deriv_sig1_wide<n>(a, e, off);
    else
        avx2::deriv_sig1<n>(a, e, off);
}

template <int n>
BP_MULTI_AVX512 inline void accum_biases(float *g, const float *e)
{
    if constexpr (n >= detail::kWideMinValues)
        detail::accum_biases_wide<n>(g, e);
    else
        avx2::accum_biases<n>(g, e);
}

BP_MULTI_AVX512 inline void update_weights(float mom, const float *g, float *W, float *p, int n)
{
    if (n >= detail::kWideMinValues)
        detail::update<false>(mom, const_cast<float *>(g), W, p, n);
    else
        avx2::update_weights(mom, g, W, p, n);
}

template <int n>
BP_MULTI_AVX512 inline void update_weights(float mom, const float *g, float *W, float *p)
{
    update_weights(mom, g, W, p, n);
}

BP_MULTI_AVX512 inline void update_weights_clear(float mom, float *g, float *W, float *p, int n)
{
    if (n >= detail::kWideMinValues)
        detail::update<true>(mom, g, W, p, n);
    else
        avx2::update_weights_clear(mom, g, W, p, n);
}

template <int n>
BP_MULTI_AVX512 inline void update_weights_clear(float mom, float *g, float *W, float *p)
{
    update_weights_clear(mom, g, W, p, n);
}

using bp_inline::output_error;
using bp_inline::sig1;

}  // namespace avx512

#endif  // BP_MULTI_X86

}  // namespace bp_multi

#endif
