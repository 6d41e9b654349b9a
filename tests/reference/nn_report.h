/* Detection statistics and trace output of the nn module. */
#ifndef NETWORK_NN_REPORT_H
#define NETWORK_NN_REPORT_H
#ifdef __cplusplus
extern "C" {
#endif

/* Run iterations patterns; print per-output maxima, minima, means, variances, Pd and Pfa. */
void network_forward_pdpfa(unsigned iterations, void (*input_fn)(void), float pd_threshold);
/* Run iterations patterns, printing each pattern's outputs and targets. */
void network_forward_print(int iterations, void (*input_fn)(void));

#ifdef __cplusplus
}
#endif
#endif
