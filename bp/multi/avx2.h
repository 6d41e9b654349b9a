// AVX2 multi-unit kernels: four double lanes. Every function carries BP_MULTI_AVX2, so a module
// built for the baseline carries this path beside the others; a caller inlines its kernels by
// carrying the same attribute. The dot products keep one unit's sum per lane (4x4 blocks of
// weights transposed into lanes); the elementwise learning kernels are the width-generic ones
// of bp/multi/elementwise.inc over Lanes4. C++ only, for module code.
#ifndef BP_MULTI_AVX2_H
#define BP_MULTI_AVX2_H

#include "bp/multi/common.h"

#if BP_MULTI_X86

namespace bp_multi {

namespace avx2 {

namespace detail {

// Four double lanes: the vocabulary of the width-generic kernels. Floats are widened to
// doubles on load and rounded on store.
struct Lanes4 {
    using V = __m256d;
    static constexpr int width = 4;

    BP_MULTI_AVX2 static V zero() { return _mm256_setzero_pd(); }
    BP_MULTI_AVX2 static V set1(bp_wide a) { return _mm256_set1_pd(a); }
    BP_MULTI_AVX2 static V add(V a, V b) { return _mm256_add_pd(a, b); }
    BP_MULTI_AVX2 static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
    BP_MULTI_AVX2 static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
    BP_MULTI_AVX2 static V load(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    BP_MULTI_AVX2 static V load(const double *p) { return _mm256_loadu_pd(p); }
    BP_MULTI_AVX2 static void store(float *p, V v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
    BP_MULTI_AVX2 static void store(double *p, V v) { _mm256_storeu_pd(p, v); }
    // Four zero floats at p.
    BP_MULTI_AVX2 static void clear(float *p) { _mm_storeu_ps(p, _mm_setzero_ps()); }

    // The first v (1 to 4) floats at p as doubles, the other lanes zero; and the first v lanes
    // rounded and stored. Plain loads and stores of one, two or three floats: a masked store is
    // not forwarded to the loads that follow it on some processors, and they wait for it.
    template <int v>
    BP_MULTI_AVX2 static V load_part(const float *p)
    {
        if constexpr (v == 4)
            return load(p);
        else if constexpr (v == 1)
            return _mm256_cvtps_pd(_mm_load_ss(p));
        else if constexpr (v == 2)
            return _mm256_cvtps_pd(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64 *>(p)));
        else
            return _mm256_cvtps_pd(_mm_movelh_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64 *>(p)),
                                                 _mm_load_ss(p + 2)));
    }

    template <int v>
    BP_MULTI_AVX2 static void store_part(float *p, V v4)
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
};

#define BP_MULTI_TARGET BP_MULTI_AVX2
#include "bp/multi/elementwise.inc"
#undef BP_MULTI_TARGET

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
    const __m256d r0 = Lanes4::load(p + row_offset<n, v>(0) + k), r1 = Lanes4::load(p + row_offset<n, v>(1) + k);
    const __m256d r2 = Lanes4::load(p + row_offset<n, v>(2) + k), r3 = Lanes4::load(p + row_offset<n, v>(3) + k);
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
        acc = _mm256_add_pd(acc, Lanes4::load_part<v>(d));
    Lanes4::store_part<v>(d, acc);
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
        widen<Lanes4, n>(x, xd);
        lvdot_blocks<n, m, add>(W, static_cast<const double *>(xd), d);
    } else {
        lvdot_blocks<n, m, add>(W, x, d);
    }
}

// ---- The dot products with the sizes given at run time: the same 4x4 steps, the same order
// of the terms in every lane, with n and m as arguments.

// Row j of a group of v rows of n weights each (rows past v repeat row v-1).
template <int v>
BP_MULTI_AVX2 inline int row_at(int j, int n)
{
    return (j < v ? j : v - 1) * n;
}

