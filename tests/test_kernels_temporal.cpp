// Temporal gradient accumulation: traces that carry factor-weighted sums across calls.
#include "bp/BpSim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <vector>

namespace {

using Vec = std::vector<float>;

float p2(int e) { return std::ldexp(1.0f, e); }

// Deterministic values of mixed magnitude, so that the order of float additions shows.
Vec sample(std::size_t n, unsigned seed, bool positive = false)
{
    Vec v(n);
    unsigned s = seed * 2654435761u + 777u;
    for (auto &x : v) {
        s = s * 1103515245u + 12345u;
        const float mant = static_cast<float>((s >> 8) & 0xFFFF) / 65536.0f + 0.1f;
        const int ex = static_cast<int>((s >> 4) % 7) - 3;
        x = std::ldexp((s & 1) && !positive ? -mant : mant, ex);
    }
    return v;
}

// One visited element: destination unit, source index, weight index.
struct Visit {
    int unit;
    long q;
    long w;
};

// Elements of a one-dimensional connection in kernel order.
std::vector<Visit> visits_1d(int m, int n, int ov, bool shared)
{
    std::vector<Visit> out;
    for (int i = 0; i < m; i++)
        for (int k = 0; k < n; k++)
            out.push_back({i, static_cast<long>(i) * (n - ov) + k, shared ? k : static_cast<long>(i) * n + k});
    return out;
}

// Geometry of a two-dimensional connection.
struct Grid {
    int U, R, KW, KH, ov, WS, S, B;
    long source_size() const { return static_cast<long>(R - 1) * (KH * S - B) + (KH - 1) * S + (U - 1) * (KW - ov) + KW; }
    long weight_size(bool shared) const { return shared ? KH * KW : static_cast<long>(R * KH - 1) * WS + U * KW; }
};

// Visiting orders of a two-dimensional connection: the kernels' order (rows r, field rows j,
// units u, columns k) and two wrong ones, for contrast.
enum class Order { kernel, units_descending, units_outside };

// Elements of a two-dimensional connection in the given order.
std::vector<Visit> visits_2d(const Grid &c, bool shared, Order order = Order::kernel)
{
    std::vector<Visit> out;
    const bool outside = order == Order::units_outside;
    for (int r = 0; r < c.R; r++)
        for (int a = 0; a < (outside ? c.U : c.KH); a++)
            for (int b = 0; b < (outside ? c.KH : c.U); b++) {
                const int j = outside ? b : a;
                const int u = outside ? a : order == Order::units_descending ? c.U - 1 - b : b;
                for (int k = 0; k < c.KW; k++) {
                    const long q = static_cast<long>(r) * (c.KH * c.S - c.B) + j * c.S + u * (c.KW - c.ov) + k;
                    const long w = shared ? j * c.KW + k : static_cast<long>(r * c.KH + j) * c.WS + u * c.KW + k;
                    out.push_back({r * c.U + u, q, w});
                }
            }
    return out;
}

// All vectors of one temporal accumulation.
struct State {
    Vec g, t, z, h;
    bool operator==(const State &o) const = default;
};

// Readable failure messages: every vector, element by element.
void PrintTo(const State &s, std::ostream *os)
{
    const char *names[] = {"g", "t", "z", "h"};
    const Vec *vecs[] = {&s.g, &s.t, &s.z, &s.h};
    for (int v = 0; v < 4; v++) {
        *os << "\n  " << names[v] << ":";
        for (float x : *vecs[v])
            *os << ' ' << x;
    }
}

// Reference: the four steps per element, in visiting order, traces used wide.
void reference(const std::vector<Visit> &visits, const Vec &e, const Vec &f, const Vec &x, const Vec *W, State &s)
{
    for (const Visit &v : visits) {
        const double ei = e[v.unit], fi = f[v.unit];
        if (W) {
            const double zw = s.z[v.w] + fi * (*W)[v.w];
            s.z[v.w] = static_cast<float>(zw);
            s.h[v.q] = static_cast<float>(s.h[v.q] + ei * zw);
        }
        const double tw = s.t[v.w] + fi * x[v.q];
        s.t[v.w] = static_cast<float>(tw);
        s.g[v.w] = static_cast<float>(s.g[v.w] + ei * tw);
    }
}

State start(std::size_t weights, std::size_t sources, unsigned seed)
{
    return {sample(weights, seed), sample(weights, seed + 1), sample(weights, seed + 2), sample(sources, seed + 3)};
}

TEST(TemporalWorkedExamples, FromInputTraceGrowsOverCalls)
{
    const Vec e = {0.5f}, f = {2}, x = {1, 2};
    Vec g = {0, 0}, t = {0, 0};
    BPTaccum_weights_from_input(e.data(), f.data(), x.data(), g.data(), t.data(), 1, 2, 2);
    EXPECT_EQ(t, (Vec{2, 4}));
    EXPECT_EQ(g, (Vec{1, 2}));
    BPTaccum_weights_from_input(e.data(), f.data(), x.data(), g.data(), t.data(), 1, 2, 2);
    EXPECT_EQ(t, (Vec{4, 8}));
    EXPECT_EQ(g, (Vec{3, 6}));
}

TEST(TemporalWorkedExamples, FromHidden)
{
    const Vec e = {0.5f}, f = {2}, x = {1, 2}, W = {3, 4};
    Vec h = {0, 0}, g = {0, 0}, t = {0, 0}, z = {0, 0};
    BPTaccum_weights_from_hidden(e.data(), f.data(), x.data(), h.data(), W.data(), g.data(), t.data(), z.data(), 1, 2,
                                 2);
    EXPECT_EQ(z, (Vec{6, 8}));
    EXPECT_EQ(h, (Vec{3, 4}));
    EXPECT_EQ(t, (Vec{2, 4}));
    EXPECT_EQ(g, (Vec{1, 2}));
}

TEST(TemporalWorkedExamples, FromHiddenSharedUsesTheGrowingWeightTrace)
{
    const Vec e = {1, 1}, f = {1, 1}, x = {1, 2}, W = {1, 2};
    Vec h = {0, 0}, g = {0, 0}, t = {0, 0}, z = {0, 0};
    BPTaccum_weights_from_hidden_share(e.data(), f.data(), x.data(), h.data(), W.data(), g.data(), t.data(), z.data(),
                                       2, 2, 2);
    EXPECT_EQ(z, (Vec{2, 4}));
    EXPECT_EQ(h, (Vec{3, 6}));
    EXPECT_EQ(t, (Vec{2, 4}));
    EXPECT_EQ(g, (Vec{3, 6}));  // 1*(1, 2) then 1*(2, 4)
}

TEST(TemporalWorkedExamples, Biases)
{
    const Vec e = {0.5f}, f = {1};
    Vec g = {0}, t = {0};
    BPTaccum_biases(g.data(), e.data(), f.data(), t.data(), 1);
    EXPECT_EQ(t[0], 1.0f);
    EXPECT_EQ(g[0], 0.5f);
    BPTaccum_biases(g.data(), e.data(), f.data(), t.data(), 1);
    EXPECT_EQ(t[0], 2.0f);
    EXPECT_EQ(g[0], 1.5f);
}

TEST(TemporalWorkedExamples, FeedbackWeightGradients)
{
    const Vec a = {2, -0.5f, 3}, b = {0.25f, 4, 1};
    Vec g = {1, 1, 1};
    BPTaccum_feedback_weights(g.data(), a.data(), b.data(), 3);
    EXPECT_EQ(g, (Vec{1.5f, -1, 4}));
    // One rounding: (1 + 2^-12)^2 - 1 keeps its 2^-24 term.
    const float c = 1.0f + p2(-12);
    Vec d = {-1};
    BPTaccum_feedback_weights(d.data(), &c, &c, 1);
    EXPECT_EQ(d[0], p2(-11) + p2(-24));
}

TEST(TemporalPrecision, UpdatedTraceIsUsedBeforeRounding)
{
    // t = (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 is stored as 1 + 2^-11, but g sees the full value.
    const float c = 1.0f + p2(-12);
    const Vec e = {1}, f = {c}, x = {c};
    Vec g = {-1}, t = {0};
    BPTaccum_weights_from_input(e.data(), f.data(), x.data(), g.data(), t.data(), 1, 1, 1);
    EXPECT_EQ(t[0], 1.0f + p2(-11));
    EXPECT_EQ(g[0], p2(-11) + p2(-24));

    Vec h = {-1}, z = {0}, g2 = {0}, t2 = {0};
    BPTaccum_weights_from_hidden(e.data(), f.data(), x.data(), h.data(), x.data(), g2.data(), t2.data(), z.data(), 1,
                                 1, 1);
    EXPECT_EQ(z[0], 1.0f + p2(-11));
    EXPECT_EQ(h[0], p2(-11) + p2(-24));

    // Thresholds: t = 1 + 2^-30 is stored as 1, but g sees the full value.
    const Vec fb = {p2(-30)};
    Vec gb = {-1}, tb = {1};
    BPTaccum_biases(gb.data(), e.data(), fb.data(), tb.data(), 1);
    EXPECT_EQ(tb[0], 1.0f);
    EXPECT_EQ(gb[0], p2(-30));
}

TEST(TemporalOneDimensional, FromInputWithOverlapMatchesReference)
{
    const int m = 4, n = 5, ov = 2;
    const long sources = (m - 1) * (n - ov) + n;
    const Vec e = sample(m, 1), f = sample(m, 2, true), x = sample(sources, 3);
    State got = start(m * n, 0, 10), want = got;
    for (int call = 0; call < 3; call++) {
        BPTaccum_weights_from_input(e.data(), f.data(), x.data(), got.g.data(), got.t.data(), m, n, ov);
        reference(visits_1d(m, n, ov, false), e, f, x, nullptr, want);
        ASSERT_EQ(got, want) << "call " << call;
    }
}

TEST(TemporalOneDimensional, FromHiddenWithOverlapMatchesReference)
{
    const int m = 3, n = 4, ov = 3;
    const long sources = (m - 1) * (n - ov) + n;
    const Vec e = sample(m, 4), f = sample(m, 5), x = sample(sources, 6), W = sample(m * n, 7);
    State got = start(m * n, sources, 20), want = got;
    for (int call = 0; call < 3; call++) {
        BPTaccum_weights_from_hidden(e.data(), f.data(), x.data(), got.h.data(), W.data(), got.g.data(), got.t.data(),
                                     got.z.data(), m, n, ov);
        reference(visits_1d(m, n, ov, false), e, f, x, &W, want);
        ASSERT_EQ(got, want) << "call " << call;
    }
}

TEST(TemporalOneDimensional, SharedKernelsGatherUnitsInAscendingOrder)
{
    const int m = 6, n = 3, ov = 1;
    const long sources = (m - 1) * (n - ov) + n;
    const Vec e = sample(m, 8), f = sample(m, 9), x = sample(sources, 10), W = sample(n, 11);
    const State init = start(n, sources, 30);

    State got = init, want = init;
    BPTaccum_weights_from_input_share(e.data(), f.data(), x.data(), got.g.data(), got.t.data(), m, n, ov);
    reference(visits_1d(m, n, ov, true), e, f, x, nullptr, want);
    EXPECT_EQ(got, want);

    got = init;
    want = init;
    BPTaccum_weights_from_hidden_share(e.data(), f.data(), x.data(), got.h.data(), W.data(), got.g.data(),
                                       got.t.data(), got.z.data(), m, n, ov);
    std::vector<Visit> order = visits_1d(m, n, ov, true);
    reference(order, e, f, x, &W, want);
    EXPECT_EQ(got, want);

    // The data are sensitive to the unit order: descending units give other roundings.
    State reversed = init;
    std::reverse(order.begin(), order.end());
    reference(order, e, f, x, &W, reversed);
    EXPECT_NE(reversed, want);
}

TEST(TemporalOneDimensional, ZeroFactorsWithZeroTracesChangeNothing)
{
    const int m = 2, n = 3;
    const Vec e = sample(m, 12), f(m, 0.0f), x = sample(n, 13), W = sample(m * n, 14);
    Vec g(m * n, 0.0f), t(m * n, 0.0f), z(m * n, 0.0f), h(n, 0.0f);
    BPTaccum_weights_from_hidden(e.data(), f.data(), x.data(), h.data(), W.data(), g.data(), t.data(), z.data(), m, n,
                                 n);
    BPTaccum_weights_from_input(e.data(), f.data(), x.data(), g.data(), t.data(), m, n, n);
    for (const Vec *v : {&g, &t, &z, &h})
        for (float value : *v)
            EXPECT_EQ(value, 0.0f);
}

// Two geometries, both with horizontal overlap and a padded weight stride: one whose
// destination rows rewind by one field row, and a dense one whose field rows overlap
// within a destination row (so that only the kernels' loop order gives its result).
constexpr Grid grids[] = {{3, 3, 3, 2, 1, 3 * 3 + 2, 9, 9}, {3, 2, 3, 3, 1, 3 * 3 + 1, 4, 4}};
constexpr Grid grid = grids[0];

TEST(TemporalTwoDimensional, FromInputMatchesReference)
{
    for (const Grid &c : grids) {
        const long sources = c.source_size(), weights = c.weight_size(false);
        const Vec e = sample(c.R * c.U, 15), f = sample(c.R * c.U, 16, true), x = sample(sources, 17);
        State got = start(weights, 0, 40), want = got;
        for (int call = 0; call < 3; call++) {
            BPTaccum2d_weights_from_input(c.U, c.R, c.KW, c.KH, got.g.data(), got.t.data(), x.data(), e.data(),
                                          f.data(), c.ov, c.WS, c.S, c.B);
            reference(visits_2d(c, false), e, f, x, nullptr, want);
            ASSERT_EQ(got, want) << "grid with S = " << c.S << ", call " << call;
        }
    }
}

TEST(TemporalTwoDimensional, FromHiddenMatchesReference)
{
    for (const Grid &c : grids) {
        const long sources = c.source_size(), weights = c.weight_size(false);
        const Vec e = sample(c.R * c.U, 18), f = sample(c.R * c.U, 19), x = sample(sources, 20),
                  W = sample(weights, 21);
        State got = start(weights, sources, 50), want = got;
        for (int call = 0; call < 2; call++) {
            BPTaccum2d_weights_from_hidden(c.U, c.R, c.KW, c.KH, W.data(), got.g.data(), got.t.data(), got.z.data(),
                                           x.data(), got.h.data(), e.data(), f.data(), c.ov, c.WS, c.S, c.B);
            reference(visits_2d(c, false), e, f, x, &W, want);
            ASSERT_EQ(got, want) << "grid with S = " << c.S << ", call " << call;
        }
        if (&c == &grids[1]) {
            State other = start(weights, sources, 50);
            reference(visits_2d(c, false, Order::units_outside), e, f, x, &W, other);
            reference(visits_2d(c, false, Order::units_outside), e, f, x, &W, other);
            EXPECT_NE(other, want) << "data not sensitive to the loop order";
        }
    }
}

TEST(TemporalTwoDimensional, SharedKernelsMatchReferenceInLoopOrder)
{
    for (const Grid &c : grids) {
        SCOPED_TRACE(c.S);
        const long sources = c.source_size(), weights = c.weight_size(true);
        const Vec e = sample(c.R * c.U, 22), f = sample(c.R * c.U, 23), x = sample(sources, 24),
                  W = sample(weights, 25);
        const State init = start(weights, sources, 60);

        State got = init, want = init;
        BPTaccum2d_weights_from_input_share(c.U, c.R, c.KW, c.KH, got.g.data(), got.t.data(), x.data(), e.data(),
                                            f.data(), c.ov, c.S, c.B);
        reference(visits_2d(c, true), e, f, x, nullptr, want);
        EXPECT_EQ(got, want);

        got = init;
        want = init;
        BPTaccum2d_weights_from_hidden_share(c.U, c.R, c.KW, c.KH, W.data(), got.g.data(), got.t.data(),
                                             got.z.data(), x.data(), got.h.data(), e.data(), f.data(), c.ov, c.S,
                                             c.B);
        reference(visits_2d(c, true), e, f, x, &W, want);
        EXPECT_EQ(got, want);

        // The data are sensitive to the order: other orders give other roundings.
        State other = init;
        reference(visits_2d(c, true, Order::units_descending), e, f, x, &W, other);
        EXPECT_NE(other, want);
        if (&c == &grids[1]) {
            other = init;
            reference(visits_2d(c, true, Order::units_outside), e, f, x, &W, other);
            EXPECT_NE(other, want);
        }
    }
}

TEST(TemporalTwoDimensional, PaddingBetweenWeightRowsIsNotTouched)
{
    const long weights = grid.weight_size(false);
    const Vec e = sample(grid.R * grid.U, 26), f = sample(grid.R * grid.U, 27), x = sample(grid.source_size(), 28);
    Vec g(weights, 0.0f), t(weights, 0.0f);
    BPTaccum2d_weights_from_input(grid.U, grid.R, grid.KW, grid.KH, g.data(), t.data(), x.data(), e.data(), f.data(),
                                  grid.ov, grid.WS, grid.S, grid.B);
    for (long w = 0; w < weights; w++) {
        const bool padding = w % grid.WS >= grid.U * grid.KW;
        EXPECT_EQ(t[w] == 0.0f, padding) << w;
    }
}

TEST(TemporalKernels, CountZeroTouchesNothing)
{
    const Vec e = {1, 2}, f = {3, 4}, x = {5, 6, 7, 8}, W = {1, 1, 1, 1};
    State s = start(4, 4, 70);
    const State before = s;
    BPTaccum_biases(s.g.data(), e.data(), f.data(), s.t.data(), 0);
    BPTaccum_feedback_weights(s.g.data(), e.data(), f.data(), 0);
    BPTaccum_weights_from_input(e.data(), f.data(), x.data(), s.g.data(), s.t.data(), 0, 2, 2);
    BPTaccum_weights_from_input(e.data(), f.data(), x.data(), s.g.data(), s.t.data(), 2, 0, 0);
    BPTaccum_weights_from_input_share(e.data(), f.data(), x.data(), s.g.data(), s.t.data(), 0, 2, 2);
    BPTaccum_weights_from_hidden(e.data(), f.data(), x.data(), s.h.data(), W.data(), s.g.data(), s.t.data(),
                                 s.z.data(), 0, 2, 2);
    BPTaccum_weights_from_hidden_share(e.data(), f.data(), x.data(), s.h.data(), W.data(), s.g.data(), s.t.data(),
                                       s.z.data(), 2, 0, 0);
    for (int zero = 0; zero < 4; zero++) {
        const int U = zero == 0 ? 0 : 1, R = zero == 1 ? 0 : 1, KW = zero == 2 ? 0 : 2, KH = zero == 3 ? 0 : 2;
        BPTaccum2d_weights_from_input(U, R, KW, KH, s.g.data(), s.t.data(), x.data(), e.data(), f.data(), 0, 2, 2, 0);
        BPTaccum2d_weights_from_input_share(U, R, KW, KH, s.g.data(), s.t.data(), x.data(), e.data(), f.data(), 0, 2,
                                            0);
        BPTaccum2d_weights_from_hidden(U, R, KW, KH, W.data(), s.g.data(), s.t.data(), s.z.data(), x.data(),
                                       s.h.data(), e.data(), f.data(), 0, 2, 2, 0);
        BPTaccum2d_weights_from_hidden_share(U, R, KW, KH, W.data(), s.g.data(), s.t.data(), s.z.data(), x.data(),
                                             s.h.data(), e.data(), f.data(), 0, 2, 0);
    }
    EXPECT_EQ(s, before);
}

}  // namespace

