// Temporal gradient accumulation of the backprop library. Each kernel walks the loops of
// its plain accumulation twin, but first moves a running trace on by the unit's factor
// times the source value (or weight), then adds the delta times that trace. Traces,
// gradients and source deltas are caller-owned and only ever added to. A trace is used
// wide as just computed; the float rounding applies to its stored copy.
#include "bp/BpSim.h"

namespace {

// Input trace and gradient of one element: t += f*x; g += e*t (the new t, unrounded).
inline void trace_gradient(bp_wide e, bp_wide f, float x, float &g, float &t)
{
    const bp_wide tw = t + f * x;
    t = static_cast<float>(tw);
    g = static_cast<float>(g + e * tw);
}

// Weight trace and source delta of one element: z += f*W; h += e*z (the new z, unrounded).
inline void trace_delta(bp_wide e, bp_wide f, float W, float &h, float &z)
{
    const bp_wide zw = z + f * W;
    z = static_cast<float>(zw);
    h = static_cast<float>(h + e * zw);
}

// Offset of field row j of destination row r in the source of a two-dimensional connection.
inline long source_row(int r, int j, int KH, int S, int B)
{
    return static_cast<long>(r) * (KH * S - B) + static_cast<long>(j) * S;
}

}  // namespace

extern "C" {

void BPTaccum_biases(float *g, const float *e, const float *f, float *t, int n)
{
    // The input step with a source value of 1.
    for (int i = 0; i < n; i++) {
        const bp_wide tw = static_cast<bp_wide>(t[i]) + f[i];
        t[i] = static_cast<float>(tw);
        g[i] = static_cast<float>(g[i] + e[i] * tw);
    }
}

void BPTaccum_feedback_weights(float *g, const float *a, const float *b, int n)
{
    for (int i = 0; i < n; i++)
        g[i] = static_cast<float>(g[i] + static_cast<bp_wide>(a[i]) * b[i]);
}

void BPTaccum_weights_from_input(const float *e, const float *f, const float *x, float *g, float *t,
                                 int m, int n, int ov)
{
    for (int i = 0; i < m; i++, x += n - ov, g += n, t += n)
        for (int k = 0; k < n; k++)
            trace_gradient(e[i], f[i], x[k], g[k], t[k]);
}

void BPTaccum_weights_from_input_share(const float *e, const float *f, const float *x, float *g, float *t,
                                       int m, int n, int ov)
{
    for (int i = 0; i < m; i++, x += n - ov)
        for (int k = 0; k < n; k++)
            trace_gradient(e[i], f[i], x[k], g[k], t[k]);
}

void BPTaccum_weights_from_hidden(const float *e, const float *f, const float *x, float *h, const float *W,
                                  float *g, float *t, float *z, int m, int n, int ov)
{
    for (int i = 0; i < m; i++, x += n - ov, h += n - ov, W += n, g += n, t += n, z += n) {
        for (int k = 0; k < n; k++) {
            // Backward path first, then the gradient path.
            trace_delta(e[i], f[i], W[k], h[k], z[k]);
            trace_gradient(e[i], f[i], x[k], g[k], t[k]);
        }
    }
}

void BPTaccum_weights_from_hidden_share(const float *e, const float *f, const float *x, float *h, const float *W,
                                        float *g, float *t, float *z, int m, int n, int ov)
{
    for (int i = 0; i < m; i++, x += n - ov, h += n - ov) {
        for (int k = 0; k < n; k++) {
            trace_delta(e[i], f[i], W[k], h[k], z[k]);
            trace_gradient(e[i], f[i], x[k], g[k], t[k]);
        }
    }
}

void BPTaccum2d_weights_from_input(int U, int R, int KW, int KH, float *g, float *t, const float *x,
                                   const float *e, const float *f, int ov, int WS, int S, int B)
{
    for (int r = 0; r < R; r++) {
        for (int j = 0; j < KH; j++) {
            const long wrow = static_cast<long>(r * KH + j) * WS;
            const float *xrow = x + source_row(r, j, KH, S, B);
            for (int u = 0; u < U; u++) {
                const int unit = r * U + u;
                const long w = wrow + static_cast<long>(u) * KW;
                const float *src = xrow + static_cast<long>(u) * (KW - ov);
                for (int k = 0; k < KW; k++)
                    trace_gradient(e[unit], f[unit], src[k], g[w + k], t[w + k]);
            }
        }
    }
}

void BPTaccum2d_weights_from_input_share(int U, int R, int KW, int KH, float *g, float *t, const float *x,
                                         const float *e, const float *f, int ov, int S, int B)
{
    for (int r = 0; r < R; r++) {
        for (int j = 0; j < KH; j++) {
            const long w = static_cast<long>(j) * KW;
            const float *xrow = x + source_row(r, j, KH, S, B);
            for (int u = 0; u < U; u++) {
                const int unit = r * U + u;
                const float *src = xrow + static_cast<long>(u) * (KW - ov);
                for (int k = 0; k < KW; k++)
                    trace_gradient(e[unit], f[unit], src[k], g[w + k], t[w + k]);
            }
        }
    }
}

void BPTaccum2d_weights_from_hidden(int U, int R, int KW, int KH, const float *W, float *g, float *t, float *z,
                                    const float *x, float *h, const float *e, const float *f,
                                    int ov, int WS, int S, int B)
{
    for (int r = 0; r < R; r++) {
        for (int j = 0; j < KH; j++) {
            const long wrow = static_cast<long>(r * KH + j) * WS;
            const long qrow = source_row(r, j, KH, S, B);
            for (int u = 0; u < U; u++) {
                const int unit = r * U + u;
                const long w = wrow + static_cast<long>(u) * KW;
                const long q = qrow + static_cast<long>(u) * (KW - ov);
                for (int k = 0; k < KW; k++) {
                    trace_delta(e[unit], f[unit], W[w + k], h[q + k], z[w + k]);
                    trace_gradient(e[unit], f[unit], x[q + k], g[w + k], t[w + k]);
                }
            }
        }
    }
}

void BPTaccum2d_weights_from_hidden_share(int U, int R, int KW, int KH, const float *W, float *g, float *t,
                                          float *z, const float *x, float *h, const float *e, const float *f,
                                          int ov, int S, int B)
{
    for (int r = 0; r < R; r++) {
        for (int j = 0; j < KH; j++) {
            const long w = static_cast<long>(j) * KW;
            const long qrow = source_row(r, j, KH, S, B);
            for (int u = 0; u < U; u++) {
                const int unit = r * U + u;
                const long q = qrow + static_cast<long>(u) * (KW - ov);
                for (int k = 0; k < KW; k++) {
                    trace_delta(e[unit], f[unit], W[w + k], h[q + k], z[w + k]);
                    trace_gradient(e[unit], f[unit], x[q + k], g[w + k], t[w + k]);
                }
            }
        }
    }
}

void BPTfilter_trace(const float *x, const float *a1, const float *a2, float *p1, float *p2, int m, int n, int ov)
{
    // The sum x + a1*p1 (+ a2*p2) in that order, wide, rounded once when stored; the shift of
    // the history reads the old value before it is replaced.
    for (int i = 0; i < m; i++, x += n - ov) {
        const bp_wide c1 = a1[i];
        const bp_wide c2 = a2 != nullptr ? a2[i] : 0.0;
        float *q1 = p1 + static_cast<long>(i) * n;
        float *q2 = p2 != nullptr ? p2 + static_cast<long>(i) * n : nullptr;
        for (int k = 0; k < n; k++) {
            bp_wide v = static_cast<bp_wide>(x[k]) + c1 * q1[k];
            if (a2 != nullptr)
                v = v + c2 * q2[k];
            if (q2 != nullptr)
                q2[k] = q1[k];
            q1[k] = static_cast<float>(v);
        }
    }
}

void BPTaccum_weights_traced(const float *e, const float *P, float *h, const float *W, float *g, int m, int n, int ov)
{
    // The backward step of the plain twin (through the current weights), then the gradient
    // from the trace instead of the source value.
    for (int i = 0; i < m; i++) {
        const bp_wide ei = e[i];
        const long row = static_cast<long>(i) * n;
        float *hi = h != nullptr ? h + static_cast<long>(i) * (n - ov) : nullptr;
        for (int k = 0; k < n; k++) {
            if (hi != nullptr)
                hi[k] = static_cast<float>(hi[k] + ei * W[row + k]);
            g[row + k] = static_cast<float>(g[row + k] + ei * P[row + k]);
        }
    }
}

}  // extern "C"
