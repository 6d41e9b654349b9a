// The network built at run time against the generated module of the same description, the
// built-in nn (generated from network/nn.varonel): state, outputs, learning, save files and
// dumps bit for bit; against the reference network on random descriptions of every connection
// kind, with and without feedback, on every kernel path (no module is compiled, so the sample
// can be large); and its failures: descriptions refused with FILE:LINE:COLUMN, loads of
// foreign or damaged files refused with the library's message and nothing changed, several
// networks side by side.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "bp/multi/common.h"
#include "gen/rtnet/bpnet_network.h"
#include "network/nn.h"
#include "gen/model.h"
#include "support/gen_support.h"
#include "support/rtnet_support.h"
#include "support/test_support.h"

namespace {

const std::string kNnDescription = std::string(BPNET_SOURCE_DIR) + "/network/nn.varonel";

std::vector<float> snapshot(const bpnet::Network &net)
{
    return std::vector<float>(net.data(), net.data() + net.data_size());
}

bool same_bits(const float *a, const float *b, int n)
{
    return std::memcmp(a, b, sizeof(float) * static_cast<std::size_t>(n)) == 0;
}

// The presentations both parties learn: random inputs and one-hot targets of nn's sizes.
std::vector<float> g_in, g_target;
std::size_t g_cursor = 0;
float g_x[NN_INPUTS], g_t[NN_OUTPUTS];

void next_pattern()
{
    std::memcpy(g_x, g_in.data() + g_cursor * NN_INPUTS, sizeof g_x);
    std::memcpy(g_t, g_target.data() + g_cursor * NN_OUTPUTS, sizeof g_t);
    g_cursor++;
}

void make_patterns(int count)
{
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    g_in.resize(static_cast<std::size_t>(count) * NN_INPUTS);
    g_target.assign(static_cast<std::size_t>(count) * NN_OUTPUTS, 0.0f);
    for (float &v : g_in)
        v = u(rng);
    for (int p = 0; p < count; p++)
        g_target[static_cast<std::size_t>(p) * NN_OUTPUTS + rng() % NN_OUTPUTS] = 1.0f;
}

}  // namespace

TEST(RunTimeNetwork, NnDescriptionIsTheBuiltInModuleBitForBit)
{
    std::unique_ptr<bpnet::Network> net = bpnet::Network::from_file(kNnDescription);
    ASSERT_EQ(net->data_size(), NN_DATA_SIZE);
    EXPECT_EQ(net->name(), "nn");
    EXPECT_EQ(net->inputs(), NN_INPUTS);
    EXPECT_EQ(net->outputs(), NN_OUTPUTS);
    EXPECT_EQ(net->trainable(), 62);
    const std::vector<bpnet::LayerSize> layers = net->layers();
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(layers[0].name, "H1");
    EXPECT_EQ(layers[2].size, 4);
    EXPECT_EQ(net->learning_rate(), BPlearning_rate);
    EXPECT_EQ(net->inertia(), BPinertia);
    EXPECT_EQ(net->threshold(), BPthreshold);

    const int presentations = 6000;
    make_patterns(presentations);
    for (const float range : {0.1f, 2.0f}) {
        SCOPED_TRACE("range " + std::to_string(range));
        // The module: its own initialization and learning loop.
        init_seed = 4242;
        init_range = range;
        b0bcounter = 0;
        nn_init_network();
        nn_set_input(g_x);
        nn_set_target_output(g_t);
        net->initialize(4242, range);
        net->set_counter(0);
        ASSERT_TRUE(same_bits(net->data(), network_data, NN_DATA_SIZE)) << "after initialization";

        // Learning from the same start: the random source is the process's, so each party
        // starts from its own initialization.
        nn_init_network();
        g_cursor = 0;
        network_learn(presentations, next_pattern);
        const std::vector<float> module_state(network_data, network_data + NN_DATA_SIZE);
        net->initialize(4242, range);
        for (int p = 0; p < presentations; p++)
            net->learn(g_in.data() + p * NN_INPUTS, g_target.data() + p * NN_OUTPUTS);
        EXPECT_EQ(net->counter(), b0bcounter);
        ASSERT_TRUE(same_bits(net->data(), module_state.data(), NN_DATA_SIZE)) << "after learning";

        // Outputs of a forward pass are the module's.
        float y[NN_OUTPUTS];
        nn_propagate_forward();
        net->forward(g_x, y);
        EXPECT_TRUE(same_bits(y, nn_get_output(), NN_OUTPUTS));

        // Save files and both dumps.
        const std::string dir = bptest::make_temp_dir();
        ASSERT_EQ(nn_dump_network((dir + "/m.save").c_str()), 0);
        net->save(dir + "/r.save");
        EXPECT_EQ(bptest::read_file(dir + "/m.save"), bptest::read_file(dir + "/r.save"));
        for (const bool labelled : {true, false})
            EXPECT_EQ(net->ascii_dump(labelled), bptest::capture_stdout([&] { network_ascii_dump(labelled ? 1 : 0); }));
        bptest::remove_tree(dir);
    }
}

