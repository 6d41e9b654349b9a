/* The helpers of the embedded form's forward pass (bpnet-gen --embed): freestanding C99, no
 * allocation, no library call, only static functions.
 *
 * bpnet-gen copies from this file into each NAME_embed.c the sections that network uses, in
 * this file's order, without their marker lines; nothing outside a section (this head, the
 * lines that choose the form) is copied. A marker is a line holding one comment whose text
 * begins "@ section NAME:", followed by when a network uses the section; the section runs to
 * the next marker ("@ section" or "@ end"). The build makes this file's text a string of the
 * generator (gen/CMakeLists.txt), so bpnet-gen needs no source tree when it runs; which
 * network uses which section is decided in gen/embed.cpp (helpers_used).
 *
 * Two forms. EMBED_HELPERS_EXACT 1 (the default): every sum and product in double, rounded to
 * float exactly where the library's kernels round, so a network gives its module's bits.
 * EMBED_HELPERS_EXACT 0: sums in float, in the same order. The forms differ only in the sum
 * type `embed_sum` and in how the table offset is found. Whoever includes this file with a
 * table section defines the logistic table `sigmoid[1024]` first (a generated file bakes it
 * in). tests/embed/embed_helpers_test.c compiles this file on its own in both forms. */

/* A product and a sum are two roundings, never one fused multiply-add. */
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#ifndef EMBED_HELPERS_EXACT
#define EMBED_HELPERS_EXACT 1
#endif

#if EMBED_HELPERS_EXACT
/*@ section sum_exact: every network, exact form */
/* Sums and products in double, each rounded to float where the network module rounds. */
typedef double embed_sum;
/*@ end */
#else
/*@ section sum_float: every network, float form */
/* Sums and products in float. */
typedef float embed_sum;
/*@ end */
#endif

/*@ section filter_units: a layer with feedback */
/* Feedback: each unit's net input a becomes s = a + a1*s(t-1) + a2*s(t-2) (a2 of units
 * n..2n-1 of c, second order only), in that order with one rounding; the delays d (s(t-1),
 * then s(t-2)) shift, and the unit function sees s. */
static void filter_units(float *a, const float *c, int order, float *d, int n)
{
    int i;
    for (i = 0; i < n; i++) {
        embed_sum s = (embed_sum)a[i] + (embed_sum)c[i] * d[i];
        if (order == 2) {
            s = s + (embed_sum)c[n + i] * d[n + i];
            d[n + i] = d[i];
        }
        d[i] = (float)s;
        a[i] = d[i];
    }
}

/*@ section dot_rows: a full connection or a one-dimensional field */
/* Rows of dot products: unit i sums W[i*wstep + k] * x[i*xstep + k] over k = 0..n-1, from
 * zero in ascending k, and sets d[i] to the sum (add = 0) or adds the sum to it. Four units
 * go side by side: their sums are independent, each in its own order. */
static void dot_rows(const float *W, const float *x, float *d, int n, int m, int wstep, int xstep,
                     int add)
{
    int i = 0, k;
    for (; i + 4 <= m; i += 4, W += 4 * wstep, x += 4 * xstep) {
        const float *W1 = W + wstep, *W2 = W1 + wstep, *W3 = W2 + wstep;
        const float *x1 = x + xstep, *x2 = x1 + xstep, *x3 = x2 + xstep;
        embed_sum s0 = (embed_sum)0, s1 = (embed_sum)0, s2 = (embed_sum)0, s3 = (embed_sum)0;
        for (k = 0; k < n; k++) {
            s0 += (embed_sum)W[k] * x[k];
            s1 += (embed_sum)W1[k] * x1[k];
            s2 += (embed_sum)W2[k] * x2[k];
            s3 += (embed_sum)W3[k] * x3[k];
        }
        d[i + 0] = add ? (float)(d[i + 0] + s0) : (float)s0;
        d[i + 1] = add ? (float)(d[i + 1] + s1) : (float)s1;
        d[i + 2] = add ? (float)(d[i + 2] + s2) : (float)s2;
        d[i + 3] = add ? (float)(d[i + 3] + s3) : (float)s3;
    }
    for (; i < m; i++, W += wstep, x += xstep) {
        embed_sum sum = (embed_sum)0;
        for (k = 0; k < n; k++)
            sum += (embed_sum)W[k] * x[k];
        d[i] = add ? (float)(d[i] + sum) : (float)sum;
    }
}

