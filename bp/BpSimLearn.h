/* Derivative, output-error, gradient-accumulation and weight-update kernels. */
#ifndef BP_BPSIMLEARN_H
#define BP_BPSIMLEARN_H
#ifdef __cplusplus
extern "C" {
#endif

/* Derivatives and output error. */
void BPderiv_sig1(const float *a, float *e, int n, float off);      /* e[i] = (a[i]*(1-a[i]) + off)*e[i] */
void BPderiv_sig2(const float *a, float *e, int n, float off);      /* e[i] = ((0.25-a[i]*a[i]) + off)*e[i] */
void BPderiv_sig3(const float *a, float *e, int n, float off);      /* e[i] = (0.5*(1-a[i]*a[i]) + off)*e[i] */
void BPset_deriv_sig1(float *g, const float *a, int n, float off);  /* g[i] = a[i]*(1-a[i]) + off */
void BPset_deriv_sig2(float *g, const float *a, int n, float off);  /* g[i] = (0.25-a[i]*a[i]) + off */
void BPset_deriv_sig3(float *g, const float *a, int n, float off);  /* g[i] = 0.5*(1-a[i]*a[i]) + off */
void BPderiv_quadratic(const float *z, float *e, int n);                          /* e[i] = 2*z[i]*e[i] */
void BPderiv_relu(const float *a, float *e, int n, float off);      /* e[i] = (a[i] > 0 ? 1 : 0)*e[i]; off not added */
void BPderiv_user(const float *z, float *e, int n, float (*fprime)(float));      /* e[i] = f'(z[i])*e[i] */
float BPsum_squares(const float *v, int n);                                       /* return sum_i v[i]*v[i] */
float BPoutput_error(const float *t, const float *o, float *e, float s, int n);  /* e[i] = (t[i]-o[i])*s; return 0.5*sum_i (t[i]-o[i])^2 */
float BPcross_entropy(const float *t, const float *o, int n);                    /* return -sum_{t[i]!=0} t[i]*ln(max(o[i],1e-7)) */

/* Gradient accumulation: q = i*(n-ov)+k, w = i*n+k (w = k when shared). */
void BPaccum_biases(float *g, const float *e, int n);                                           /* g[i] += e[i] */
void BPaccum_weights_from_input(const float *e, const float *x, float *g, int m, int n, int ov);        /* g[w] += x[q]*e[i] */
void BPaccum_weights_from_input_share(const float *e, const float *x, float *g, int m, int n, int ov);  /* g[k] += x[q]*e[i] */
void BPaccum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, float *g,
                                 int m, int n, int ov);        /* h[q] += e[i]*W[w]; g[w] += x[q]*e[i] */
void BPaccum_weights_from_hidden_share(const float *e, const float *x, float *h, const float *W, float *g,
                                       int m, int n, int ov);  /* h[q] += e[i]*W[k]; g[k] += x[q]*e[i] */
void BPaccum2d_weights_from_input(int U, int R, int KW, int KH, float *g, const float *x, const float *e,
                                  int ov, int WS, int S, int B);        /* g[(r*KH+j)*WS+u*KW+k] += x[q]*e[r*U+u] */
void BPaccum2d_weights_from_input_share(int U, int R, int KW, int KH, float *g, const float *x, const float *e,
                                        int ov, int S, int B);         /* g[j*KW+k] += x[q]*e[r*U+u] */
void BPaccum2d_weights_from_hidden(int U, int R, int KW, int KH, const float *W, float *g, const float *x,
                                   float *h, const float *e, int ov, int WS, int S, int B);  /* h[q] += e*W[w]; g[w] += x[q]*e */
void BPaccum2d_weights_from_hidden_share(int U, int R, int KW, int KH, const float *W, float *g, const float *x,
                                         float *h, const float *e, int ov, int S, int B);    /* h[q] += e*W[w]; g[w] += x[q]*e, w = j*KW+k */

/* Momentum update. */
void BPupdate_weights(float mom, const float *g, float *W, float *p, int n);  /* s = mom*p[i]+g[i]; W[i] += s; p[i] = s */

#ifdef __cplusplus
}

/* The gradient kernels above over the gradient's element type G (C++ only): float is exactly
 * the library's kernel of the same name; double gathers the same products in the same order
 * without rounding, to be added to a float gradient once. accum2d is the four two-dimensional
 * kernels: shared selects the one KH x KW weight row, a null h the forms from the inputs. */
namespace bp_learn {
template <typename G>
void accum_biases(G *g, const float *e, int n);
template <typename G>
void accum_weights_from_input(const float *e, const float *x, G *g, int m, int n, int ov);
template <typename G>
void accum_weights_from_input_share(const float *e, const float *x, G *g, int m, int n, int ov);
template <typename G>
void accum_weights_from_hidden(const float *e, const float *x, float *h, const float *W, G *g, int m, int n, int ov);
template <typename G>
void accum_weights_from_hidden_share(const float *e, const float *x, float *h, const float *W, G *g, int m, int n,
                                     int ov);
template <typename G>
void accum2d(int U, int R, int KW, int KH, const float *W, G *g, const float *x, float *h, const float *e, int ov,
             int WS, int S, int B, bool shared);
}  /* namespace bp_learn */
#endif
#endif
