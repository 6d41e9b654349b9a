// The multi-unit kernels of every path this machine runs, with constant sizes and with the sizes
// given at run time, against the library kernels, bit for bit: the same vectors through both, over shapes whose sizes are and are not multiples of the
// lane counts (1 to 784 columns, 1 to 128 units, and sources too wide to be widened on the
// stack), with values of every kind: ordinary, tiny, huge, subnormal, signed zeros, and rare
// infinities and NaNs. Results count as equal when their bits are equal or both are NaN (when two
// different NaNs meet in one operation, which of them comes out depends on the operand order the
// compiler picks for a commutative instruction, in the library as in any path).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSimMulti.h"

// The constant-size checks instantiate every kernel at every shape, which makes this file slow
// to compile: each path's part is compiled on its own (tests/multi/*.cpp include this file with
// BPNET_MULTI_PART set to the path's number plus one), so that a build compiles them side by side.
// This file itself, part 0, holds everything else.
#ifndef BPNET_MULTI_PART
#define BPNET_MULTI_PART 0
#endif
#define BPNET_MULTI_PATH_PART(path) (BPNET_MULTI_PART == (path) + 1)

namespace {

using bp_multi::Path;

// Every path's kernels behind one interface, so that each check is written once.
#define BP_KERNEL_SET(Name, ns, which)                                                                 \
    struct Name {                                                                                      \
        static constexpr Path path = which;                                                            \
        template <int n, int m>                                                                        \
        static void lvdot(const float *W, const float *x, float *d)                                    \
        {                                                                                              \
            bp_multi::ns::lvdot<n, m>(W, x, d);                                                        \
        }                                                                                              \
        template <int n, int m>                                                                        \
        static void lvdot_sum(const float *W, const float *x, float *d)                                \
        {                                                                                              \
            bp_multi::ns::lvdot_sum<n, m>(W, x, d);                                                    \
        }                                                                                              \
        template <int m, int n>                                                                        \
        static void from_input(const float *e, const float *x, float *g)                               \
        {                                                                                              \
            bp_multi::ns::accum_weights_from_input<m, n>(e, x, g);                                     \
        }                                                                                              \
        template <int m, int n>                                                                        \
        static void from_hidden(const float *e, const float *x, float *h, const float *W, float *g)    \
        {                                                                                              \
            bp_multi::ns::accum_weights_from_hidden<m, n>(e, x, h, W, g);                              \
        }                                                                                              \
        template <int n>                                                                               \
        static void deriv_sig1(const float *a, float *e, float off)                                    \
        {                                                                                              \
            bp_multi::ns::deriv_sig1<n>(a, e, off);                                                    \
        }                                                                                              \
        template <int n>                                                                               \
        static void accum_biases(float *g, const float *e)                                             \
        {                                                                                              \
            bp_multi::ns::accum_biases<n>(g, e);                                                       \
        }                                                                                              \
        template <int n>                                                                               \
        static void update(float mom, const float *g, float *W, float *p)                              \
        {                                                                                              \
            bp_multi::ns::update_weights<n>(mom, g, W, p);                                             \
        }                                                                                              \
        static void update(float mom, const float *g, float *W, float *p, int n)                       \
        {                                                                                              \
            bp_multi::ns::update_weights(mom, g, W, p, n);                                             \
        }                                                                                              \
        template <int n>                                                                               \
        static void update_clear(float mom, float *g, float *W, float *p)                              \
        {                                                                                              \
            bp_multi::ns::update_weights_clear<n>(mom, g, W, p);                                       \
        }                                                                                              \
        static void update_clear(float mom, float *g, float *W, float *p, int n)                       \
        {                                                                                              \
            bp_multi::ns::update_weights_clear(mom, g, W, p, n);                                       \
        }                                                                                              \
    }

BP_KERNEL_SET(Portable, portable, Path::portable);
#if BP_MULTI_X86
BP_KERNEL_SET(Sse2, sse2, Path::sse2);
BP_KERNEL_SET(Avx2, avx2, Path::avx2);
BP_KERNEL_SET(Avx512, avx512, Path::avx512);
#endif

// Floats past the end of every output vector, which no kernel may change.
constexpr int kGuard = 9;

// What a trial's vectors hold: ordinary values of every magnitude, the same with rare
// infinities and NaNs, or values that make the order of additions visible.
enum class Mix { ordinary, special, powers };

Mix mix_of(int trial)
{
    return trial % 4 == 1 ? Mix::powers : trial % 4 == 3 ? Mix::special : Mix::ordinary;
}

// Random vectors with values of every kind.
class Values {
public:
    explicit Values(unsigned seed) : gen_(seed) {}

