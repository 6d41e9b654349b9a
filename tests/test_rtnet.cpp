// The network built at run time against the generated module of the same description, the
// built-in nn (generated from network/nn.varonel): state, outputs, learning, save files and
// dumps bit for bit; against the reference network on random descriptions of every connection
// kind, with and without feedback, on every kernel path (no module is compiled, so the sample
// can be large); and its failures: descriptions refused with FILE:LINE:COLUMN, loads of
// foreign or damaged files refused with the library's message and nothing changed, several
// networks side by side, and networks working in threads at once: each with its own random
// source, the process's generator bit for bit, so each gives the bits it gives alone.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <latch>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bp/BpSupport.h"
#include "bp/multi/common.h"
#include "gen/rtnet/bpnet_network.h"
#include "gen/runtime/bpnet_module.h"
#include "network/nn.h"
#include "network/nn_linked.h"
#include "gen/model.h"
#include "support/differential.h"
#include "support/gen_support.h"
#include "support/test_support.h"

namespace {

const std::string kNnDescription = std::string(BPNET_SOURCE_DIR) + "/network/nn.varonel";

std::vector<float> snapshot(const bpnet::Network &net)
{
    return std::vector<float>(net.data(), net.data() + net.data_size());
}

using bptest::same_bits;

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

        // Learning from the same start: each party learns from its own initialization, the
        // module drawing from the process's generator, the network from its own.
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

namespace {

// The built-in nn's names, as a module exports them; without_name hides one.
std::string g_hidden;

void *nn_symbol(const char *name)
{
    return g_hidden == name ? nullptr : nn_linked::symbol(name);
}

// What a host sees of a network driven through the tools' forms and the per-presentation
// form: the state, the errors, the outputs and the dump.
struct HostRun {
    std::vector<float> data;
    std::vector<float> errors;
    std::string dump;
    int counter;
};

HostRun run_as_host(bpnet::Network &net)
{
    HostRun r;
    net.set_learning_rate(0.3f);
    net.set_inertia(0.9f);
    net.initialize(777, 0.4f);
    net.set_counter(0);  // initialization keeps the counter; a module's may have counted before
    g_cursor = 0;
    net.use_vectors(g_x, g_t);
    net.learn(2000, next_pattern);
    for (int p = 0; p < 50; p++) {
        next_pattern();
        net.forward();
        r.errors.push_back(net.measure_error());
        r.errors.insert(r.errors.end(), net.output(), net.output() + NN_OUTPUTS);
    }
    for (int p = 0; p < 500; p++)
        r.errors.push_back(net.learn(g_in.data() + p * NN_INPUTS, g_target.data() + p * NN_OUTPUTS));
    // The calls on the caller's own vectors leave the registered ones in place.
    next_pattern();
    net.forward();
    const std::vector<float> registered(net.output(), net.output() + NN_OUTPUTS);
    std::vector<float> own(NN_OUTPUTS);
    net.forward(g_x, own.data());
    EXPECT_TRUE(same_bits(registered.data(), own.data(), NN_OUTPUTS));
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&text, &size);
    net.ascii_dump(out, false);
    std::fclose(out);
    r.dump.assign(text, size);
    std::free(text);
    // The bare dump read back through a stream leaves the state as it was.
    r.data = snapshot(net);
    std::FILE *in = fmemopen(r.dump.data(), r.dump.size(), "r");
    net.load_ascii(in);
    std::fclose(in);
    EXPECT_TRUE(same_bits(net.data(), r.data.data(), net.trainable()));
    r.counter = net.counter();
    return r;
}

}  // namespace

