// AVX-512 multi-unit kernels: eight double lanes for layers wide enough to gain from them, the
// four-lane kernels of the avx2 path elsewhere. Every function carries BP_MULTI_AVX512; a caller
// inlines this path's kernels by carrying the same attribute. The dot products transpose 8x16
// blocks of weights into lanes; the elementwise learning kernels are the width-generic ones of
// bp/multi/elementwise.inc over Lanes8. C++ only, for module code.
#ifndef BP_MULTI_AVX512_H
#define BP_MULTI_AVX512_H

#include "bp/multi/avx2.h"
#include "bp/multi/common.h"

#if BP_MULTI_X86

namespace bp_multi {

namespace avx512 {

namespace detail {

// Eight double lanes: the vocabulary of the width-generic kernels. Floats are widened to
// doubles on load and rounded on store.
struct Lanes8 {
    using V = __m512d;
    static constexpr int width = 8;

    BP_MULTI_AVX512 static V zero() { return _mm512_setzero_pd(); }
    BP_MULTI_AVX512 static V set1(bp_wide a) { return _mm512_set1_pd(a); }
    BP_MULTI_AVX512 static V add(V a, V b) { return _mm512_add_pd(a, b); }
    BP_MULTI_AVX512 static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
    BP_MULTI_AVX512 static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
    BP_MULTI_AVX512 static V load(const float *p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    BP_MULTI_AVX512 static V load(const double *p) { return _mm512_loadu_pd(p); }
    BP_MULTI_AVX512 static void store(float *p, V v) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(v)); }
    BP_MULTI_AVX512 static void store(double *p, V v) { _mm512_storeu_pd(p, v); }
    // Eight zero floats at p.
    BP_MULTI_AVX512 static void clear(float *p) { _mm256_storeu_ps(p, _mm256_setzero_ps()); }

    // The first v (1 to 8) floats at p as doubles, the other lanes zero (a masked load); and
    // the first v lanes rounded and stored one by one (a masked store would hold up the loads
    // of the same place that follow it).
    template <int v>
    BP_MULTI_AVX512 static V load_part(const float *p)
    {
        if constexpr (v == 8)
            return load(p);
        else
            return _mm512_cvtps_pd(_mm256_maskz_loadu_ps(static_cast<__mmask8>((1u << v) - 1u), p));
    }

    template <int v>
    BP_MULTI_AVX512 static void store_part(float *p, V v8)
    {
        if constexpr (v == 8) {
            store(p, v8);
        } else {
            alignas(32) float f[8];
            _mm256_store_ps(f, _mm512_cvtpd_ps(v8));
            for (int j = 0; j < v; j++)
                p[j] = f[j];
        }
    }
};

#define BP_MULTI_TARGET BP_MULTI_AVX512
#include "bp/multi/elementwise.inc"
#undef BP_MULTI_TARGET

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
            acc = _mm512_add_pd(acc, Lanes8::load(d));
        Lanes8::store(d, acc);
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
        alignas(64) double xd[n];
        widen<Lanes8, n>(x, xd);
        lvdot_blocks<n, m, add>(W, static_cast<const double *>(xd), d);
    } else {
        lvdot_blocks<n, m, add>(W, x, d);
    }
}

// ---- The dot products with the sizes given at run time: the same 8x16 steps over full groups of
// eight rows, n as an argument; the rows past the last full group, and layers too narrow for
// the wide groups, take the four-lane run-time kernels of the avx2 path.

