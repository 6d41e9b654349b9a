/* The embedded form's helpers (gen/embed/embed_helpers.c) compiled on their own as strict C99,
 * every section of the form EMBED_HELPERS_EXACT selects, and held against the library's kernels
 * on random vectors: the unit functions give the kernels' bits in both forms; the dot products
 * and the 2-D fields give them in the exact form, and in the float form stay within float
 * rounding of them; the feedback filter rounds once and shifts its delays. Exit status 0 when
 * everything holds. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "bp/BpSim.h"
#include "bp/BpSimMath.h"

/* The logistic table as the library holds it, read back entry by entry (filled in main). */
static float sigmoid[1024];

#include "gen/embed/embed_helpers.c"

static int failures;

/* A float from a fixed linear congruential sequence, uniform in (-r, r). */
static float draw(float r)
{
    static unsigned long s = 2024;
    s = (s * 1103515245ul + 12345ul) & 0x7ffffffful;
    return (float)((double)s / 1073741824.0 - 1.0) * r;
}

/* Whether a and b have the same bits, or are both not a number. */
static int same(float a, float b)
{
    return memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b);
}

/* n values of a helper against the library's, bit for bit or (tolerance > 0) within it. */
static void check(const char *what, const float *got, const float *want, int n, double tolerance)
{
    int i;
    for (i = 0; i < n; i++) {
        const double d = (double)got[i] - want[i];
        if (tolerance > 0.0 ? !(d <= tolerance && -d <= tolerance) : !same(got[i], want[i])) {
            printf("%s, element %d: %.9g, the library gives %.9g\n", what, i, (double)got[i], (double)want[i]);
            failures++;
            return;
        }
    }
}

/* The table entry 511 + k of the library, read through the centred kind (bias 0, scale 1) at
 * a net input whose offset is k: 64v + 0.5 lands a quarter inside the entry. */
static void read_table(void)
{
    const float zero = 0.0f;
    int k;
    for (k = -511; k <= 512; k++) {
        float v = (float)((k >= 0 ? k - 0.25 : k - 0.75) / 64.0);
        BPsig2(&v, &zero, 1);
        sigmoid[k + 511] = v;
    }
}

#define N 2000

/* The unit functions on net inputs across and beyond the table, and a NaN; the table kinds
 * saturate to what the library's kernel gives at +-9. */
static void check_units(void)
{
    static float a[N], t[N], got[N], want[N], z[N];
    const float zero = 0.0f;
    const uint32_t nan_word = 0x7fc00000u;
    float high1 = 9.0f, low1 = -9.0f, high3 = 9.0f, low3 = -9.0f;
    int i;
    for (i = 0; i < N; i++) {
        a[i] = draw(10.0f);
        t[i] = draw(0.5f);
    }
    memcpy(&a[0], &nan_word, sizeof a[0]);
    /* The boundaries between table entries, where the offset rounds half up. */
    for (i = 1; i <= 1041; i++) {
        a[i] = (float)((i - 521 - 0.5) / 64.0);
        t[i] = 0.0f;
    }
    BPsig1(&high1, &zero, 1);
    BPsig1(&low1, &zero, 1);
    BPsig3(&high3, &zero, 1);
    BPsig3(&low3, &zero, 1);

    memcpy(got, a, sizeof a);
    memcpy(want, a, sizeof a);
    table_units(got, t, N, (embed_sum)0.5, (embed_sum)1.0, high1, low1);
    BPsig1(want, t, N);
    check("table_units as logistic", got, want, N, 0.0);
    memcpy(got, a, sizeof a);
    memcpy(want, a, sizeof a);
    table_units(got, t, N, (embed_sum)0.0, (embed_sum)2.0, high3, low3);
    BPsig3(want, t, N);
    check("table_units as tanh", got, want, N, 0.0);
    memcpy(got, a, sizeof a);
    memcpy(want, a, sizeof a);
    linear_units(got, t, N);
    BPlinear(want, t, N);
    check("linear_units", got, want, N, 0.0);
    memcpy(got, a, sizeof a);
    memcpy(want, a, sizeof a);
    quadratic_units(got, t, N);
    BPquadratic(want, z, t, N);
    check("quadratic_units", got, want, N, 0.0);
    memcpy(got, a, sizeof a);
    memcpy(want, a, sizeof a);
    relu_units(got, t, N);
    BPrelu(want, t, N);
    check("relu_units", got, want, N, 0.0);
    /* Softmax over layers of 1 to 40 units along the vector (the NaN in the first). */
    for (i = 0; i < N;) {
        const int n = 1 + i % 40 < N - i ? 1 + i % 40 : N - i;
        memcpy(got + i, a + i, sizeof(float) * (size_t)n);
        memcpy(want + i, a + i, sizeof(float) * (size_t)n);
        softmax_units(got + i, t + i, n);
        BPsoftmax(want + i, t + i, n);
        i += n;
    }
    check("softmax_units", got, want, N, 0.0);
}