// The built-in nn opened through its descriptor is the same network as nn's description
// built at run time, through every host form; a linked module without a name hosts use is
// refused by name, and a failed load says why without changing anything.
TEST(RunTimeNetwork, BuiltInModuleThroughItsDescriptorIsTheRunTimeNetwork)
{
    make_patterns(2600);
    std::unique_ptr<bpnet::Network> runtime = bpnet::Network::from_file(kNnDescription);
    std::unique_ptr<bpnet::Network> module =
        bpnet::Network::from_descriptor({&network_query, nn_symbol, NN_DATA_SIZE});
    EXPECT_TRUE(module->is_module());
    EXPECT_FALSE(runtime->is_module());
    for (const bpnet::Network *n : {runtime.get(), module.get()}) {
        EXPECT_EQ(n->name(), "nn");
        EXPECT_EQ(n->data_size(), NN_DATA_SIZE);
        EXPECT_EQ(n->units(), 10);
        EXPECT_EQ(n->feedback(), 0);
        EXPECT_FALSE(n->linear_outputs());
        EXPECT_FALSE(n->cross_entropy_outputs());
        EXPECT_EQ(n->layers().back().name, "Out");
    }
    const HostRun a = run_as_host(*runtime);
    // The module's own one-presentation call, then, for modules from a generator without it,
    // the learning loop once and the error measured by the host.
    for (const char *hidden : {"", "network_learn_presentation"}) {
        g_hidden = hidden;
        const std::unique_ptr<bpnet::Network> m = bpnet::Network::from_descriptor({&network_query, nn_symbol, NN_DATA_SIZE});
        const HostRun b = run_as_host(*m);
        EXPECT_EQ(a.counter, b.counter) << hidden;
        EXPECT_EQ(a.dump, b.dump) << hidden;
        ASSERT_EQ(a.errors.size(), b.errors.size());
        EXPECT_TRUE(same_bits(a.errors.data(), b.errors.data(), static_cast<int>(a.errors.size()))) << hidden;
        EXPECT_TRUE(same_bits(a.data.data(), b.data.data(), NN_DATA_SIZE)) << hidden;
    }
    g_hidden.clear();

    // Batches through the linked module's own entry points are the run-time network's.
    for (bpnet::Network *n : {runtime.get(), module.get()}) {
        n->initialize(5, 0.3f);
        n->set_counter(0);
        n->learn_rows(64, g_in.data(), g_target.data(), 4);
    }
    EXPECT_TRUE(same_bits(runtime->data(), module->data(), NN_DATA_SIZE));

    const std::vector<float> before = snapshot(*module);
    for (bpnet::Network *n : {runtime.get(), module.get()}) {
        EXPECT_THROW(n->load("/nonexistent/x.save"), bpnet::Error);
        EXPECT_NE(n->error_text().find("Unable to open /nonexistent/x.save"), std::string::npos) << n->error_text();
    }
    EXPECT_TRUE(same_bits(module->data(), before.data(), NN_DATA_SIZE));

    for (const char *name : {"nn_calc_error", "BPthreshold", "network_clear_delays"}) {
        g_hidden = name;
        try {
            bpnet::Network::from_descriptor({&network_query, nn_symbol, NN_DATA_SIZE});
            ADD_FAILURE() << name;
        } catch (const bpnet::Error &e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("built-in network: not a complete network module of nn (it has no ") + name + ")");
        }
    }
    g_hidden.clear();
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
    for (int p = 0; p < bp_multi::kPathCount; p++) {
        const auto path = static_cast<bp_multi::Path>(p);
        std::unique_ptr<bpnet::Network> net = bpnet::Network::from_text(text, "wide.toml");
        ASSERT_EQ(net->use_kernel_path(bp_multi::path_name(path)), bp_multi::path_runs(path));
    }
    const bptest::PathResults results = bptest::compare_network_on_every_path(text, "wide.toml", *model, 17, work, 300);
    for (const std::string &f : results.failures)
        ADD_FAILURE() << f;
    EXPECT_GE(results.ran, 1);
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
    EXPECT_TRUE(same_bits(a_before.data() + state_start, a_after.data() + state_start, a_before.size() - state_start));
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
        // The tools measure errors by this: the cross-entropy exactly for softmax outputs.
        EXPECT_EQ(bpnet::Network::from_text(text)->cross_entropy_outputs(),
                  model->layers.back().unit == bpgen::Unit::softmax);
        const bptest::PathResults results = bptest::compare_network_on_every_path(text, "random.toml", *model, seed, work, 400);
        EXPECT_GE(results.ran, 1);
        for (const std::string &f : results.failures)
            ADD_FAILURE() << "seed " << seed << ", " << f << "\n" << text;
        failures += static_cast<int>(results.failures.size());
    }
    if (failures == 0)
        bptest::remove_tree(work);
}

