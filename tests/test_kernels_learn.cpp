// Learning kernels: derivative factors, output error, gradient accumulation (one-dimensional,
// shared, two-dimensional) and the momentum update; arithmetic, rounding and loop order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bp/BpSim.h"
#include "support/test_support.h"

namespace {

using bptest::same_bits;

float f(double v)
{
    return static_cast<float>(v);
}

int g_user_calls = 0;
float g_user_seen[8];
float user_derivative(float z)
{
    g_user_seen[g_user_calls++] = z;
    return 3.0f * z + 1.0f;
}

}  // namespace

TEST(KernelsDeriv, Sigmoid1FactorAndOffset)
{
    float a[3] = {0.5f, 0.999999f, 0.2f};
    float e[3] = {1.0f, 1.0f, -2.0f};
    BPderiv_sig1(a, e, 3, 0.0f);
    EXPECT_EQ(e[0], 0.25f);
    EXPECT_NEAR(e[1], 1e-6, 2e-8);
    EXPECT_TRUE(same_bits(e[1], f(0.999999f * (1.0 - 0.999999f))));
    EXPECT_TRUE(same_bits(e[2], f((0.2f * (1.0 - 0.2f)) * -2.0)));

    float e2[2] = {1.0f, 1.0f};
    BPderiv_sig1(a, e2, 2, 0.05f);
    EXPECT_NEAR(e2[0], 0.3f, 1e-7);
    // The offset is added in double before the product: the factor is at least the offset.
    EXPECT_TRUE(same_bits(e2[1], f(0.999999f * (1.0 - 0.999999f) + 0.05f)));
    EXPECT_GE(e2[1], 0.05f);
}

TEST(KernelsDeriv, RoundsOnceFromTheWideProduct)
{
    // A value whose double factor times delta differs from the float-by-float computation.
    const float a = 0.3333333f, e0 = 0.7777777f, off = 0.0123f;
    float e = e0;
    BPderiv_sig1(&a, &e, 1, off);
    EXPECT_TRUE(same_bits(e, f((static_cast<double>(a) * (1.0 - a) + off) * e0)));
    float g;
    BPset_deriv_sig1(&g, &a, 1, off);
    EXPECT_TRUE(same_bits(g, f(static_cast<double>(a) * (1.0 - a) + off)));
}

TEST(KernelsDeriv, CentredAndTanhForms)
{
    const float a[2] = {0.0f, 0.3f};
    float g[2];
    BPset_deriv_sig2(g, a, 2, 0.01f);
    EXPECT_TRUE(same_bits(g[0], f(0.25 + 0.01f)));
    EXPECT_TRUE(same_bits(g[1], f((0.25 - static_cast<double>(0.3f) * 0.3f) + 0.01f)));
    BPset_deriv_sig3(g, a, 2, 0.01f);
    EXPECT_TRUE(same_bits(g[0], f(0.5 + 0.01f)));
    EXPECT_TRUE(same_bits(g[1], f(0.5 * (1.0 - static_cast<double>(0.3f) * 0.3f) + 0.01f)));

    float e[2] = {2.0f, -1.0f};
    BPderiv_sig2(a, e, 2, 0.0f);
    EXPECT_EQ(e[0], 0.5f);
    EXPECT_TRUE(same_bits(e[1], f(-(0.25 - static_cast<double>(0.3f) * 0.3f))));
    float e3[2] = {2.0f, -1.0f};
    BPderiv_sig3(a, e3, 2, 0.0f);
    EXPECT_EQ(e3[0], 1.0f);
    EXPECT_TRUE(same_bits(e3[1], f(-(0.5 * (1.0 - static_cast<double>(0.3f) * 0.3f)))));
}

TEST(KernelsDeriv, QuadraticAndUser)
{
    const float z[3] = {-3.0f, 0.5f, 0.1f};
    float e[3] = {1.0f, 4.0f, 3.0f};
    BPderiv_quadratic(z, e, 3);
    EXPECT_EQ(e[0], -6.0f);
    EXPECT_EQ(e[1], 4.0f);
    EXPECT_TRUE(same_bits(e[2], f(2.0 * 0.1f * 3.0f)));

    float d[3] = {1.0f, 2.0f, 0.5f};
    g_user_calls = 0;
    BPderiv_user(z, d, 3, user_derivative);
    ASSERT_EQ(g_user_calls, 3);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(g_user_seen[i], z[i]);  // ascending order, stored net inputs
    EXPECT_EQ(d[0], -8.0f);
    EXPECT_EQ(d[1], 5.0f);
    EXPECT_TRUE(same_bits(d[2], f(static_cast<double>(3.0f * 0.1f + 1.0f) * 0.5f)));
}