/*@ section dot_fields: a two-dimensional field */
/* Two-dimensional fields: U x R units, each reading a KW x KH field of the source grid
 * (rows S apart; neighbouring fields share ov columns, and B/S rows). Every kernel row j
 * is summed on its own and added to the unit's net input, rounded each time; the first
 * connection of a layer (add = 0) starts from zero. The weights of unit (u, r), row j, are
 * at W + r*rstep + j*jstep + u*ustep. */
static void dot_fields(const float *W, const float *x, float *d, int U, int R, int KW, int KH, int ov,
                       long rstep, long jstep, long ustep, long S, long B, int add)
{
    int r, j, u, k;
    for (r = 0; r < R; r++)
        for (j = 0; j < KH; j++) {
            const float *wrow = W + r * rstep + j * jstep;
            const float *xrow = x + r * (KH * S - B) + j * S;
            for (u = 0; u < U; u++) {
                const float *wk = wrow + u * ustep;
                const float *xk = xrow + (long)u * (KW - ov);
                float *t = d + (long)r * U + u;
                embed_sum p = (embed_sum)0;
                for (k = 0; k < KW; k++)
                    p += (embed_sum)wk[k] * xk[k];
                *t = (float)((add || j > 0 ? (embed_sum)*t : (embed_sum)0) + p);
            }
        }
}
/*@ end */

#if EMBED_HELPERS_EXACT
/*@ section table_offset_exact: a unit kind of the logistic table, exact form */
/* Table offset of a net input |v| < 8: 64v + 0.5 truncated toward zero, as the library finds
 * it. */
static int table_offset(float v)
{
    return (int)((double)v * 64.0 + 0.5);
}
/*@ end */
#else
/*@ section table_offset_float: a unit kind of the logistic table, float form */
/* Table offset of a net input |v| < 8: 64v + 0.5 truncated toward zero, found exactly
 * in float (64v and its fraction are exact). */
static int table_offset(float v)
{
    const float y = v * 64.0f;
    const int t = (int)y;
    const float f = y - (float)t;
    if (y >= 0.0f)
        return t + (f >= 0.5f);
    return t == 0 ? 0 : t + (f > -0.5f);
}
/*@ end */
#endif

/*@ section table_units: a unit kind of the logistic table (its embedded helper in gen/units.h) */
/* Table units: the thresholds added, then bias + scale * table entry, saturating at
 * |v| >= 8 (high, low); a net input that is not a number stays so. */
static void table_units(float *a, const float *t, int n, embed_sum bias, embed_sum scale, float high, float low)
{
    int i;
    for (i = 0; i < n; i++) {
        const float v = (float)((embed_sum)a[i] + t[i]);
        if (v >= 8.0f || v <= -8.0f)
            a[i] = v > 0.0f ? high : low;
        else if (v == v)
            a[i] = (float)(bias + scale * sigmoid[table_offset(v) + 511]);
        else
            a[i] = v;
    }
}

/*@ section linear_units: a layer of a unit kind whose embedded helper this is (gen/units.h) */
/* Linear units: the thresholds added. */
static void linear_units(float *a, const float *t, int n)
{
    int i;
    for (i = 0; i < n; i++) {
        const float v = (float)((embed_sum)a[i] + t[i]);
        a[i] = v;
    }
}

/*@ section quadratic_units: a layer of a unit kind whose embedded helper this is (gen/units.h) */
/* Quadratic units: the thresholds added, then the square. */
static void quadratic_units(float *a, const float *t, int n)
{
    int i;
    for (i = 0; i < n; i++) {
        const float v = (float)((embed_sum)a[i] + t[i]);
        a[i] = (float)((embed_sum)v * v);
    }
}

