// Generated modules against the reference network, bit for bit: random valid descriptions are
// generated, and the network built at run time from each of them is driven through
// initialization, forward passes and learning on every kernel path this machine runs; its
// state, save files and dumps must equal the reference's. The first descriptions of the sample
// are also compiled into shared modules (in parallel), loaded side by side, and driven through
// thousands of learning steps; their whole state, save files, ASCII dumps and descriptors must
// equal the reference's too. The run-time network costs no compilation, so it carries the
// large sample and the compiled modules a smaller one of the same seeds. A failure names the
// seed and keeps the description, so that it replays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bp/multi/common.h"
#include "gen/model.h"
#include "gen/runtime/bpnet_descriptor.h"
#include "support/gen_support.h"
#include "support/ref_network.h"
#include "support/rtnet_support.h"
#include "support/test_support.h"

// How many descriptions are compared, and how many of them (the first) are compiled.
#ifndef BPNET_DIFF_COUNT
#define BPNET_DIFF_COUNT 120
#endif
#ifndef BPNET_DIFF_MODULES
#define BPNET_DIFF_MODULES 12
#endif
#ifndef BPNET_DIFF_FEEDBACK_COUNT
#define BPNET_DIFF_FEEDBACK_COUNT 60
#endif
#ifndef BPNET_DIFF_FEEDBACK_MODULES
#define BPNET_DIFF_FEEDBACK_MODULES 6
#endif