TEST(KernelsDeriv, CountZeroTouchesNothing)
{
    float a[1] = {0.5f}, e[1] = {7.0f}, g[1] = {9.0f};
    BPderiv_sig1(a, e, 0, 0.05f);
    BPderiv_sig2(a, e, 0, 0.05f);
    BPderiv_sig3(a, e, 0, 0.05f);
    BPderiv_quadratic(a, e, 0);
    g_user_calls = 0;
    BPderiv_user(a, e, 0, user_derivative);
    BPset_deriv_sig1(g, a, 0, 0.05f);
    BPset_deriv_sig2(g, a, 0, 0.05f);
    BPset_deriv_sig3(g, a, 0, 0.05f);
    EXPECT_EQ(e[0], 7.0f);
    EXPECT_EQ(g[0], 9.0f);
    EXPECT_EQ(g_user_calls, 0);
    EXPECT_EQ(BPsum_squares(a, 0), 0.0f);
    EXPECT_EQ(BPoutput_error(a, a, e, 1.0f, 0), 0.0f);
    EXPECT_EQ(e[0], 7.0f);
}

TEST(KernelsError, WorkedExample)
{
    const float t[2] = {1.0f, 0.0f}, o[2] = {0.75f, 0.5f};
    float e[2] = {99.0f, 99.0f};
    EXPECT_EQ(BPoutput_error(t, o, e, 0.1f, 2), 0.15625f);
    EXPECT_TRUE(same_bits(e[0], f(0.25 * 0.1f)));
    EXPECT_TRUE(same_bits(e[1], f(-0.5 * 0.1f)));
    EXPECT_EQ(BPoutput_error(t, o, e, 0.0f, 2), 0.15625f);
    EXPECT_EQ(e[0], 0.0f);
    EXPECT_EQ(e[1], 0.0f);
}

TEST(KernelsError, SquaresTheStoredDifferencesBeforeScaling)
{
    // The difference rounds to float before it is squared.
    const float t[1] = {1.0f}, o[1] = {1e-9f};
    float e[1];
    const float diff = f(1.0 - 1e-9f);
    EXPECT_TRUE(same_bits(BPoutput_error(t, o, e, 3.0f, 1), f(0.5 * diff * diff)));
    EXPECT_TRUE(same_bits(e[0], f(static_cast<double>(diff) * 3.0f)));

    // The error does not depend on the scale.
    const float t4[4] = {0.1f, 0.9f, 0.3f, 0.7f}, o4[4] = {0.33f, 0.44f, 0.55f, 0.66f};
    float e4[4];
    const float err = BPoutput_error(t4, o4, e4, 0.0666666f, 4);
    EXPECT_TRUE(same_bits(BPoutput_error(t4, o4, e4, 123.0f, 4), err));
    double sum = 0.0;
    for (int i = 0; i < 4; i++) {
        const float d = f(static_cast<double>(t4[i]) - o4[i]);
        sum += static_cast<double>(d) * d;
    }
    EXPECT_TRUE(same_bits(err, f(0.5 * sum)));
}

TEST(KernelsError, SumSquaresInWideType)
{
    const float v[3] = {1.0f, 1e-4f, -3.0f};
    EXPECT_TRUE(same_bits(BPsum_squares(v, 3), f(1.0 + static_cast<double>(1e-4f) * 1e-4f + 9.0)));
    // 2^24 + 1 + 1 in float would lose both ones; in double it keeps them.
    const float big[3] = {4096.0f, 1.0f, 1.0f};
    EXPECT_EQ(BPsum_squares(big, 3), 16777218.0f);
}