    // n values of the trial's mix.
    std::vector<float> make(int n, Mix mix)
    {
        std::vector<float> v(static_cast<std::size_t>(n));
        if (mix == Mix::powers) {
            // A third of the values +-2^40, the rest near one: products of 2^80, 2^40 and
            // about one, whose sums absorb the small terms and cancel the large ones exactly,
            // so that a change in the order of additions or in a rounding point shows in the
            // float results (with ordinary values it hides in the double's extra bits).
            std::uniform_real_distribution<float> u(-1.0f, 1.0f);
            for (float &x : v) {
                const unsigned kind = pick(20);
                const float sign = pick(2) ? 1.0f : -1.0f;
                x = kind < 7 ? sign * 0x1p40f : kind < 11 ? sign : u(gen_);
            }
            return v;
        }
        const bool special = mix == Mix::special;
        // One magnitude for most of the vector, so that sums cancel and carry as they do in use.
        const float scale = scales_[pick(std::size(scales_))];
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (float &x : v) {
            const int kind = static_cast<int>(pick(100));
            if (kind < 70)
                x = u(gen_) * scale;
            else if (kind < 78)
                x = u(gen_);
            else if (kind < 84)  // subnormal
                x = std::ldexp(static_cast<float>(pick(1u << 23)), -149) * (pick(2) ? 1.0f : -1.0f);
            else if (kind < 88)
                x = u(gen_) * 1e-37f;
            else if (kind < 92)
                x = u(gen_) * 3e38f;
            else if (kind < 95)
                x = pick(2) ? 0.0f : -0.0f;
            else if (kind < 97)  // exactly representable small integers and halves
                x = static_cast<float>(static_cast<int>(pick(17)) - 8) * 0.5f;
            else if (special && kind == 97)
                x = pick(2) ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
            else if (special && kind == 98)
                x = std::numeric_limits<float>::quiet_NaN();
            else
                x = u(gen_) * scale;
        }
        return v;
    }

    // The same with kGuard guard values after the n.
    std::vector<float> guarded(int n, Mix mix)
    {
        std::vector<float> v = make(n, mix);
        for (int i = 0; i < kGuard; i++)
            v.push_back(-12345.5f - static_cast<float>(i));
        return v;
    }

    float unit() { return std::uniform_real_distribution<float>(0.0f, 1.0f)(gen_); }
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(gen_); }

private:
    std::mt19937 gen_;
    static constexpr float scales_[] = {1.0f, 1e-3f, 1e3f, 1e-20f, 1e20f, 0.05f};
};

bool same_value(float a, float b)
{
    std::uint32_t ua, ub;
    std::memcpy(&ua, &a, sizeof ua);
    std::memcpy(&ub, &b, sizeof ub);
    return ua == ub || (std::isnan(a) && std::isnan(b));
}

// Index of the first difference, or -1.
int first_difference(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.size() != b.size())
        return 0;
    for (std::size_t i = 0; i < a.size(); i++)
        if (!same_value(a[i], b[i]))
            return static_cast<int>(i);
    return -1;
}

#define EXPECT_SAME(lib, fast, what)                                                                   \
    do {                                                                                               \
        const int at_ = first_difference(lib, fast);                                                   \
        EXPECT_EQ(at_, -1) << what << ": first difference at " << at_ << ": library " << (lib)[at_]    \
                           << ", multi-unit " << (fast)[at_];                                          \
    } while (0)

std::string shape_name(const char *kernel, int a, int b)
{
    return std::string(kernel) + " " + std::to_string(a) + "x" + std::to_string(b);
}

// Trials per shape, fewer for the large ones.
int trials_for(int elements)
{
    return elements > 20000 ? 3 : elements > 2000 ? 12 : 40;
}