// ---- The trace filter step and the traced gradient.

TEST(TraceFilter, WorkedExampleAndOrders)
{
    // A constant source of 1 through a1 = 0.5: 1, 1.5, 1.75; the history shifts behind it.
    const Vec x = {1}, a1 = {0.5f}, a2 = {0.25f};
    Vec p1 = {0}, p2 = {0};
    for (const float want : {1.0f, 1.5f, 1.75f}) {
        BPTfilter_trace(x.data(), a1.data(), nullptr, p1.data(), p2.data(), 1, 1, 0);
        EXPECT_EQ(p1[0], want);
    }
    EXPECT_EQ(p2[0], 1.5f);
    // Second order: 1 + 0.5*1.75 + 0.25*1.5 = 2.25.
    BPTfilter_trace(x.data(), a1.data(), a2.data(), p1.data(), p2.data(), 1, 1, 0);
    EXPECT_EQ(p1[0], 2.25f);
    EXPECT_EQ(p2[0], 1.75f);
    // Without a history vector nothing else is written.
    BPTfilter_trace(x.data(), a1.data(), nullptr, p1.data(), nullptr, 1, 1, 0);
    EXPECT_EQ(p1[0], 2.125f);
}

TEST(TraceFilter, MatchesOneRoundingPerElementOverEveryGeometry)
{
    // Full rows (ov = n), overlapping fields and fields side by side; first and second order.
    const int shapes[][3] = {{3, 5, 5}, {4, 3, 2}, {5, 2, 0}, {1, 7, 7}};
    unsigned seed = 40;
    for (const auto &sh : shapes) {
        const int m = sh[0], n = sh[1], ov = sh[2];
        for (const bool second : {false, true}) {
            const std::vector<Visit> visits = visits_1d(m, n, ov, false);
            const Vec x = sample(static_cast<std::size_t>(m * (n - ov) + ov), seed++);
            const Vec a1 = sample(static_cast<std::size_t>(m), seed++), a2 = sample(static_cast<std::size_t>(m), seed++);
            Vec p1 = sample(static_cast<std::size_t>(m * n), seed++), p2 = sample(static_cast<std::size_t>(m * n), seed++);
            Vec want1 = p1, want2 = p2;
            for (const Visit &v : visits) {
                double s = static_cast<double>(x[v.q]) + static_cast<double>(a1[v.unit]) * p1[v.w];
                if (second)
                    s = s + static_cast<double>(a2[v.unit]) * p2[v.w];
                want2[v.w] = p1[v.w];
                want1[v.w] = static_cast<float>(s);
            }
            BPTfilter_trace(x.data(), a1.data(), second ? a2.data() : nullptr, p1.data(), p2.data(), m, n, ov);
            EXPECT_EQ(p1, want1) << m << " x " << n << " ov " << ov << (second ? " second order" : " first order");
            EXPECT_EQ(p2, want2);
        }
    }
}