namespace {

using bptest::Module;
using bptest::RefNetwork;

// What one comparison found; empty when everything agreed.
std::string first_difference(const float *module, const std::vector<float> &ref, const char *when)
{
    for (std::size_t i = 0; i < ref.size(); i++) {
        if (std::memcmp(module + i, &ref[i], sizeof(float)) != 0) {
            char buf[200];
            std::snprintf(buf, sizeof buf, "%s: network_data[%zu] is %.9g in the module, %.9g in the reference", when, i,
                          static_cast<double>(module[i]), static_cast<double>(ref[i]));
            return buf;
        }
    }
    return "";
}

// Drive one module and the reference the same way; the first difference, or "".
std::string compare(const Module &mod, const bpgen::Model &model, std::uint64_t seed, const std::string &work)
{
    std::mt19937_64 rng(seed);
    RefNetwork ref(model);
    float *data = mod.var<float>("network_data");
    const auto init = mod.fn<int (*)(void)>("init_network");
    const auto forward = mod.fn<void (*)(void)>("propagate_forward");
    const auto set_input = mod.fn<void (*)(float *)>("set_input");
    const auto set_target = mod.fn<void (*)(float *)>("set_target_output");
    const auto dump = mod.fn<int (*)(const char *)>("dump_network");
    const auto load = mod.fn<int (*)(const char *)>("load_network");
    const auto ascii = mod.fn<void (*)(int)>("ascii_dump_network");
    const auto query = reinterpret_cast<bpnet_descriptor *(*)(int, int)>(mod.symbol("network_query"));
    const auto learn = reinterpret_cast<void (*)(unsigned, void (*)(void))>(mod.symbol("network_learn"));

    // Settings: seed, range, rate, inertia and threshold drawn per module.
    const int init_seed = static_cast<int>(rng() % 100000);
    const float ranges[] = {0.1f, 0.5f, 1.0f, 3.0f};
    const float range = ranges[rng() % 4];
    const float rate = 0.05f + static_cast<float>(rng() % 100) / 100.0f;
    const float inertia = static_cast<float>(rng() % 100) / 100.0f;
    const float threshold = (rng() % 2) ? 0.00005f : 0.01f;
    *mod.var<int>("init_seed") = init_seed;
    *mod.var<float>("init_range") = range;
    *mod.var<float>("BPlearning_rate") = rate;
    *mod.var<float>("BPinertia") = inertia;
    *mod.var<float>("BPthreshold") = threshold;
    *mod.var<int>("b0bcounter") = 0;
    ref.seed = init_seed;
    ref.range = range;
    ref.rate = rate;
    ref.inertia = inertia;
    ref.threshold = threshold;

    // Initialization.
    init();
    ref.init();
    if (std::string d = first_difference(data, ref.data, "after initialization"); !d.empty())
        return d;

    // Patterns, made once and given to both.
    const int presentations = 2000;
    const int outputs = ref.outputs();
    static std::vector<float> inputs, targets;
    static std::size_t cursor;
    static int in_size, out_size;
    in_size = model.inputs;
    out_size = outputs;
    inputs.resize(static_cast<std::size_t>(presentations) * static_cast<std::size_t>(model.inputs));
    targets.resize(static_cast<std::size_t>(presentations) * static_cast<std::size_t>(outputs));
    std::uniform_real_distribution<float> in_dist(-1.0f, 1.0f), out_dist(0.0f, 1.0f);
    for (float &v : inputs)
        v = in_dist(rng);
    for (float &v : targets)
        v = out_dist(rng);
    static std::vector<float> in_vec, target_vec;
    in_vec.assign(static_cast<std::size_t>(model.inputs), 0.0f);
    target_vec.assign(static_cast<std::size_t>(outputs), 0.0f);
    set_input(in_vec.data());
    set_target(target_vec.data());
    ref.input = in_vec.data();
    ref.target = target_vec.data();
    cursor = 0;
    auto next_pattern = []() {
        std::copy_n(inputs.begin() + static_cast<std::ptrdiff_t>(cursor * static_cast<std::size_t>(in_size)), in_size,
                    in_vec.begin());
        std::copy_n(targets.begin() + static_cast<std::ptrdiff_t>(cursor * static_cast<std::size_t>(out_size)), out_size,
                    target_vec.begin());
        cursor++;
    };

    // Forward passes.
    for (int p = 0; p < 20; p++) {
        next_pattern();
        forward();
        ref.forward();
        if (std::string d = first_difference(data, ref.data, "after a forward pass"); !d.empty())
            return d;
    }

    // Learning: the module's own loop, then the reference from the same seed. The random
    // generator is the platform's, shared by both, so each run starts from initialization.
    int *counter = mod.var<int>("b0bcounter");
    for (const int n : {5, presentations}) {
        cursor = 0;
        *counter = 0;
        init();
        learn(static_cast<unsigned>(n), next_pattern);
        const std::vector<float> learned(data, data + ref.data.size());
        cursor = 0;
        ref.counter = 0;
        ref.init();
        for (int p = 0; p < n; p++) {
            next_pattern();
            ref.learn_presentation();
        }
        const std::string when = "after " + std::to_string(n) + " presentations";
        if (*counter != ref.counter)
            return when + ": learning-step counter " + std::to_string(*counter) + ", reference " +
                   std::to_string(ref.counter);
        if (std::string d = first_difference(learned.data(), ref.data, when.c_str()); !d.empty())
            return d;
    }

    // Save file: the reference's bytes, and loaded back into a newly initialized module.
    const std::string save = work + "/" + model.network + ".save";
    if (dump(save.c_str()) != 0)
        return "the module could not save";
    if (bptest::read_file(save) != ref.save_bytes())
        return "the save file differs from the reference's";
    const std::vector<float> saved(data, data + ref.data.size());
    const int saved_counter = *counter;
    *counter = 0;
    init();
    if (load(save.c_str()) != 0)
        return "the module could not load its own save file";
    if (*counter != saved_counter)
        return "the reloaded counter differs";
    for (std::size_t li = 0; li < ref.layers.size(); li++) {
        const int t = ref.layers[li].thr;
        if (std::memcmp(data + t, saved.data() + t, sizeof(float) * static_cast<std::size_t>(model.layers[li].units)) != 0)
            return "reloaded thresholds differ";
    }
    for (const auto &c : ref.conns)
        if (std::memcmp(data + c.w, saved.data() + c.w, sizeof(float) * static_cast<std::size_t>(c.count)) != 0)
            return "reloaded weights differ";
    for (std::size_t li = 0; li < ref.layers.size(); li++) {
        const int k = model.layers[li].feedback * model.layers[li].units;
        if (k > 0 && std::memcmp(data + ref.layers[li].coef, saved.data() + ref.layers[li].coef,
                                 sizeof(float) * static_cast<std::size_t>(k)) != 0)
            return "reloaded feedback coefficients differ";
    }
    std::memcpy(data, saved.data(), saved.size() * sizeof(float));

    // ASCII dumps.
    if (bptest::capture_stdout([&] { ascii(1); }) != ref.ascii_dump(true))
        return "the labelled ASCII dump differs from the reference's";
    if (bptest::capture_stdout([&] { ascii(0); }) != ref.ascii_dump(false))
        return "the bare ASCII dump differs from the reference's";

    // Descriptor: every layer, counted from the output back, and its connections.
    const int layers = static_cast<int>(model.layers.size());
    for (int q = 0; q < layers; q++) {
        const bpnet_descriptor *d = query(0, q);
        const int li = layers - 1 - q;
        const auto &l = model.layers[static_cast<std::size_t>(li)];
        const auto &at = ref.layers[static_cast<std::size_t>(li)];
        if (d == nullptr || d->layer_count != layers || d->input_size != model.inputs || d->layer_size != l.units ||
            d->input_dim_x != model.input_dim_x || d->input_dim_y != model.input_dim_y || d->layer_dim_x != l.dim_x ||
            d->layer_dim_y != l.dim_y || d->parameter_count != ref.trainable() ||
            std::string(d->layer_name) != model.network + ":" + l.name || d->layer_activations != data + at.act ||
            d->layer_thresholds != data + at.thr || d->layer_threshold_steps != data + at.thr_step ||
            d->layer_deltas != data + at.delta || d->layer_connection_count != static_cast<int>(l.sources.size()))
            return "descriptor of layer " + std::to_string(q) + " differs";
        int slot = 0;
        for (const auto &c : ref.conns) {
            if (c.layer != li)
                continue;
            const bpnet_connection_record &r = d->connections[slot++];
            const int number = c.source < 0 ? -1 : layers - 1 - c.source;
            // The unnamed fields keep, for every kind, the values of a full connection.
            if (r.weight_count != c.count || r.source_number != number || r.source_size != c.source_size ||
                r.source_dim_x != c.source_dim_x || r.source_dim_y != c.source_dim_y || r.weights != data + c.w ||
                r.weight_steps != data + c.s || r.field0 != 0 || r.field1 != 1 || r.field13 != c.source_size ||
                r.field14 != 1 || r.field15 != c.source_size)
                return "connection record " + std::to_string(slot - 1) + " of layer " + std::to_string(q) + " differs";
        }
        // Feedback: the order in field 50, the coefficients in the record after the connections.
        if (d->field50 != l.feedback)
            return "descriptor of layer " + std::to_string(q) + " gives feedback order " + std::to_string(d->field50);
        if (l.feedback > 0) {
            const bpnet_connection_record &r = d->connections[slot];
            if (r.weight_count != l.feedback * l.units || r.source_number != q || r.weights != data + at.coef ||
                r.weight_steps != data + at.coef_step || std::string(r.source_name) != model.network + ":" + l.name)
                return "coefficient record of layer " + std::to_string(q) + " differs";
        }
    }
    if (query(0, layers) != nullptr || query(1, 0) != nullptr)
        return "the query accepts a layer or black box that does not exist";

    // Clearing the delays zeroes the delays and traces and nothing else.
    reinterpret_cast<void (*)(void)>(mod.symbol("network_clear_delays"))();
    ref.data.assign(saved.begin(), saved.end());
    ref.clear_delays();
    return first_difference(data, ref.data, "after clearing the delays");
}

// What a sample exercised: per kind, over every description and over the compiled ones.
struct Tally {
    std::map<std::string, int> compared, compiled;
};

// One random sample: `count` descriptions from seeds base, base + 1, ..., written as
// PREFIXi.toml; each is compared, on every kernel path, between the network built at run time
// from it and the reference, and the first `modules` of them are compiled and compared with the
// reference as well. `tally` counts what each description exercises. The work folder goes once
// everything agreed.
void run_sample(std::uint64_t base, int count, int modules, const std::string &prefix, int max_layers,
                int max_units, bool feedback, void (*tally)(const bpgen::Model &, std::map<std::string, int> &),
                Tally &kinds)
{
    const std::string work = bptest::make_temp_dir();
    modules = std::min(modules, count);
    std::vector<std::string> descriptions, outputs, texts;
    for (int i = 0; i < count; i++) {
        std::mt19937_64 rng(base + static_cast<std::uint64_t>(i));
        texts.push_back(bptest::random_description(rng, max_layers, max_units, feedback));
        descriptions.push_back(work + "/" + prefix + std::to_string(i) + ".toml");
        bptest::write_file(descriptions.back(), texts.back());
        if (i < modules)
            outputs.push_back(work + "/" + prefix + std::to_string(i) + ".so");
    }
    const std::vector<std::string> compiled(descriptions.begin(), descriptions.begin() + modules);
    const std::vector<int> status = bptest::build_modules(compiled, outputs, 2);

    int failures = 0;
    for (int i = 0; i < count; i++) {
        const std::size_t k = static_cast<std::size_t>(i);
        const std::uint64_t seed = base + static_cast<std::uint64_t>(i);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", description " + descriptions[k]);
        bpgen::Error error;
        const auto model = bpgen::parse_description(texts[k], descriptions[k], error);
        ASSERT_TRUE(model.has_value()) << error.text;
        tally(*model, kinds.compared);
        if (i < modules) {
            ASSERT_EQ(status[k], 0) << bptest::read_file(outputs[k] + ".log");
            tally(*model, kinds.compiled);
            Module mod(outputs[k], model->network);
            const std::string diff = compare(mod, *model, seed, work);
            EXPECT_EQ(diff, "") << texts[k];
            failures += diff.empty() ? 0 : 1;
        }
        // The network built at run time from the same description, on every path.
        for (int p = 0; p < bp_multi::kPathCount; p++) {
            const auto path = static_cast<bp_multi::Path>(p);
            if (!bp_multi::path_runs(path))
                continue;
            const std::string rt = bptest::compare_network(texts[k], descriptions[k], *model, seed, path, work, 1500);
            EXPECT_EQ(rt, "") << "path " << bp_multi::path_name(path) << "\n" << texts[k];
            failures += rt.empty() ? 0 : 1;
        }
    }
    if (failures == 0)
        bptest::remove_tree(work);
}

