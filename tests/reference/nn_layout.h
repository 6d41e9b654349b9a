// Layout of network_data: every sub-vector of the nn module at a fixed float index, as the
// hand-written reference module lays it out. The generated nn lays it out the same way
// (test_gen_nn checks that), so tests of either module read its state through these names.
// C++ only.
#ifndef NETWORK_NN_LAYOUT_H
#define NETWORK_NN_LAYOUT_H

#include <array>

// The state block, declared alike by the reference module's header and the generated one.
extern "C" float network_data[206];

namespace nn_layout {

// Layer and input sizes.
constexpr int kInputs = 2;
constexpr int kH1 = 4;
constexpr int kH2 = 2;
constexpr int kOut = 4;

// Activations and deltas, layer by layer.
constexpr int kH1Act = 0;
constexpr int kH1Delta = kH1Act + kH1;
constexpr int kH2Act = kH1Delta + kH1;
constexpr int kH2Delta = kH2Act + kH2;
constexpr int kOutAct = kH2Delta + kH2;
constexpr int kOutDelta = kOutAct + kOut;

// Thresholds, threshold gradients and threshold steps, layer by layer.
constexpr int kH1Thr = kOutDelta + kOut;
constexpr int kH1ThrGrad = kH1Thr + kH1;
constexpr int kH1ThrStep = kH1ThrGrad + kH1;
constexpr int kH2Thr = kH1ThrStep + kH1;
constexpr int kH2ThrGrad = kH2Thr + kH2;
constexpr int kH2ThrStep = kH2ThrGrad + kH2;
constexpr int kOutThr = kH2ThrStep + kH2;
constexpr int kOutThrGrad = kOutThr + kOut;
constexpr int kOutThrStep = kOutThrGrad + kOut;

// Connections target<-source: weights, gradients, steps, each target x source floats, row-major.
constexpr int kW_H1_In = kOutThrStep + kOut;
constexpr int kG_H1_In = kW_H1_In + kH1 * kInputs;
constexpr int kS_H1_In = kG_H1_In + kH1 * kInputs;
constexpr int kW_H2_In = kS_H1_In + kH1 * kInputs;
constexpr int kG_H2_In = kW_H2_In + kH2 * kInputs;
constexpr int kS_H2_In = kG_H2_In + kH2 * kInputs;
constexpr int kW_H2_H1 = kS_H2_In + kH2 * kInputs;
constexpr int kG_H2_H1 = kW_H2_H1 + kH2 * kH1;
constexpr int kS_H2_H1 = kG_H2_H1 + kH2 * kH1;
constexpr int kW_Out_In = kS_H2_H1 + kH2 * kH1;
constexpr int kG_Out_In = kW_Out_In + kOut * kInputs;
constexpr int kS_Out_In = kG_Out_In + kOut * kInputs;
constexpr int kW_Out_H1 = kS_Out_In + kOut * kInputs;
constexpr int kG_Out_H1 = kW_Out_H1 + kOut * kH1;
constexpr int kS_Out_H1 = kG_Out_H1 + kOut * kH1;
constexpr int kW_Out_H2 = kS_Out_H1 + kOut * kH1;
constexpr int kG_Out_H2 = kW_Out_H2 + kOut * kH2;
constexpr int kS_Out_H2 = kG_Out_H2 + kOut * kH2;
constexpr int kEnd = kS_Out_H2 + kOut * kH2;

// Check that the blocks tile 0..205 without gap or overlap, in the documented places.
struct Block {
    int start;
    int count;
};
constexpr std::array<Block, 33> kBlocks{{
    {kH1Act, kH1}, {kH1Delta, kH1}, {kH2Act, kH2}, {kH2Delta, kH2}, {kOutAct, kOut}, {kOutDelta, kOut},
    {kH1Thr, kH1}, {kH1ThrGrad, kH1}, {kH1ThrStep, kH1},
    {kH2Thr, kH2}, {kH2ThrGrad, kH2}, {kH2ThrStep, kH2},
    {kOutThr, kOut}, {kOutThrGrad, kOut}, {kOutThrStep, kOut},
    {kW_H1_In, 8}, {kG_H1_In, 8}, {kS_H1_In, 8},
    {kW_H2_In, 4}, {kG_H2_In, 4}, {kS_H2_In, 4},
    {kW_H2_H1, 8}, {kG_H2_H1, 8}, {kS_H2_H1, 8},
    {kW_Out_In, 8}, {kG_Out_In, 8}, {kS_Out_In, 8},
    {kW_Out_H1, 16}, {kG_Out_H1, 16}, {kS_Out_H1, 16},
    {kW_Out_H2, 8}, {kG_Out_H2, 8}, {kS_Out_H2, 8},
}};
constexpr bool tiles_exactly()
{
    int next = 0;
    for (const Block &b : kBlocks) {
        if (b.start != next || b.count <= 0)
            return false;
        next = b.start + b.count;
    }
    return next == 206;
}
static_assert(tiles_exactly(), "network_data blocks must tile 0..205 without gap or overlap");
static_assert(kEnd == 206);
static_assert(kOutAct == 12 && kH1Thr == 20 && kOutThr == 38 && kW_H1_In == 50 && kW_H2_H1 == 86 &&
              kW_Out_In == 110 && kW_Out_H1 == 134 && kW_Out_H2 == 182);

// Number of trainable values: 10 thresholds and 52 weights.
constexpr int kTrainable = kH1 + kH2 + kOut + kH1 * kInputs + kH2 * kInputs + kH2 * kH1 + kOut * kInputs +
                           kOut * kH1 + kOut * kH2;
static_assert(kTrainable == 62);

// The nine trainable vectors in initialization (and ASCII dump) order: output side first,
// within a layer the thresholds, then the incoming weights by source $INPUTS, H1, H2.
constexpr std::array<Block, 9> kTrainableOrder{{
    {kOutThr, kOut}, {kW_Out_In, 8}, {kW_Out_H1, 16}, {kW_Out_H2, 8},
    {kH2Thr, kH2}, {kW_H2_In, 4}, {kW_H2_H1, 8},
    {kH1Thr, kH1}, {kW_H1_In, 8},
}};

// Pointer to element i of network_data.
inline float *at(int i)
{
    return network_data + i;
}

}  // namespace nn_layout

#endif