template <typename K, int n, int m>
void check_dot_products(Values &val)
{
    for (int trial = 0; trial < trials_for(n * m); trial++) {
        const Mix mix = mix_of(trial);
        const std::vector<float> W = val.make(n * m, mix), x = val.make(n, mix);
        const std::vector<float> d = val.guarded(m, mix);
        std::vector<float> lib = d, fast = d;
        BPlvdot(W.data(), x.data(), n, lib.data(), n, m);
        K::template lvdot<n, m>(W.data(), x.data(), fast.data());
        EXPECT_SAME(lib, fast, shape_name("lvdot", n, m));
        lib = d;
        fast = d;
        BPlvdot_sum(W.data(), x.data(), n, lib.data(), n, m);
        K::template lvdot_sum<n, m>(W.data(), x.data(), fast.data());
        EXPECT_SAME(lib, fast, shape_name("lvdot_sum", n, m));
    }
}

template <typename K, int m, int n>
void check_accumulation(Values &val)
{
    for (int trial = 0; trial < trials_for(n * m); trial++) {
        const Mix mix = mix_of(trial);
        const std::vector<float> e = val.make(m, mix), x = val.make(n, mix), W = val.make(n * m, mix);
        const std::vector<float> g = val.guarded(n * m, mix), h = val.guarded(n, mix);
        std::vector<float> gl = g, gf = g;
        BPaccum_weights_from_input(e.data(), x.data(), gl.data(), m, n, n);
        K::template from_input<m, n>(e.data(), x.data(), gf.data());
        EXPECT_SAME(gl, gf, shape_name("accum_weights_from_input", m, n));
        gl = g;
        gf = g;
        std::vector<float> hl = h, hf = h;
        BPaccum_weights_from_hidden(e.data(), x.data(), hl.data(), W.data(), gl.data(), m, n, n);
        K::template from_hidden<m, n>(e.data(), x.data(), hf.data(), W.data(), gf.data());
        EXPECT_SAME(gl, gf, shape_name("accum_weights_from_hidden g", m, n));
        EXPECT_SAME(hl, hf, shape_name("accum_weights_from_hidden h", m, n));
    }
}

template <typename K, int n>
void check_elementwise(Values &val)
{
    for (int trial = 0; trial < trials_for(n); trial++) {
        const Mix mix = mix_of(trial);
        // Derivative factors of outputs in (0, 1) and of anything, with the offset's range.
        std::vector<float> a = val.make(n, mix);
        if (trial % 4 == 0)
            for (float &v : a)
                v = val.unit();
        const float off = val.unit() * 0.05f;
        const std::vector<float> e = val.guarded(n, mix);
        std::vector<float> el = e, ef = e;
        BPderiv_sig1(a.data(), el.data(), n, off);
        K::template deriv_sig1<n>(a.data(), ef.data(), off);
        EXPECT_SAME(el, ef, shape_name("deriv_sig1", n, 1));

        const std::vector<float> g = val.guarded(n, mix);
        std::vector<float> gl = g, gf = g;
        BPaccum_biases(gl.data(), e.data(), n);
        K::template accum_biases<n>(gf.data(), e.data());
        EXPECT_SAME(gl, gf, shape_name("accum_biases", n, 1));

        // Momentum update: constant and run-time sizes, with and without clearing.
        const float mom = trial % 3 == 0 ? 0.95f : val.unit();
        const std::vector<float> W = val.guarded(n, mix), p = val.guarded(n, mix);
        std::vector<float> Wl = W, pl = p, Wf = W, pf = p;
        BPupdate_weights(mom, g.data(), Wl.data(), pl.data(), n);
        K::template update<n>(mom, g.data(), Wf.data(), pf.data());
        EXPECT_SAME(Wl, Wf, shape_name("update_weights W", n, 1));
        EXPECT_SAME(pl, pf, shape_name("update_weights p", n, 1));
        Wf = W;
        pf = p;
        K::update(mom, g.data(), Wf.data(), pf.data(), n);
        EXPECT_SAME(Wl, Wf, shape_name("update_weights(n) W", n, 1));
        EXPECT_SAME(pl, pf, shape_name("update_weights(n) p", n, 1));

        std::vector<float> gz = g;
        std::fill(gz.begin(), gz.begin() + n, 0.0f);
        gf = g;
        Wf = W;
        pf = p;
        K::template update_clear<n>(mom, gf.data(), Wf.data(), pf.data());
        EXPECT_SAME(Wl, Wf, shape_name("update_weights_clear W", n, 1));
        EXPECT_SAME(pl, pf, shape_name("update_weights_clear p", n, 1));
        EXPECT_SAME(gz, gf, shape_name("update_weights_clear g", n, 1));
        gf = g;
        Wf = W;
        pf = p;
        K::update_clear(mom, gf.data(), Wf.data(), pf.data(), n);
        EXPECT_SAME(Wl, Wf, shape_name("update_weights_clear(n) W", n, 1));
        EXPECT_SAME(pl, pf, shape_name("update_weights_clear(n) p", n, 1));
        EXPECT_SAME(gz, gf, shape_name("update_weights_clear(n) g", n, 1));
    }
}