TEST(TraceFilter, ZeroCoefficientsPassTheSourceThrough)
{
    const Vec x = sample(6, 3), zero(2, 0.0f);
    Vec p1 = sample(6, 4), p2 = sample(6, 5);
    BPTfilter_trace(x.data(), zero.data(), zero.data(), p1.data(), p2.data(), 2, 3, 0);
    EXPECT_EQ(p1, x);
}

TEST(TracedGradient, MatchesTheBackwardStepThenTheTraceProduct)
{
    const int m = 4, n = 3, ov = 1;
    const std::vector<Visit> visits = visits_1d(m, n, ov, false);
    const Vec e = sample(m, 60), P = sample(m * n, 61), W = sample(m * n, 62);
    Vec h = sample(m * (n - ov) + ov, 63), g = sample(m * n, 64);
    Vec want_h = h, want_g = g;
    for (const Visit &v : visits) {
        want_h[v.q] = static_cast<float>(want_h[v.q] + static_cast<double>(e[v.unit]) * W[v.w]);
        want_g[v.w] = static_cast<float>(want_g[v.w] + static_cast<double>(e[v.unit]) * P[v.w]);
    }
    BPTaccum_weights_traced(e.data(), P.data(), h.data(), W.data(), g.data(), m, n, ov);
    EXPECT_EQ(h, want_h);
    EXPECT_EQ(g, want_g);
    // From the inputs there is no source delta: only the gradient moves.
    Vec g2 = g;
    BPTaccum_weights_traced(e.data(), P.data(), nullptr, W.data(), g2.data(), m, n, ov);
    for (const Visit &v : visits)
        want_g[v.w] = static_cast<float>(want_g[v.w] + static_cast<double>(e[v.unit]) * P[v.w]);
    EXPECT_EQ(g2, want_g);
    // A count of 0 does nothing.
    Vec g3 = g2;
    BPTaccum_weights_traced(e.data(), P.data(), nullptr, W.data(), g3.data(), 0, n, ov);
    EXPECT_EQ(g3, g2);
}