TEST(RunTimeNetwork, OwnRandomSourceIsTheProcessGeneratorBitForBit)
{
    for (const int seed : {123, 0, 1, -1, 4242, 0x12345678, INT_MAX, INT_MIN}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        srand48(seed);
        bp_random r;
        BPrandom_init(&r, seed);
        for (int i = 0; i < 20000; i++) {
            const double process = drand48(), own = BPrandom_next(&r);
            ASSERT_EQ(std::memcmp(&process, &own, sizeof own), 0) << "draw " << i;
        }
        // The float draws of initialization and of the derivative offsets.
        for (const float range : {bpm::kDerivOffsetRange, 0.2f, 6.0f}) {
            for (int i = 0; i < 1000; i++) {
                const float process = BPfrandom(range), own = BPrandom_float(&r, range);
                ASSERT_TRUE(same_bits(process, own)) << "range " << range << ", draw " << i;
            }
        }
    }

    // A network seeds and draws from its own source: the process's generator goes on as if the
    // network had not been there.
    srand48(77);
    const double first = drand48();
    srand48(77);
    std::unique_ptr<bpnet::Network> net = bpnet::Network::from_file(kNnDescription);
    net->initialize(5, 1.0f);
    const float x[2] = {0.5f, -0.25f}, t[4] = {0.0f, 1.0f, 0.0f, 0.0f};
    for (int i = 0; i < 30; i++)
        net->learn(x, t);
    EXPECT_GT(net->counter(), 0);
    EXPECT_EQ(drand48(), first);
}

namespace {

// What one network's work leaves: its whole state and counter, the bytes of its two saves, its
// labelled dump, and the messages of two refused loads.
struct Outcome {
    std::vector<float> data;
    int counter = 0;
    std::string first_save, last_save, dump, missing, foreign;
};

// One network's work: initialization, learning, a save and its reload, the bare dump loaded
// back, the delays cleared, more learning, a save, and two loads that fail (a file that does
// not exist, beside the other network's file, and that file).
Outcome work(bpnet::Network &net, int seed, int presentations, const std::string &dir, const std::string &foreign)
{
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
    std::uniform_real_distribution<float> in_dist(-1.0f, 1.0f), out_dist(0.0f, 1.0f);
    const std::size_t in = static_cast<std::size_t>(net.inputs()), out = static_cast<std::size_t>(net.outputs());
    std::vector<float> x(static_cast<std::size_t>(presentations) * in), t(static_cast<std::size_t>(presentations) * out);
    for (float &v : x)
        v = in_dist(rng);
    for (float &v : t)
        v = out_dist(rng);

    Outcome o;
    net.set_learning_rate(0.3f);
    net.initialize(seed, 0.5f);
    net.set_counter(0);
    const int half = presentations / 2;
    for (int p = 0; p < presentations; p++) {
        if (p == half) {
            const std::string file = dir + "/" + net.name() + ".save";
            net.save(file);
            o.first_save = bptest::read_file(file);
            net.load(file);
            net.load_ascii(net.ascii_dump(false));
            net.clear_delays();
        }
        net.learn(x.data() + static_cast<std::size_t>(p) * in, t.data() + static_cast<std::size_t>(p) * out);
    }
    const std::string file = dir + "/" + net.name() + ".save";
    net.save(file);
    o.last_save = bptest::read_file(file);
    o.dump = net.ascii_dump(true);
    try {
        net.load(foreign.substr(0, foreign.find_last_of('/') + 1) + net.name() + "-missing.save");
    } catch (const bpnet::Error &e) {
        o.missing = e.what();
    }
    try {
        net.load(foreign);
    } catch (const bpnet::Error &e) {
        o.foreign = e.what();
    }
    o.data = snapshot(net);
    o.counter = net.counter();
    return o;
}

void expect_same(const Outcome &alone, const Outcome &beside, const std::string &which)
{
    SCOPED_TRACE(which);
    ASSERT_EQ(alone.data.size(), beside.data.size());
    EXPECT_TRUE(same_bits(alone.data.data(), beside.data.data(), static_cast<int>(alone.data.size())));
    EXPECT_EQ(alone.counter, beside.counter);
    EXPECT_GT(alone.counter, 0);
    EXPECT_EQ(alone.first_save, beside.first_save);
    EXPECT_EQ(alone.last_save, beside.last_save);
    EXPECT_FALSE(alone.last_save.empty());
    EXPECT_EQ(alone.dump, beside.dump);
    EXPECT_EQ(alone.missing, beside.missing);
    EXPECT_NE(alone.missing.find("-missing.save"), std::string::npos) << alone.missing;
    EXPECT_EQ(alone.foreign, beside.foreign);
    EXPECT_NE(alone.foreign.find("Unable to find"), std::string::npos) << alone.foreign;
}

}  // namespace

