/* Elementary functions of the backprop library built from IEEE operations alone (+ - * /,
 * comparisons and exact scaling by powers of two), so that every machine gives the same bits;
 * no call of the platform's math library. */
#ifndef BP_BPSIMMATH_H
#define BP_BPSIMMATH_H
#ifdef __cplusplus
extern "C" {
#endif

/* e^x within 1 ulp: +inf above ln(DBL_MAX), subnormal results rounded gradually, 0 below them. */
double bp_exp(double x);
/* e^x of a float, as bp_exp rounded to float. */
float bp_expf(float x);
/* The natural logarithm within 1 ulp: NaN below 0 and for NaN, -inf at +-0, +inf at +inf. */
double bp_log(double x);

#ifdef __cplusplus
}
#endif
#endif
