// Forward kernels of the backprop library: dot products over one- and two-dimensional
// connections, the logistic lookup table and the activation kernels.
#include "bp/BpSim.h"

#include <cmath>
#include <cstring>
#include <mutex>

#include "bp/BpSimInline.h"
#include "bp/BpSimMath.h"

// The table is shared with the inline kernel copies of bp/BpSimInline.h.
namespace bp_sigmoid {
// logistic(y) - 0.5 sampled at y = (i - 511.5)/64, i = 0..1023.
float sigmoid_array[1024];
// Origin of every lookup: entry 511, so that offset k holds the sample at y = (k - 0.5)/64.
const float *sigmoid_ptr = sigmoid_array + 511;
}  // namespace bp_sigmoid
using bp_sigmoid::sigmoid_array;
using bp_sigmoid::sigmoid_ptr;

namespace {

// Fill the table, writing only the entries that differ: once the table is built, filling it
// again writes nothing, so it never writes under a network reading it in another thread.
void fill_sigmoid_table()
{
    for (int i = 0; i < 1024; i++) {
        const bp_wide t = (1023 - 2 * i) * 0.0078125;
        const bp_wide e = std::exp(t);
        const float v = static_cast<float>(1.0 / (e + 1.0) - 0.5);
        if (std::memcmp(&sigmoid_array[i], &v, sizeof v) != 0)
            sigmoid_array[i] = v;
    }
    if (sigmoid_ptr != sigmoid_array + 511)
        sigmoid_ptr = sigmoid_array + 511;
}

// The first fill, once for the process.
void init_table_once()
{
    static std::once_flag built;
    std::call_once(built, fill_sigmoid_table);
}

// Table offset of a net input v with |v| < 8: 64v + 0.5 truncated toward zero, in -511..512.
inline int table_offset(float v)
{
    return static_cast<int>(static_cast<bp_wide>(v) * 64.0 + 0.5);
}

// Pass 1 of every activation kernel: a[i] = a[i] + t[i], rounded to float.
inline void add_thresholds(float *a, const float *t, int n)
{
    for (int i = 0; i < n; i++)
        a[i] = static_cast<float>(static_cast<bp_wide>(a[i]) + t[i]);
}

// Pass 2 of the table kernels: a[i] = bias + scale*table[k], saturating at |v| >= 8.
// A NaN net input fails both tests and stays NaN, without touching the table.
inline void table_activation(float *a, int n, bp_wide bias, bp_wide scale, float high, float low)
{
    for (int i = 0; i < n; i++) {
        const float v = a[i];
        if (std::fabs(v) >= 8.0f)
            a[i] = v > 0.0f ? high : low;
        else if (v == v)
            a[i] = static_cast<float>(bias + scale * sigmoid_ptr[table_offset(v)]);
    }
}

}  // namespace

