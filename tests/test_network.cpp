// The nn module's state block, initialization and forward pass.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "network/nn.h"
#include "reference/nn_layout.h"
#include "support/test_support.h"

using namespace nn_layout;

namespace {

// The 62 trainable values in initialization order, printed as the bare text form prints them.
std::vector<std::string> printed_values()
{
    std::vector<std::string> out;
    char buf[64];
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++) {
            std::snprintf(buf, sizeof buf, "%.12f", static_cast<double>(network_data[b.start + i]));
            out.push_back(buf);
        }
    return out;
}

// The values of a golden bare dump, one per line between the two "#" lines.
std::vector<std::string> golden_values(const std::string &file)
{
    std::istringstream in(bptest::read_file(bptest::data_path(file)));
    std::vector<std::string> out;
    std::string line;
    int hashes = 0;
    bool counter_seen = false;
    while (std::getline(in, line)) {
        if (line == "#") {
            hashes++;
            continue;
        }
        if (hashes != 1 || line.empty())
            continue;
        if (!counter_seen) {
            counter_seen = true;
            continue;
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

class Network : public ::testing::Test {
protected:
    void SetUp() override
    {
        nn_set_random_init_seed(123);
        nn_set_random_init_range(0.1f);
        b0bcounter = 0;
        nn_init_network();
    }
};

TEST_F(Network, DefaultInitializationMatchesGolden)
{
    const std::vector<std::string> golden = golden_values("init-seed123.txt");
    ASSERT_EQ(golden.size(), 62u);
    EXPECT_EQ(printed_values(), golden);
}

TEST_F(Network, InitialValuesInRangeAndEverythingElseZero)
{
    std::vector<bool> trainable(NN_DATA_SIZE, false);
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            trainable[b.start + i] = true;
    for (int i = 0; i < NN_DATA_SIZE; i++) {
        if (trainable[i]) {
            EXPECT_GE(network_data[i], -0.1f);
            EXPECT_LE(network_data[i], 0.1f);
        } else {
            EXPECT_EQ(network_data[i], 0.0f) << "index " << i;
        }
    }
}

TEST_F(Network, SeedAndRangeApplyAtNextInitialization)
{
    std::vector<float> first(network_data, network_data + NN_DATA_SIZE);
    nn_set_random_init_seed(7);
    nn_set_random_init_range(4.0f);
    EXPECT_EQ(std::vector<float>(network_data, network_data + NN_DATA_SIZE), first);
    nn_init_network();
    EXPECT_NE(std::vector<float>(network_data, network_data + NN_DATA_SIZE), first);
    nn_set_random_init_seed(123);
    nn_set_random_init_range(0.1f);
    nn_init_network();
    EXPECT_EQ(std::vector<float>(network_data, network_data + NN_DATA_SIZE), first);

    nn_set_random_init_range(0.0f);
    nn_init_network();
    for (int i = 0; i < NN_DATA_SIZE; i++)
        EXPECT_EQ(network_data[i], 0.0f);
}

TEST_F(Network, InitializationKeepsCounterAndParameters)
{
    b0bcounter = 41;
    nn_set_learning_rate(0.5f);
    nn_set_inertia(0.25f);
    float in[2] = {0, 0};
    nn_set_input(in);
    nn_init_network();
    EXPECT_EQ(b0bcounter, 41);
    EXPECT_EQ(nn_get_learning_rate(), 0.5f);
    EXPECT_EQ(nn_get_inertia(), 0.25f);
    EXPECT_EQ(nn_get_input(), in);
    EXPECT_STREQ(nn_error_string(), "");
    nn_set_learning_rate(0.2f);
    nn_set_inertia(0.95f);
}

TEST_F(Network, ZeroWeightsGiveTableValueForZeroEverywhere)
{
    nn_set_random_init_range(0.0f);
    nn_init_network();
    float in[2] = {0.7f, -0.3f};
    nn_set_input(in);
    nn_propagate_forward();
    for (int i : {kH1Act, kH1Act + 3, kH2Act, kH2Act + 1, kOutAct, kOutAct + 3})
        EXPECT_EQ(network_data[i], 0.498046875f);
}

TEST_F(Network, ForwardPassIsRepeatableWhateverCameBefore)
{
    float in[2] = {0.25f, -0.5f};
    nn_set_input(in);
    nn_propagate_forward();
    std::vector<float> first(nn_get_output(), nn_get_output() + 4);
    network_data[kH1Act] = 123.0f;
    network_data[kOutAct + 2] = -9.0f;
    nn_network_forward();
    EXPECT_EQ(std::vector<float>(nn_get_output(), nn_get_output() + 4), first);
    EXPECT_EQ(nn_get_output(), network_data + 12);
}

std::vector<float> *g_log;
float *g_in;
void record_and_step()
{
    g_log->push_back(nn_get_output()[0]);
    g_in[0] += 0.5f;
}

TEST_F(Network, NetworkForwardCallsInputBeforeEachPass)
{
    float in[2] = {-1.0f, 0.5f};
    std::vector<float> log;
    g_log = &log;
    g_in = in;
    nn_set_input(in);
    network_forward(0, nullptr);
    network_forward(3, record_and_step);
    ASSERT_EQ(log.size(), 3u);
    // The pass after the third call saw input -1 + 3*0.5.
    std::vector<float> out(nn_get_output(), nn_get_output() + 4);
    float check[2] = {0.5f, 0.5f};
    nn_set_input(check);
    nn_propagate_forward();
    EXPECT_EQ(std::vector<float>(nn_get_output(), nn_get_output() + 4), out);
}

}  // namespace