template <int n, int m>
struct Shape {};

// Columns (sources) and units: every remainder modulo 2, 4, 8 and 16 on both sides, the
// shapes of the benchmark networks, shapes large enough for the widest path's 512-bit kernels
// with every way its last block of units can be made up, and sources wider than the stack
// widening. The accumulations take the same shapes (units, columns).
template <typename K, int... n, int... m>
void check_shapes(Values &val, Shape<n, m>...)
{
    (check_dot_products<K, n, m>(val), ...);
    (check_accumulation<K, m, n>(val), ...);
}

template <typename K>
void check_path()
{
    if (!bp_multi::path_runs(K::path))
        GTEST_SKIP() << "this machine cannot run the " << bp_multi::path_name(K::path) << " path";
    Values val(1000u + static_cast<unsigned>(K::path));
    check_shapes<K>(val, Shape<1, 1>{}, Shape<1, 7>{}, Shape<2, 3>{}, Shape<3, 2>{}, Shape<4, 4>{}, Shape<5, 9>{},
                    Shape<6, 6>{}, Shape<7, 5>{}, Shape<8, 3>{}, Shape<9, 12>{}, Shape<10, 15>{}, Shape<11, 17>{},
                    Shape<12, 1>{}, Shape<13, 8>{}, Shape<14, 13>{}, Shape<15, 16>{}, Shape<16, 10>{},
                    Shape<17, 4>{}, Shape<19, 24>{}, Shape<23, 2>{}, Shape<24, 20>{}, Shape<29, 11>{},
                    Shape<31, 33>{}, Shape<32, 10>{}, Shape<33, 32>{}, Shape<47, 19>{}, Shape<64, 32>{},
                    Shape<64, 10>{}, Shape<100, 7>{}, Shape<128, 10>{}, Shape<130, 40>{}, Shape<784, 128>{},
                    Shape<785, 3>{}, Shape<100, 45>{}, Shape<77, 59>{}, Shape<129, 34>{}, Shape<65, 71>{},
                    Shape<4099, 5>{}, Shape<4104, 9>{});
    [&]<int... n>(std::integer_sequence<int, n...>) {
        (check_elementwise<K, n + 1>(val), ...);
    }(std::make_integer_sequence<int, 17>{});
    check_elementwise<K, 31>(val);
    check_elementwise<K, 64>(val);
    check_elementwise<K, 128>(val);
    check_elementwise<K, 1003>(val);
    check_elementwise<K, 4101>(val);
    check_elementwise<K, 100003>(val);
}

#if BPNET_MULTI_PATH_PART(0)
TEST(MultiUnitKernels, PortablePathMatchesTheLibrary) { check_path<Portable>(); }
#endif
#if BP_MULTI_X86 && BPNET_MULTI_PATH_PART(1)
TEST(MultiUnitKernels, Sse2PathMatchesTheLibrary) { check_path<Sse2>(); }
#endif
#if BP_MULTI_X86 && BPNET_MULTI_PATH_PART(2)
TEST(MultiUnitKernels, Avx2PathMatchesTheLibrary) { check_path<Avx2>(); }
#endif
#if BP_MULTI_X86 && BPNET_MULTI_PATH_PART(3)
TEST(MultiUnitKernels, Avx512PathMatchesTheLibrary) { check_path<Avx512>(); }
#endif

