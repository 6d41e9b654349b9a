// Benchmarks of the block kernels of full connections on every kernel path this machine runs:
// forward (dot), gradient (grad) and deltas passed back (back) for 784 sources by 128 units
// over blocks of 200 and 5000 rows, and 128 by 10 over the same blocks; beside them the one-row
// forward kernel over the same rows, and the making of a panel. Then a 2-D receptive field
// layer of the digit example's shape over 200 rows: the block kernel on every path against the
// one-row kernel row by row.
//
// Counters: us_row is the CPU time per row in microseconds; GFLOPs counts two flops per
// multiply-add (2*n*m per row for each kernel); peak is GFLOPs as a fraction of one core's
// double-precision fused multiply-add peak, which this file takes as kPeakGflops: two 512-bit
// FMA pipes x 8 doubles x 2 flops x 3.36 GHz = 107.5 GFLOP/s. The clock is the one a loop of
// independent 512-bit FMAs sustains on the development machine (AMD EPYC, 2 cores, AVX-512),
// which runs above the 2.1 GHz /proc/cpuinfo reports (at 2.1 GHz the peak would be 67 GFLOP/s).
// A path's own ceiling is the fraction of its width: avx2 0.5, sse2 0.25, portable 0.125.
//
// Options are Google Benchmark's, e.g. --benchmark_filter=avx512 or --benchmark_min_time=0.2.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSimBlock.h"

namespace {

using bp_multi::Path;

constexpr double kPeakGflops = 2.0 * 8.0 * 2.0 * 3.36;

// The arrays of one shape: weights and their panel, inputs, errors, outputs, deltas, gradient.
struct Block {
    int n, m, rows;
    std::vector<float> W, X, E, D, H, G;
    bp_block::Panel panel;
};

Block make_block(int n, int m, int rows)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    auto fill = [&](std::vector<float> &a, std::size_t count) {
        a.resize(count);
        for (float &v : a)
            v = value(rng);
    };
    Block b{n, m, rows, {}, {}, {}, {}, {}, {}, {}};
    const std::size_t r = static_cast<std::size_t>(rows);
    fill(b.W, static_cast<std::size_t>(m) * n);
    fill(b.X, r * n);
    fill(b.E, r * m);
    fill(b.D, r * m);
    fill(b.H, r * n);
    fill(b.G, static_cast<std::size_t>(m) * n);
    bp_block::make_panel(b.W.data(), n, m, b.panel);
    return b;
}

