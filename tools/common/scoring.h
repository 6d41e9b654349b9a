// How well the open network does on a set of patterns: its mean error and its accuracy.
#ifndef TOOLS_COMMON_SCORING_H
#define TOOLS_COMMON_SCORING_H

#include <cstddef>
#include <cstdint>

#include "tools/common/nn_patterns.h"

namespace scoring {

// Index of the largest of n values, the lower index on ties; -1 when one is not a number.
int largest(const float *v, int n);

struct Score {
    double mean_error = 0.0;       // mean of the network's own presentation error
    std::uint64_t correct = 0;     // patterns whose largest output is at their largest target
    std::uint64_t classified = 0;  // patterns with no NaN among outputs and targets
    std::size_t count = 0;         // patterns scored
};

// Run every pattern of set through the open network, sequence after sequence, the delays
// cleared at the start of each: its values are copied into input and target, which must be
// the vectors registered with the network. Changes only activations, output deltas and
// delays, never a trainable value or the learning-step count.
Score score(const nn_patterns::PatternSet &set, float *input, float *target);

// correct / classified (0 when nothing was classified).
double accuracy(const Score &s);

// Sum over n outputs of the squared difference of output and target, in double.
double squared_error(const float *outputs, const float *targets, int n);

// The variance of the set's targets: each output's population variance about its own mean
// (two passes), averaged over the outputs, so that a network that answers every output's
// mean has a mean squared error of exactly this. 0 for an empty set.
double target_variance(const nn_patterns::PatternSet &set);

}  // namespace scoring

#endif