#if BPNET_MULTI_PART == 0

// The kernels with their sizes given at run time (those of a network built at run time),
// behind one interface per path.
#define BP_RUN_TIME_SET(Name, ns, which)                                                               \
    struct Name {                                                                                      \
        static constexpr Path path = which;                                                            \
        static void lvdot(const float *W, const float *x, float *d, int n, int m)                      \
        {                                                                                              \
            bp_multi::ns::lvdot(W, x, d, n, m);                                                        \
        }                                                                                              \
        static void lvdot_sum(const float *W, const float *x, float *d, int n, int m)                  \
        {                                                                                              \
            bp_multi::ns::lvdot_sum(W, x, d, n, m);                                                    \
        }                                                                                              \
        static void from_input(const float *e, const float *x, float *g, int m, int n)                 \
        {                                                                                              \
            bp_multi::ns::accum_weights_from_input(e, x, g, m, n);                                     \
        }                                                                                              \
        static void from_hidden(const float *e, const float *x, float *h, const float *W, float *g,    \
                                int m, int n)                                                          \
        {                                                                                              \
            bp_multi::ns::accum_weights_from_hidden(e, x, h, W, g, m, n);                              \
        }                                                                                              \
        static void deriv_sig1(const float *a, float *e, float off, int n)                             \
        {                                                                                              \
            bp_multi::ns::deriv_sig1(a, e, off, n);                                                    \
        }                                                                                              \
        static void accum_biases(float *g, const float *e, int n) { bp_multi::ns::accum_biases(g, e, n); } \
    }

BP_RUN_TIME_SET(PortableRunTime, portable, Path::portable);
#if BP_MULTI_X86
BP_RUN_TIME_SET(Sse2RunTime, sse2, Path::sse2);
BP_RUN_TIME_SET(Avx2RunTime, avx2, Path::avx2);
BP_RUN_TIME_SET(Avx512RunTime, avx512, Path::avx512);
#endif

// The run-time-size kernels against the library: every shape of up to 20 columns and 17 units,
// and the constant-size shapes above (the wide ones among them take the 512-bit dot products);
// the elementwise kernels at every length up to 40 and around the widening limit.
template <typename K>
void check_run_time_path()
{
    if (!bp_multi::path_runs(K::path))
        GTEST_SKIP() << "this machine cannot run the " << bp_multi::path_name(K::path) << " path";
    Values val(3000u + static_cast<unsigned>(K::path));
    std::vector<std::pair<int, int>> shapes;  // columns, units
    for (int n = 1; n <= 20; n++)
        for (int m = 1; m <= 17; m++)
            shapes.push_back({n, m});
    for (const auto &nm : {std::pair{31, 33}, {47, 19}, {64, 32}, {100, 45}, {77, 59}, {129, 34}, {65, 71},
                           {130, 40}, {150, 45}, {784, 128}, {785, 3}, {4099, 5}, {4104, 9}})
        shapes.push_back(nm);
    for (const auto &[n, m] : shapes) {
        for (int trial = 0; trial < (n * m > 2000 ? 4 : 8); trial++) {
            const Mix mix = mix_of(trial);
            const std::vector<float> W = val.make(n * m, mix), x = val.make(n, mix), e = val.make(m, mix);
            const std::vector<float> d = val.guarded(m, mix), g = val.guarded(n * m, mix), h = val.guarded(n, mix);
            std::vector<float> lib = d, fast = d;
            BPlvdot(W.data(), x.data(), n, lib.data(), n, m);
            K::lvdot(W.data(), x.data(), fast.data(), n, m);
            EXPECT_SAME(lib, fast, shape_name("lvdot(n, m)", n, m));
            lib = d;
            fast = d;
            BPlvdot_sum(W.data(), x.data(), n, lib.data(), n, m);
            K::lvdot_sum(W.data(), x.data(), fast.data(), n, m);
            EXPECT_SAME(lib, fast, shape_name("lvdot_sum(n, m)", n, m));
            std::vector<float> gl = g, gf = g;
            BPaccum_weights_from_input(e.data(), x.data(), gl.data(), m, n, n);
            K::from_input(e.data(), x.data(), gf.data(), m, n);
            EXPECT_SAME(gl, gf, shape_name("accum_weights_from_input(m, n)", m, n));
            gl = g;
            gf = g;
            std::vector<float> hl = h, hf = h;
            BPaccum_weights_from_hidden(e.data(), x.data(), hl.data(), W.data(), gl.data(), m, n, n);
            K::from_hidden(e.data(), x.data(), hf.data(), W.data(), gf.data(), m, n);
            EXPECT_SAME(gl, gf, shape_name("accum_weights_from_hidden(m, n) g", m, n));
            EXPECT_SAME(hl, hf, shape_name("accum_weights_from_hidden(m, n) h", m, n));
        }
    }
    for (int n = 1; n <= 4110; n += n == 40 ? 4050 : 1) {
        const Mix mix = mix_of(n);
        const std::vector<float> a = val.make(n, mix), e = val.guarded(n, mix), g = val.guarded(n, mix);
        const float off = val.unit() * 0.05f;
        std::vector<float> el = e, ef = e;
        BPderiv_sig1(a.data(), el.data(), n, off);
        K::deriv_sig1(a.data(), ef.data(), off, n);
        EXPECT_SAME(el, ef, shape_name("deriv_sig1(n)", n, 1));
        std::vector<float> gl = g, gf = g;
        BPaccum_biases(gl.data(), e.data(), n);
        K::accum_biases(gf.data(), e.data(), n);
        EXPECT_SAME(gl, gf, shape_name("accum_biases(n)", n, 1));
    }
}