// Per-row time, flop rate and fraction of the peak of one pass over the block.
void set_counters(benchmark::State &state, const Block &b)
{
    const double flops = 2.0 * b.n * b.m * b.rows;
    state.counters["us_row"] =
        benchmark::Counter(b.rows * 1e-6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["GFLOPs"] = benchmark::Counter(flops * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["peak"] = benchmark::Counter(flops * 1e-9 / kPeakGflops, benchmark::Counter::kIsIterationInvariantRate);
}

void bench_dot(benchmark::State &state, Path path, Block *b)
{
    for (auto _ : state) {
        bp_block::dot_on(path, b->panel, b->X.data(), b->n, b->D.data(), b->m, b->rows, true);
        benchmark::DoNotOptimize(b->D.data());
    }
    set_counters(state, *b);
}

void bench_grad(benchmark::State &state, Path path, Block *b)
{
    for (auto _ : state) {
        bp_block::grad_on(path, b->E.data(), b->m, b->X.data(), b->n, b->G.data(), b->n, b->m, b->rows);
        benchmark::DoNotOptimize(b->G.data());
    }
    set_counters(state, *b);
}

void bench_back(benchmark::State &state, Path path, Block *b)
{
    for (auto _ : state) {
        bp_block::back_on(path, b->E.data(), b->m, b->W.data(), b->n, b->m, b->H.data(), b->n, b->rows);
        benchmark::DoNotOptimize(b->H.data());
    }
    set_counters(state, *b);
}

// The one-row forward kernel, row after row: what the block kernels replace.
void bench_one_row(benchmark::State &state, Block *b)
{
    for (auto _ : state) {
        for (int r = 0; r < b->rows; r++)
            BPlvdot(b->W.data(), b->X.data() + static_cast<std::ptrdiff_t>(r) * b->n, b->n,
                    b->D.data() + static_cast<std::ptrdiff_t>(r) * b->m, b->n, b->m);
        benchmark::DoNotOptimize(b->D.data());
    }
    set_counters(state, *b);
}

// Making the panel of the weights (reported per row of the block it would serve).
void bench_panel(benchmark::State &state, Block *b)
{
    for (auto _ : state) {
        bp_block::make_panel(b->W.data(), b->n, b->m, b->panel);
        benchmark::DoNotOptimize(b->panel.w.data());
    }
}

// A 2-D field layer like a feature map of the digit example: an 8x8 source grid, a 6x6 grid of
// units, each seeing a 3x3 patch (overlap 2) through one shared kernel.
struct FieldLayer {
    static constexpr int U = 6, R = 6, KW = 3, KH = 3, ov = 2, S = 8, B = ov * S, sources = 64, units = U * R;
    int rows;
    std::vector<float> W, X, D;
};

FieldLayer make_field_layer(int rows)
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    FieldLayer f{rows, std::vector<float>(FieldLayer::KW * FieldLayer::KH),
                 std::vector<float>(static_cast<std::size_t>(rows) * FieldLayer::sources),
                 std::vector<float>(static_cast<std::size_t>(rows) * FieldLayer::units)};
    for (float &v : f.W)
        v = value(rng);
    for (float &v : f.X)
        v = value(rng);
    return f;
}

// The units cleared, then the block kernel over every row (on `path`), or the one-row kernel
// row after row (one_row), as a forward pass over the layer takes them.
void bench_field2d(benchmark::State &state, Path path, bool one_row, FieldLayer *f)
{
    using L = FieldLayer;
    for (auto _ : state) {
        std::fill(f->D.begin(), f->D.end(), 0.0f);
        if (one_row)
            for (int r = 0; r < f->rows; r++)
                BPlvdot2d_share(L::U, L::R, L::KW, L::KH, f->W.data(), f->X.data() + r * L::sources,
                                f->D.data() + r * L::units, L::ov, L::S, L::B);
        else
            bp_block::field2d_dot_on(path, L::U, L::R, L::KW, L::KH, f->W.data(), L::ov, L::U * L::KW, L::S, L::B,
                                     true, f->X.data(), L::sources, f->D.data(), L::units, f->rows);
        benchmark::DoNotOptimize(f->D.data());
    }
    state.counters["us_row"] =
        benchmark::Counter(f->rows * 1e-6, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char **argv)
{
    static std::vector<Block> blocks;
    const int shapes[][3] = {{784, 128, 200}, {784, 128, 5000}, {128, 10, 200}, {128, 10, 5000}};
    blocks.reserve(sizeof shapes / sizeof shapes[0]);
    for (const auto &s : shapes)
        blocks.push_back(make_block(s[0], s[1], s[2]));
    // Register: every kernel on every path that runs, each shape.
    for (Block &b : blocks) {
        const std::string shape = std::to_string(b.n) + "x" + std::to_string(b.m) + "/rows:" + std::to_string(b.rows);
        for (int pi = bp_multi::kPathCount - 1; pi >= 0; pi--) {
            const Path path = static_cast<Path>(pi);
            if (!bp_multi::path_runs(path))
                continue;
            const std::string at = std::string("/") + bp_multi::path_name(path) + "/" + shape;
            benchmark::RegisterBenchmark(("dot" + at).c_str(), bench_dot, path, &b);
            benchmark::RegisterBenchmark(("grad" + at).c_str(), bench_grad, path, &b);
            benchmark::RegisterBenchmark(("back" + at).c_str(), bench_back, path, &b);
        }
        benchmark::RegisterBenchmark(("dot/one-row/" + shape).c_str(), bench_one_row, &b);
        if (b.rows == 200)
            benchmark::RegisterBenchmark(("panel/" + std::to_string(b.n) + "x" + std::to_string(b.m)).c_str(),
                                         bench_panel, &b);
    }
    // The field layer: block on every path, and one row at a time.
    static FieldLayer field = make_field_layer(200);
    for (int pi = bp_multi::kPathCount - 1; pi >= 0; pi--) {
        const Path path = static_cast<Path>(pi);
        if (bp_multi::path_runs(path))
            benchmark::RegisterBenchmark(
                (std::string("field2d/") + bp_multi::path_name(path) + "/6x6x3x3-shared/rows:200").c_str(),
                bench_field2d, path, false, &field);
    }
    benchmark::RegisterBenchmark("field2d/one-row/6x6x3x3-shared/rows:200", bench_field2d, Path::portable, true,
                                 &field);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