// "  KIND: N (M compiled)" lines of a tally.
std::string tally_text(const Tally &kinds, const std::string &lead)
{
    std::string text;
    for (const auto &[kind, n] : kinds.compared) {
        const auto c = kinds.compiled.find(kind);
        text += "  " + lead + kind + ": " + std::to_string(n) + " (" +
                std::to_string(c == kinds.compiled.end() ? 0 : c->second) + " compiled)\n";
    }
    return text;
}

// The sample's sizes: the build's, times BPNET_TEST_SCALE; BPNET_DIFF_COUNT (descriptions,
// every one compiled) and BPNET_DIFF_SEED (the first seed) replay one seed or run another sample.
struct Sample {
    std::uint64_t base;
    int count, modules;
};
Sample sample_size(std::uint64_t base, int count, int modules, int divisor)
{
    const char *seed_env = std::getenv("BPNET_DIFF_SEED");
    const char *count_env = std::getenv("BPNET_DIFF_COUNT");
    Sample s{seed_env ? std::strtoull(seed_env, nullptr, 10) : base, bptest::scaled(count), bptest::scaled(modules)};
    if (count_env != nullptr)
        s.count = s.modules = std::max(1, std::atoi(count_env) / divisor);
    return s;
}

TEST(GeneratorDifferential, RandomDescriptionsAgreeWithTheReferenceBitForBit)
{
    const Sample sample = sample_size(20261209, BPNET_DIFF_COUNT, BPNET_DIFF_MODULES, 1);

    // How often each connection kind came up: full, one-dimensional and two-dimensional fields,
    // each unshared and shared, each from the inputs and from a layer.
    Tally kinds;
    run_sample(sample.base, sample.count, sample.modules, "net", 5, 40, false, [](const bpgen::Model &model, std::map<std::string, int> &k) {
        for (const auto &c : RefNetwork(model).conns) {
            const char *kind = c.kind == bpgen::Kind::full ? "full" : c.kind == bpgen::Kind::field1d ? "1-D" : "2-D";
            k[std::string(kind) + (c.kind != bpgen::Kind::full && c.shared ? " shared" : "") +
              (c.source < 0 ? " from the inputs" : " from a layer")]++;
        }
    }, kinds);
    const std::string tally = tally_text(kinds, "");
    std::printf("Connections of the %d descriptions, %d compiled:\n%s", sample.count, sample.modules, tally.c_str());
    // The sample must exercise every kernel pair, the compiled part too; a smaller sample asked
    // for at run time may not.
    if (sample.count >= 30) {
        EXPECT_EQ(kinds.compared.size(), 10u) << tally;
    }
    if (sample.modules >= 30) {
        EXPECT_EQ(kinds.compiled.size(), 10u) << tally;
    }
}

