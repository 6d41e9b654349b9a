// The learning step: the golden 30-presentation run, the error test and its skip rule, the
// every-third-step update from any counter value, and the gradient and step bookkeeping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSupport.h"
#include "network/nn.h"
#include "reference/nn_layout.h"
#include "support/test_support.h"

using namespace nn_layout;

namespace {

float g_input[2];
float g_target[4];
unsigned g_calls = 0;

// The golden run's patterns: pair k mod 4 on the k-th call.
void golden_patterns()
{
    static const float kIn[4][2] = {{0.5f, 0.5f}, {-0.5f, 0.5f}, {0.5f, -0.5f}, {-0.5f, -0.5f}};
    const unsigned k = g_calls++ % 4;
    g_input[0] = kIn[k][0];
    g_input[1] = kIn[k][1];
    for (int i = 0; i < 4; i++)
        g_target[i] = (static_cast<unsigned>(i) == k) ? 1.0f : 0.0f;
}

// A pattern whose targets are the network's own current outputs for the fixed input.
void self_target_pattern()
{
    g_calls++;
    g_input[0] = 0.25f;
    g_input[1] = -0.75f;
    nn_propagate_forward();
    std::memcpy(g_target, nn_get_output(), sizeof g_target);
}

// Fresh network with the default settings, vectors registered.
void fresh_network(int counter = 0)
{
    nn_set_learning_rate(0.2f);
    nn_set_inertia(0.95f);
    BPthreshold = 0.00005f;
    nn_set_random_init_seed(123);
    nn_set_random_init_range(0.1f);
    nn_set_backprop_counter(counter);
    nn_init_network();
    nn_set_input(g_input);
    nn_set_target_output(g_target);
    g_calls = 0;
}

std::vector<float> snapshot()
{
    return std::vector<float>(network_data, network_data + NN_DATA_SIZE);
}

bool all_zero(int start, int count)
{
    for (int i = 0; i < count; i++)
        if (network_data[start + i] != 0.0f)
            return false;
    return true;
}

constexpr int kGradBlocks[][2] = {{kOutThrGrad, 4}, {kG_Out_In, 8}, {kG_Out_H1, 16}, {kG_Out_H2, 8},
                                  {kH2ThrGrad, 2},  {kG_H2_In, 4},  {kG_H2_H1, 8},   {kH1ThrGrad, 4},
                                  {kG_H1_In, 8}};

bool gradients_zero()
{
    for (const auto &b : kGradBlocks)
        if (!all_zero(b[0], b[1]))
            return false;
    return true;
}

// Bit-exact equality of two floats (so that -0 and 0 differ, and NaN equals itself).
using bptest::same_bits;

}  // namespace

TEST(LearnGolden, ThirtyPresentationsMatchTheReferenceBitForBit)
{
    fresh_network();
    network_learn(30, golden_patterns);
    EXPECT_EQ(g_calls, 30u);

    // The bare dump: "#", the counter, the 62 values in dump order, "#".
    std::istringstream golden(bptest::read_file(bptest::data_path("learn-seed123.txt")));
    std::vector<std::string> tokens;
    for (std::string t; golden >> t;)
        tokens.push_back(t);
    ASSERT_EQ(tokens.size(), 65u);
    EXPECT_EQ(tokens.front(), "#");
    EXPECT_EQ(tokens.back(), "#");
    EXPECT_EQ(nn_get_backprop_counter(), std::atoi(tokens[1].c_str()));

    std::size_t next = 2;
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++, next++)
            EXPECT_TRUE(same_bits(network_data[b.start + i], std::strtof(tokens[next].c_str(), nullptr)))
                << "network_data[" << b.start + i << "]";
}

TEST(LearnGolden, NetworkLearnAndTheBlackBoxEntryPointAgree)
{
    fresh_network();
    network_learn(17, golden_patterns);
    const std::vector<float> a = snapshot();
    const int ca = nn_get_backprop_counter();
    fresh_network();
    nn_network_learn(17, golden_patterns);
    EXPECT_EQ(snapshot(), a);
    EXPECT_EQ(nn_get_backprop_counter(), ca);
    EXPECT_EQ(ca, 17);
}

