// SSE2 multi-unit kernels: two double lanes, every x86-64 processor (the baseline of the
// architecture, so no function attribute is needed). C++ only, for module code.
#ifndef BP_MULTI_SSE2_H
#define BP_MULTI_SSE2_H

#include "bp/multi/common.h"

#if BP_MULTI_X86

namespace bp_multi {

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

// ---- Run-time sizes: two units' sums side by side in the dot products (each lane one unit, its
// terms in ascending order); the elementwise kernels two values at a time, a last odd one alone.

namespace detail {

template <bool add>
inline void lvdot_rt(const float *W, const float *x, float *d, int n, int m)
{
    int i = 0;
    for (; i + 2 <= m; i += 2) {
        const float *w0 = W + i * n, *w1 = w0 + n;
        __m128d acc = _mm_setzero_pd();
        for (int k = 0; k < n; k++)
            acc = _mm_add_pd(acc, _mm_mul_pd(_mm_setr_pd(w0[k], w1[k]), _mm_set1_pd(static_cast<bp_wide>(x[k]))));
        if (add)
            acc = _mm_add_pd(acc, load2(d + i));
        store2(d + i, acc);
    }
    if (i < m) {
        const float *w0 = W + i * n;
        bp_wide s = 0.0;
        for (int k = 0; k < n; k++)
            s += static_cast<bp_wide>(w0[k]) * x[k];
        d[i] = add ? static_cast<float>(d[i] + s) : static_cast<float>(s);
    }
}

}  // namespace detail

inline void lvdot(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_rt<false>(W, x, d, n, m);
}

inline void lvdot_sum(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_rt<true>(W, x, d, n, m);
}

inline void accum_weights_from_input(const float *e, const float *x, float *g, int m, int n)
{
    for (int i = 0; i < m; i++, g += n) {
        const __m128d d = _mm_set1_pd(static_cast<bp_wide>(e[i]));
        int k = 0;
        for (; k + 2 <= n; k += 2)
            detail::store2(g + k, _mm_add_pd(detail::load2(g + k), _mm_mul_pd(detail::load2(x + k), d)));
        if (k < n)
            g[k] = static_cast<float>(g[k] + x[k] * static_cast<bp_wide>(e[i]));
    }
}

inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g, int m,
                                      int n)
{
    for (int i = 0; i < m; i++, g += n, W += n) {
        const bp_wide di = e[i];
        const __m128d d = _mm_set1_pd(di);
        int k = 0;
        for (; k + 2 <= n; k += 2) {
            detail::store2(h + k, _mm_add_pd(detail::load2(h + k), _mm_mul_pd(d, detail::load2(W + k))));
            detail::store2(g + k, _mm_add_pd(detail::load2(g + k), _mm_mul_pd(detail::load2(x + k), d)));
        }
        if (k < n) {
            h[k] = static_cast<float>(h[k] + di * W[k]);
            g[k] = static_cast<float>(g[k] + x[k] * di);
        }
    }
}

inline void deriv_sig1(const float *a, float *e, float off, int n)
{
    const __m128d o = _mm_set1_pd(static_cast<bp_wide>(off));
    int i = 0;
    for (; i + 2 <= n; i += 2)
        detail::store2(e + i, detail::deriv_sig1_2(detail::load2(a + i), detail::load2(e + i), o));
    if (i < n) {
        const bp_wide v = a[i];
        e[i] = static_cast<float>((v * (1.0 - v) + off) * e[i]);
    }
}

inline void accum_biases(float *g, const float *e, int n)
{
    int i = 0;
    for (; i + 2 <= n; i += 2)
        detail::store2(g + i, _mm_add_pd(detail::load2(g + i), detail::load2(e + i)));
    if (i < n)
        g[i] = static_cast<float>(static_cast<bp_wide>(g[i]) + e[i]);
}

using bp_inline::output_error;
using bp_inline::sig1;

}  // namespace sse2

}  // namespace bp_multi

#endif  // BP_MULTI_X86

#endif