template <int v, int c0, typename X>
BP_MULTI_AVX2 inline __m256d step_rt(const float *p, int n, const X *xs, int k, __m256d acc)
{
    const __m256d r0 = Lanes4::load(p + row_at<v>(0, n) + k), r1 = Lanes4::load(p + row_at<v>(1, n) + k);
    const __m256d r2 = Lanes4::load(p + row_at<v>(2, n) + k), r3 = Lanes4::load(p + row_at<v>(3, n) + k);
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

template <int v, typename X>
BP_MULTI_AVX2 inline __m256d narrow_sums_rt(const float *p, int n, const X *xs, __m256d acc)
{
    for (int k = 0; k < n; k++) {
        const __m256d col = _mm256_cvtps_pd(_mm_setr_ps(p[row_at<v>(0, n) + k], p[row_at<v>(1, n) + k],
                                                        p[row_at<v>(2, n) + k], p[row_at<v>(3, n) + k]));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(col, bcast(xs, k)));
    }
    return acc;
}

// The last, partial step of every group: the step over a row's last four columns that adds
// only the n % 4 columns not yet added.
template <int v, typename X>
BP_MULTI_AVX2 inline __m256d tail_rt(const float *p, int n, const X *xs, __m256d acc)
{
    switch (n % 4) {
    case 1: return step_rt<v, 3>(p, n, xs, n - 4, acc);
    case 2: return step_rt<v, 2>(p, n, xs, n - 4, acc);
    case 3: return step_rt<v, 1>(p, n, xs, n - 4, acc);
    default: return acc;
    }
}

// G groups of four rows side by side (the last has v rows), over all n columns.
template <int G, int v, bool add, typename X>
BP_MULTI_AVX2 inline void block_rt(const float *W, int n, const X *xs, float *d)
{
    __m256d acc[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++)
        acc[g] = _mm256_setzero_pd();
    if (n < 4) {
#pragma GCC unroll 4
        for (int g = 0; g < G - 1; g++)
            acc[g] = narrow_sums_rt<4>(W + 4 * g * n, n, xs, acc[g]);
        acc[G - 1] = narrow_sums_rt<v>(W + 4 * (G - 1) * n, n, xs, acc[G - 1]);
    } else {
        for (int k = 0; k + 4 <= n; k += 4) {
#pragma GCC unroll 4
            for (int g = 0; g < G - 1; g++)
                acc[g] = step_rt<4, 0>(W + 4 * g * n, n, xs, k, acc[g]);
            acc[G - 1] = step_rt<v, 0>(W + 4 * (G - 1) * n, n, xs, k, acc[G - 1]);
        }
        if (n % 4 != 0) {
#pragma GCC unroll 4
            for (int g = 0; g < G - 1; g++)
                acc[g] = tail_rt<4>(W + 4 * g * n, n, xs, acc[g]);
            acc[G - 1] = tail_rt<v>(W + 4 * (G - 1) * n, n, xs, acc[G - 1]);
        }
    }
#pragma GCC unroll 4
    for (int g = 0; g < G - 1; g++)
        finish<4, add>(acc[g], d + 4 * g);
    finish<v, add>(acc[G - 1], d + 4 * (G - 1));
}

// The last block of G groups, its last group of v rows (1 to 4).
template <int G, bool add, typename X>
BP_MULTI_AVX2 inline void rest_block_rt(const float *W, int n, const X *xs, float *d, int v)
{
    switch (v) {
    case 1: block_rt<G, 1, add>(W, n, xs, d); break;
    case 2: block_rt<G, 2, add>(W, n, xs, d); break;
    case 3: block_rt<G, 3, add>(W, n, xs, d); break;
    default: block_rt<G, 4, add>(W, n, xs, d); break;
    }
}

