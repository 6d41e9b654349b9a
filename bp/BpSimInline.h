// Inline copies of the kernels that a generated network module calls with constant sizes.
// Each copy does exactly the arithmetic of its library kernel, in the same loop order and with
// the same roundings; only the sizes become template arguments, so that the compiler can lay
// out a module's straight-line kernel sequence without calls and loop counters. The library's
// own kernels (extern "C", run-time sizes) remain the reference; tests check every copy
// against its kernel bit for bit. C++ only, for module code.
#ifndef BP_BPSIMINLINE_H
#define BP_BPSIMINLINE_H

#include <cmath>

#include "bp/BpSim.h"

// The logistic table of the library (see BPinit_sigmoid_table), shared with the inline copies.
namespace bp_sigmoid {
extern float sigmoid_array[1024];
extern const float *sigmoid_ptr;
}  // namespace bp_sigmoid

namespace bp_inline {

// BPlvdot: d[i] = sum_k W[i*n+k]*x[i*(n-ov)+k], summed from zero in ascending k.
template <int n, int m, int ov>
inline void lvdot(const float *W, const float *x, float *d)
{
#pragma GCC unroll 16
    for (int i = 0; i < m; i++, W += n, x += n - ov) {
        bp_wide sum = 0.0;
#pragma GCC unroll 16
        for (int k = 0; k < n; k++)
            sum += static_cast<bp_wide>(W[k]) * x[k];
        d[i] = static_cast<float>(sum);
    }
}

// BPlvdot_sum: d[i] = d[i] + sum_k W[i*n+k]*x[i*(n-ov)+k], added in the wide type, rounded once.
template <int n, int m, int ov>
inline void lvdot_sum(const float *W, const float *x, float *d)
{
#pragma GCC unroll 16
    for (int i = 0; i < m; i++, W += n, x += n - ov) {
        bp_wide sum = 0.0;
#pragma GCC unroll 16
        for (int k = 0; k < n; k++)
            sum += static_cast<bp_wide>(W[k]) * x[k];
        d[i] = static_cast<float>(d[i] + sum);
    }
}

// BPsig1: a[i] = a[i] + t[i] (stored), then 0.5 + table[trunc(64*a[i] + 0.5)], saturating at |a[i]| >= 8.
template <int n>
inline void sig1(float *a, const float *t)
{
#pragma GCC unroll 16
    for (int i = 0; i < n; i++)
        a[i] = static_cast<float>(static_cast<bp_wide>(a[i]) + t[i]);
    const float *table = bp_sigmoid::sigmoid_ptr;
#pragma GCC unroll 16
    for (int i = 0; i < n; i++) {
        const float v = a[i];
        // Table values are the common case; saturation and NaN are laid out of the way.
        if (__builtin_expect(std::fabs(v) < 8.0f, 1))
            a[i] = static_cast<float>(0.5 + static_cast<bp_wide>(table[static_cast<int>(static_cast<bp_wide>(v) * 64.0 + 0.5)]));
        else if (v == v)
            a[i] = v > 0.0f ? 0.999999f : 0.000001f;
    }
}

// BPsig1 with the size given at run time, for a network built at run time.
inline void sig1(float *a, const float *t, int n)
{
    for (int i = 0; i < n; i++)
        a[i] = static_cast<float>(static_cast<bp_wide>(a[i]) + t[i]);
    const float *table = bp_sigmoid::sigmoid_ptr;
    for (int i = 0; i < n; i++) {
        const float v = a[i];
        if (__builtin_expect(std::fabs(v) < 8.0f, 1))
            a[i] = static_cast<float>(0.5 + static_cast<bp_wide>(table[static_cast<int>(static_cast<bp_wide>(v) * 64.0 + 0.5)]));
        else if (v == v)
            a[i] = v > 0.0f ? 0.999999f : 0.000001f;
    }
}

// BPoutput_error: e[i] = (t[i]-o[i])*s via the stored difference; returns 0.5*sum of squared differences.
template <int n>
inline float output_error(const float *t, const float *o, float *e, float s)
{
#pragma GCC unroll 16
    for (int i = 0; i < n; i++)
        e[i] = static_cast<float>(static_cast<bp_wide>(t[i]) - o[i]);
    bp_wide sum = 0.0;
#pragma GCC unroll 16
    for (int i = 0; i < n; i++)
        sum += static_cast<bp_wide>(e[i]) * e[i];
#pragma GCC unroll 16
    for (int i = 0; i < n; i++)
        e[i] = static_cast<float>(static_cast<bp_wide>(e[i]) * s);
    return static_cast<float>(0.5 * sum);
}

// BPderiv_sig1: e[i] = (a[i]*(1-a[i]) + off)*e[i].
template <int n>
inline void deriv_sig1(const float *a, float *e, float off)
{
#pragma GCC unroll 16
    for (int i = 0; i < n; i++) {
        const bp_wide v = a[i];
        e[i] = static_cast<float>((v * (1.0 - v) + off) * e[i]);
    }
}

// BPaccum_biases: g[i] += e[i].
template <int n>
inline void accum_biases(float *g, const float *e)
{
#pragma GCC unroll 16
    for (int i = 0; i < n; i++)
        g[i] = static_cast<float>(static_cast<bp_wide>(g[i]) + e[i]);
}

// BPaccum_weights_from_input: g[i*n+k] += x[i*(n-ov)+k]*e[i].
template <int m, int n, int ov>
inline void accum_weights_from_input(const float *e, const float *x, float *g)
{
#pragma GCC unroll 16
    for (int i = 0; i < m; i++, g += n, x += n - ov) {
        const bp_wide d = e[i];
#pragma GCC unroll 16
        for (int k = 0; k < n; k++)
            g[k] = static_cast<float>(g[k] + x[k] * d);
    }
}

// BPaccum_weights_from_hidden: h[i*(n-ov)+k] += e[i]*W[i*n+k]; g[i*n+k] += x[i*(n-ov)+k]*e[i].
template <int m, int n, int ov>
inline void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g)
{
#pragma GCC unroll 16
    for (int i = 0; i < m; i++, W += n, g += n, x += n - ov, h += n - ov) {
        const bp_wide d = e[i];
#pragma GCC unroll 16
        for (int k = 0; k < n; k++) {
            h[k] = static_cast<float>(h[k] + d * W[k]);
            g[k] = static_cast<float>(g[k] + x[k] * d);
        }
    }
}

// BPupdate_weights: s = mom*p[i] + g[i]; W[i] += s; p[i] = s (rounded once each).
template <int n>
inline void update_weights(float mom, const float *g, float *W, float *p)
{
#pragma GCC unroll 16
    for (int i = 0; i < n; i++) {
        const bp_wide s = static_cast<bp_wide>(mom) * p[i] + g[i];
        W[i] = static_cast<float>(W[i] + s);
        p[i] = static_cast<float>(s);
    }
}

// BPupdate_weights with the size given at run time, for a module's loop over its constant
// table of blocks (the compiler sees every size when it unrolls the loop).
inline void update_weights(float mom, const float *g, float *W, float *p, int n)
{
    for (int i = 0; i < n; i++) {
        const bp_wide s = static_cast<bp_wide>(mom) * p[i] + g[i];
        W[i] = static_cast<float>(W[i] + s);
        p[i] = static_cast<float>(s);
    }
}

}  // namespace bp_inline

#endif
