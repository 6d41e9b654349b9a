// Element-wise vector kernels of the backprop library: clipping, scaled differences,
// element-wise products, scaled copies and per-row matrix scaling. Each value is formed
// in bp_wide and rounded to float once, when stored; elements run in ascending order.
#include "bp/BpSim.h"

extern "C" {

void BPvclip(float *v, float lo, float hi, int n)
{
    // Strict comparisons, lower bound first: a value on a bound stays, a NaN stays NaN.
    for (int i = 0; i < n; i++) {
        if (v[i] < lo)
            v[i] = lo;
        else if (v[i] > hi)
            v[i] = hi;
    }
}

void BPvsubsmulsum(float *d, const float *a, const float *b, float s, int n)
{
    // The difference is kept wide: it is not rounded before it is scaled.
    for (int i = 0; i < n; i++)
        d[i] = static_cast<float>((static_cast<bp_wide>(a[i]) - b[i]) * s + d[i]);
}

void BPvmul(float *d, const float *a, const float *b, int n)
{
    for (int i = 0; i < n; i++)
        d[i] = static_cast<float>(static_cast<bp_wide>(a[i]) * b[i]);
}

void BPvmul_sum(float *d, const float *a, const float *b, int n)
{
    for (int i = 0; i < n; i++)
        d[i] = static_cast<float>(static_cast<bp_wide>(a[i]) * b[i] + d[i]);
}

void BPvsmul(float *d, const float *a, float s, int n)
{
    for (int i = 0; i < n; i++)
        d[i] = static_cast<float>(static_cast<bp_wide>(s) * a[i]);
}

void BPvsmul_sum(float *d, const float *a, float s, int n)
{
    for (int i = 0; i < n; i++)
        d[i] = static_cast<float>(static_cast<bp_wide>(s) * a[i] + d[i]);
}

void BPlvsmul(float *d, const float *M, const float *s, int cols, int rows)
{
    for (int r = 0; r < rows; r++, d += cols, M += cols) {
        const bp_wide scale = s[r];  // read once per row
        for (int j = 0; j < cols; j++)
            d[j] = static_cast<float>(scale * M[j]);
    }
}

void BPlvsmul_sum(float *d, const float *M, const float *s, int cols, int rows)
{
    for (int r = 0; r < rows; r++, d += cols, M += cols) {
        const bp_wide scale = s[r];  // read once per row
        for (int j = 0; j < cols; j++)
            d[j] = static_cast<float>(scale * M[j] + d[j]);
    }
}

}  // extern "C"
