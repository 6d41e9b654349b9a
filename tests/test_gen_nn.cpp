// The generator's module for network/nn.varonel against the hand-written reference module of nn
// (tests/reference) linked into this test: the same state after initialization, the same outputs, the same
// state, counter and save file after tens of thousands of learning steps, the same ASCII
// dumps and the same descriptor; and the golden
// outputs of nn reproduced by the generated module itself.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reference/nn.h"
#include "support/gen_support.h"
#include "support/test_support.h"

namespace {

using bptest::Module;

// The generated module, built once by the build (bpnet-gen --shared) for the whole suite.
class GeneratedNn : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new std::string(bptest::make_temp_dir());
        mod_ = new Module(BPNET_GEN_NN_MODULE, "nn");
    }
    static void TearDownTestSuite()
    {
        delete mod_;
        bptest::remove_tree(*dir_);
        delete dir_;
    }
    static std::string *dir_;  // a scratch folder for save files
    static Module *mod_;

    float *gen_data() const { return mod_->var<float>("network_data"); }
    // Both modules' settings at once.
    void settings(int seed, float range, float rate, float inertia) const
    {
        *mod_->var<int>("init_seed") = init_seed = seed;
        *mod_->var<float>("init_range") = init_range = range;
        *mod_->var<float>("BPlearning_rate") = BPlearning_rate = rate;
        *mod_->var<float>("BPinertia") = BPinertia = inertia;
        *mod_->var<int>("b0bcounter") = b0bcounter = 0;
    }
};
std::string *GeneratedNn::dir_ = nullptr;
Module *GeneratedNn::mod_ = nullptr;

// The patterns of a learning run: inputs in [-1, 1), one-hot targets, as a host would give.
std::vector<float> g_in(2), g_target(4);
std::mt19937 g_rng;
void random_pattern()
{
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    g_in[0] = d(g_rng);
    g_in[1] = d(g_rng);
    const unsigned cls = g_rng() % 4;
    for (unsigned j = 0; j < 4; j++)
        g_target[j] = j == cls ? 1.0f : 0.0f;
}

TEST_F(GeneratedNn, InitializationAndForwardPassesMatchTheHandWrittenModule)
{
    const auto init = mod_->fn<int (*)(void)>("init_network");
    const auto forward = mod_->fn<void (*)(void)>("propagate_forward");
    mod_->fn<void (*)(float *)>("set_input")(g_in.data());
    nn_set_input(g_in.data());
    std::mt19937 rng(5);
    for (const float range : {0.1f, 1.0f, 4.0f, 0.0f}) {
        for (const int seed : {123, 7, -1, 2026}) {
            settings(seed, range, 0.2f, 0.95f);
            init();
            nn_init_network();
            ASSERT_TRUE(bptest::same_bits(gen_data(), network_data, NN_DATA_SIZE)) << "seed " << seed << ", range " << range;
            std::uniform_real_distribution<float> d(-3.0f, 3.0f);
            for (int p = 0; p < 500; p++) {
                g_in[0] = d(rng);
                g_in[1] = d(rng);
                forward();
                nn_propagate_forward();
                ASSERT_TRUE(bptest::same_bits(gen_data(), network_data, NN_DATA_SIZE)) << "pass " << p;
            }
        }
    }
}