extern "C" {

float BPvdot(const float *a, const float *b, int n)
{
    bp_wide sum = 0.0;
    for (int k = 0; k < n; k++)
        sum += static_cast<bp_wide>(a[k]) * b[k];
    return static_cast<float>(sum);
}

void BPlvdot(const float *W, const float *x, int ov, float *d, int n, int m)
{
    for (int i = 0; i < m; i++, W += n, x += n - ov) {
        bp_wide sum = 0.0;
        for (int k = 0; k < n; k++)
            sum += static_cast<bp_wide>(W[k]) * x[k];
        d[i] = static_cast<float>(sum);
    }
}

void BPlvdot_share(const float *W, const float *x, int ov, float *d, int n, int m)
{
    for (int i = 0; i < m; i++, x += n - ov) {
        bp_wide sum = 0.0;
        for (int k = 0; k < n; k++)
            sum += static_cast<bp_wide>(W[k]) * x[k];
        d[i] = static_cast<float>(sum);
    }
}

void BPlvdot_sum(const float *W, const float *x, int ov, float *d, int n, int m)
{
    for (int i = 0; i < m; i++, W += n, x += n - ov) {
        bp_wide sum = 0.0;
        for (int k = 0; k < n; k++)
            sum += static_cast<bp_wide>(W[k]) * x[k];
        d[i] = static_cast<float>(d[i] + sum);
    }
}

void BPlvdot_share_sum(const float *W, const float *x, int ov, float *d, int n, int m)
{
    for (int i = 0; i < m; i++, x += n - ov) {
        bp_wide sum = 0.0;
        for (int k = 0; k < n; k++)
            sum += static_cast<bp_wide>(W[k]) * x[k];
        d[i] = static_cast<float>(d[i] + sum);
    }
}

void BPlvdot2d(int U, int R, int KW, int KH, const float *W, const float *x, float *d, int ov, int WS, int S, int B)
{
    for (int r = 0; r < R; r++) {
        for (int j = 0; j < KH; j++) {
            const float *wrow = W + static_cast<long>(r * KH + j) * WS;
            const float *xrow = x + static_cast<long>(r) * (KH * S - B) + static_cast<long>(j) * S;
            for (int u = 0; u < U; u++) {
                const float *w = wrow + static_cast<long>(u) * KW;
                const float *s = xrow + static_cast<long>(u) * (KW - ov);
                bp_wide p = 0.0;
                for (int k = 0; k < KW; k++)
                    p += static_cast<bp_wide>(w[k]) * s[k];
                d[r * U + u] = static_cast<float>(d[r * U + u] + p);
            }
        }
    }
}

void BPlvdot2d_share(int U, int R, int KW, int KH, const float *W, const float *x, float *d, int ov, int S, int B)
{
    for (int r = 0; r < R; r++) {
        for (int j = 0; j < KH; j++) {
            const float *w = W + static_cast<long>(j) * KW;
            const float *xrow = x + static_cast<long>(r) * (KH * S - B) + static_cast<long>(j) * S;
            for (int u = 0; u < U; u++) {
                const float *s = xrow + static_cast<long>(u) * (KW - ov);
                bp_wide p = 0.0;
                for (int k = 0; k < KW; k++)
                    p += static_cast<bp_wide>(w[k]) * s[k];
                d[r * U + u] = static_cast<float>(d[r * U + u] + p);
            }
        }
    }
}

void BPinit_sigmoid_table(void)
{
    // The first build goes through the once flag, so that modules and networks initializing in
    // several threads never write the table together; every later call fills it again, which
    // writes only what was changed since (nothing, unless a caller overwrote entries).
    init_table_once();
    fill_sigmoid_table();
}

void BPsig1(float *a, const float *t, int n)
{
    add_thresholds(a, t, n);
    table_activation(a, n, 0.5, 1.0, 0.999999f, 0.000001f);
}

void BPsig2(float *a, const float *t, int n)
{
    add_thresholds(a, t, n);
    table_activation(a, n, 0.0, 1.0, 0.499999f, -0.499999f);
}

void BPsig3(float *a, const float *t, int n)
{
    add_thresholds(a, t, n);
    table_activation(a, n, 0.0, 2.0, 0.999998f, -0.999998f);
}

void BPlinear(float *a, const float *t, int n)
{
    add_thresholds(a, t, n);
}

void BPquadratic(float *a, float *z, const float *t, int n)
{
    add_thresholds(a, t, n);
    for (int i = 0; i < n; i++) {
        const float v = a[i];
        z[i] = v;
        a[i] = static_cast<float>(static_cast<bp_wide>(v) * v);
    }
}

void BPrelu(float *a, const float *t, int n)
{
    add_thresholds(a, t, n);
    // Zero at and below 0, so that -0 becomes +0; a NaN net input fails the test and stays
    // NaN, as it does for every other kind.
    // A select rather than a branch: the signs of net inputs are as good as random, and the
    // select compiles to compares and blends over whole vectors.
    for (int i = 0; i < n; i++)
        a[i] = a[i] <= 0.0f ? 0.0f : a[i];
}

void BPsoftmax(float *a, const float *t, int n)
{
    add_thresholds(a, t, n);
    if (n <= 0)
        return;
    // The largest net input, so that no exponential overflows; a NaN at the first unit makes it
    // NaN, one further on is passed over here and makes the sum NaN below.
    float m = a[0];
    for (int i = 1; i < n; i++)
        if (a[i] > m)
            m = a[i];
    // The exponentials of the differences and their sum in double, in ascending order; the
    // activations are the quotients, rounded once. A NaN or infinite net input makes every
    // activation of the layer NaN (inf - inf), except -inf among finite ones, which gives 0.
    // The exponentials of the first 64 units are kept for the quotients, on the stack; a larger
    // layer forms those of the others again (the same bits).
    constexpr int kChunk = 64;
    bp_wide e[kChunk];
    bp_wide s = 0.0;
    for (int i = 0; i < n; i++) {
        const bp_wide x = bp_exp(static_cast<bp_wide>(a[i]) - m);
        if (i < kChunk)
            e[i] = x;
        s += x;
    }
    for (int i = 0; i < n; i++)
        a[i] = static_cast<float>((i < kChunk ? e[i] : bp_exp(static_cast<bp_wide>(a[i]) - m)) / s);
}

void BPuser(float *a, float *z, const float *t, int n, float (*f)(float))
{
    add_thresholds(a, t, n);
    for (int i = 0; i < n; i++) {
        const float v = a[i];
        z[i] = v;
        a[i] = f(v);
    }
}

}  // extern "C"
