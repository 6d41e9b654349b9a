/* The backprop kernel library: forward kernels here, the rest in the headers included below.
 * Every kernel works in place on caller-owned float vectors, allocates nothing and accepts
 * a count of 0 as doing nothing. Sums and products are formed in bp_wide (double) and
 * rounded to float once, when stored. */
#ifndef BP_BPSIM_H
#define BP_BPSIM_H
#ifdef __cplusplus
extern "C" {
#endif

/* The one wide type of every kernel. */
typedef double bp_wide;

/* User unit function and its derivative: one float in, one float out. */
typedef float (*bp_unit_fn)(float);

/* Dot products. x[i*(n-ov)+k] is source element k of destination unit i's receptive field. */
float BPvdot(const float *a, const float *b, int n);                               /* return sum_k a[k]*b[k] */
void BPlvdot(const float *W, const float *x, int ov, float *d, int n, int m);            /* d[i] = sum_k W[i*n+k]*x[i*(n-ov)+k] */
void BPlvdot_share(const float *W, const float *x, int ov, float *d, int n, int m);      /* d[i] = sum_k W[k]*x[i*(n-ov)+k] */
void BPlvdot_sum(const float *W, const float *x, int ov, float *d, int n, int m);        /* d[i] += sum_k W[i*n+k]*x[i*(n-ov)+k] */
void BPlvdot_share_sum(const float *W, const float *x, int ov, float *d, int n, int m);  /* d[i] += sum_k W[k]*x[i*(n-ov)+k] */
void BPlvdot2d(int U, int R, int KW, int KH, const float *W, const float *x, float *d,
               int ov, int WS, int S, int B);       /* d[r*U+u] += sum_k W[(r*KH+j)*WS+u*KW+k]*x[r*(KH*S-B)+j*S+u*(KW-ov)+k], per field row j */
void BPlvdot2d_share(int U, int R, int KW, int KH, const float *W, const float *x, float *d,
                     int ov, int S, int B);         /* d[r*U+u] += sum_k W[j*KW+k]*x[r*(KH*S-B)+j*S+u*(KW-ov)+k], per field row j */

/* The logistic table and the activation kernels (thresholds t added first, in place). */
void BPinit_sigmoid_table(void);                           /* entry i = 1/(e^((1023-2i)/128)+1) - 0.5 */
void BPsig1(float *a, const float *t, int n);              /* a[i] = 0.5 + table[k], k = trunc(64*(a[i]+t[i]) + 0.5) */
void BPsig2(float *a, const float *t, int n);              /* a[i] = table[k] */
void BPsig3(float *a, const float *t, int n);              /* a[i] = 2*table[k] */
void BPlinear(float *a, const float *t, int n);            /* a[i] = a[i] + t[i] */
void BPquadratic(float *a, float *z, const float *t, int n);                   /* z[i] = a[i]+t[i]; a[i] = z[i]*z[i] */
void BPrelu(float *a, const float *t, int n);              /* v = a[i]+t[i]; a[i] = v <= 0 ? +0 : v (NaN stays NaN) */
void BPsoftmax(float *a, const float *t, int n);           /* z[i] = a[i]+t[i]; a[i] = e^(z[i]-max z)/sum_j e^(z[j]-max z) */
void BPuser(float *a, float *z, const float *t, int n, float (*f)(float));    /* z[i] = a[i]+t[i]; a[i] = f(z[i]) */

#ifdef __cplusplus
}
#endif

#include "bp/BpSimVector.h"
#include "bp/BpSimLearn.h"
#include "bp/BpSimFeedback.h"
#include "bp/BpSimTemporal.h"
#endif
