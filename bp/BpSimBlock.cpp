// Block kernels of full connections and receptive fields: one copy of the kernels of
// bp/BpSimBlock.inc per kernel path, over the path's lanes, and the choice of the path. Each sum keeps the one-row order
// (sources ascending, rows ascending, units ascending), so every path stores the same bits.
#include "bp/BpSimBlock.h"

namespace bp_block {

// A receptive field connection as the field kernels take it: a grid of `down` rows of `across`
// units (1-D: one row of m), each summing `height` field rows (1-D: one) of `width` sources.
// Unit u of grid row r reads, in field row j, the weights from W + r*w_down + j*w_row +
// u*w_unit and the sources from column r*x_down + j*x_row + u*x_unit of its row; every column
// it reads lies in [lo, hi). `first`: the first field row's sum overwrites the unit's value
// rather than adding to it.
struct FieldShape {
    const float *W;
    int across, down, width, height;
    std::ptrdiff_t w_unit, w_row, w_down;
    std::ptrdiff_t x_unit, x_row, x_down;
    std::ptrdiff_t lo, hi;
    bool first;
};

namespace portable {
#define BP_BLOCK_TARGET
#include "bp/BpSimBlock.inc"
#undef BP_BLOCK_TARGET
}  // namespace portable

#if BP_MULTI_X86

namespace sse2 {

// Two double lanes, in the instruction set every x86-64 processor has.
struct Lanes2 {
    using V = __m128d;
    static constexpr int width = 2;
    static constexpr int dot_rows = 6, dot_vectors = 2;
    static constexpr int grad_units = 4, grad_vectors = 2;
    static constexpr int back_rows = 4, back_vectors = 2;
    static constexpr int field_units = 2, field_vectors = 4;

    static V zero() { return _mm_setzero_pd(); }
    static V set1(bp_wide a) { return _mm_set1_pd(a); }
    static V load(const double *p) { return _mm_loadu_pd(p); }
    // Two floats (eight bytes) widened.
    static V load(const float *p)
    {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))));
    }
    static V add(V a, V b) { return _mm_add_pd(a, b); }
    static V madd(V w, V x, V acc) { return _mm_add_pd(acc, _mm_mul_pd(w, x)); }
    static V round(V a) { return _mm_cvtps_pd(_mm_cvtpd_ps(a)); }
    static void store(float *p, V v)
    {
        _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_castps_si128(_mm_cvtpd_ps(v)));
    }
    static void store(double *p, V v) { _mm_storeu_pd(p, v); }
};

#define BP_BLOCK_TARGET
#include "bp/BpSimBlock.inc"
#undef BP_BLOCK_TARGET

}  // namespace sse2

namespace avx2 {

// Four double lanes. The path does not require fused multiply-adds, so madd multiplies and
// then adds (the same bits: the product of two floats is exact in double).
struct Lanes4 {
    using V = __m256d;
    static constexpr int width = 4;
    static constexpr int dot_rows = 6, dot_vectors = 2;
    static constexpr int grad_units = 4, grad_vectors = 2;
    static constexpr int back_rows = 4, back_vectors = 2;
    static constexpr int field_units = 2, field_vectors = 4;

    BP_MULTI_AVX2 static V zero() { return _mm256_setzero_pd(); }
    BP_MULTI_AVX2 static V set1(bp_wide a) { return _mm256_set1_pd(a); }
    BP_MULTI_AVX2 static V load(const double *p) { return _mm256_loadu_pd(p); }
    BP_MULTI_AVX2 static V load(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    BP_MULTI_AVX2 static V add(V a, V b) { return _mm256_add_pd(a, b); }
    BP_MULTI_AVX2 static V madd(V w, V x, V acc) { return _mm256_add_pd(acc, _mm256_mul_pd(w, x)); }
    BP_MULTI_AVX2 static V round(V a) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(a)); }
    BP_MULTI_AVX2 static void store(float *p, V v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
    BP_MULTI_AVX2 static void store(double *p, V v) { _mm256_storeu_pd(p, v); }
};

#define BP_BLOCK_TARGET BP_MULTI_AVX2
#include "bp/BpSimBlock.inc"
#undef BP_BLOCK_TARGET

}  // namespace avx2

namespace avx512 {

// Eight double lanes; madd is the fused multiply-add of the instruction set, exact here since
// its product is (a float times a float) and so is rounded only once in either form.
struct Lanes8 {
    using V = __m512d;
    static constexpr int width = 8;
    static constexpr int dot_rows = 12, dot_vectors = 2;
    static constexpr int grad_units = 6, grad_vectors = 3;
    static constexpr int back_rows = 4, back_vectors = 3;
    static constexpr int field_units = 4, field_vectors = 2;