TEST_F(GeneratedNn, LearningSaveFilesAndDumpsMatchTheHandWrittenModule)
{
    const auto init = mod_->fn<int (*)(void)>("init_network");
    const auto learn = reinterpret_cast<void (*)(unsigned, void (*)(void))>(mod_->symbol("network_learn"));
    const auto dump = mod_->fn<int (*)(const char *)>("dump_network");
    const auto ascii = mod_->fn<void (*)(int)>("ascii_dump_network");
    mod_->fn<void (*)(float *)>("set_input")(g_in.data());
    mod_->fn<void (*)(float *)>("set_target_output")(g_target.data());
    nn_set_input(g_in.data());
    nn_set_target_output(g_target.data());
    struct Run {
        int seed;
        float range, rate, inertia;
        unsigned presentations;
    };
    for (const Run &r : {Run{123, 0.1f, 0.2f, 0.95f, 40000}, Run{9, 1.0f, 0.7f, 0.5f, 20000},
                         Run{31, 0.3f, 0.05f, 0.0f, 10000}}) {
        // The random generator is the platform's, shared by both: one run after the other.
        settings(r.seed, r.range, r.rate, r.inertia);
        g_rng.seed(static_cast<unsigned>(r.seed));
        init();
        learn(r.presentations, random_pattern);
        g_rng.seed(static_cast<unsigned>(r.seed));
        nn_init_network();
        network_learn(r.presentations, random_pattern);
        SCOPED_TRACE("seed " + std::to_string(r.seed));
        ASSERT_GT(b0bcounter, 1000);
        EXPECT_EQ(*mod_->var<int>("b0bcounter"), b0bcounter);
        ASSERT_TRUE(bptest::same_bits(gen_data(), network_data, NN_DATA_SIZE));

        const std::string a = *dir_ + "/generated.save", b = *dir_ + "/hand.save";
        ASSERT_EQ(dump(a.c_str()), 0);
        ASSERT_EQ(nn_dump_network(b.c_str()), 0);
        EXPECT_EQ(bptest::read_file(a), bptest::read_file(b));
        for (const int labelled : {0, 1})
            EXPECT_EQ(bptest::capture_stdout([&] { ascii(labelled); }),
                      bptest::capture_stdout([&] { nn_ascii_dump_network(labelled); }));
    }
}

TEST_F(GeneratedNn, DescriptorMatchesTheHandWrittenModule)
{
    mod_->fn<int (*)(void)>("init_network")();
    nn_init_network();
    const auto query = reinterpret_cast<nn_descriptor *(*)(int, int)>(mod_->symbol("network_query"));
    const float *gd = gen_data();
    for (int layer = 0; layer < 3; layer++) {
        const nn_descriptor g = *query(0, layer);
        const nn_descriptor h = *network_query(0, layer);
        EXPECT_STREQ(g.description_file, "nn.varonel");
        EXPECT_STREQ(h.description_file, "nn.varonel");
        EXPECT_STREQ(g.network_name, h.network_name);
        EXPECT_STREQ(g.box_name, h.box_name);
        EXPECT_STREQ(g.layer_name, h.layer_name);
        const int gi[] = {g.field2, g.field3, g.field4, g.field5, g.unit_count, g.parameter_count, g.box_number,
                          g.field22, g.field23, g.layer_count, g.input_size, g.input_dim_x, g.input_dim_y, g.field28,
                          g.field29, g.field30, g.field31, g.layer_number, g.field43, g.layer_size, g.layer_dim_x,
                          g.layer_dim_y, g.field48, g.field49, g.layer_connection_count, g.field58};
        const int hi[] = {h.field2, h.field3, h.field4, h.field5, h.unit_count, h.parameter_count, h.box_number,
                          h.field22, h.field23, h.layer_count, h.input_size, h.input_dim_x, h.input_dim_y, h.field28,
                          h.field29, h.field30, h.field31, h.layer_number, h.field43, h.layer_size, h.layer_dim_x,
                          h.layer_dim_y, h.field48, h.field49, h.layer_connection_count, h.field58};
        for (std::size_t i = 0; i < sizeof gi / sizeof gi[0]; i++)
            EXPECT_EQ(gi[i], hi[i]) << "field " << i << " of layer " << layer;
        EXPECT_EQ(g.layer_activations - gd, h.layer_activations - network_data);
        EXPECT_EQ(g.layer_thresholds - gd, h.layer_thresholds - network_data);
        EXPECT_EQ(g.layer_threshold_steps - gd, h.layer_threshold_steps - network_data);
        EXPECT_EQ(g.layer_deltas - gd, h.layer_deltas - network_data);
        // Every entry point is set; each one is the generated module's own.
        const void *gp[] = {reinterpret_cast<void *>(g.init_network_proc), reinterpret_cast<void *>(g.network_learn_proc),
                            reinterpret_cast<void *>(g.propagate_forward_proc), reinterpret_cast<void *>(g.get_output_proc),
                            reinterpret_cast<void *>(g.dump_network_proc), reinterpret_cast<void *>(g.load_network_proc)};
        for (const void *p : gp) {
            EXPECT_NE(p, nullptr);
        }
        EXPECT_EQ(reinterpret_cast<void *>(g.get_output_proc), mod_->symbol("nn_get_output"));
        for (int slot = 0; slot < h.layer_connection_count; slot++) {
            const nn_connection_record &gc = g.connections[slot];
            const nn_connection_record &hc = h.connections[slot];
            EXPECT_STREQ(gc.source_name, hc.source_name);
            const int gv[] = {gc.field0, gc.field1, gc.field2, gc.weight_count, gc.field4, gc.source_number,
                              gc.source_size, gc.source_dim_x, gc.source_dim_y, gc.field10, gc.field13, gc.field14,
                              gc.field15, gc.field16, gc.field17, gc.field18};
            const int hv[] = {hc.field0, hc.field1, hc.field2, hc.weight_count, hc.field4, hc.source_number,
                              hc.source_size, hc.source_dim_x, hc.source_dim_y, hc.field10, hc.field13, hc.field14,
                              hc.field15, hc.field16, hc.field17, hc.field18};
            for (std::size_t i = 0; i < sizeof gv / sizeof gv[0]; i++)
                EXPECT_EQ(gv[i], hv[i]) << "connection field " << i;
            EXPECT_EQ(gc.weights - gd, hc.weights - network_data);
            EXPECT_EQ(gc.weight_steps - gd, hc.weight_steps - network_data);
        }
    }
}

