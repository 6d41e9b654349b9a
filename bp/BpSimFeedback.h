/* Feedback filter poles, stability tests and stability-guarded updates. */
#ifndef BP_BPSIMFEEDBACK_H
#define BP_BPSIMFEEDBACK_H
#include "platform/vl_noreturn.h"
#ifdef __cplusplus
extern "C" {
#endif

void BPar1_poles(double a1, double *poles);                       /* poles = (a1, 0) */
void BPar2_poles(double a1, double a2, double *poles);            /* roots of z^2 - a1*z - a2, as (re, im) pairs */
VL_NORETURN void BPar3_poles(double a1, double a2, double a3, double *poles);  /* not supported: message, then vl_exit(1) */
int BPunstable_1st(float a1);                                     /* |a1| >= 1 */
int BPunstable_2nd(float a1, float a2);                           /* |a1| + a2 >= 1 or a2 <= -1 */
void BPTupdate_1st(float mom, const float *g, float *a, float *s, int n);   /* t = g[i]+mom*s[i], halved until |a[i]+t| < 1 */
void BPTupdate_2nd(float mom, const float *g1, const float *g2, float *a1, float *a2,
                   float *s1, float *s2, int n);                  /* both steps halved until (a1+t1, a2+t2) is stable */
float BPTguard_1st(float *a, double t);                           /* *a += t, t halved until stable; the step taken */
void BPTguard_2nd(float *a1, float *a2, double *t1, double *t2);  /* the same for a pair; *t1, *t2 get the steps taken */

#ifdef __cplusplus
}
#endif
#endif
