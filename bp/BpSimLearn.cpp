// Learning kernels of the backprop library: derivative factors, the output error, gradient
// accumulation with back-propagation of deltas, and the momentum update.
#include "bp/BpSim.h"
#include "bp/BpSimMath.h"

namespace {

// The smallest output the cross-entropy takes the logarithm of.
constexpr bp_wide kCrossEntropyClip = 1e-7;

// Multiply each delta by a factor computed from the layer's stored value: e[i] = f(a[i]) * e[i].
template <typename Factor>
inline void scale_deltas(const float *a, float *e, int n, Factor factor)
{
    for (int i = 0; i < n; i++)
        e[i] = static_cast<float>(factor(static_cast<bp_wide>(a[i])) * e[i]);
}

// Store the factor itself: g[i] = f(a[i]).
template <typename Factor>
inline void store_factors(float *g, const float *a, int n, Factor factor)
{
    for (int i = 0; i < n; i++)
        g[i] = static_cast<float>(factor(static_cast<bp_wide>(a[i])));
}

// Derivative factors in terms of the unit's output, with the caller's offset added last.
inline bp_wide sig1_factor(bp_wide a, bp_wide off) { return a * (1.0 - a) + off; }
inline bp_wide sig2_factor(bp_wide a, bp_wide off) { return (0.25 - a * a) + off; }
inline bp_wide sig3_factor(bp_wide a, bp_wide off) { return 0.5 * (1.0 - a * a) + off; }

}  // namespace

// The gradient kernels over the gradient's element type G: float is the library's kernels
// below, every product added to the stored gradient and rounded at every step; double gathers
// the same products in the same order without rounding, for a caller that adds the sum to a
// float gradient once (learning in batches).
namespace bp_learn {

template <typename G>
void accum_biases(G *g, const float *e, int n)
{
    for (int i = 0; i < n; i++)
        g[i] = static_cast<G>(static_cast<bp_wide>(g[i]) + e[i]);
}

template <typename G>
void accum_weights_from_input(const float *e, const float *x, G *g, int m, int n, int ov)
{
    for (int i = 0; i < m; i++, g += n, x += n - ov) {
        const bp_wide d = e[i];
        for (int k = 0; k < n; k++)
            g[k] = static_cast<G>(g[k] + x[k] * d);
    }
}

template <typename G>
void accum_weights_from_input_share(const float *e, const float *x, G *g, int m, int n, int ov)
{
    for (int i = 0; i < m; i++, x += n - ov) {
        const bp_wide d = e[i];
        for (int k = 0; k < n; k++)
            g[k] = static_cast<G>(g[k] + x[k] * d);
    }
}

template <typename G>
void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, G *g, int m, int n, int ov)
{
    for (int i = 0; i < m; i++, W += n, g += n, x += n - ov, h += n - ov) {
        const bp_wide d = e[i];
        for (int k = 0; k < n; k++) {
            h[k] = static_cast<float>(h[k] + d * W[k]);
            g[k] = static_cast<G>(g[k] + x[k] * d);
        }
    }
}

template <typename G>
void accum_weights_from_hidden_share(const float *e, const float *x, float *h, const float *W, G *g, int m, int n,
                                     int ov)
{
    for (int i = 0; i < m; i++, x += n - ov, h += n - ov) {
        const bp_wide d = e[i];
        for (int k = 0; k < n; k++) {
            h[k] = static_cast<float>(h[k] + d * W[k]);
            g[k] = static_cast<G>(g[k] + x[k] * d);
        }
    }
}