/* The softmax helper's exponential against the library's, bit for bit: a million arguments
 * over its whole range and near 0, every power of two up to the ends, and the specials. */
static void check_exp(void)
{
    static const double special[] = {0.0, -0.0, 709.79, 709.7827128933840, -745.2, -745.1332191019411, 1e300,
                                     -1e300, 4.9e-324};
    unsigned long long s = 77;
    embed_bits b;
    long i;
    int bad = 0;
    for (i = 0; i < 1000000 + 2 * 2046 + 9; i++) {
        double x, got, want;
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        if (i < 1000000)
            x = i % 2 == 0 ? (double)(s >> 11) / 9007199254740992.0 * 1454.99 - 745.2
                           : (double)(s >> 11) / 9007199254740992.0 * 2e-3 - 1e-3;
        else if (i < 1000000 + 2 * 2046) {
            b.u = (unsigned long long)((i - 1000000) / 2 + 1) << 52 | (s >> 12);
            x = (i % 2 == 0 ? 1.0 : -1.0) * b.d;
        } else
            x = special[i - 1000000 - 2 * 2046];
        got = embed_exp(x);
        want = bp_exp(x);
        if (memcmp(&got, &want, sizeof got) != 0 && !(got != got && want != want)) {
            if (bad++ == 0)
                printf("embed_exp(%.17g) = %.17g, bp_exp gives %.17g\n", x, got, want);
        }
    }
    if (bad > 0) {
        printf("embed_exp differs from bp_exp at %d arguments\n", bad);
        failures++;
    }
}

/* The dot products of a one-dimensional field, unshared from zero and shared added on, and
 * of a two-dimensional field from zero and added on, on 100 draws: 7 units, so that the four
 * side by side and the rest both run. In the float form the sums may differ by float rounding. */
static void check_dots(void)
{
    enum { n = 5, m = 7, ov = 2, U = 3, R = 2, KW = 3, KH = 2, S = U * (KW - ov) + ov, WS = U * KW };
    static float W[m * n], x[m * (n - ov) + ov], got[m], want[m];
    static float W2[R * KH * WS], x2[S * (R * KH - 1)], got2[U * R], want2[U * R];
    const double tolerance = EMBED_HELPERS_EXACT ? 0.0 : 1e-5;
    int i, pass;
    for (pass = 0; pass < 100 && failures == 0; pass++) {
        for (i = 0; i < m * n; i++)
            W[i] = draw(2.0f);
        for (i = 0; i < m * (n - ov) + ov; i++)
            x[i] = draw(1.0f);
        for (i = 0; i < R * KH * WS; i++)
            W2[i] = draw(2.0f);
        for (i = 0; i < S * (R * KH - 1); i++)
            x2[i] = draw(1.0f);

        dot_rows(W, x, got, n, m, n, n - ov, 0);
        BPlvdot(W, x, ov, want, n, m);
        check("dot_rows from zero", got, want, m, tolerance);
        dot_rows(W, x, got, n, m, 0, n - ov, 1);
        BPlvdot_share_sum(W, x, ov, want, n, m);
        check("dot_rows shared, added", got, want, m, tolerance);

        /* Neighbouring rows of fields share one source row: B = S. */
        memset(want2, 0, sizeof want2);
        dot_fields(W2, x2, got2, U, R, KW, KH, ov, KH * WS, WS, KW, S, S, 0);
        BPlvdot2d(U, R, KW, KH, W2, x2, want2, ov, WS, S, S);
        check("dot_fields from zero", got2, want2, U * R, tolerance);
        dot_fields(W2, x2, got2, U, R, KW, KH, ov, 0, KW, 0, S, S, 1);
        BPlvdot2d_share(U, R, KW, KH, W2, x2, want2, ov, S, S);
        check("dot_fields shared, added", got2, want2, U * R, tolerance);
    }
}

/* Second-order feedback: s = a + a1*s(t-1) + a2*s(t-2) rounded once, the delays shifted. */
static void check_filter(void)
{
    enum { n = 3 };
    float a[n], c[2 * n], d[2 * n], want[n], older[n];
    int i;
    for (i = 0; i < n; i++) {
        a[i] = draw(4.0f);
        c[i] = draw(1.0f);
        c[n + i] = draw(0.5f);
        d[i] = draw(3.0f);
        d[n + i] = draw(3.0f);
        want[i] = (float)((embed_sum)a[i] + (embed_sum)c[i] * d[i] + (embed_sum)c[n + i] * d[n + i]);
        older[i] = d[i];
    }
    filter_units(a, c, 2, d, n);
    check("filter_units", a, want, n, 0.0);
    check("filter_units' newest delays", d, want, n, 0.0);
    check("filter_units' older delays", d + n, older, n, 0.0);
}

int main(void)
{
    BPinit_sigmoid_table();
    read_table();
    check_units();
    check_exp();
    check_dots();
    check_filter();
    if (failures != 0)
        return 1;
    printf("embedded helpers, %s form: as the library's kernels\n", EMBED_HELPERS_EXACT ? "exact" : "float");
    return 0;
}
