// Mean error and accuracy of the open network over a set of patterns.
#include "tools/common/scoring.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "tools/common/net_host.h"

namespace scoring {

int largest(const float *v, int n)
{
    int best = 0;
    for (int j = 0; j < n; j++) {
        if (std::isnan(v[j]))
            return -1;
        if (v[j] > v[best])
            best = j;
    }
    return best;
}

Score score(const nn_patterns::PatternSet &set, float *input, float *target)
{
    bpnet::Network &net = net_host::network();
    const std::size_t in_bytes = sizeof(float) * static_cast<std::size_t>(set.inputs);
    const std::size_t out_bytes = sizeof(float) * static_cast<std::size_t>(set.outputs);
    Score s;
    double sum = 0.0;
    const std::vector<bool> first = set.first_flags();
    for (std::size_t k = 0; k < set.size(); k++) {
        if (first[k])
            net.clear_delays();
        std::memcpy(input, set.input(k), in_bytes);
        std::memcpy(target, set.target(k), out_bytes);
        net.forward();
        const int out = largest(net.output(), set.outputs);
        const int want = largest(set.target(k), set.outputs);
        sum += net.measure_error();
        if (out >= 0 && want >= 0) {
            s.classified++;
            s.correct += out == want;
        }
    }
    s.count = set.size();
    s.mean_error = s.count ? sum / static_cast<double>(s.count) : 0.0;
    return s;
}

double accuracy(const Score &s)
{
    return s.classified ? static_cast<double>(s.correct) / static_cast<double>(s.classified) : 0.0;
}

double squared_error(const float *outputs, const float *targets, int n)
{
    double sum = 0.0;
    for (int j = 0; j < n; j++) {
        const double d = static_cast<double>(outputs[j]) - targets[j];
        sum += d * d;
    }
    return sum;
}

double target_variance(const nn_patterns::PatternSet &set)
{
    const std::size_t count = set.size();
    if (count == 0 || set.outputs <= 0)
        return 0.0;
    double total = 0.0;
    for (int j = 0; j < set.outputs; j++) {
        // Mean first, then the squared deviations: no cancellation for targets far from 0.
        double sum = 0.0;
        for (std::size_t k = 0; k < count; k++)
            sum += set.target(k)[j];
        const double mean = sum / static_cast<double>(count);
        double deviations = 0.0;
        for (std::size_t k = 0; k < count; k++) {
            const double d = set.target(k)[j] - mean;
            deviations += d * d;
        }
        total += deviations / static_cast<double>(count);
    }
    return total / set.outputs;
}

}  // namespace scoring