// Shared body of the two-dimensional accumulation kernels. shared selects the one KH x KW
// weight row; with a non-null h the deltas are also passed back into h through W.
template <typename G>
void accum2d(int U, int R, int KW, int KH, const float *W, G *g, const float *x, float *h, const float *e, int ov,
             int WS, int S, int B, bool shared)
{
    const bool hidden = h != nullptr;
    for (int r = 0; r < R; r++) {
        for (int j = 0; j < KH; j++) {
            const long xrow = static_cast<long>(r) * (KH * S - B) + static_cast<long>(j) * S;
            const long wrow = shared ? static_cast<long>(j) * KW : static_cast<long>(r * KH + j) * WS;
            for (int u = 0; u < U; u++) {
                const bp_wide d = e[r * U + u];
                const long xs = xrow + static_cast<long>(u) * (KW - ov);
                const long ws = shared ? wrow : wrow + static_cast<long>(u) * KW;
                for (int k = 0; k < KW; k++) {
                    const long q = xs + k;
                    const long w = ws + k;
                    if (hidden)
                        h[q] = static_cast<float>(h[q] + d * W[w]);
                    g[w] = static_cast<G>(g[w] + x[q] * d);
                }
            }
        }
    }
}

#define BP_LEARN_INSTANTIATE(G)                                                                                     \
    template void accum_biases<G>(G *, const float *, int);                                                         \
    template void accum_weights_from_input<G>(const float *, const float *, G *, int, int, int);                    \
    template void accum_weights_from_input_share<G>(const float *, const float *, G *, int, int, int);              \
    template void accum_weights_from_hidden<G>(const float *, const float *, float *, const float *, G *, int, int, \
                                               int);                                                                \
    template void accum_weights_from_hidden_share<G>(const float *, const float *, float *, const float *, G *, int, \
                                                     int, int);                                                     \
    template void accum2d<G>(int, int, int, int, const float *, G *, const float *, float *, const float *, int, int, \
                             int, int, bool);
BP_LEARN_INSTANTIATE(float)
BP_LEARN_INSTANTIATE(double)
#undef BP_LEARN_INSTANTIATE

}  // namespace bp_learn

extern "C" {

void BPderiv_sig1(const float *a, float *e, int n, float off)
{
    scale_deltas(a, e, n, [off](bp_wide v) { return sig1_factor(v, off); });
}

void BPderiv_sig2(const float *a, float *e, int n, float off)
{
    scale_deltas(a, e, n, [off](bp_wide v) { return sig2_factor(v, off); });
}

void BPderiv_sig3(const float *a, float *e, int n, float off)
{
    scale_deltas(a, e, n, [off](bp_wide v) { return sig3_factor(v, off); });
}

void BPset_deriv_sig1(float *g, const float *a, int n, float off)
{
    store_factors(g, a, n, [off](bp_wide v) { return sig1_factor(v, off); });
}

void BPset_deriv_sig2(float *g, const float *a, int n, float off)
{
    store_factors(g, a, n, [off](bp_wide v) { return sig2_factor(v, off); });
}

void BPset_deriv_sig3(float *g, const float *a, int n, float off)
{
    store_factors(g, a, n, [off](bp_wide v) { return sig3_factor(v, off); });
}

void BPderiv_quadratic(const float *z, float *e, int n)
{
    scale_deltas(z, e, n, [](bp_wide v) { return 2.0 * v; });
}

void BPderiv_relu(const float *a, float *e, int n, float)
{
    // The offset of the table kinds is not added: the factor is exactly 1 above 0 and 0 at 0,
    // below it and for a NaN activation. It takes the offset only to be called as they are.
    scale_deltas(a, e, n, [](bp_wide v) { return v > 0.0 ? 1.0 : 0.0; });
}

void BPderiv_user(const float *z, float *e, int n, float (*fprime)(float))
{
    // The user's function is called once per unit, in ascending order.
    for (int i = 0; i < n; i++)
        e[i] = static_cast<float>(static_cast<bp_wide>(fprime(z[i])) * e[i]);
}

float BPsum_squares(const float *v, int n)
{
    bp_wide sum = 0.0;
    for (int i = 0; i < n; i++)
        sum += static_cast<bp_wide>(v[i]) * v[i];
    return static_cast<float>(sum);
}

float BPoutput_error(const float *t, const float *o, float *e, float s, int n)
{
    // Differences, target minus output, stored as floats.
    for (int i = 0; i < n; i++)
        e[i] = static_cast<float>(static_cast<bp_wide>(t[i]) - o[i]);
    // Squares of the stored differences, before any scaling.
    bp_wide sum = 0.0;
    for (int i = 0; i < n; i++)
        sum += static_cast<bp_wide>(e[i]) * e[i];
    // Deltas: the differences times the caller's scale.
    for (int i = 0; i < n; i++)
        e[i] = static_cast<float>(static_cast<bp_wide>(e[i]) * s);
    return static_cast<float>(0.5 * sum);
}

float BPcross_entropy(const float *t, const float *o, int n)
{
    // Terms in ascending order in double; a unit whose target is 0 adds nothing (whatever its
    // output, NaN included), and an output below 1e-7 counts as 1e-7, so that an output
    // rounded to 0 gives a large error, not an infinite one. A NaN output gives a NaN error.
    bp_wide sum = 0.0;
    for (int i = 0; i < n; i++) {
        if (t[i] == 0.0f)
            continue;
        const bp_wide o_i = static_cast<bp_wide>(o[i]) < kCrossEntropyClip ? kCrossEntropyClip : o[i];
        sum -= static_cast<bp_wide>(t[i]) * bp_log(o_i);
    }
    return static_cast<float>(sum);
}

void BPaccum_biases(float *g, const float *e, int n)
{
    bp_learn::accum_biases<float>(g, e, n);
}

void BPaccum_weights_from_input(const float *e, const float *x, float *g, int m, int n, int ov)
{
    bp_learn::accum_weights_from_input<float>(e, x, g, m, n, ov);
}

void BPaccum_weights_from_input_share(const float *e, const float *x, float *g, int m, int n, int ov)
{
    bp_learn::accum_weights_from_input_share<float>(e, x, g, m, n, ov);
}

void BPaccum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g, int m, int n,
                                 int ov)
{
    bp_learn::accum_weights_from_hidden<float>(e, x, h, W, g, m, n, ov);
}