TEST(KernelsAccum, FromHiddenWorkedExample)
{
    const float e[1] = {0.5f}, x[2] = {1.0f, 2.0f}, W[2] = {3.0f, 4.0f};
    float h[2] = {0.0f, 0.0f}, g[2] = {0.0f, 0.0f};
    BPaccum_weights_from_hidden(e, x, h, W, g, 1, 2, 2);
    EXPECT_EQ(h[0], 1.5f);
    EXPECT_EQ(h[1], 2.0f);
    EXPECT_EQ(g[0], 0.5f);
    EXPECT_EQ(g[1], 1.0f);
    // A second accumulation of the same pattern doubles both.
    BPaccum_weights_from_hidden(e, x, h, W, g, 1, 2, 2);
    EXPECT_EQ(h[0], 3.0f);
    EXPECT_EQ(g[1], 2.0f);
}

TEST(KernelsAccum, FromHiddenFullMatrixAndRoundingOrder)
{
    // 2 destination units, 3 source units, full connection: h[j] gathers e[0]W[0,j] then e[1]W[1,j].
    const float e[2] = {0.1f, -0.3f}, x[3] = {0.7f, 0.2f, 0.9f};
    const float W[6] = {1.1f, -2.2f, 3.3f, 0.4f, 0.5f, -0.6f};
    float h[3] = {0.01f, 0.0f, 0.0f};
    float g[6] = {0.5f, 0, 0, 0, 0, 0};
    BPaccum_weights_from_hidden(e, x, h, W, g, 2, 3, 3);
    for (int j = 0; j < 3; j++) {
        float expect = j == 0 ? 0.01f : 0.0f;
        expect = f(expect + static_cast<double>(e[0]) * W[j]);
        expect = f(expect + static_cast<double>(e[1]) * W[3 + j]);
        EXPECT_TRUE(same_bits(h[j], expect)) << j;
    }
    for (int i = 0; i < 2; i++)
        for (int k = 0; k < 3; k++) {
            const float start = (i == 0 && k == 0) ? 0.5f : 0.0f;
            EXPECT_TRUE(same_bits(g[i * 3 + k], f(start + static_cast<double>(x[k]) * e[i])));
        }
}

TEST(KernelsAccum, FromInputOverlapAndShared)
{
    const float x[6] = {1, 2, 3, 4, 5, 6};
    const float e[3] = {1.0f, 10.0f, 100.0f};
    // ov = n: every row uses the whole input.
    float g[6] = {};
    BPaccum_weights_from_input(e, x, g, 3, 2, 2);
    const float full[6] = {1, 2, 10, 20, 100, 200};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(g[i], full[i]);
    // ov = 0: row i uses x[2i..2i+1].
    float g0[6] = {};
    BPaccum_weights_from_input(e, x, g0, 3, 2, 0);
    const float disjoint[6] = {1, 2, 30, 40, 500, 600};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(g0[i], disjoint[i]);
    // ov = 1: windows advance by one.
    float g1[6] = {};
    BPaccum_weights_from_input(e, x, g1, 3, 2, 1);
    const float sliding[6] = {1, 2, 20, 30, 300, 400};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(g1[i], sliding[i]);
    // Shared, ov = n: one row gathering (e0 + e1 + e2) x, unit by unit.
    float gs[2] = {};
    BPaccum_weights_from_input_share(e, x, gs, 3, 2, 2);
    EXPECT_EQ(gs[0], 111.0f);
    EXPECT_EQ(gs[1], 222.0f);
}

