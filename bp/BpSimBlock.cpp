// Block kernels of full connections: every path runs the plain loops below for now, which keep
// the one-row order of every sum.
#include "bp/BpSimBlock.h"

namespace bp_block {

void make_panel(const float *W, const int n, const int m, Panel &p)
{
    p.n = n;
    p.m = m;
    p.stride = (m + kPanelUnits - 1) / kPanelUnits * kPanelUnits;
    p.w.assign(static_cast<std::size_t>(n) * static_cast<std::size_t>(p.stride), 0.0);
    for (int u = 0; u < m; u++)
        for (int k = 0; k < n; k++)
            p.w[static_cast<std::size_t>(k) * p.stride + u] = W[static_cast<std::ptrdiff_t>(u) * n + k];
}

void dot_on(Path, const Panel &p, const float *X, const std::ptrdiff_t ldx, float *D, const std::ptrdiff_t ldd,
            const int rows, const bool first)
{
    for (int r = 0; r < rows; r++)
        for (int u = 0; u < p.m; u++) {
            bp_wide s = 0.0;
            for (int k = 0; k < p.n; k++)
                s += p.w[static_cast<std::size_t>(k) * p.stride + u] * X[r * ldx + k];
            float &d = D[r * ldd + u];
            d = first ? static_cast<float>(s) : static_cast<float>(d + s);
        }
}

void grad_on(Path, const float *E, const std::ptrdiff_t lde, const float *X, const std::ptrdiff_t ldx, float *G,
             const int n, const int m, const int rows)
{
    for (int u = 0; u < m; u++)
        for (int k = 0; k < n; k++) {
            bp_wide s = 0.0;
            for (int r = 0; r < rows; r++)
                s += static_cast<bp_wide>(E[r * lde + u]) * X[r * ldx + k];
            float &g = G[static_cast<std::ptrdiff_t>(u) * n + k];
            g = static_cast<float>(g + s);
        }
}

void back_on(Path, const float *E, const std::ptrdiff_t lde, const float *W, const int n, const int m, float *H,
             const std::ptrdiff_t ldh, const int rows)
{
    for (int r = 0; r < rows; r++)
        for (int u = 0; u < m; u++) {
            const bp_wide d = E[r * lde + u];
            for (int k = 0; k < n; k++) {
                float &h = H[r * ldh + k];
                h = static_cast<float>(h + d * W[static_cast<std::ptrdiff_t>(u) * n + k]);
            }
        }
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