TEST(LearnError, ScaleAndMeanOfTheOutputError)
{
    fresh_network();
    g_input[0] = 0.3f;
    g_input[1] = -0.1f;
    const float target[4] = {1.0f, 0.0f, 0.25f, 0.75f};
    std::memcpy(g_target, target, sizeof target);
    nn_propagate_forward();
    const float *o = nn_get_output();

    const float err = nn_calc_error();
    const float scale = static_cast<float>(0.333333 * static_cast<double>(0.2f));
    EXPECT_NEAR(scale, 0.0666666, 1e-7);
    double sum = 0.0;
    for (int i = 0; i < 4; i++) {
        const float diff = static_cast<float>(static_cast<double>(target[i]) - o[i]);
        sum += static_cast<double>(diff) * diff;
        EXPECT_TRUE(same_bits(network_data[kOutDelta + i], static_cast<float>(static_cast<double>(diff) * scale)));
    }
    EXPECT_TRUE(same_bits(err, static_cast<float>(static_cast<double>(static_cast<float>(0.5 * sum)) * 0.25)));

    // A different learning rate changes the deltas but not the error.
    nn_set_learning_rate(0.5f);
    EXPECT_TRUE(same_bits(nn_calc_error(), err));
    const float scale5 = static_cast<float>(0.333333 * 0.5);
    const float diff0 = static_cast<float>(static_cast<double>(target[0]) - o[0]);
    EXPECT_TRUE(same_bits(network_data[kOutDelta], static_cast<float>(static_cast<double>(diff0) * scale5)));
}

TEST(LearnSkip, ErrorAtOrBelowThresholdChangesNothingAndDrawsNoRandomNumber)
{
    fresh_network(5);
    // Targets equal to the outputs: error 0, not above the threshold.
    const std::vector<float> before = snapshot();
    network_learn(4, self_target_pattern);
    EXPECT_EQ(g_calls, 4u);
    const std::vector<float> after = snapshot();
    for (int i = kH1Thr; i < NN_DATA_SIZE; i++)
        EXPECT_EQ(after[static_cast<std::size_t>(i)], before[static_cast<std::size_t>(i)]) << "index " << i;
    EXPECT_TRUE(all_zero(kOutDelta, 4));
    EXPECT_EQ(nn_get_backprop_counter(), 5);

    // The generator is where initialization left it: its next value is the 63rd draw after the seed.
    srand48(123);
    for (int i = 0; i < 62; i++)
        drand48();
    const double expected_next = drand48();
    fresh_network(5);
    network_learn(3, self_target_pattern);
    EXPECT_EQ(drand48(), expected_next);
}

TEST(LearnSkip, ErrorExactlyAtThresholdIsNotLearned)
{
    fresh_network();
    golden_patterns();
    nn_propagate_forward();
    const float err = nn_calc_error();
    ASSERT_GT(err, 0.0f);
    BPthreshold = err;  // equal: not learned
    const std::vector<float> before = snapshot();
    g_calls = 0;
    network_learn(1, [] {
        g_calls++;  // same input and target as above
    });
    EXPECT_EQ(nn_get_backprop_counter(), 0);
    EXPECT_EQ(std::vector<float>(network_data + kH1Thr, network_data + NN_DATA_SIZE),
              std::vector<float>(before.begin() + kH1Thr, before.end()));

    BPthreshold = std::nextafter(err, 0.0f);  // just below: learned
    network_learn(1, [] { g_calls++; });
    EXPECT_EQ(nn_get_backprop_counter(), 1);
    EXPECT_FALSE(gradients_zero());
    BPthreshold = 0.00005f;
}

