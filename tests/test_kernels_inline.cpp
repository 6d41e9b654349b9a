// The inline kernel copies of the network module against the library's kernels, bit for bit:
// the same vectors through both, with every size the module uses and values that reach the
// saturated ends of the logistic table, signed zeros and NaN.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"
#include "support/test_support.h"

namespace {

class InlineKernels : public ::testing::Test {
protected:
    std::mt19937 gen{4242};
    void SetUp() override { BPinit_sigmoid_table(); }

    // Values of every kind: small, large enough to saturate, exact zeros of both signs, a rare NaN.
    std::vector<float> values(int n, float scale, bool with_nan = false)
    {
        std::uniform_real_distribution<float> u(-scale, scale);
        std::uniform_int_distribution<int> kind(0, 39);
        std::vector<float> v(static_cast<std::size_t>(n));
        for (float &x : v) {
            const int k = kind(gen);
            x = k == 0 ? 0.0f : k == 1 ? -0.0f : (k == 2 && with_nan) ? std::numeric_limits<float>::quiet_NaN() : u(gen);
        }
        return v;
    }
};

using bptest::same_bits;

template <int n, int m>
void dot_products(std::vector<float> W, std::vector<float> x, std::vector<float> d)
{
    std::vector<float> lib = d, cpy = d;
    BPlvdot(W.data(), x.data(), n, lib.data(), n, m);
    bp_inline::lvdot<n, m, n>(W.data(), x.data(), cpy.data());
    EXPECT_TRUE(same_bits(lib, cpy)) << "lvdot " << n << "x" << m;
    lib = d;
    cpy = d;
    BPlvdot_sum(W.data(), x.data(), n, lib.data(), n, m);
    bp_inline::lvdot_sum<n, m, n>(W.data(), x.data(), cpy.data());
    EXPECT_TRUE(same_bits(lib, cpy)) << "lvdot_sum " << n << "x" << m;
}

TEST_F(InlineKernels, DotProductsOfEveryModuleShape)
{
    for (int trial = 0; trial < 2000; trial++) {
        const float scale = trial % 2 ? 1.0f : 1000.0f;
        dot_products<2, 4>(values(8, scale), values(2, scale), values(4, scale));
        dot_products<2, 2>(values(4, scale), values(2, scale), values(2, scale));
        dot_products<4, 2>(values(8, scale), values(4, scale), values(2, scale));
        dot_products<4, 4>(values(16, scale), values(4, scale), values(4, scale));
        dot_products<2, 4>(values(8, scale, true), values(2, scale), values(4, scale));
    }
    // All-negative-zero products: the sum starts from +0.
    dot_products<2, 4>(std::vector<float>(8, -0.0f), std::vector<float>(2, 1.0f), std::vector<float>(4, 5.0f));
}

template <int n>
void sigmoid(const std::vector<float> &a, const std::vector<float> &t)
{
    std::vector<float> lib = a, cpy = a;
    BPsig1(lib.data(), t.data(), n);
    bp_inline::sig1<n>(cpy.data(), t.data());
    EXPECT_TRUE(same_bits(lib, cpy)) << "sig1 of " << a[0] << " + " << t[0];
    std::vector<float> run_time = a;
    bp_inline::sig1(run_time.data(), t.data(), n);
    EXPECT_TRUE(same_bits(lib, run_time)) << "sig1 with its size at run time, of " << a[0] << " + " << t[0];
}

TEST_F(InlineKernels, LogisticOverTheWholeTableAndBeyond)
{
    // Every table band, both saturation edges, and the net inputs around them.
    for (int k = -560; k <= 560; k++) {
        for (const float frac : {-0.5f, -0.25f, 0.0f, 0.25f, 0.4999f, 0.5f}) {
            const float v = (static_cast<float>(k) + frac) / 64.0f;
            sigmoid<1>({v}, {0.0f});
            sigmoid<1>({std::nextafter(v, 100.0f)}, {0.0f});
            sigmoid<1>({std::nextafter(v, -100.0f)}, {0.0f});
        }
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    sigmoid<4>({8.0f, -8.0f, inf, -inf}, {0.0f, 0.0f, 0.0f, 0.0f});
    sigmoid<4>({nan, -0.0f, 7.5f, 7.5f}, {0.0f, 0.0f, 0.5f, 0.4f});
    for (int trial = 0; trial < 5000; trial++) {
        sigmoid<4>(values(4, 12.0f, true), values(4, 2.0f));
        sigmoid<2>(values(2, 12.0f), values(2, 2.0f, true));
    }
}

TEST_F(InlineKernels, OutputErrorAndDerivative)
{
    for (int trial = 0; trial < 5000; trial++) {
        const std::vector<float> t = values(4, 1.0f), o = values(4, 1.0f, true), e = values(4, 1.0f);
        const float s = std::uniform_real_distribution<float>(0.0f, 1.0f)(gen);
        std::vector<float> lib = e, cpy = e;
        const float rl = BPoutput_error(t.data(), o.data(), lib.data(), s, 4);
        const float rc = bp_inline::output_error<4>(t.data(), o.data(), cpy.data(), s);
        EXPECT_TRUE(same_bits(lib, cpy));
        EXPECT_TRUE(same_bits(rl, rc));

        const std::vector<float> a = values(4, 1.0f);
        const float off = std::uniform_real_distribution<float>(0.0f, 0.05f)(gen);
        lib = e;
        cpy = e;
        BPderiv_sig1(a.data(), lib.data(), 4, off);
        bp_inline::deriv_sig1<4>(a.data(), cpy.data(), off);
        EXPECT_TRUE(same_bits(lib, cpy));
    }
}

TEST_F(InlineKernels, AccumulationAndUpdate)
{
    for (int trial = 0; trial < 3000; trial++) {
        const float scale = trial % 2 ? 1.0f : 1e6f;
        const std::vector<float> e = values(4, scale), x = values(4, scale), W = values(16, scale);
        std::vector<float> g = values(16, scale), h = values(4, scale);

        std::vector<float> gl = g, gc = g;
        BPaccum_biases(gl.data(), e.data(), 4);
        bp_inline::accum_biases<4>(gc.data(), e.data());
        EXPECT_TRUE(same_bits(gl, gc));

        gl = g;
        gc = g;
        BPaccum_weights_from_input(e.data(), x.data(), gl.data(), 4, 2, 2);
        bp_inline::accum_weights_from_input<4, 2, 2>(e.data(), x.data(), gc.data());
        EXPECT_TRUE(same_bits(gl, gc));

        gl = g;
        gc = g;
        std::vector<float> hl = h, hc = h;
        BPaccum_weights_from_hidden(e.data(), x.data(), hl.data(), W.data(), gl.data(), 4, 4, 4);
        bp_inline::accum_weights_from_hidden<4, 4, 4>(e.data(), x.data(), hc.data(), W.data(), gc.data());
        EXPECT_TRUE(same_bits(gl, gc));
        EXPECT_TRUE(same_bits(hl, hc));
        hl = h;
        hc = h;
        BPaccum_weights_from_hidden(e.data(), x.data(), hl.data(), W.data(), gl.data(), 2, 4, 4);
        bp_inline::accum_weights_from_hidden<2, 4, 4>(e.data(), x.data(), hc.data(), W.data(), gc.data());
        EXPECT_TRUE(same_bits(gl, gc));
        EXPECT_TRUE(same_bits(hl, hc));

        std::vector<float> wl = W, wc = W, pl = g, pc = g;
        const float mom = std::uniform_real_distribution<float>(0.0f, 1.0f)(gen);
        BPupdate_weights(mom, x.data(), wl.data(), pl.data(), 4);
        bp_inline::update_weights<4>(mom, x.data(), wc.data(), pc.data());
        EXPECT_TRUE(same_bits(wl, wc));
        EXPECT_TRUE(same_bits(pl, pc));

        // The run-time size form, over a whole 16-value block.
        wl = W;
        wc = W;
        pl = g;
        pc = g;
        BPupdate_weights(mom, h.data(), wl.data(), pl.data(), 4);
        BPupdate_weights(mom, g.data(), wl.data() + 4, pl.data() + 4, 12);
        bp_inline::update_weights(mom, h.data(), wc.data(), pc.data(), 4);
        bp_inline::update_weights(mom, g.data(), wc.data() + 4, pc.data() + 4, 12);
        EXPECT_TRUE(same_bits(wl, wc));
        EXPECT_TRUE(same_bits(pl, pc));
    }
}

}  // namespace