TEST(RunTimeNetwork, WideLayersAgreeWithTheReferenceOnEveryPath)
{
    // Layers wide enough for the eight-lane dot products (150 x 45 and 150 x 30), with partial
    // vectors, an odd group of eight and rows left over everywhere, beside narrow ones.
    const std::string text = "network = \"wide\"\ninputs = 150\n\n[[layer]]\nname = \"H\"\nunits = 45\n"
                             "from = [\"$INPUTS\"]\n\n[[layer]]\nname = \"Out\"\nunits = 30\n"
                             "from = [\"$INPUTS\", \"H\"]\n";
    bpgen::Error error;
    const auto model = bpgen::parse_description(text, "wide.toml", error);
    ASSERT_TRUE(model.has_value()) << error.text;
    const std::string work = bptest::make_temp_dir();
    int ran = 0;
    for (int p = 0; p < bp_multi::kPathCount; p++) {
        const auto path = static_cast<bp_multi::Path>(p);
        std::unique_ptr<bpnet::Network> net = bpnet::Network::from_text(text, "wide.toml");
        ASSERT_EQ(net->use_kernel_path(bp_multi::path_name(path)), bp_multi::path_runs(path));
        if (!bp_multi::path_runs(path))
            continue;
        EXPECT_EQ(bptest::compare_network(text, "wide.toml", *model, 17, path, work, 300), "")
            << bp_multi::path_name(path);
        ran++;
    }
    EXPECT_GE(ran, 1);
    bptest::remove_tree(work);
    std::unique_ptr<bpnet::Network> net = bpnet::Network::from_text(text, "wide.toml");
    const std::string before = net->kernel_path();
    EXPECT_FALSE(net->use_kernel_path("avx9000"));
    EXPECT_EQ(net->kernel_path(), before);
}

TEST(RunTimeNetwork, BadDescriptionsNameFileLineAndColumn)
{
    const struct {
        const char *text;
        const char *where;
    } cases[] = {
        {"network = \"a\"\ninputs = 2\n[[layer]]\nname = \"Out\"\nunits = 0\nfrom = [\"$INPUTS\"]\n", "d.toml:5:"},
        {"network = \"a\"\ninputs = 2\n[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"H\"]\n", "d.toml:6:"},
        {"network = \"a\"\ninputs = 2\nbogus = 1\n", "d.toml:3:"},
        {"network = \"a\"\ninputs = [\n", "d.toml:"},
    };
    const std::regex located(R"(^d\.toml:\d+:\d+: .+)");
    for (const auto &c : cases) {
        try {
            bpnet::Network::from_text(c.text, "d.toml");
            ADD_FAILURE() << "accepted:\n" << c.text;
        } catch (const bpnet::Error &e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(c.where, 0), 0u) << what;
            EXPECT_TRUE(std::regex_search(what, located)) << what;
        }
    }
    EXPECT_THROW(bpnet::Network::from_file("/nonexistent/x.toml"), bpnet::Error);
}

TEST(RunTimeNetwork, FailedLoadsAndSavesChangeNothingAndSayWhy)
{
    const std::string dir = bptest::make_temp_dir();
    std::unique_ptr<bpnet::Network> nn = bpnet::Network::from_file(kNnDescription);
    std::unique_ptr<bpnet::Network> xor_net =
        bpnet::Network::from_text("network = \"xor\"\ninputs = 2\n[[layer]]\nname = \"H\"\nunits = 2\nfrom = "
                                  "[\"$INPUTS\"]\n[[layer]]\nname = \"Out\"\nunits = 1\nfrom = [\"H\"]\n",
                                  "xor.toml");
    nn->initialize(1, 0.5f);
    xor_net->initialize(2, 0.5f);
    nn->set_counter(17);
    nn->save(dir + "/nn.save");
    xor_net->save(dir + "/xor.save");
    const std::vector<float> before = snapshot(*nn);

    const auto expect_refused = [&](const std::function<void()> &load, const std::string &needle) {
        try {
            load();
            ADD_FAILURE() << "accepted, expected: " << needle;
        } catch (const bpnet::Error &e) {
            EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
        }
        EXPECT_EQ(snapshot(*nn), before);
        EXPECT_EQ(nn->counter(), 17);
    };
    // Another network's file, a cut one, a missing one.
    expect_refused([&] { nn->load(dir + "/xor.save"); }, "Unable to find nn");
    const std::string whole = bptest::read_file(dir + "/nn.save");
    bptest::write_file(dir + "/cut.save", whole.substr(0, whole.size() - 3));
    expect_refused([&] { nn->load(dir + "/cut.save"); }, "Dump file ends inside");
    expect_refused([&] { nn->load(dir + "/none.save"); }, "Unable to open");
    // ASCII dumps cut short or empty.
    const std::string bare = nn->ascii_dump(false);
    expect_refused([&] { nn->load_ascii(bare.substr(0, bare.size() / 2)); }, "ends after");
    expect_refused([&] { nn->load_ascii(""); }, "No ASCII dump");
    // A save into a folder that does not exist leaves the old file.
    expect_refused([&] { nn->save(dir + "/no/such/folder/nn.save"); }, "Unable to open");

    // What loads, loads: the file and the bare dump give the saved state back.
    std::unique_ptr<bpnet::Network> copy = bpnet::Network::from_file(kNnDescription);
    copy->load(dir + "/nn.save");
    EXPECT_EQ(copy->counter(), 17);
    EXPECT_EQ(copy->ascii_dump(true), nn->ascii_dump(true));
    std::unique_ptr<bpnet::Network> from_text = bpnet::Network::from_file(kNnDescription);
    from_text->load_ascii("text before the dump is skipped\n" + bare);
    EXPECT_EQ(from_text->ascii_dump(false), bare);
    bptest::remove_tree(dir);
}

