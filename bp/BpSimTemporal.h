/* Temporal gradient accumulation through traces, for networks with feedback. */
#ifndef BP_BPSIMTEMPORAL_H
#define BP_BPSIMTEMPORAL_H
#ifdef __cplusplus
extern "C" {
#endif

void BPTaccum_biases(float *g, const float *e, const float *f, float *t, int n);   /* t[i] += f[i]; g[i] += e[i]*t[i] */
void BPTaccum_feedback_weights(float *g, const float *a, const float *b, int n);   /* g[i] += a[i]*b[i] */
void BPTaccum_weights_from_input(const float *e, const float *f, const float *x, float *g, float *t,
                                 int m, int n, int ov);         /* t[w] += f[i]*x[q]; g[w] += e[i]*t[w] */
void BPTaccum_weights_from_input_share(const float *e, const float *f, const float *x, float *g, float *t,
                                       int m, int n, int ov);   /* as above with w = k */
void BPTaccum_weights_from_hidden(const float *e, const float *f, const float *x, float *h, const float *W,
                                  float *g, float *t, float *z, int m, int n, int ov);  /* z[w] += f[i]*W[w]; h[q] += e[i]*z[w]; then as from input */
void BPTaccum_weights_from_hidden_share(const float *e, const float *f, const float *x, float *h, const float *W,
                                        float *g, float *t, float *z, int m, int n, int ov);  /* as above with w = k */
void BPTaccum2d_weights_from_input(int U, int R, int KW, int KH, float *g, float *t, const float *x,
                                   const float *e, const float *f, int ov, int WS, int S, int B);  /* t[w] += f[r*U+u]*x[q]; g[w] += e[r*U+u]*t[w] */
void BPTaccum2d_weights_from_input_share(int U, int R, int KW, int KH, float *g, float *t, const float *x,
                                         const float *e, const float *f, int ov, int S, int B);  /* as above with w = j*KW+k */
void BPTaccum2d_weights_from_hidden(int U, int R, int KW, int KH, const float *W, float *g, float *t, float *z,
                                    const float *x, float *h, const float *e, const float *f,
                                    int ov, int WS, int S, int B);  /* z[w] += f*W[w]; h[q] += e*z[w]; then as from input */
void BPTaccum2d_weights_from_hidden_share(int U, int R, int KW, int KH, const float *W, float *g, float *t,
                                          float *z, const float *x, float *h, const float *e, const float *f,
                                          int ov, int S, int B);  /* as above with w = j*KW+k */
/* Filter step of a unit's autoregressive traces, q = i*(n-ov)+k, w = i*n+k: p1[w] = x[q] + a1[i]*p1[w] + a2[i]*p2[w]
 * (a2 null: first order), one rounding; p2[w] takes the old p1[w] when p2 is not null. */
void BPTfilter_trace(const float *x, const float *a1, const float *a2, float *p1, float *p2, int m, int n, int ov);
/* Gradient of traced weights, q = i*(n-ov)+k, w = i*n+k: h[q] += e[i]*W[w] (h not null), then g[w] += e[i]*P[w]. */
void BPTaccum_weights_traced(const float *e, const float *P, float *h, const float *W, float *g, int m, int n, int ov);

#ifdef __cplusplus
}
#endif
#endif