TEST(GeneratorDifferential, RandomDescriptionsWithFeedbackAgreeWithTheReferenceBitForBit)
{
    // Layers with feedback of order 1 and 2, every unit kind, fed by the inputs and by layers
    // through every unshared connection kind; the network built at run time is the third party.
    const Sample sample = sample_size(20261219, BPNET_DIFF_FEEDBACK_COUNT, BPNET_DIFF_FEEDBACK_MODULES, 3);

    Tally kinds;  // order x unit kind x source
    run_sample(sample.base, sample.count, sample.modules, "fb", 4, 24, true, [](const bpgen::Model &model, std::map<std::string, int> &k) {
        for (const auto &l : model.layers)
            for (int s : l.sources)
                if (l.feedback > 0)
                    k[std::to_string(l.feedback) + " " + bpgen::unit_name(l.unit) + (s < 0 ? " inputs" : " layer")]++;
    }, kinds);
    const std::string tally = tally_text(kinds, "order ");
    std::printf("Feedback layers' sources in the %d descriptions, %d compiled:\n%s", sample.count, sample.modules, tally.c_str());
    // Two orders x five unit kinds x two kinds of source.
    if (sample.count >= 30) {
        EXPECT_EQ(kinds.compared.size(), 20u) << tally;
    }
    if (sample.modules >= 30) {
        EXPECT_EQ(kinds.compiled.size(), 20u) << tally;
    }
}

}  // namespace
