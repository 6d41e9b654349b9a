// Block kernels: the passes of a full connection, and the forward pass of a receptive field,
// over a block of rows at once, each weight read once for many rows. A row's sums are formed
// exactly as the one-row kernels form them (a double sum from zero, the sources in ascending
// order, rounded to float where they round), so every value a block kernel stores is the one
// the one-row kernels store for that row, whatever the block size, the kernel path or the
// thread that runs it. The gradient of a block sums each weight's products
// over the rows in row order in double and adds the sum to the stored gradient with one rounding.
// Matrices are row-major with a leading dimension (floats from one row to the next). C++ only.
#ifndef BP_BPSIMBLOCK_H
#define BP_BPSIMBLOCK_H

#include <cstddef>
#include <new>
#include <vector>

#include "bp/BpSim.h"
#include "bp/multi/common.h"

namespace bp_block {

using bp_multi::Path;

// The allocator of a panel's weights: storage aligned to a cache line, so that no vector of
// weights a tile loads straddles two lines (the stride keeps every row of the panel aligned).
template <typename T>
struct PanelAllocator {
    using value_type = T;
    static constexpr std::align_val_t kAlign{64};
    PanelAllocator() = default;
    // Any panel allocator converts to any other: they hold no state.
    template <typename U>
    PanelAllocator(const PanelAllocator<U> &) noexcept
    {
    }
    // count values of aligned storage.
    T *allocate(std::size_t count) { return static_cast<T *>(::operator new(count * sizeof(T), kAlign)); }
    // Storage from allocate.
    void deallocate(T *p, std::size_t) noexcept { ::operator delete(p, kAlign); }
    // Storage of one is storage of any other.
    template <typename U>
    bool operator==(const PanelAllocator<U> &) const noexcept
    {
        return true;
    }
};

// The weights of a full connection (m units by n sources, W[u*n+k]) widened to double and
// stored source-major, so that a register tile of rows by units reads each weight once:
// w[k*stride + u], stride m rounded up to kPanelUnits (the padding is zero).
struct Panel {
    std::vector<bp_wide, PanelAllocator<bp_wide>> w;
    int n = 0;
    int m = 0;
    int stride = 0;
};
constexpr int kPanelUnits = 16;

// The panel of W (m units by n sources).
void make_panel(const float *W, int n, int m, Panel &p);

// Forward over `rows` rows: D[r*ldd+u] = s (first) or D[r*ldd+u] + s (rounded once), where
// s = sum over k ascending of W[u*n+k]*X[r*ldx+k] in double (BPlvdot, BPlvdot_sum per row).
void dot(const Panel &p, const float *X, std::ptrdiff_t ldx, float *D, std::ptrdiff_t ldd, int rows, bool first);

// Forward of a 1-D receptive field over `rows` rows (row r's sources at X + r*ldx, its units at
// D + r*ldd), each row as BPlvdot (first) or BPlvdot_sum, or their _share forms when shared.
void field1d_dot(const float *W, int ov, int n, int m, bool shared, const float *X, std::ptrdiff_t ldx, float *D,
                 std::ptrdiff_t ldd, int rows, bool first);

// Forward of a 2-D receptive field over `rows` rows, each row as BPlvdot2d, or BPlvdot2d_share
// when shared (WS unused then): the values are added to, so the caller clears them first.
void field2d_dot(int U, int R, int KW, int KH, const float *W, int ov, int WS, int S, int B, bool shared,
                 const float *X, std::ptrdiff_t ldx, float *D, std::ptrdiff_t ldd, int rows);

// Gradient of a block: G[u*n+k] = G[u*n+k] + s rounded once, where s = sum over r ascending
// of E[r*lde+u]*X[r*ldx+k] in double.
void grad(const float *E, std::ptrdiff_t lde, const float *X, std::ptrdiff_t ldx, float *G, int n, int m, int rows);

// Deltas passed back, each row as the one-row kernel forms them: for u ascending,
// H[r*ldh+k] = H[r*ldh+k] + E[r*lde+u]*W[u*n+k], rounded to float at every step.
void back(const float *E, std::ptrdiff_t lde, const float *W, int n, int m, float *H, std::ptrdiff_t ldh, int rows);

// The same on a given kernel path (tests and benchmarks); the forms above take
// bp_multi::active_path().
void dot_on(Path path, const Panel &p, const float *X, std::ptrdiff_t ldx, float *D, std::ptrdiff_t ldd, int rows,
            bool first);
void grad_on(Path path, const float *E, std::ptrdiff_t lde, const float *X, std::ptrdiff_t ldx, float *G, int n, int m,
             int rows);
void back_on(Path path, const float *E, std::ptrdiff_t lde, const float *W, int n, int m, float *H,
             std::ptrdiff_t ldh, int rows);
void field1d_dot_on(Path path, const float *W, int ov, int n, int m, bool shared, const float *X, std::ptrdiff_t ldx,
                    float *D, std::ptrdiff_t ldd, int rows, bool first);
void field2d_dot_on(Path path, int U, int R, int KW, int KH, const float *W, int ov, int WS, int S, int B,
                    bool shared, const float *X, std::ptrdiff_t ldx, float *D, std::ptrdiff_t ldd, int rows);

}  // namespace bp_block

#endif
