// The hand-written module of nn, kept as the reference that the generated module is compared
// with: its state block, accessors, initialization and forward pass.
#include "reference/nn.h"

#include <cstring>

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"
#include "bp/BpSupport.h"
#include "reference/nn_layout.h"

using namespace nn_layout;

extern "C" {

float network_data[NN_DATA_SIZE];
float BPlearning_rate = 0.2f;
float BPinertia = 0.95f;
float BPthreshold = 0.00005f;
float init_range = 0.1f;
int init_seed = 123;
int b0bcounter = 0;
float *b0_input_vector = nullptr;
float *b0_target_output = nullptr;
char error_string[NN_ERROR_SIZE];

}  // extern "C"

namespace {
// The library's readers write their messages into this module's error text, from the start.
[[maybe_unused]] const bool kErrorTextHandedOver = (BPset_error_buffer(error_string, NN_ERROR_SIZE), true);
}  // namespace

extern "C" {

int nn_init_network(void)
{
    // First seed the generator, so that the same seed and range give the same network.
    BPfrandom_init(init_seed);
    std::memset(network_data, 0, sizeof network_data);
    BPinit_sigmoid_table();
    error_string[0] = '\0';
    nn_describe_network();

    // Then draw the thresholds and weights, output side first.
    const float width = static_cast<float>(2.0 * init_range);
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            network_data[b.start + i] = static_cast<float>(static_cast<bp_wide>(BPfrandom(width)) - init_range);
    return 0;
}

void nn_set_input(float *v) { b0_input_vector = v; }
float *nn_get_input(void) { return b0_input_vector; }
float *nn_get_output(void) { return at(kOutAct); }
void nn_set_target_output(float *v) { b0_target_output = v; }
float *nn_get_target_output(void) { return b0_target_output; }
char *nn_error_string(void) { return error_string; }
void nn_set_learning_rate(float r) { BPlearning_rate = r; }
float nn_get_learning_rate(void) { return BPlearning_rate; }
void nn_set_inertia(float m) { BPinertia = m; }
float nn_get_inertia(void) { return BPinertia; }
void nn_set_random_init_seed(int seed) { init_seed = seed; }
void nn_set_random_init_range(float range) { init_range = range; }
void nn_bb_clear_delays(void) {}
void nn_clear_delays(void) {}

void nn_propagate_forward(void)
{
    // The kernels are the inline copies with this network's constant sizes (same arithmetic
    // as BPlvdot, BPlvdot_sum and BPsig1), so the nine calls compile to straight-line code.
    using namespace bp_inline;
    const float *in = b0_input_vector;
    // H1 from the inputs.
    lvdot<kInputs, kH1, kInputs>(at(kW_H1_In), in, at(kH1Act));
    sig1<kH1>(at(kH1Act), at(kH1Thr));
    // H2 from the inputs and H1.
    lvdot<kInputs, kH2, kInputs>(at(kW_H2_In), in, at(kH2Act));
    lvdot_sum<kH1, kH2, kH1>(at(kW_H2_H1), at(kH1Act), at(kH2Act));
    sig1<kH2>(at(kH2Act), at(kH2Thr));
    // Out from the inputs, H1 and H2.
    lvdot<kInputs, kOut, kInputs>(at(kW_Out_In), in, at(kOutAct));
    lvdot_sum<kH1, kOut, kH1>(at(kW_Out_H1), at(kH1Act), at(kOutAct));
    lvdot_sum<kH2, kOut, kH2>(at(kW_Out_H2), at(kH2Act), at(kOutAct));
    sig1<kOut>(at(kOutAct), at(kOutThr));
}

void nn_network_forward(void)
{
    nn_propagate_forward();
}

void network_forward(unsigned iterations, void (*input_fn)(void))
{
    for (unsigned i = 0; i < iterations; i++) {
        input_fn();
        nn_propagate_forward();
    }
}

}  // extern "C"