TEST(MultiUnitKernels, RunTimeSizesPortable) { check_run_time_path<PortableRunTime>(); }

#if BP_MULTI_X86
TEST(MultiUnitKernels, RunTimeSizesSse2) { check_run_time_path<Sse2RunTime>(); }
TEST(MultiUnitKernels, RunTimeSizesAvx2) { check_run_time_path<Avx2RunTime>(); }
TEST(MultiUnitKernels, RunTimeSizesAvx512) { check_run_time_path<Avx512RunTime>(); }
#endif

// Run-time sizes of the update, every length around the vector widths and around the size
// where the widest path changes its vectors, including zero.
template <typename K>
void check_update_lengths()
{
    if (!bp_multi::path_runs(K::path))
        GTEST_SKIP() << "this machine cannot run the " << bp_multi::path_name(K::path) << " path";
    Values val(77u);
    for (int n = 0; n <= 4110; n += n == 70 ? 4020 : 1) {
        const std::vector<float> g = val.guarded(n, Mix::special), W = val.guarded(n, Mix::special), p = val.guarded(n, Mix::special);
        std::vector<float> Wl = W, pl = p, Wf = W, pf = p, gf = g, gz = g;
        BPupdate_weights(0.95f, g.data(), Wl.data(), pl.data(), n);
        std::fill(gz.begin(), gz.begin() + n, 0.0f);
        K::update(0.95f, g.data(), Wf.data(), pf.data(), n);
        EXPECT_SAME(Wl, Wf, shape_name("update_weights(n) W", n, 1));
        EXPECT_SAME(pl, pf, shape_name("update_weights(n) p", n, 1));
        Wf = W;
        pf = p;
        K::update_clear(0.95f, gf.data(), Wf.data(), pf.data(), n);
        EXPECT_SAME(Wl, Wf, shape_name("update_weights_clear(n) W", n, 1));
        EXPECT_SAME(gz, gf, shape_name("update_weights_clear(n) g", n, 1));
    }
}

TEST(MultiUnitKernels, RunTimeUpdateLengths)
{
    check_update_lengths<Portable>();
#if BP_MULTI_X86
    check_update_lengths<Sse2>();
    if (bp_multi::path_runs(Path::avx2))
        check_update_lengths<Avx2>();
    if (bp_multi::path_runs(Path::avx512))
        check_update_lengths<Avx512>();
#endif
}