TEST(KernelsAccum, SharedRowRoundsAfterEachUnit)
{
    // Adding 1 to 2^24 three times in float stays 2^24 when each sum is rounded; a single
    // wide sum of the three contributions would give 2^24 + 4.
    const float e[4] = {16777216.0f, 1.0f, 1.0f, 1.0f};
    const float x[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    float g[1] = {0.0f};
    BPaccum_weights_from_input_share(e, x, g, 4, 1, 1);  // ov = n = 1: every unit sees x[0]
    EXPECT_EQ(g[0], 16777216.0f);

    const float W[1] = {1.0f};
    float h[4] = {}, gh[1] = {0.0f};
    BPaccum_weights_from_hidden_share(e, x, h, W, gh, 4, 1, 0);  // ov = 0: unit i feeds h[i]
    EXPECT_EQ(gh[0], 16777216.0f);
    EXPECT_EQ(h[0], 16777216.0f);
    EXPECT_EQ(h[3], 1.0f);
}

TEST(KernelsAccum, HiddenShareWithOverlap)
{
    // 2 units, row of 2, ov = 1: unit 0 sees x[0..1], unit 1 sees x[1..2]; h[1] gathers from both.
    const float e[2] = {2.0f, 3.0f}, x[3] = {1.0f, 10.0f, 100.0f}, W[2] = {0.5f, 0.25f};
    float h[3] = {}, g[2] = {};
    BPaccum_weights_from_hidden_share(e, x, h, W, g, 2, 2, 1);
    EXPECT_EQ(h[0], 1.0f);            // 2 * 0.5
    EXPECT_EQ(h[1], 0.5f + 1.5f);     // 2 * 0.25 + 3 * 0.5
    EXPECT_EQ(h[2], 0.75f);           // 3 * 0.25
    EXPECT_EQ(g[0], 2.0f + 30.0f);    // x0*e0 + x1*e1
    EXPECT_EQ(g[1], 20.0f + 300.0f);  // x1*e0 + x2*e1
}

TEST(KernelsAccum, BiasesAndCountZero)
{
    float g[2] = {1.0f, 2.0f};
    const float e[2] = {0.5f, -4.0f};
    BPaccum_biases(g, e, 2);
    EXPECT_EQ(g[0], 1.5f);
    EXPECT_EQ(g[1], -2.0f);
    BPaccum_biases(g, e, 0);
    float h[2] = {7.0f, 7.0f};
    BPaccum_weights_from_input(e, e, g, 0, 2, 2);
    BPaccum_weights_from_input_share(e, e, g, 0, 2, 2);
    BPaccum_weights_from_hidden(e, e, h, e, g, 0, 2, 2);
    BPaccum_weights_from_hidden_share(e, e, h, e, g, 0, 2, 2);
    BPaccum_weights_from_hidden(e, e, h, e, g, 2, 0, 0);
    BPaccum2d_weights_from_input(0, 1, 1, 1, g, e, e, 0, 1, 1, 0);
    BPaccum2d_weights_from_hidden(1, 0, 1, 1, e, g, e, h, e, 0, 1, 1, 0);
    BPupdate_weights(0.9f, e, h, g, 0);
    EXPECT_EQ(g[0], 1.5f);
    EXPECT_EQ(g[1], -2.0f);
    EXPECT_EQ(h[0], 7.0f);
    EXPECT_EQ(h[1], 7.0f);
}

namespace {

// Straightforward model of the two-dimensional loops, for comparison.
void model2d(int U, int R, int KW, int KH, const float *W, float *g, const float *x, float *h, const float *e,
             int ov, int WS, int S, int B, bool shared, bool hidden)
{
    for (int r = 0; r < R; r++)
        for (int j = 0; j < KH; j++)
            for (int u = 0; u < U; u++)
                for (int k = 0; k < KW; k++) {
                    const int q = r * (KH * S - B) + j * S + u * (KW - ov) + k;
                    const int w = shared ? j * KW + k : (r * KH + j) * WS + u * KW + k;
                    const double d = e[r * U + u];
                    if (hidden)
                        h[q] = f(h[q] + d * W[w]);
                    g[w] = f(g[w] + x[q] * d);
                }
}

}  // namespace

TEST(KernelsAccum2d, MatchTheirIndexing)
{
    // A 6-wide source grid of 5 rows; fields 2 wide and 2 high, overlap 1, 2 units per row,
    // 2 destination rows, rows of the source 1 apart, destination rows 1 source row apart (B = 1).
    const int U = 2, R = 2, KW = 2, KH = 2, ov = 1, S = 6, B = 3;  // r*(KH*S-B) = 9r
    const int WS = U * KW;                                         // unshared row stride
    std::vector<float> x(40), W(R * KH * WS), Ws(KH * KW), e(R * U);
    for (std::size_t i = 0; i < x.size(); i++)
        x[i] = 0.1f * static_cast<float>(i + 1);
    for (std::size_t i = 0; i < W.size(); i++)
        W[i] = 0.5f - 0.07f * static_cast<float>(i);
    for (std::size_t i = 0; i < Ws.size(); i++)
        Ws[i] = 0.3f + 0.11f * static_cast<float>(i);
    for (std::size_t i = 0; i < e.size(); i++)
        e[i] = 0.9f - 0.37f * static_cast<float>(i);

    std::vector<float> g(W.size(), 0.25f), gm = g, h(x.size(), 0.0f), hm = h;
    BPaccum2d_weights_from_input(U, R, KW, KH, g.data(), x.data(), e.data(), ov, WS, S, B);
    model2d(U, R, KW, KH, nullptr, gm.data(), x.data(), nullptr, e.data(), ov, WS, S, B, false, false);
    EXPECT_EQ(g, gm);

    BPaccum2d_weights_from_hidden(U, R, KW, KH, W.data(), g.data(), x.data(), h.data(), e.data(), ov, WS, S, B);
    model2d(U, R, KW, KH, W.data(), gm.data(), x.data(), hm.data(), e.data(), ov, WS, S, B, false, true);
    EXPECT_EQ(g, gm);
    EXPECT_EQ(h, hm);

    std::vector<float> gs(Ws.size(), 0.0f), gsm = gs;
    BPaccum2d_weights_from_input_share(U, R, KW, KH, gs.data(), x.data(), e.data(), ov, S, B);
    model2d(U, R, KW, KH, nullptr, gsm.data(), x.data(), nullptr, e.data(), ov, 0, S, B, true, false);
    EXPECT_EQ(gs, gsm);

    BPaccum2d_weights_from_hidden_share(U, R, KW, KH, Ws.data(), gs.data(), x.data(), h.data(), e.data(), ov, S, B);
    model2d(U, R, KW, KH, Ws.data(), gsm.data(), x.data(), hm.data(), e.data(), ov, 0, S, B, true, true);
    EXPECT_EQ(gs, gsm);
    EXPECT_EQ(h, hm);
}

TEST(KernelsAccum2d, HandWorkedSharedField)
{
    // One destination row of 2 units, a 2x1 field (KW = 2, KH = 1), no overlap: unit u sees x[2u..2u+1].
    const float x[4] = {1.0f, 2.0f, 3.0f, 4.0f}, e[2] = {1.0f, 10.0f}, W[2] = {0.5f, -1.0f};
    float g[2] = {}, h[4] = {};
    BPaccum2d_weights_from_hidden_share(2, 1, 2, 1, W, g, x, h, e, 0, 4, 0);
    EXPECT_EQ(g[0], 1.0f + 30.0f);
    EXPECT_EQ(g[1], 2.0f + 40.0f);
    EXPECT_EQ(h[0], 0.5f);
    EXPECT_EQ(h[1], -1.0f);
    EXPECT_EQ(h[2], 5.0f);
    EXPECT_EQ(h[3], -10.0f);
}

TEST(KernelsUpdate, MomentumWorkedExample)
{
    const float g[2] = {0.2f, 0.0f};
    float W[2] = {1.0f, 0.5f}, p[2] = {0.1f, 0.0f};
    BPupdate_weights(0.95f, g, W, p, 2);
    const double s = static_cast<double>(0.95f) * 0.1f + 0.2f;
    EXPECT_TRUE(same_bits(W[0], f(1.0f + s)));
    EXPECT_TRUE(same_bits(p[0], f(s)));
    EXPECT_NEAR(W[0], 1.295f, 1e-6);
    EXPECT_NEAR(p[0], 0.295f, 1e-6);
    EXPECT_EQ(W[1], 0.5f);
    EXPECT_EQ(p[1], 0.0f);
    EXPECT_EQ(g[0], 0.2f);  // gradients are not cleared by the kernel
}

TEST(KernelsUpdate, AddsTheUnroundedStep)
{
    // s = 2^-24 + 2^-50 in double; as a float it is 2^-24. 1 + 2^-24 is a tie that rounds to
    // 1, while 1 + s (exact in double) lies above the tie and rounds to 1 + 2^-23.
    const float g[1] = {std::ldexp(1.0f, -24)};
    float W[1] = {1.0f}, p[1] = {std::ldexp(1.0f, -50)};
    BPupdate_weights(1.0f, g, W, p, 1);
    EXPECT_EQ(W[0], 1.0f + std::ldexp(1.0f, -23));
    EXPECT_EQ(p[0], std::ldexp(1.0f, -24));
}
