// The block kernels of every path this machine runs against the one-row kernels of the same
// rows, bit for bit: forward against BPlvdot and BPlvdot_sum, the deltas passed back against
// BPaccum_weights_from_hidden, the gradient against a sequential double sum per weight. Sizes
// cover 1, the lane counts and the tile shapes on either side of them, and random ones; row
// counts cover every tail of every tile; leading dimensions leave gaps that must stay untouched;
// values range from tiny to huge magnitudes, and huge products cancel so that a sum taken in
// another order comes out different. Buffers hold exactly what the kernels may touch. The
// receptive field kernels likewise against BPlvdot, BPlvdot_share, their _sum forms and the
// 2-D BPlvdot2d and BPlvdot2d_share, over random field geometries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSimBlock.h"
#include "bp/BpSimLearn.h"
#include "support/test_support.h"

namespace {

using bp_multi::Path;

// A float of random sign and a magnitude from about 2^-40 to 2^40 (zero now and then), so that
// sums mix very different magnitudes without overflowing.
float random_value(std::mt19937 &rng)
{
    std::uniform_int_distribution<int> kind(0, 15), exponent(-40, 40);
    std::uniform_real_distribution<float> mantissa(0.5f, 1.0f);
    const int k = kind(rng);
    if (k == 0)
        return 0.0f;
    const float v = std::ldexp(mantissa(rng), k < 4 ? exponent(rng) : exponent(rng) / 8);
    return (k & 1) != 0 ? -v : v;
}

// `rows` rows of `width` values `ld` apart: exactly (rows-1)*ld + width floats, the gaps filled too.
std::vector<float> random_matrix(std::mt19937 &rng, int rows, int width, std::ptrdiff_t ld)
{
    std::vector<float> a(static_cast<std::size_t>((rows - 1) * ld + width));
    for (float &v : a)
        v = random_value(rng);
    return a;
}

// Sums that cancel, so that the order of a sum shows in its bits: pairs of equal columns of W
// (k1, k2) and pairs of equal rows of E (r1, r2), with X[r1][k1] = X[r2][k2] = B and
// X[r1][k2] = X[r2][k1] = -B for a huge B. Each forward sum over such a row, and each gradient
// sum over such a column, adds and removes the same huge product, and keeps the rounding that
// the terms summed before or between took from it: a different order rounds differently.
void plant_cancellations(std::mt19937 &rng, int n, int m, int rows, std::vector<float> &W, std::vector<float> &X,
                         std::ptrdiff_t ldx, std::vector<float> &E, std::ptrdiff_t lde)
{
    constexpr float kHuge = 1099511627776.0f;  // 2^40
    if (n < 2 || rows < 2)
        return;
    std::uniform_int_distribution<int> column(0, n - 1), coin(0, 1);
    for (int r1 = 0; r1 + 1 < rows; r1 += 2) {
        if (coin(rng) == 0)
            continue;
        const int r2 = r1 + 1, k1 = column(rng);
        int k2 = column(rng);
        if (k2 == k1)
            k2 = (k1 + 1) % n;
        for (int u = 0; u < m; u++) {
            W[static_cast<std::size_t>(u) * n + k2] = W[static_cast<std::size_t>(u) * n + k1];
            E[r2 * lde + u] = E[r1 * lde + u];
        }
        X[r1 * ldx + k1] = X[r2 * ldx + k2] = kHuge;
        X[r1 * ldx + k2] = X[r2 * ldx + k1] = -kHuge;
    }
}

// One random shape: sources, units, rows and leading dimensions of X (and H), D and E.
struct Shape {
    int n, m, rows;
    std::ptrdiff_t ldx, ldd, lde;
};

std::string describe(const Shape &s, Path path)
{
    return std::string(bp_multi::path_name(path)) + " n=" + std::to_string(s.n) + " m=" + std::to_string(s.m) +
           " rows=" + std::to_string(s.rows) + " ldx=" + std::to_string(s.ldx) + " ldd=" + std::to_string(s.ldd) +
           " lde=" + std::to_string(s.lde);
}

// The shapes: the first sizes of a list around the lane counts and tile widths, then random
// ones, one layer of a digit classifier's size and one long block; row counts 1 to 13 first,
// then random.
std::vector<Shape> shapes(std::mt19937 &rng)
{
    const int special[] = {1, 2, 3, 7, 8, 9, 12, 15, 16, 17, 23, 24, 25, 31, 33, 48, 49};
    constexpr int kSpecial = sizeof special / sizeof special[0];
    std::uniform_int_distribution<int> size(1, 300), gap(0, 9);
    std::vector<Shape> out;
    const int count = bptest::scaled(48);
    for (int i = 0; i < count; i++) {
        Shape s{};
        s.n = i < kSpecial ? special[i] : size(rng);
        s.m = i < 2 * kSpecial ? special[(i * 5 + 3) % kSpecial] : size(rng);
        s.rows = i < 13 ? i + 1 : size(rng);
        out.push_back(s);
    }
    out.push_back(Shape{784, 128, 37, 0, 0, 0});
    out.push_back(Shape{41, 19, 600, 0, 0, 0});  // rows in several chunks of the gradient
    for (Shape &s : out) {
        s.ldx = s.n + gap(rng);
        s.ldd = s.m + gap(rng);
        s.lde = s.m + gap(rng);
    }
    return out;
}

TEST(KernelsBlock, EveryPathMatchesTheOneRowKernels)
{
    std::mt19937 rng(20261210);
    int paths_run = 0;
    for (int pi = 0; pi < bp_multi::kPathCount; pi++)
        paths_run += bp_multi::path_runs(static_cast<Path>(pi)) ? 1 : 0;
    ASSERT_GE(paths_run, 1);
    for (const Shape &s : shapes(rng)) {
        std::vector<float> W = random_matrix(rng, s.m, s.n, s.n);
        std::vector<float> X = random_matrix(rng, s.rows, s.n, s.ldx);
        std::vector<float> E = random_matrix(rng, s.rows, s.m, s.lde);
        plant_cancellations(rng, s.n, s.m, s.rows, W, X, s.ldx, E, s.lde);
        const std::vector<float> D0 = random_matrix(rng, s.rows, s.m, s.ldd);
        const std::vector<float> H0 = random_matrix(rng, s.rows, s.n, s.ldx);
        const std::vector<float> G0 = random_matrix(rng, s.m, s.n, s.n);
        bp_block::Panel panel;
        bp_block::make_panel(W.data(), s.n, s.m, panel);

        // The one-row kernels, row by row (the back pass's gradient part is left aside).
        std::vector<float> d_set = D0, d_add = D0, h = H0, g = G0;
        std::vector<float> unused_g(static_cast<std::size_t>(s.m) * s.n);
        for (int r = 0; r < s.rows; r++) {
            BPlvdot(W.data(), X.data() + r * s.ldx, s.n, d_set.data() + r * s.ldd, s.n, s.m);
            BPlvdot_sum(W.data(), X.data() + r * s.ldx, s.n, d_add.data() + r * s.ldd, s.n, s.m);
            BPaccum_weights_from_hidden(E.data() + r * s.lde, X.data() + r * s.ldx, h.data() + r * s.ldx, W.data(),
                                        unused_g.data(), s.m, s.n, s.n);
        }
        // The gradient: each weight's products over the rows in order, in double, added once.
        for (int u = 0; u < s.m; u++)
            for (int k = 0; k < s.n; k++) {
                double sum = 0.0;
                for (int r = 0; r < s.rows; r++)
                    sum += static_cast<double>(E[r * s.lde + u]) * static_cast<double>(X[r * s.ldx + k]);
                float &gk = g[static_cast<std::size_t>(u) * s.n + k];
                gk = static_cast<float>(static_cast<double>(gk) + sum);
            }

        for (int pi = 0; pi < bp_multi::kPathCount; pi++) {
            const Path path = static_cast<Path>(pi);
            if (!bp_multi::path_runs(path))
                continue;
            SCOPED_TRACE(describe(s, path));
            std::vector<float> b_set = D0, b_add = D0, b_h = H0, b_g = G0;
            bp_block::dot_on(path, panel, X.data(), s.ldx, b_set.data(), s.ldd, s.rows, true);
            bp_block::dot_on(path, panel, X.data(), s.ldx, b_add.data(), s.ldd, s.rows, false);
            bp_block::back_on(path, E.data(), s.lde, W.data(), s.n, s.m, b_h.data(), s.ldx, s.rows);
            bp_block::grad_on(path, E.data(), s.lde, X.data(), s.ldx, b_g.data(), s.n, s.m, s.rows);
            EXPECT_TRUE(bptest::same_bits(d_set, b_set)) << "dot, first";
            EXPECT_TRUE(bptest::same_bits(d_add, b_add)) << "dot, added";
            EXPECT_TRUE(bptest::same_bits(h, b_h)) << "back";
            EXPECT_TRUE(bptest::same_bits(g, b_g)) << "grad";
        }
    }
}

// One random receptive field: 1-D (m = U units, n = KW sources each, R = KH = 1) or 2-D (a grid
// of R rows of U units over a source grid of S columns, fields KW by KH), overlap ov, the
// source grid just large enough, as the network descriptions make it.
struct Field {
    bool two_d, shared;
    int U, R, KW, KH, ov, S, size;
    // The weight and the source column unit u of grid row r reads at field row j, column k.
    int weight(int r, int j, int u, int k) const
    {
        if (!two_d)
            return (shared ? 0 : u * KW) + k;
        return shared ? j * KW + k : (r * KH + j) * U * KW + u * KW + k;
    }
    int column(int r, int j, int u, int k) const
    {
        return two_d ? r * (KH - ov) * S + j * S + u * (KW - ov) + k : u * (KW - ov) + k;
    }
    int weights() const { return shared ? KH * KW : R * KH * U * KW; }
};

Field random_field(std::mt19937 &rng, bool two_d)
{
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    Field f{two_d, pick(0, 1) == 1, pick(1, two_d ? 9 : 40), two_d ? pick(1, 6) : 1, pick(1, two_d ? 5 : 12),
            two_d ? pick(1, 5) : 1, 0, 0, 0};
    // 1-D fields may overlap completely (every unit reads the same sources); 2-D ones step on.
    f.ov = two_d ? pick(0, std::min(f.KW, f.KH) - 1) : pick(0, f.KW);
    f.S = (f.U - 1) * (f.KW - f.ov) + f.KW;
    f.size = two_d ? f.S * ((f.R - 1) * (f.KH - f.ov) + f.KH) : f.S;
    return f;
}

// Huge products that cancel within one unit's field row in some rows, as plant_cancellations.
void plant_field_cancellations(std::mt19937 &rng, const Field &f, int rows, std::vector<float> &W,
                               std::vector<float> &X, std::ptrdiff_t ldx)
{
    constexpr float kHuge = 1099511627776.0f;  // 2^40
    auto pick = [&](int hi) { return std::uniform_int_distribution<int>(0, hi - 1)(rng); };
    for (int row = 0; f.KW >= 2 && row < rows; row++) {
        if (pick(2) == 0)
            continue;
        const int r = pick(f.R), j = pick(f.KH), u = pick(f.U), k1 = pick(f.KW), k2 = (k1 + 1 + pick(f.KW - 1)) % f.KW;
        W[static_cast<std::size_t>(f.weight(r, j, u, k2))] = W[static_cast<std::size_t>(f.weight(r, j, u, k1))];
        X[row * ldx + f.column(r, j, u, k1)] = kHuge;
        X[row * ldx + f.column(r, j, u, k2)] = -kHuge;
    }
}

TEST(KernelsBlock, FieldsOnEveryPathMatchTheOneRowKernels)
{
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<int> gap(0, 5);
    const int count = bptest::scaled(160);
    for (int i = 0; i < count; i++) {
        // Rows 1 to 40 for each kind of field in turn: every tail of every sub-block.
        const Field f = random_field(rng, i % 2 == 1);
        const int rows = i / 2 % 40 + 1, units = f.U * f.R;
        const std::ptrdiff_t ldx = f.size + gap(rng), ldd = units + gap(rng);
        std::vector<float> W = random_matrix(rng, 1, f.weights(), 0);
        std::vector<float> X = random_matrix(rng, rows, f.size, ldx);
        plant_field_cancellations(rng, f, rows, W, X, ldx);
        const std::vector<float> D0 = random_matrix(rng, rows, units, ldd);
        const int B = f.ov * f.S;

        // The one-row kernels, row by row (the 2-D ones add to D0, as the 1-D _sum forms).
        std::vector<float> d_set = D0, d_add = D0;
        for (int r = 0; r < rows; r++) {
            const float *x = X.data() + r * ldx;
            float *ds = d_set.data() + r * ldd, *da = d_add.data() + r * ldd;
            if (f.two_d && f.shared)
                BPlvdot2d_share(f.U, f.R, f.KW, f.KH, W.data(), x, da, f.ov, f.S, B);
            else if (f.two_d)
                BPlvdot2d(f.U, f.R, f.KW, f.KH, W.data(), x, da, f.ov, f.U * f.KW, f.S, B);
            else {
                (f.shared ? BPlvdot_share : BPlvdot)(W.data(), x, f.ov, ds, f.KW, f.U);
                (f.shared ? BPlvdot_share_sum : BPlvdot_sum)(W.data(), x, f.ov, da, f.KW, f.U);
            }
        }
        for (int pi = 0; pi < bp_multi::kPathCount; pi++) {
            const Path path = static_cast<Path>(pi);
            if (!bp_multi::path_runs(path))
                continue;
            SCOPED_TRACE(std::string(bp_multi::path_name(path)) + (f.two_d ? " 2-D" : " 1-D") +
                         (f.shared ? " shared" : "") + " U=" + std::to_string(f.U) + " R=" + std::to_string(f.R) +
                         " KW=" + std::to_string(f.KW) + " KH=" + std::to_string(f.KH) + " ov=" +
                         std::to_string(f.ov) + " rows=" + std::to_string(rows));
            std::vector<float> b_set = D0, b_add = D0;
            if (f.two_d) {
                bp_block::field2d_dot_on(path, f.U, f.R, f.KW, f.KH, W.data(), f.ov, f.U * f.KW, f.S, B, f.shared,
                                         X.data(), ldx, b_add.data(), ldd, rows);
            } else {
                bp_block::field1d_dot_on(path, W.data(), f.ov, f.KW, f.U, f.shared, X.data(), ldx, b_set.data(), ldd,
                                         rows, true);
                bp_block::field1d_dot_on(path, W.data(), f.ov, f.KW, f.U, f.shared, X.data(), ldx, b_add.data(), ldd,
                                         rows, false);
            }
            EXPECT_TRUE(bptest::same_bits(d_set, b_set)) << "first";
            EXPECT_TRUE(bptest::same_bits(d_add, b_add)) << "added";
        }
    }
}

}  // namespace