    BP_MULTI_AVX512 static V zero() { return _mm512_setzero_pd(); }
    BP_MULTI_AVX512 static V set1(bp_wide a) { return _mm512_set1_pd(a); }
    BP_MULTI_AVX512 static V load(const double *p) { return _mm512_loadu_pd(p); }
    BP_MULTI_AVX512 static V load(const float *p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    BP_MULTI_AVX512 static V add(V a, V b) { return _mm512_add_pd(a, b); }
    BP_MULTI_AVX512 static V madd(V w, V x, V acc) { return _mm512_fmadd_pd(w, x, acc); }
    BP_MULTI_AVX512 static V round(V a) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(a)); }
    BP_MULTI_AVX512 static void store(float *p, V v) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(v)); }
    BP_MULTI_AVX512 static void store(double *p, V v) { _mm512_storeu_pd(p, v); }
};

#define BP_BLOCK_TARGET BP_MULTI_AVX512
#include "bp/BpSimBlock.inc"
#undef BP_BLOCK_TARGET

}  // namespace avx512

#endif

void make_panel(const float *W, const int n, const int m, Panel &p)
{
    constexpr int block = 16;
    p.n = n;
    p.m = m;
    p.stride = (m + kPanelUnits - 1) / kPanelUnits * kPanelUnits;
    // Every value is written below, the padding with zeros, so the panel is not cleared first.
    p.w.resize(static_cast<std::size_t>(n) * static_cast<std::size_t>(p.stride));
    for (int k = 0; k < n; k++)
        for (int u = m; u < p.stride; u++)
            p.w[static_cast<std::size_t>(k) * p.stride + u] = 0.0;
    // Transpose in blocks of units by sources, so that both sides stay in cache.
    for (int u0 = 0; u0 < m; u0 += block) {
        const int u1 = u0 + block < m ? u0 + block : m;
        for (int k0 = 0; k0 < n; k0 += block) {
            const int k1 = k0 + block < n ? k0 + block : n;
            for (int k = k0; k < k1; k++) {
                double *to = p.w.data() + static_cast<std::size_t>(k) * p.stride;
                for (int u = u0; u < u1; u++)
                    to[u] = W[static_cast<std::ptrdiff_t>(u) * n + k];
            }
        }
    }
}

void dot_on(const Path path, const Panel &p, const float *X, const std::ptrdiff_t ldx, float *D,
            const std::ptrdiff_t ldd, const int rows, const bool first)
{
    switch (path) {
#if BP_MULTI_X86
    case Path::avx512:
        return avx512::dot_run<avx512::Lanes8>(p, X, ldx, D, ldd, rows, first);
    case Path::avx2:
        return avx2::dot_run<avx2::Lanes4>(p, X, ldx, D, ldd, rows, first);
    case Path::sse2:
        return sse2::dot_run<sse2::Lanes2>(p, X, ldx, D, ldd, rows, first);
#endif
    default:
        return portable::dot_run<portable::Lanes1>(p, X, ldx, D, ldd, rows, first);
    }
}

void grad_on(const Path path, const float *E, const std::ptrdiff_t lde, const float *X, const std::ptrdiff_t ldx,
             float *G, const int n, const int m, const int rows)
{
    switch (path) {
#if BP_MULTI_X86
    case Path::avx512:
        return avx512::grad_run<avx512::Lanes8>(E, lde, X, ldx, G, n, m, rows);
    case Path::avx2:
        return avx2::grad_run<avx2::Lanes4>(E, lde, X, ldx, G, n, m, rows);
    case Path::sse2:
        return sse2::grad_run<sse2::Lanes2>(E, lde, X, ldx, G, n, m, rows);
#endif
    default:
        return portable::grad_run<portable::Lanes1>(E, lde, X, ldx, G, n, m, rows);
    }
}

void back_on(const Path path, const float *E, const std::ptrdiff_t lde, const float *W, const int n, const int m,
             float *H, const std::ptrdiff_t ldh, const int rows)
{
    switch (path) {
#if BP_MULTI_X86
    case Path::avx512:
        return avx512::back_run<avx512::Lanes8>(E, lde, W, n, m, H, ldh, rows);
    case Path::avx2:
        return avx2::back_run<avx2::Lanes4>(E, lde, W, n, m, H, ldh, rows);
    case Path::sse2:
        return sse2::back_run<sse2::Lanes2>(E, lde, W, n, m, H, ldh, rows);
#endif
    default:
        return portable::back_run<portable::Lanes1>(E, lde, W, n, m, H, ldh, rows);
    }
}