TEST(RunTimeNetwork, NetworksInTwoThreadsGiveTheBitsTheyGiveAlone)
{
    // nn, and trifb with feedback of both orders; a generated module learns in a third thread,
    // from the process's generator, which neither network touches.
    const std::string fb_description = bptest::data_path("networks/trifb.toml");
    const int presentations = 4000;
    const std::string dir = bptest::make_temp_dir();
    std::unique_ptr<bpnet::Network> foreign_net = bpnet::Network::from_text(
        "network = \"xor\"\ninputs = 2\n[[layer]]\nname = \"Out\"\nunits = 1\nfrom = [\"$INPUTS\"]\n", "xor.toml");
    const std::string foreign = dir + "/xor.save";
    foreign_net->save(foreign);
    make_patterns(presentations);
    const auto module_run = [&] {
        init_seed = 31;
        init_range = 0.3f;
        b0bcounter = 0;
        nn_init_network();
        nn_set_input(g_x);
        nn_set_target_output(g_t);
        g_cursor = 0;
        network_learn(presentations, next_pattern);
        return std::vector<float>(network_data, network_data + NN_DATA_SIZE);
    };

    // Alone, one after the other, each in a folder of its own.
    const std::string alone_dir = dir + "/alone", beside_dir = dir + "/beside";
    std::filesystem::create_directories(alone_dir);
    std::filesystem::create_directories(beside_dir);
    Outcome nn_alone, fb_alone;
    {
        std::unique_ptr<bpnet::Network> nn = bpnet::Network::from_file(kNnDescription);
        nn_alone = work(*nn, 11, presentations, alone_dir, foreign);
        std::unique_ptr<bpnet::Network> fb = bpnet::Network::from_file(fb_description);
        fb_alone = work(*fb, 12, presentations, alone_dir, foreign);
    }
    const std::vector<float> module_alone = module_run();
    const int module_counter = b0bcounter;

    // At once: every thread built, then released together.
    Outcome nn_beside, fb_beside;
    std::vector<float> module_beside;
    std::latch start(3);
    std::thread nn_thread([&] {
        std::unique_ptr<bpnet::Network> nn = bpnet::Network::from_file(kNnDescription);
        start.arrive_and_wait();
        nn_beside = work(*nn, 11, presentations, beside_dir, foreign);
    });
    std::thread fb_thread([&] {
        std::unique_ptr<bpnet::Network> fb = bpnet::Network::from_file(fb_description);
        start.arrive_and_wait();
        fb_beside = work(*fb, 12, presentations, beside_dir, foreign);
    });
    start.arrive_and_wait();
    module_beside = module_run();
    nn_thread.join();
    fb_thread.join();

    expect_same(nn_alone, nn_beside, "nn");
    expect_same(fb_alone, fb_beside, "trifb");
    EXPECT_EQ(b0bcounter, module_counter);
    EXPECT_TRUE(same_bits(module_alone.data(), module_beside.data(), NN_DATA_SIZE)) << "the generated module";
    bptest::remove_tree(dir);
}
