// Portable multi-unit kernels: four units side by side in scalar doubles, any processor and any
// compiler. Compiled with BP_MULTI_ONE_UNIT, the only path, its dot products one unit at a time.
// C++ only, for module code.
#ifndef BP_MULTI_PORTABLE_H
#define BP_MULTI_PORTABLE_H

#include "bp/multi/common.h"

namespace bp_multi {

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

// ---- The same kernels with their sizes given at run time, for a network built at run time:
// the same loop orders and roundings, so the same bits as the constant-size kernels.

namespace detail {

template <int v, bool add>
inline void lvdot_group_rt(const float *W, const float *x, float *d, int n)
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

template <bool add>
inline void lvdot_units_rt(const float *W, const float *x, float *d, int n, int m)
{
    int i = 0;
    for (; i + 4 <= m; i += 4)
        lvdot_group_rt<4, add>(W + i * n, x, d + i, n);
    switch (m - i) {
    case 3: lvdot_group_rt<3, add>(W + i * n, x, d + i, n); break;
    case 2: lvdot_group_rt<2, add>(W + i * n, x, d + i, n); break;
    case 1: lvdot_group_rt<1, add>(W + i * n, x, d + i, n); break;
    default: break;
    }
}

}  // namespace detail

// lvdot<n, m> with n and m given at run time.
inline void lvdot(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_units_rt<false>(W, x, d, n, m);
}

// lvdot_sum<n, m> with n and m given at run time.
inline void lvdot_sum(const float *W, const float *x, float *d, int n, int m)
{
    detail::lvdot_units_rt<true>(W, x, d, n, m);
}

// accum_weights_from_input<m, n> with m and n given at run time.
inline void accum_weights_from_input(const float *e, const float *x, float *g, int m, int n)
{
    for (int i = 0; i < m; i++, g += n) {
        const bp_wide d = e[i];
        for (int k = 0; k < n; k++)
            g[k] = static_cast<float>(g[k] + x[k] * d);
    }
}

// accum_weights_from_hidden<m, n> with m and n given at run time.
inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g, int m,
                                      int n)
{
    for (int i = 0; i < m; i++, W += n, g += n) {
        const bp_wide d = e[i];
        for (int k = 0; k < n; k++) {
            h[k] = static_cast<float>(h[k] + d * W[k]);
            g[k] = static_cast<float>(g[k] + x[k] * d);
        }
    }
}

// deriv_sig1<n> with n given at run time.
inline void deriv_sig1(const float *a, float *e, float off, int n)
{
    for (int i = 0; i < n; i++) {
        const bp_wide v = a[i];
        e[i] = static_cast<float>((v * (1.0 - v) + off) * e[i]);
    }
}

// accum_biases<n> with n given at run time.
inline void accum_biases(float *g, const float *e, int n)
{
    for (int i = 0; i < n; i++)
        g[i] = static_cast<float>(static_cast<bp_wide>(g[i]) + e[i]);
}

}  // namespace portable

}  // namespace bp_multi

#endif