TEST(RunTimeNetwork, NetworksSideBySideKeepTheirOwnState)
{
    std::unique_ptr<bpnet::Network> a = bpnet::Network::from_file(kNnDescription);
    a->initialize(3, 1.0f);
    a->set_learning_rate(0.5f);
    const std::vector<float> a_before = snapshot(*a);
    const float x[2] = {0.25f, -0.5f};
    float ya[4], yb[4], ya2[4];
    a->forward(x, ya);

    // A second network of the same description, made, initialized and trained in between.
    std::unique_ptr<bpnet::Network> b = bpnet::Network::from_file(kNnDescription);
    b->initialize(4, 1.0f);
    const float t[4] = {1.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 50; i++)
        b->learn(x, t);
    b->forward(x, yb);
    EXPECT_FALSE(same_bits(ya, yb, 4));
    EXPECT_EQ(b->learning_rate(), 0.2f);
    EXPECT_EQ(a->learning_rate(), 0.5f);
    EXPECT_EQ(a->counter(), 0);
    EXPECT_GT(b->counter(), 0);

    // The first is as it was: its forward pass touches only its own activations.
    a->forward(x, ya2);
    EXPECT_TRUE(same_bits(ya, ya2, 4));
    const std::vector<float> a_after = snapshot(*a);
    // Thresholds and weights (everything after the activations and deltas) are unchanged.
    const int state_start = 2 * (4 + 2 + 4);
    EXPECT_EQ(std::memcmp(a_before.data() + state_start, a_after.data() + state_start,
                          (a_before.size() - state_start) * sizeof(float)),
              0);
    // A failure of one network's load leaves the other's message alone.
    EXPECT_THROW(b->load("/nonexistent.save"), bpnet::Error);
    EXPECT_THROW(a->load_ascii("#\n"), bpnet::Error);
    try {
        b->load("/nonexistent.save");
    } catch (const bpnet::Error &e) {
        EXPECT_NE(std::string(e.what()).find("nonexistent"), std::string::npos) << e.what();
    }
}

TEST(RunTimeNetwork, RandomDescriptionsAgreeWithTheReferenceOnEveryPath)
{
    // BPNET_RT_SEED and BPNET_RT_COUNT replay one seed or run a larger sample.
    const char *seed_env = std::getenv("BPNET_RT_SEED");
    const char *count_env = std::getenv("BPNET_RT_COUNT");
    const std::uint64_t base = seed_env ? std::strtoull(seed_env, nullptr, 10) : 4402;
    const int count = count_env ? std::atoi(count_env) : bptest::scaled(60);
    const std::string work = bptest::make_temp_dir();
    int failures = 0;
    for (int i = 0; i < count; i++) {
        const std::uint64_t seed = base + static_cast<std::uint64_t>(i);
        std::mt19937_64 rng(seed);
        // Every other description has layers with feedback of order 1 or 2.
        const bool feedback = i % 2 == 1;
        const std::string text = bptest::random_description(rng, 5, 40, feedback);
        bpgen::Error error;
        const auto model = bpgen::parse_description(text, "random.toml", error);
        ASSERT_TRUE(model.has_value()) << error.text;
        for (int p = 0; p < bp_multi::kPathCount; p++) {
            const auto path = static_cast<bp_multi::Path>(p);
            if (!bp_multi::path_runs(path))
                continue;
            const std::string diff = bptest::compare_network(text, "random.toml", *model, seed, path, work, 400);
            EXPECT_EQ(diff, "") << "seed " << seed << ", path " << bp_multi::path_name(path) << "\n" << text;
            failures += diff.empty() ? 0 : 1;
        }
    }
    if (failures == 0)
        bptest::remove_tree(work);
}