TEST(LearnUpdate, FirstTwoStepsAccumulateThirdAppliesTheSum)
{
    fresh_network();
    const std::vector<float> init = snapshot();
    network_learn(1, golden_patterns);
    EXPECT_EQ(nn_get_backprop_counter(), 1);
    EXPECT_FALSE(gradients_zero());
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            EXPECT_EQ(network_data[b.start + i], init[static_cast<std::size_t>(b.start + i)]);
    network_learn(1, golden_patterns);
    EXPECT_EQ(nn_get_backprop_counter(), 2);
    const std::vector<float> two = snapshot();
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            EXPECT_EQ(two[static_cast<std::size_t>(b.start + i)], init[static_cast<std::size_t>(b.start + i)]);

    // Third step by hand: accumulate, then check the update applies gradients + inertia x steps (0).
    golden_patterns();
    nn_propagate_forward();
    ASSERT_GT(nn_calc_error(), BPthreshold);
    nn_calc_grad();
    const std::vector<float> grads = snapshot();
    nn_update_weights(0.95f);
    EXPECT_TRUE(gradients_zero());
    for (int i = 0; i < 4; i++) {
        const float expect = static_cast<float>(grads[kOutThr + i] + static_cast<double>(grads[kOutThrGrad + i]));
        EXPECT_TRUE(same_bits(network_data[kOutThr + i], expect));
        EXPECT_TRUE(same_bits(network_data[kOutThrStep + i], grads[kOutThrGrad + i]));
    }
    for (int i = 0; i < 8; i++) {
        const float expect = static_cast<float>(grads[kW_H1_In + i] + static_cast<double>(grads[kG_H1_In + i]));
        EXPECT_TRUE(same_bits(network_data[kW_H1_In + i], expect));
        EXPECT_TRUE(same_bits(network_data[kS_H1_In + i], grads[kG_H1_In + i]));
    }
}

TEST(LearnUpdate, HappensOnMultiplesOfThreeFromAnyCounterValue)
{
    // Starting counter and the number of learning steps until the first update. Negative
    // counters are large unsigned numbers: 0xFFFFFFFF is a multiple of 3, 0xFFFFFFFD is not
    // (a signed remainder would update one step too early from -3, at -1).
    const struct {
        int start;
        int steps_to_update;
    } cases[] = {{0, 3}, {1, 2}, {2, 1}, {3, 3}, {7, 2}, {-1, 1}, {-2, 1}, {-3, 2}};
    for (const auto &c : cases) {
        fresh_network(c.start);
        int steps = 0;
        do {
            network_learn(1, golden_patterns);
            steps++;
        } while (!gradients_zero() && steps < 10);
        EXPECT_EQ(steps, c.steps_to_update) << "start " << c.start;
        EXPECT_EQ(static_cast<unsigned>(nn_get_backprop_counter()) % 3, 0u) << "start " << c.start;
        // And then whenever the unsigned counter is a multiple of 3 (every third step, except
        // across the wrap from 0xFFFFFFFF to 0, both multiples of 3).
        for (int k = 1; k <= 6; k++) {
            network_learn(1, golden_patterns);
            const bool due = static_cast<unsigned>(nn_get_backprop_counter()) % 3 == 0;
            EXPECT_EQ(gradients_zero(), due) << "start " << c.start << ", step " << k;
            if (c.start >= 0) {
                EXPECT_EQ(due, k % 3 == 0);
            }
        }
    }
}

TEST(LearnUpdate, CounterWrapsFromAllOnesToZero)
{
    fresh_network(0);
    golden_patterns();
    nn_propagate_forward();
    nn_calc_error();
    nn_set_backprop_counter(-2);
    nn_calc_grad();  // 0xFFFFFFFF: a multiple of 3 as unsigned
    EXPECT_EQ(nn_get_backprop_counter(), -1);
    nn_update_weights(0.95f);
    EXPECT_TRUE(gradients_zero());

    golden_patterns();
    nn_propagate_forward();
    nn_calc_error();
    nn_calc_grad();  // wraps to 0, a multiple of 3 as well
    EXPECT_EQ(nn_get_backprop_counter(), 0);
    EXPECT_FALSE(gradients_zero());
    nn_update_weights(0.95f);
    EXPECT_TRUE(gradients_zero());
}

TEST(LearnUpdate, ZeroGradientsStillMoveValuesByInertiaTimesSteps)
{
    fresh_network(0);
    for (int i = 0; i < 4; i++)
        network_data[kOutThrStep + i] = 0.125f * static_cast<float>(i + 1);
    const std::vector<float> before = snapshot();
    nn_update_weights(0.5f);
    for (int i = 0; i < 4; i++) {
        const double s = 0.5 * before[kOutThrStep + i];
        EXPECT_TRUE(same_bits(network_data[kOutThr + i], static_cast<float>(before[kOutThr + i] + s)));
        EXPECT_TRUE(same_bits(network_data[kOutThrStep + i], static_cast<float>(s)));
    }
    // Counter not a multiple of 3: nothing at all.
    nn_set_backprop_counter(4);
    const std::vector<float> mid = snapshot();
    nn_update_weights(0.5f);
    EXPECT_EQ(snapshot(), mid);
}

