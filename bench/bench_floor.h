// Exact straight-line floors of the nn forward pass and of one learning presentation: the
// same arithmetic, roundings and order as the network module, written by hand with every
// size fixed, inputs read once and deltas kept in registers. They work on their own copy of
// the state block (same layout as network_data) and bound from below what the module's code
// can reach. The benchmark checks them bit for bit against the module before timing them.
#ifndef BENCH_BENCH_FLOOR_H
#define BENCH_BENCH_FLOOR_H

#include "network/nn.h"

namespace bench_floor {

// The floor's state block: activations, deltas, thresholds, weights, gradients, steps.
extern float state[NN_DATA_SIZE];
// Its learning-step counter.
extern unsigned counter;

// Forward pass from in[0..1]: H1, H2 and Out activations in state.
void forward(const float *in);
// One presentation: forward pass, output error against target[0..3] (Out deltas in state);
// when the error exceeds the module's threshold, gradients and the update on every third step.
// Returns whether the presentation was learned.
bool learn(const float *in, const float *target);

}  // namespace bench_floor

#endif
