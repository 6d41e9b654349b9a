/* The learning step of the nn module: backpropagation with momentum, weights updated on every
 * third learning step. */
#ifndef NETWORK_NN_LEARN_H
#define NETWORK_NN_LEARN_H
#ifdef __cplusplus
extern "C" {
#endif

/* Learning step: presentations of input_fn's patterns, learned when the error exceeds BPthreshold. */
void network_learn(unsigned iterations, void (*input_fn)(void));
/* The same loop under the black box's own name. */
void nn_network_learn(unsigned iterations, void (*input_fn)(void));
/* One gradient accumulation step (Out, H2, H1). */
void nn_calc_grad(void);
/* Apply and clear the gradients when the step counter is a multiple of 3. */
void nn_update_weights(float inertia);
/* Mean squared output error of the current outputs; writes the Out deltas. */
float nn_calc_error(void);
/* Set the learning-step counter b0bcounter. */
void nn_set_backprop_counter(int c);
/* The learning-step counter b0bcounter. */
int nn_get_backprop_counter(void);

#ifdef __cplusplus
}
#endif
#endif