template <bool add, typename X>
BP_MULTI_AVX2 inline void lvdot_blocks_rt(const float *W, const X *xs, float *d, int n, int m)
{
    constexpr int units = 4 * kGroups;
    const int full = m / units;
    const int rest = m % units;
    for (int b = 0; b < full; b++)
        block_rt<kGroups, 4, add>(W + b * units * n, n, xs, d + b * units);
    if (rest == 0)
        return;
    const float *Wr = W + full * units * n;
    float *dr = d + full * units;
    const int v = rest % 4 == 0 ? 4 : rest % 4;
    switch ((rest + 3) / 4) {
    case 1: rest_block_rt<1, add>(Wr, n, xs, dr, v); break;
    case 2: rest_block_rt<2, add>(Wr, n, xs, dr, v); break;
    case 3: rest_block_rt<3, add>(Wr, n, xs, dr, v); break;
    default: rest_block_rt<4, add>(Wr, n, xs, dr, v); break;
    }
}

template <bool add>
BP_MULTI_AVX2 inline void lvdot_units_rt(const float *W, const float *x, float *d, int n, int m)
{
    if (n <= kMaxWidened) {
        alignas(32) double xd[kMaxWidened];
        widen_rt<Lanes4>(x, xd, n);
        lvdot_blocks_rt<add>(W, static_cast<const double *>(xd), d, n, m);
    } else {
        lvdot_blocks_rt<add>(W, x, d, n, m);
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
    detail::gradient_rows<detail::Lanes4, m, n>(e, x, g);
}

template <int m, int n>
BP_MULTI_AVX2 inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W,
                                                    float *g)
{
    detail::hidden_rows<detail::Lanes4, m, n>(e, x, h, W, g);
}

template <int n>
BP_MULTI_AVX2 inline void deriv_sig1(const float *a, float *e, float off)
{
    detail::derivative<detail::Lanes4, n>(a, e, off);
}

template <int n>
BP_MULTI_AVX2 inline void accum_biases(float *g, const float *e)
{
    detail::bias_sums<detail::Lanes4, n>(g, e);
}

BP_MULTI_AVX2 inline void update_weights(float mom, const float *g, float *W, float *p, int n)
{
    detail::momentum_update<detail::Lanes4, false>(mom, const_cast<float *>(g), W, p, n);
}

template <int n>
BP_MULTI_AVX2 inline void update_weights(float mom, const float *g, float *W, float *p)
{
    detail::momentum_update<detail::Lanes4, false>(mom, const_cast<float *>(g), W, p, n);
}

BP_MULTI_AVX2 inline void update_weights_clear(float mom, float *g, float *W, float *p, int n)
{
    detail::momentum_update<detail::Lanes4, true>(mom, g, W, p, n);
}

template <int n>
BP_MULTI_AVX2 inline void update_weights_clear(float mom, float *g, float *W, float *p)
{
    detail::momentum_update<detail::Lanes4, true>(mom, g, W, p, n);
}

// ---- Run-time sizes.

BP_MULTI_AVX2 inline void lvdot(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_units_rt<false>(W, x, d, n, m);
}

BP_MULTI_AVX2 inline void lvdot_sum(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_units_rt<true>(W, x, d, n, m);
}

BP_MULTI_AVX2 inline void accum_weights_from_input(const float *e, const float *x, float *g, int m, int n)
{
    detail::gradient_rows_rt<detail::Lanes4>(e, x, g, m, n);
}

BP_MULTI_AVX2 inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g,
                                                    int m, int n)
{
    detail::hidden_rows_rt<detail::Lanes4>(e, x, h, W, g, m, n);
}

BP_MULTI_AVX2 inline void deriv_sig1(const float *a, float *e, float off, int n)
{
    detail::derivative_rt<detail::Lanes4>(a, e, off, n);
}

BP_MULTI_AVX2 inline void accum_biases(float *g, const float *e, int n)
{
    detail::bias_sums_rt<detail::Lanes4>(g, e, n);
}

using bp_inline::output_error;
using bp_inline::sig1;

}  // namespace avx2

}  // namespace bp_multi

#endif  // BP_MULTI_X86

#endif