#if BP_MULTI_X86
// The width-generic kernels over eight lanes, called directly: the avx512 path takes them only
// for wide rows and long vectors and hands the rest to the four-lane kernels, so its own test
// leaves their narrow forms (fewer values than a vector, every remainder) unexercised.
struct Lanes8Generic {
    using L = bp_multi::avx512::detail::Lanes8;
    static constexpr Path path = Path::avx512;
    template <int m, int n>
    static void from_input(const float *e, const float *x, float *g)
    {
        bp_multi::avx512::detail::gradient_rows<L, m, n>(e, x, g);
    }
    template <int m, int n>
    static void from_hidden(const float *e, const float *x, float *h, const float *W, float *g)
    {
        bp_multi::avx512::detail::hidden_rows<L, m, n>(e, x, h, W, g);
    }
    template <int n>
    static void deriv_sig1(const float *a, float *e, float off)
    {
        bp_multi::avx512::detail::derivative<L, n>(a, e, off);
    }
    template <int n>
    static void accum_biases(float *g, const float *e)
    {
        bp_multi::avx512::detail::bias_sums<L, n>(g, e);
    }
    template <int n>
    static void update(float mom, const float *g, float *W, float *p)
    {
        update(mom, g, W, p, n);
    }
    static void update(float mom, const float *g, float *W, float *p, int n)
    {
        bp_multi::avx512::detail::momentum_update<L, false>(mom, const_cast<float *>(g), W, p, n);
    }
    template <int n>
    static void update_clear(float mom, float *g, float *W, float *p)
    {
        update_clear(mom, g, W, p, n);
    }
    static void update_clear(float mom, float *g, float *W, float *p, int n)
    {
        bp_multi::avx512::detail::momentum_update<L, true>(mom, g, W, p, n);
    }
};

TEST(MultiUnitKernels, EightLaneGenericKernelsAtEveryWidth)
{
    if (!bp_multi::path_runs(Path::avx512))
        GTEST_SKIP() << "this machine cannot run the avx512 path";
    Values val(4242u);
    [&]<int... n>(std::integer_sequence<int, n...>) {
        (check_elementwise<Lanes8Generic, n + 1>(val), ...);
        (check_accumulation<Lanes8Generic, 3, n + 1>(val), ...);
    }(std::make_integer_sequence<int, 17>{});
    check_accumulation<Lanes8Generic, 10, 64>(val);
    check_accumulation<Lanes8Generic, 7, 100>(val);
    check_elementwise<Lanes8Generic, 31>(val);
    check_elementwise<Lanes8Generic, 1003>(val);
    check_update_lengths<Lanes8Generic>();
}
#endif

// Path names, the widest path, and the choice through the environment.
TEST(MultiUnitKernels, PathChoice)
{
    EXPECT_STREQ(bp_multi::path_name(Path::portable), "portable");
    EXPECT_STREQ(bp_multi::path_name(Path::sse2), "sse2");
    EXPECT_STREQ(bp_multi::path_name(Path::avx2), "avx2");
    EXPECT_STREQ(bp_multi::path_name(Path::avx512), "avx512");
    EXPECT_TRUE(bp_multi::path_runs(Path::portable));
    const Path best = bp_multi::best_path();
    EXPECT_TRUE(bp_multi::path_runs(best));
    for (int i = static_cast<int>(best) + 1; i < bp_multi::kPathCount; i++)
        EXPECT_FALSE(bp_multi::path_runs(static_cast<Path>(i)));
#if BP_MULTI_X86
    EXPECT_TRUE(bp_multi::path_runs(Path::sse2));
#endif

    // In a fresh process each time, since the choice is made once per process. The child
    // judges the widest path itself: it may not see the processor as this process does (under
    // an emulator that runs only this process, for one).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            unsetenv("BPNET_KERNEL_PATH");
            std::exit(bp_multi::active_path() == bp_multi::best_path() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("BPNET_KERNEL_PATH", "portable", 1);
            std::exit(bp_multi::active_path() == Path::portable ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            setenv("BPNET_KERNEL_PATH", "vector9000", 1);
            std::exit(bp_multi::active_path() == bp_multi::best_path() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "BPNET_KERNEL_PATH=vector9000: unknown kernel path");
#if BP_MULTI_X86
    EXPECT_EXIT(
        {
            setenv("BPNET_KERNEL_PATH", "sse2", 1);
            std::exit(bp_multi::active_path() == Path::sse2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
#endif
}
#endif  // BPNET_MULTI_PART == 0

}  // namespace