/*@ section relu_units: a layer of a unit kind whose embedded helper this is (gen/units.h) */
/* Rectified linear units: the thresholds added, then +0 at and below 0 (-0 too); a net input
 * that is not a number stays so. */
static void relu_units(float *a, const float *t, int n)
{
    int i;
    for (i = 0; i < n; i++) {
        const float v = (float)((embed_sum)a[i] + t[i]);
        a[i] = v <= 0.0f ? 0.0f : v;
    }
}
/*@ section softmax_units: a layer of a unit kind whose embedded helper this is (gen/units.h) */
/* The exponential of the library (bp_exp), the same algorithm with the same constants step by
 * step, so that it gives its bits: x = k ln2 + r, e^r by the series to 1/13!, scaled by 2^k
 * from its exponent bits. +inf above 709.79, 0 below -745.2, a NaN stays so. */
typedef union embed_bits {
    double d;
    unsigned long long u;
} embed_bits;

static double embed_power_of_two(int e)
{
    embed_bits b;
    b.u = (unsigned long long)(e + 1023) << 52;
    return b.d;
}

static double embed_exp(double x)
{
    static const double inv_factorial[12] = {
        0x1.0000000000000p-1,  0x1.5555555555555p-3,  0x1.5555555555555p-5,  0x1.1111111111111p-7,
        0x1.6c16c16c16c17p-10, 0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-16, 0x1.71de3a556c734p-19,
        0x1.27e4fb7789f5cp-22, 0x1.ae64567f544e4p-26, 0x1.1eed8eff8d898p-29, 0x1.6124613a86d09p-33,
    };
    const double ln2_hi = 0x1.62e42fefa38p-1, ln2_lo = 0x1.ef35793c76730p-45, inv_ln2 = 0x1.71547652b82fep+0;
    double kd, hi, lo, r, back, r_err, q, p, one_r, one_r_lost, er;
    embed_bits inf;
    int k, i;
    if (x != x)
        return x + x;
    if (x > 709.79) {
        inf.u = 0x7ff0000000000000ull;
        return inf.d;
    }
    if (x < -745.2)
        return 0.0;
    kd = x * inv_ln2;
    k = (int)(kd < 0.0 ? kd - 0.5 : kd + 0.5);
    hi = x - k * ln2_hi;
    lo = k * ln2_lo;
    r = hi - lo;
    back = r - hi;
    r_err = (hi - (r - back)) + (-lo - back);
    q = inv_factorial[11];
    for (i = 10; i >= 0; i--)
        q = inv_factorial[i] + r * q;
    p = r * r * q;
    one_r = 1.0 + r;
    one_r_lost = (1.0 - one_r) + r;
    er = one_r + (one_r_lost + (p + r_err * (1.0 + r)));
    if (k > 1023)
        return er * embed_power_of_two(k - 1) * 2.0;
    if (k < -1022)
        return er * embed_power_of_two(k + 54) * 0x1p-54;
    return er * embed_power_of_two(k);
}

/* Softmax units: the thresholds added as every kind adds them, then the exponentials of the
 * net inputs less their largest and their sum in double, in ascending order, in both forms (so
 * the layer gives the library's bits from the net inputs it gets); a NaN or +inf net input
 * makes the layer NaN. */
static void softmax_units(float *a, const float *t, int n)
{
    double m, s = 0.0;
    int i;
    for (i = 0; i < n; i++)
        a[i] = (float)((embed_sum)a[i] + t[i]);
    if (n <= 0)
        return;
    m = a[0];
    for (i = 1; i < n; i++)
        if (a[i] > m)
            m = a[i];
    for (i = 0; i < n; i++)
        s += embed_exp((double)a[i] - m);
    for (i = 0; i < n; i++)
        a[i] = (float)(embed_exp((double)a[i] - m) / s);
}
/*@ end */
