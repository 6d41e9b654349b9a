/* Black-box descriptor and query of the nn module. */
#ifndef NETWORK_NN_QUERY_H
#define NETWORK_NN_QUERY_H
#ifdef __cplusplus
extern "C" {
#endif

/* Write the descriptor's network section (called by nn_init_network). */
void nn_describe_network(void);

#ifdef __cplusplus
}
#endif
#endif
