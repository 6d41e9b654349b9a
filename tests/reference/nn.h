/* The network module of black box nn: 2 inputs, hidden layers H1 (4) and H2 (2), output layer
 * Out (4), logistic units, 62 trainable values in one flat float array. This header declares
 * the state, the accessors, initialization, the forward pass and the learning step, and
 * includes the headers of the module's other parts. */
#ifndef NETWORK_NN_H
#define NETWORK_NN_H
#ifdef __cplusplus
extern "C" {
#endif

/* Number of floats in network_data. */
#define NN_DATA_SIZE 206
/* Size of error_string, the terminating zero included. */
#define NN_ERROR_SIZE 128

/* Every vector of the network: activations, deltas, thresholds, weights, gradients, steps. */
extern float network_data[NN_DATA_SIZE];
/* Learning parameters and initialization settings. */
extern float BPlearning_rate;
extern float BPinertia;
extern float BPthreshold;
extern float init_range;
extern int init_seed;
/* Learning steps performed (treated as unsigned). */
extern int b0bcounter;
/* The caller's input (2 floats) and target (4 floats) vectors. */
extern float *b0_input_vector;
extern float *b0_target_output;
/* Text of the last error or warning. */
extern char error_string[NN_ERROR_SIZE];

/* Initialize: seed, zero the state, build the sigmoid table, write the descriptor, draw the 62 values. */
int nn_init_network(void);
/* Accessors. */
void nn_set_input(float *v);
float *nn_get_input(void);
float *nn_get_output(void);
void nn_set_target_output(float *v);
float *nn_get_target_output(void);
char *nn_error_string(void);
void nn_set_learning_rate(float r);
float nn_get_learning_rate(void);
void nn_set_inertia(float m);
float nn_get_inertia(void);
void nn_set_random_init_seed(int seed);
void nn_set_random_init_range(float range);
/* Delay clearing: this network has no delays, so these do nothing. */
void nn_bb_clear_delays(void);
void nn_clear_delays(void);

/* Forward pass: H1, H2, Out from the registered input vector. */
void nn_propagate_forward(void);
/* Exactly one forward pass. */
void nn_network_forward(void);
/* For each presentation: input_fn(), then one forward pass. */
void network_forward(unsigned iterations, void (*input_fn)(void));

#ifdef __cplusplus
}
#endif

#include "reference/nn_learn.h"
#include "reference/nn_save.h"
#include "reference/nn_ascii.h"
#include "reference/nn_query.h"
#include "reference/nn_report.h"
#endif
