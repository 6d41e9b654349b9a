/* Element-wise vector kernels of the backprop library. */
#ifndef BP_BPSIMVECTOR_H
#define BP_BPSIMVECTOR_H
#ifdef __cplusplus
extern "C" {
#endif

void BPvclip(float *v, float lo, float hi, int n);                          /* v[i] = v[i]<lo ? lo : v[i]>hi ? hi : v[i] */
void BPvsubsmulsum(float *d, const float *a, const float *b, float s, int n);  /* d[i] = (a[i]-b[i])*s + d[i] */
void BPvmul(float *d, const float *a, const float *b, int n);               /* d[i] = a[i]*b[i] */
void BPvmul_sum(float *d, const float *a, const float *b, int n);           /* d[i] = a[i]*b[i] + d[i] */
void BPvsmul(float *d, const float *a, float s, int n);                     /* d[i] = s*a[i] */
void BPvsmul_sum(float *d, const float *a, float s, int n);                 /* d[i] = s*a[i] + d[i] */
void BPlvsmul(float *d, const float *M, const float *s, int cols, int rows);      /* d[r*cols+j] = s[r]*M[r*cols+j] */
void BPlvsmul_sum(float *d, const float *M, const float *s, int cols, int rows);  /* d[r*cols+j] = s[r]*M[r*cols+j] + d[r*cols+j] */

#ifdef __cplusplus
}
#endif
#endif