TEST_F(GeneratedNn, ReproducesTheGoldenOutputsOfNn)
{
    // network_initialize(NULL, 0) and the bare dump: the golden initial network.
    std::vector<float> in(2), target(4);
    settings(123, 0.1f, 0.2f, 0.95f);
    const auto initialize = reinterpret_cast<void (*)(const char *, int)>(mod_->symbol("network_initialize"));
    const auto ascii = reinterpret_cast<void (*)(int)>(mod_->symbol("network_ascii_dump"));
    initialize(nullptr, 0);
    EXPECT_EQ(bptest::capture_stdout([&] { ascii(0); }), bptest::read_file(bptest::data_path("init-seed123.txt")));
    EXPECT_EQ(bptest::capture_stdout([&] { ascii(1); }),
              bptest::read_file(bptest::data_path("init-seed123-labelled.txt")));

    // Thirty learning presentations of the four corner patterns.
    static std::vector<float> *pin, *ptarget;
    static int k;
    pin = &in;
    ptarget = &target;
    k = 0;
    mod_->fn<void (*)(float *)>("set_input")(in.data());
    mod_->fn<void (*)(float *)>("set_target_output")(target.data());
    const auto learn = reinterpret_cast<void (*)(unsigned, void (*)(void))>(mod_->symbol("network_learn"));
    learn(30, [] {
        const float xs[4][2] = {{0.5f, 0.5f}, {-0.5f, 0.5f}, {0.5f, -0.5f}, {-0.5f, -0.5f}};
        const int p = k++ % 4;
        (*pin)[0] = xs[p][0];
        (*pin)[1] = xs[p][1];
        for (int j = 0; j < 4; j++)
            (*ptarget)[static_cast<std::size_t>(j)] = j == p ? 1.0f : 0.0f;
    });
    EXPECT_EQ(bptest::capture_stdout([&] { ascii(0); }), bptest::read_file(bptest::data_path("learn-seed123.txt")));

    // The sample save file loads, and saving it again gives the same bytes.
    const auto load = mod_->fn<int (*)(const char *)>("load_network");
    const auto dump = mod_->fn<int (*)(const char *)>("dump_network");
    ASSERT_EQ(load(bptest::data_path("sample.save").c_str()), 0);
    const std::string again = *dir_ + "/sample-again.save";
    ASSERT_EQ(dump(again.c_str()), 0);
    EXPECT_EQ(bptest::read_file(again), bptest::read_file(bptest::data_path("sample.save")));
}

}  // namespace

