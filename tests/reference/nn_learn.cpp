// The nn module's learning step: output error, gradient accumulation from the output back,
// and the momentum update applied on every third learning step.
#include "reference/nn_learn.h"

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"
#include "bp/BpSupport.h"
#include "reference/nn.h"
#include "reference/nn_layout.h"

using namespace nn_layout;

namespace {

// Upper end of the random offset added to the logistic derivative, drawn once per layer and step.
constexpr float kDerivOffsetRange = 0.05f;

// Steps whose gradients are gathered before one weight update.
constexpr unsigned kStepsPerUpdate = 3;

// One vector updated with momentum: its values, gradients and steps, and its size.
struct UpdateBlock {
    int values;
    int grads;
    int steps;
    int count;
};

// Update order: output side first, within a layer the thresholds, then the weights by source.
constexpr UpdateBlock kUpdateOrder[] = {
    {kOutThr, kOutThrGrad, kOutThrStep, kOut},
    {kW_Out_In, kG_Out_In, kS_Out_In, kOut * kInputs},
    {kW_Out_H1, kG_Out_H1, kS_Out_H1, kOut * kH1},
    {kW_Out_H2, kG_Out_H2, kS_Out_H2, kOut * kH2},
    {kH2Thr, kH2ThrGrad, kH2ThrStep, kH2},
    {kW_H2_In, kG_H2_In, kS_H2_In, kH2 * kInputs},
    {kW_H2_H1, kG_H2_H1, kS_H2_H1, kH2 * kH1},
    {kH1Thr, kH1ThrGrad, kH1ThrStep, kH1},
    {kW_H1_In, kG_H1_In, kS_H1_In, kH1 * kInputs},
};

// Scale of the output deltas: the learning rate times 0.333333, formed in double, stored as float.
float output_delta_scale()
{
    return static_cast<float>(0.333333 * static_cast<bp_wide>(BPlearning_rate));
}

// One presentation's learning: error test, then gradients and the periodic update.
void learn_presentation()
{
    nn_propagate_forward();
    if (nn_calc_error() > BPthreshold) {
        nn_calc_grad();
        nn_update_weights(BPinertia);
    }
}

}  // namespace

extern "C" {

void network_learn(unsigned iterations, void (*input_fn)(void))
{
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        learn_presentation();
    }
}

void nn_network_learn(unsigned iterations, void (*input_fn)(void))
{
    network_learn(iterations, input_fn);
}

float nn_calc_error(void)
{
    const float half_sum =
        bp_inline::output_error<kOut>(b0_target_output, at(kOutAct), at(kOutDelta), output_delta_scale());
    return static_cast<float>(static_cast<bp_wide>(half_sum) * 0.25);
}

void nn_calc_grad(void)
{
    // The kernels are the inline copies with this network's constant sizes.
    using namespace bp_inline;
    const float *in = b0_input_vector;
    b0bcounter = static_cast<int>(static_cast<unsigned>(b0bcounter) + 1u);

    // The hidden deltas gather the back-propagated error; the Out deltas are already set.
    for (int i = 0; i < kH2; i++)
        network_data[kH2Delta + i] = 0.0f;
    for (int i = 0; i < kH1; i++)
        network_data[kH1Delta + i] = 0.0f;

    // Out: derivative, thresholds, connections from $INPUTS, H1 and H2 (feeding H1 and H2 deltas).
    float r = BPfrandom(kDerivOffsetRange);
    deriv_sig1<kOut>(at(kOutAct), at(kOutDelta), r);
    accum_biases<kOut>(at(kOutThrGrad), at(kOutDelta));
    accum_weights_from_input<kOut, kInputs, kInputs>(at(kOutDelta), in, at(kG_Out_In));
    accum_weights_from_hidden<kOut, kH1, kH1>(at(kOutDelta), at(kH1Act), at(kH1Delta), at(kW_Out_H1), at(kG_Out_H1));
    accum_weights_from_hidden<kOut, kH2, kH2>(at(kOutDelta), at(kH2Act), at(kH2Delta), at(kW_Out_H2), at(kG_Out_H2));

    // H2: its deltas are complete; connections from $INPUTS and H1 (feeding H1 deltas).
    r = BPfrandom(kDerivOffsetRange);
    deriv_sig1<kH2>(at(kH2Act), at(kH2Delta), r);
    accum_biases<kH2>(at(kH2ThrGrad), at(kH2Delta));
    accum_weights_from_input<kH2, kInputs, kInputs>(at(kH2Delta), in, at(kG_H2_In));
    accum_weights_from_hidden<kH2, kH1, kH1>(at(kH2Delta), at(kH1Act), at(kH1Delta), at(kW_H2_H1), at(kG_H2_H1));

    // H1: its deltas hold the error from Out and H2; connection from $INPUTS.
    r = BPfrandom(kDerivOffsetRange);
    deriv_sig1<kH1>(at(kH1Act), at(kH1Delta), r);
    accum_biases<kH1>(at(kH1ThrGrad), at(kH1Delta));
    accum_weights_from_input<kH1, kInputs, kInputs>(at(kH1Delta), in, at(kG_H1_In));
}

void nn_update_weights(float inertia)
{
    if (static_cast<unsigned>(b0bcounter) % kStepsPerUpdate != 0)
        return;
    for (const UpdateBlock &b : kUpdateOrder) {
        bp_inline::update_weights(inertia, at(b.grads), at(b.values), at(b.steps), b.count);
        for (int i = 0; i < b.count; i++)
            network_data[b.grads + i] = 0.0f;
    }
}

void nn_set_backprop_counter(int c)
{
    b0bcounter = c;
}

int nn_get_backprop_counter(void)
{
    return b0bcounter;
}

}  // extern "C"