void BPaccum_weights_from_hidden_share(const float *e, const float *x, float *h, const float *W, float *g, int m,
                                       int n, int ov)
{
    bp_learn::accum_weights_from_hidden_share<float>(e, x, h, W, g, m, n, ov);
}

void BPaccum2d_weights_from_input(int U, int R, int KW, int KH, float *g, const float *x, const float *e, int ov,
                                  int WS, int S, int B)
{
    bp_learn::accum2d<float>(U, R, KW, KH, nullptr, g, x, nullptr, e, ov, WS, S, B, false);
}

void BPaccum2d_weights_from_input_share(int U, int R, int KW, int KH, float *g, const float *x, const float *e,
                                        int ov, int S, int B)
{
    bp_learn::accum2d<float>(U, R, KW, KH, nullptr, g, x, nullptr, e, ov, 0, S, B, true);
}

void BPaccum2d_weights_from_hidden(int U, int R, int KW, int KH, const float *W, float *g, const float *x, float *h,
                                   const float *e, int ov, int WS, int S, int B)
{
    bp_learn::accum2d<float>(U, R, KW, KH, W, g, x, h, e, ov, WS, S, B, false);
}

void BPaccum2d_weights_from_hidden_share(int U, int R, int KW, int KH, const float *W, float *g, const float *x,
                                         float *h, const float *e, int ov, int S, int B)
{
    bp_learn::accum2d<float>(U, R, KW, KH, W, g, x, h, e, ov, 0, S, B, true);
}

void BPupdate_weights(float mom, const float *g, float *W, float *p, int n)
{
    for (int i = 0; i < n; i++) {
        // The unrounded step is added to the value; the stored step is rounded once.
        const bp_wide s = static_cast<bp_wide>(mom) * p[i] + g[i];
        W[i] = static_cast<float>(W[i] + s);
        p[i] = static_cast<float>(s);
    }
}

}  // extern "C"