namespace {

// Damaged save files: every truncation of a valid file and a few hundred corrupted copies
// give the same result, the same message and the same state in both modules.
TEST_F(GeneratedNn, DamagedSaveFilesAreHandledLikeTheHandWrittenModule)
{
    const auto init = mod_->fn<int (*)(void)>("init_network");
    const auto load = mod_->fn<int (*)(const char *)>("load_network");
    const auto text = mod_->fn<char *(*)(void)>("error_string");
    settings(123, 0.1f, 0.2f, 0.95f);
    init();
    nn_init_network();
    const std::string good = bptest::read_file(bptest::data_path("sample.save"));
    const std::string file = *dir_ + "/damaged.save";
    std::mt19937 rng(11);
    std::vector<std::string> inputs;
    for (std::size_t n = 0; n < good.size(); n++)
        inputs.push_back(good.substr(0, n));
    for (int k = 0; k < 400; k++) {
        std::string bad = good;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int f = 0; f < flips; f++)
            bad[rng() % bad.size()] = static_cast<char>(rng() % 256);
        inputs.push_back(bad);
    }
    int refused = 0;
    for (std::size_t i = 0; i < inputs.size(); i++) {
        bptest::write_file(file, inputs[i]);
        error_string[0] = '\0';
        text()[0] = '\0';
        const int g = load(file.c_str());
        const int h = nn_load_network(file.c_str());
        SCOPED_TRACE("input " + std::to_string(i));
        ASSERT_EQ(g, h);
        ASSERT_STREQ(text(), error_string);
        ASSERT_TRUE(bptest::same_bits(gen_data(), network_data, NN_DATA_SIZE));
        ASSERT_EQ(*mod_->var<int>("b0bcounter"), b0bcounter);
        refused += g != 0;
    }
    EXPECT_GT(refused, static_cast<int>(good.size()));  // every truncation and many corruptions
}

}  // namespace

namespace {

// Read standard input from `path` for the next loader.
void stdin_from(const std::string &path)
{
    FILE *f = std::freopen(path.c_str(), "r", stdin);
    ASSERT_NE(f, nullptr);
}

// Cut and corrupted ASCII dumps: the same result, message and state in both modules.
TEST_F(GeneratedNn, DamagedAsciiDumpsAreHandledLikeTheHandWrittenModule)
{
    const auto init = mod_->fn<int (*)(void)>("init_network");
    const auto load = mod_->fn<int (*)(void)>("load_ascii_network");
    const auto text = mod_->fn<char *(*)(void)>("error_string");
    settings(5, 0.3f, 0.2f, 0.95f);
    init();
    nn_init_network();
    const std::string good = bptest::capture_stdout([] { nn_ascii_dump_network(0); });
    const std::string file = *dir_ + "/damaged.txt";
    std::mt19937 rng(12);
    std::vector<std::string> inputs;
    for (std::size_t n = 0; n < good.size(); n += 5)
        inputs.push_back(good.substr(0, n));
    const char junk[] = "#-+.e0123456789 \nxX";
    for (int k = 0; k < 300; k++) {
        std::string bad = good;
        bad[rng() % bad.size()] = junk[rng() % (sizeof junk - 1)];
        inputs.push_back(bad);
    }
    for (std::size_t i = 0; i < inputs.size(); i++) {
        bptest::write_file(file, inputs[i]);
        SCOPED_TRACE("input " + std::to_string(i));
        stdin_from(file);
        const int g = load();
        stdin_from(file);
        const int h = nn_load_ascii_network();
        ASSERT_EQ(g, h);
        ASSERT_STREQ(text(), error_string);
        ASSERT_TRUE(bptest::same_bits(gen_data(), network_data, NN_DATA_SIZE));
        ASSERT_EQ(*mod_->var<int>("b0bcounter"), b0bcounter);
    }
    stdin_from("/dev/null");
}

}  // namespace
