// Feedback filter kernels of the backprop library: the poles of a unit's autoregressive
// filter, the stability tests of its coefficients and the momentum updates that keep
// every filter stable by shrinking a step that would leave the stability region.
#include "bp/BpSim.h"
#include "platform/vl_exit.h"

#include <cmath>
#include <cstdio>

namespace {

// Below this magnitude the discriminant counts as zero: ten times the smallest normal double.
constexpr bp_wide double_root_tolerance = 2.2250738585072014e-307;
// Factor applied to a step each time its candidate is unstable.
constexpr bp_wide halving = 0.5;
// Halvings tried per element before the coefficient retreats instead.
constexpr int max_halvings = 30;
// Retreat of an old coefficient towards 0 when no halved step is stable.
constexpr bp_wide retreat = 0.9999;

// First-order instability: |a1| >= 1; a NaN compares false.
inline bool unstable_1st(float a1)
{
    return std::fabs(a1) >= 1.0f;
}

// Second-order instability, outside the triangle |a1| + a2 < 1, a2 > -1. The sum is
// formed wide, so a pair just inside the triangle is not pushed onto its edge by rounding.
inline bool unstable_2nd(float a1, float a2)
{
    return std::fabs(static_cast<bp_wide>(a1)) + a2 >= 1.0 || a2 <= -1.0f;
}

// One halving of a step, rounded to float.
inline bp_wide halve(bp_wide t)
{
    return static_cast<float>(t * halving);
}

}  // namespace

extern "C" {

void BPar1_poles(double a1, double *poles)
{
    poles[0] = a1;
    poles[1] = 0.0;
}

void BPar2_poles(double a1, double a2, double *poles)
{
    // Roots of z^2 - a1 z - a2.
    const bp_wide D = a1 * a1 + 4.0 * a2;
    if (std::fabs(D) < double_root_tolerance) {
        poles[0] = a1 / 2.0;
        poles[1] = 0.0;
        poles[2] = a1 / 2.0;
        poles[3] = 0.0;
    } else if (D < 0.0) {
        const bp_wide im = std::sqrt(-D) / 2.0;
        poles[0] = a1 / 2.0;
        poles[1] = im;
        poles[2] = a1 / 2.0;
        poles[3] = -im;
    } else {
        // D positive or NaN: two real poles, the larger first.
        const bp_wide root = std::sqrt(D);
        poles[0] = (a1 + root) / 2.0;
        poles[1] = 0.0;
        poles[2] = (a1 - root) / 2.0;
        poles[3] = 0.0;
    }
}

void BPar3_poles(double, double, double, double *)
{
    std::fputs("\nCube root not implemented!\n", stderr);
    vl_exit(1);
}

int BPunstable_1st(float a1)
{
    return unstable_1st(a1) ? 1 : 0;
}

int BPunstable_2nd(float a1, float a2)
{
    return unstable_2nd(a1, a2) ? 1 : 0;
}

void BPTupdate_1st(float mom, const float *g, float *a, float *s, int n)
{
    for (int i = 0; i < n; i++) {
        // Step with momentum, kept wide; the candidate is tested as it would be stored.
        bp_wide t = g[i] + static_cast<bp_wide>(mom) * s[i];
        float v = static_cast<float>(a[i] + t);
        int halvings = 0;
        while (unstable_1st(v)) {
            t = halve(t);
            if (++halvings == max_halvings)
                break;
            v = static_cast<float>(a[i] + t);
        }
        if (halvings == max_halvings) {
            // Fallback: no halved step is stable; move the old coefficient towards 0.
            a[i] = static_cast<float>(retreat * a[i]);
        } else {
            a[i] = v;
        }
        s[i] = static_cast<float>(t);
    }
}

void BPTupdate_2nd(float mom, const float *g1, const float *g2, float *a1, float *a2,
                   float *s1, float *s2, int n)
{
    for (int i = 0; i < n; i++) {
        bp_wide t1 = g1[i] + static_cast<bp_wide>(mom) * s1[i];
        bp_wide t2 = g2[i] + static_cast<bp_wide>(mom) * s2[i];
        float u1 = static_cast<float>(a1[i] + t1);
        float u2 = static_cast<float>(a2[i] + t2);
        int halvings = 0;
        while (unstable_2nd(u1, u2)) {
            t1 = halve(t1);
            t2 = halve(t2);
            if (++halvings == max_halvings)
                break;
            u1 = static_cast<float>(a1[i] + t1);
            u2 = static_cast<float>(a2[i] + t2);
        }
        if (halvings == max_halvings) {
            a1[i] = static_cast<float>(retreat * a1[i]);
            a2[i] = static_cast<float>(retreat * a2[i]);
        } else {
            a1[i] = u1;
            a2[i] = u2;
        }
        s1[i] = static_cast<float>(t1);
        s2[i] = static_cast<float>(t2);
    }
}

float BPTguard_1st(float *a, double t)
{
    // The step given, halved until the candidate is stable, as BPTupdate_1st does with its
    // momentum step.
    float v = static_cast<float>(*a + t);
    int halvings = 0;
    while (unstable_1st(v)) {
        t = halve(t);
        if (++halvings == max_halvings)
            break;
        v = static_cast<float>(*a + t);
    }
    *a = halvings == max_halvings ? static_cast<float>(retreat * *a) : v;
    return static_cast<float>(t);
}

void BPTguard_2nd(float *a1, float *a2, double *t1, double *t2)
{
    // Both steps halved together until the pair is stable, as BPTupdate_2nd does.
    float u1 = static_cast<float>(*a1 + *t1);
    float u2 = static_cast<float>(*a2 + *t2);
    int halvings = 0;
    while (unstable_2nd(u1, u2)) {
        *t1 = halve(*t1);
        *t2 = halve(*t2);
        if (++halvings == max_halvings)
            break;
        u1 = static_cast<float>(*a1 + *t1);
        u2 = static_cast<float>(*a2 + *t2);
    }
    if (halvings == max_halvings) {
        u1 = static_cast<float>(retreat * *a1);
        u2 = static_cast<float>(retreat * *a2);
    }
    *a1 = u1;
    *a2 = u2;
}

}  // extern "C"