TEST(LearnUpdate, InertiaZeroAppliesExactlyTheGradientSum)
{
    fresh_network(0);
    nn_set_inertia(0.0f);
    network_learn(3, golden_patterns);  // first update: steps were 0 anyway
    network_learn(2, golden_patterns);
    // Gradients of steps 4 and 5 are pending; step 6 adds its own and applies all three.
    golden_patterns();
    nn_propagate_forward();
    ASSERT_GT(nn_calc_error(), BPthreshold);
    nn_calc_grad();
    const std::vector<float> pending = snapshot();
    nn_update_weights(0.0f);
    for (int i = 0; i < 16; i++) {
        EXPECT_TRUE(same_bits(network_data[kS_Out_H1 + i], pending[kG_Out_H1 + i]));
        EXPECT_TRUE(same_bits(network_data[kW_Out_H1 + i],
                              static_cast<float>(pending[kW_Out_H1 + i] + static_cast<double>(pending[kG_Out_H1 + i]))));
    }
}

TEST(LearnGrad, ThreeDrawsPerStepInTheOrderOutH2H1)
{
    fresh_network(0);
    golden_patterns();
    nn_propagate_forward();
    nn_calc_error();
    const std::vector<float> before = snapshot();

    // Replay the generator to know r for Out, H2 and H1.
    srand48(123);
    for (int i = 0; i < 62; i++)
        drand48();
    const float r_out = static_cast<float>(drand48() * 0.05f);
    const float r_h2 = static_cast<float>(drand48() * 0.05f);
    const float r_h1 = static_cast<float>(drand48() * 0.05f);
    const double after_three = drand48();
    fresh_network(0);
    g_calls = 0;
    golden_patterns();
    nn_propagate_forward();
    nn_calc_error();
    nn_calc_grad();
    EXPECT_EQ(drand48(), after_three);

    // Out threshold gradients are the Out deltas times (a(1-a) + r_out).
    for (int i = 0; i < 4; i++) {
        const double a = before[kOutAct + i];
        const float d = static_cast<float>((a * (1.0 - a) + r_out) * before[kOutDelta + i]);
        EXPECT_TRUE(same_bits(network_data[kOutThrGrad + i], d));
    }
    // H2 deltas: back-propagated from Out, then scaled with r_h2.
    for (int j = 0; j < 2; j++) {
        float h = 0.0f;
        for (int i = 0; i < 4; i++)
            h = static_cast<float>(h + static_cast<double>(network_data[kOutDelta + i]) * before[kW_Out_H2 + i * 2 + j]);
        const double a = before[kH2Act + j];
        EXPECT_TRUE(same_bits(network_data[kH2Delta + j], static_cast<float>((a * (1.0 - a) + r_h2) * h)));
    }
    // H1 deltas: from Out (rows of W Out<-H1), then from H2, then scaled with r_h1.
    for (int j = 0; j < 4; j++) {
        float h = 0.0f;
        for (int i = 0; i < 4; i++)
            h = static_cast<float>(h + static_cast<double>(network_data[kOutDelta + i]) * before[kW_Out_H1 + i * 4 + j]);
        for (int i = 0; i < 2; i++)
            h = static_cast<float>(h + static_cast<double>(network_data[kH2Delta + i]) * before[kW_H2_H1 + i * 4 + j]);
        const double a = before[kH1Act + j];
        EXPECT_TRUE(same_bits(network_data[kH1Delta + j], static_cast<float>((a * (1.0 - a) + r_h1) * h)));
    }
    // Weights are untouched by the accumulation.
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            EXPECT_EQ(network_data[b.start + i], before[static_cast<std::size_t>(b.start + i)]);
}

TEST(LearnGrad, StaleHiddenDeltasAreClearedFirst)
{
    fresh_network(0);
    golden_patterns();
    nn_propagate_forward();
    nn_calc_error();
    nn_calc_grad();
    const std::vector<float> clean = snapshot();

    fresh_network(0);
    golden_patterns();
    nn_propagate_forward();
    nn_calc_error();
    for (int i = 0; i < 4; i++)
        network_data[kH1Delta + i] = 123.0f;
    for (int i = 0; i < 2; i++)
        network_data[kH2Delta + i] = -7.0f;
    nn_calc_grad();
    EXPECT_EQ(snapshot(), clean);
}