template <int t, typename X>
BP_MULTI_AVX512 inline __m512d step_rt(const float *p, int n, const X *xs, int k, __m512d acc)
{
    __m512 a[4], b[4];
    transpose_lanes(load16<t>(p + k), load16<t>(p + n + k), load16<t>(p + 2 * n + k), load16<t>(p + 3 * n + k), a);
    transpose_lanes(load16<t>(p + 4 * n + k), load16<t>(p + 5 * n + k), load16<t>(p + 6 * n + k),
                    load16<t>(p + 7 * n + k), b);
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

// The last t = n % 16 columns (1 to 15) of a group of eight rows, from column k.
template <typename X>
BP_MULTI_AVX512 inline __m512d tail_rt(const float *p, int n, const X *xs, int k, __m512d acc)
{
    switch (n % 16) {
    case 1: return step_rt<1>(p, n, xs, k, acc);
    case 2: return step_rt<2>(p, n, xs, k, acc);
    case 3: return step_rt<3>(p, n, xs, k, acc);
    case 4: return step_rt<4>(p, n, xs, k, acc);
    case 5: return step_rt<5>(p, n, xs, k, acc);
    case 6: return step_rt<6>(p, n, xs, k, acc);
    case 7: return step_rt<7>(p, n, xs, k, acc);
    case 8: return step_rt<8>(p, n, xs, k, acc);
    case 9: return step_rt<9>(p, n, xs, k, acc);
    case 10: return step_rt<10>(p, n, xs, k, acc);
    case 11: return step_rt<11>(p, n, xs, k, acc);
    case 12: return step_rt<12>(p, n, xs, k, acc);
    case 13: return step_rt<13>(p, n, xs, k, acc);
    case 14: return step_rt<14>(p, n, xs, k, acc);
    case 15: return step_rt<15>(p, n, xs, k, acc);
    default: return acc;
    }
}

// F groups of eight rows side by side over all n columns.
template <int F, bool add, typename X>
BP_MULTI_AVX512 inline void block_rt(const float *W, int n, const X *xs, float *d)
{
    __m512d acc[F];
#pragma GCC unroll 4
    for (int g = 0; g < F; g++)
        acc[g] = _mm512_setzero_pd();
    int k = 0;
    for (; k + 16 <= n; k += 16) {
#pragma GCC unroll 4
        for (int g = 0; g < F; g++)
            acc[g] = step_rt<16>(W + 8 * g * n, n, xs, k, acc[g]);
    }
    if (n % 16 != 0) {
#pragma GCC unroll 4
        for (int g = 0; g < F; g++)
            acc[g] = tail_rt(W + 8 * g * n, n, xs, k, acc[g]);
    }
#pragma GCC unroll 4
    for (int g = 0; g < F; g++)
        finish<8, add>(acc[g], d + 8 * g);
}

template <bool add>
BP_MULTI_AVX512 inline void lvdot_units_rt(const float *W, const float *x, float *d, int n, int m)
{
    if (n < 16 || m < kWideMinUnits || static_cast<long>(n) * m < kWideMinWeights || n > kMaxWidened) {
        avx2::detail::lvdot_units_rt<add>(W, x, d, n, m);
        return;
    }
    alignas(64) double xd[kMaxWidened];
    widen_rt<Lanes8>(x, xd, n);
    const double *xs = xd;
    // Pairs of groups of eight, sixteen units in flight; an odd group alone; the rows left over
    // in four lanes.
    const int groups = m / 8;
    int b = 0;
    for (; b + 2 <= groups; b += 2)
        block_rt<2, add>(W + b * 8 * n, n, xs, d + b * 8);
    if (b < groups)
        block_rt<1, add>(W + b * 8 * n, n, xs, d + b * 8);
    const int rest = m % 8;
    if (rest != 0)
        avx2::detail::lvdot_blocks_rt<add>(W + (m - rest) * n, xs, d + (m - rest), n, rest);
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
        detail::gradient_rows<detail::Lanes8, m, n>(e, x, g);
    else
        avx2::accum_weights_from_input<m, n>(e, x, g);
}

template <int m, int n>
BP_MULTI_AVX512 inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W,
                                                      float *g)
{
    if constexpr (detail::wide_rows<n, m>)
        detail::hidden_rows<detail::Lanes8, m, n>(e, x, h, W, g);
    else
        avx2::accum_weights_from_hidden<m, n>(e, x, h, W, g);
}

template <int n>
BP_MULTI_AVX512 inline void deriv_sig1(const float *a, float *e, float off)
{
    if constexpr (n >= detail::kWideMinValues)
        detail::derivative<detail::Lanes8, n>(a, e, off);
    else
        avx2::deriv_sig1<n>(a, e, off);
}

template <int n>
BP_MULTI_AVX512 inline void accum_biases(float *g, const float *e)
{
    if constexpr (n >= detail::kWideMinValues)
        detail::bias_sums<detail::Lanes8, n>(g, e);
    else
        avx2::accum_biases<n>(g, e);
}

BP_MULTI_AVX512 inline void update_weights(float mom, const float *g, float *W, float *p, int n)
{
    if (n >= detail::kWideMinValues)
        detail::momentum_update<detail::Lanes8, false>(mom, const_cast<float *>(g), W, p, n);
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
        detail::momentum_update<detail::Lanes8, true>(mom, g, W, p, n);
    else
        avx2::update_weights_clear(mom, g, W, p, n);
}

template <int n>
BP_MULTI_AVX512 inline void update_weights_clear(float mom, float *g, float *W, float *p)
{
    update_weights_clear(mom, g, W, p, n);
}

// ---- Run-time sizes: the dot products in eight lanes where a layer is wide enough, the
// elementwise kernels the width-generic ones over Lanes8.

BP_MULTI_AVX512 inline void lvdot(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_units_rt<false>(W, x, d, n, m);
}

BP_MULTI_AVX512 inline void lvdot_sum(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_units_rt<true>(W, x, d, n, m);
}

BP_MULTI_AVX512 inline void accum_weights_from_input(const float *e, const float *x, float *g, int m, int n)
{
    detail::gradient_rows_rt<detail::Lanes8>(e, x, g, m, n);
}

BP_MULTI_AVX512 inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W,
                                                      float *g, int m, int n)
{
    detail::hidden_rows_rt<detail::Lanes8>(e, x, h, W, g, m, n);
}

BP_MULTI_AVX512 inline void deriv_sig1(const float *a, float *e, float off, int n)
{
    detail::derivative_rt<detail::Lanes8>(a, e, off, n);
}

BP_MULTI_AVX512 inline void accum_biases(float *g, const float *e, int n)
{
    detail::bias_sums_rt<detail::Lanes8>(g, e, n);
}

using bp_inline::output_error;
using bp_inline::sig1;

}  // namespace avx512

}  // namespace bp_multi

#endif  // BP_MULTI_X86

#endif
