// Detection statistics (Pd/Pfa) and the per-pattern trace of the nn module.
#include "reference/nn_report.h"

#include <cfloat>
#include <climits>
#include <cstdio>

#include "bp/BpSim.h"
#include "reference/nn.h"
#include "reference/nn_layout.h"

using namespace nn_layout;

namespace {

// The registered target vector, read afresh for every pattern (input_fn may re-point it).
// Null, with a message on standard error, when there is none or no input vector to run from.
const float *pattern_target(const char *who)
{
    if (b0_input_vector == nullptr) {
        std::fprintf(stderr, "%s: no input vector registered (nn_set_input)\n", who);
        return nullptr;
    }
    if (b0_target_output == nullptr) {
        std::fprintf(stderr, "%s: no target vector registered (nn_set_target_output)\n", who);
        return nullptr;
    }
    return b0_target_output;
}

}  // namespace

extern "C" {

void network_forward_pdpfa(unsigned iterations, void (*input_fn)(void), float pd_threshold)
{
    if (iterations == 0)
        return;
    // The counts are printed and divided as signed ints.
    if (iterations > static_cast<unsigned>(INT_MAX)) {
        std::fprintf(stderr, "network_forward_pdpfa: pattern count %u is too large (at most %d)\n", iterations,
                     INT_MAX);
        return;
    }
    if (input_fn == nullptr) {
        std::fprintf(stderr, "network_forward_pdpfa: no pattern function\n");
        return;
    }

    // Working state: per output, extremes (wide), running sums (float); the squared threshold.
    const float threshold_sq = static_cast<float>(static_cast<bp_wide>(pd_threshold) * pd_threshold);
    bp_wide maxima[kOut], minima[kOut];
    float sums[kOut], squares[kOut];
    for (int j = 0; j < kOut; j++) {
        maxima[j] = -static_cast<bp_wide>(FLT_MAX);
        minima[j] = static_cast<bp_wide>(FLT_MAX);
        sums[j] = 0.0f;
        squares[j] = 0.0f;
    }
    int hits = 0;

    // Run the patterns.
    const float *out = at(kOutAct);
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        const float *target = pattern_target("network_forward_pdpfa");
        if (target == nullptr)
            return;
        nn_propagate_forward();
        bp_wide e = 0.0;  // squared distance between outputs and targets
        for (int j = 0; j < kOut; j++) {
            const float o = out[j];
            sums[j] = static_cast<float>(sums[j] + static_cast<bp_wide>(o));
            squares[j] = static_cast<float>(squares[j] + static_cast<bp_wide>(o) * o);
            if (o < minima[j])
                minima[j] = o;
            if (o > maxima[j])
                maxima[j] = o;
            const bp_wide diff = static_cast<bp_wide>(o) - target[j];
            e += diff * diff;
        }
        if (e < threshold_sq)
            hits++;
    }

    // Report: extremes, means (stored as float), population variances, Pd and Pfa.
    const int count = static_cast<int>(iterations);
    const float n = static_cast<float>(iterations);
    float means[kOut];
    std::printf("\n\nnn:");
    std::printf("\nMaxima: ");
    for (int j = 0; j < kOut; j++)
        std::printf("%f ", maxima[j]);
    std::printf("\nMinima: ");
    for (int j = 0; j < kOut; j++)
        std::printf("%f ", minima[j]);
    std::printf("\nMeans: ");
    for (int j = 0; j < kOut; j++) {
        means[j] = static_cast<float>(static_cast<bp_wide>(sums[j]) / n);
        std::printf("%f ", static_cast<double>(means[j]));
    }
    std::printf("\nVariances: ");
    for (int j = 0; j < kOut; j++) {
        const bp_wide mean = means[j];
        std::printf("%f ", static_cast<bp_wide>(squares[j]) / n - mean * mean);
    }
    std::printf("\n\nPd = %d/%d = %f", hits, count, static_cast<bp_wide>(hits) / n);
    std::printf("\nPfa = %d/%d = %f", count - hits, count, static_cast<bp_wide>(count - hits) / n);
}

void network_forward_print(int iterations, void (*input_fn)(void))
{
    if (iterations > 0 && input_fn == nullptr) {
        std::fprintf(stderr, "network_forward_print: no pattern function\n");
        return;
    }
    const float *out = at(kOutAct);
    for (int i = 0; i < iterations; i++) {
        input_fn();
        const float *target = pattern_target("network_forward_print");
        if (target == nullptr)
            return;
        nn_propagate_forward();
        std::printf("\nIteration: %d", i);
        std::printf("\nblack box nn:");
        std::printf("\n\tOutputs:");
        for (int j = 0; j < kOut; j++)
            std::printf(" %f", static_cast<double>(out[j]));
        std::printf("\n\tTargets:");
        for (int j = 0; j < kOut; j++)
            std::printf(" %f", static_cast<double>(target[j]));
    }
}

}  // extern "C"