namespace {

// The columns a field reads: from the lowest to one past the highest, over every grid row,
// field row and unit (none when it reads no sources).
void field_extent(FieldShape &f)
{
    f.lo = f.hi = 0;
    if (f.across <= 0 || f.down <= 0 || f.height <= 0 || f.width <= 0)
        return;
    const std::ptrdiff_t steps[][2] = {{f.down - 1, f.x_down}, {f.height - 1, f.x_row}, {f.across - 1, f.x_unit}};
    for (const auto &s : steps) {
        const std::ptrdiff_t far = s[0] * s[1];
        f.lo += far < 0 ? far : 0;
        f.hi += far > 0 ? far : 0;
    }
    f.hi += f.width;
}

// The field kernels of a path.
void field_on(const Path path, const FieldShape &f, const float *X, const std::ptrdiff_t ldx, float *D,
              const std::ptrdiff_t ldd, const int rows)
{
    switch (path) {
#if BP_MULTI_X86
    case Path::avx512:
        return avx512::field_run<avx512::Lanes8>(f, X, ldx, D, ldd, rows);
    case Path::avx2:
        return avx2::field_run<avx2::Lanes4>(f, X, ldx, D, ldd, rows);
    case Path::sse2:
        return sse2::field_run<sse2::Lanes2>(f, X, ldx, D, ldd, rows);
#endif
    default:
        return portable::field_run<portable::Lanes1>(f, X, ldx, D, ldd, rows);
    }
}

}  // namespace

void field1d_dot_on(const Path path, const float *W, const int ov, const int n, const int m, const bool shared,
                    const float *X, const std::ptrdiff_t ldx, float *D, const std::ptrdiff_t ldd, const int rows,
                    const bool first)
{
    // One grid row of m units, one field row of n sources each.
    FieldShape f{.W = W,
                 .across = m,
                 .down = 1,
                 .width = n,
                 .height = 1,
                 .w_unit = shared ? 0 : n,
                 .w_row = 0,
                 .w_down = 0,
                 .x_unit = n - ov,
                 .x_row = 0,
                 .x_down = 0,
                 .lo = 0,
                 .hi = 0,
                 .first = first};
    field_extent(f);
    field_on(path, f, X, ldx, D, ldd, rows);
}

void field2d_dot_on(const Path path, const int U, const int R, const int KW, const int KH, const float *W,
                    const int ov, const int WS, const int S, const int B, const bool shared, const float *X,
                    const std::ptrdiff_t ldx, float *D, const std::ptrdiff_t ldd, const int rows)
{
    // Weights [grid row][field row][unit][column] (WS per field row), or one KH x KW kernel;
    // field rows S sources apart, grid rows KH*S - B.
    const std::ptrdiff_t ws = WS, s = S;
    FieldShape f{.W = W,
                 .across = U,
                 .down = R,
                 .width = KW,
                 .height = KH,
                 .w_unit = shared ? 0 : KW,
                 .w_row = shared ? KW : ws,
                 .w_down = shared ? 0 : KH * ws,
                 .x_unit = KW - ov,
                 .x_row = s,
                 .x_down = KH * s - B,
                 .lo = 0,
                 .hi = 0,
                 .first = false};
    field_extent(f);
    field_on(path, f, X, ldx, D, ldd, rows);
}

void field1d_dot(const float *W, const int ov, const int n, const int m, const bool shared, const float *X,
                 const std::ptrdiff_t ldx, float *D, const std::ptrdiff_t ldd, const int rows, const bool first)
{
    field1d_dot_on(bp_multi::active_path(), W, ov, n, m, shared, X, ldx, D, ldd, rows, first);
}

void field2d_dot(const int U, const int R, const int KW, const int KH, const float *W, const int ov, const int WS,
                 const int S, const int B, const bool shared, const float *X, const std::ptrdiff_t ldx, float *D,
                 const std::ptrdiff_t ldd, const int rows)
{
    field2d_dot_on(bp_multi::active_path(), U, R, KW, KH, W, ov, WS, S, B, shared, X, ldx, D, ldd, rows);
}

void dot(const Panel &p, const float *X, const std::ptrdiff_t ldx, float *D, const std::ptrdiff_t ldd, const int rows,
         const bool first)
{
    dot_on(bp_multi::active_path(), p, X, ldx, D, ldd, rows, first);
}

void grad(const float *E, const std::ptrdiff_t lde, const float *X, const std::ptrdiff_t ldx, float *G, const int n,
          const int m, const int rows)
{
    grad_on(bp_multi::active_path(), E, lde, X, ldx, G, n, m, rows);
}

void back(const float *E, const std::ptrdiff_t lde, const float *W, const int n, const int m, float *H,
          const std::ptrdiff_t ldh, const int rows)
{
    back_on(bp_multi::active_path(), E, lde, W, n, m, H, ldh, rows);
}

}  // namespace bp_block
