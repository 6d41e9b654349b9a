// Generated modules on every kernel path this machine runs, against the reference network, bit
// for bit. Each module is loaded once per path (a fresh copy of the file, with
// BPNET_KERNEL_PATH naming the path while it loads) and driven through initialization, forward
// passes and learning; its whole state must equal the reference's, which runs the library
// kernels. The networks are the benchmark shapes, shapes wide enough for the 512-bit kernels
// (with shortcut connections and sizes that leave partial vectors everywhere), and random
// descriptions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bp/BpSimMulti.h"
#include "gen/model.h"
#include "support/gen_support.h"
#include "support/ref_network.h"
#include "support/test_support.h"

namespace {

using bptest::Module;
using bptest::RefNetwork;

// A two-layer description: inputs, hidden and output units, the output layer also fed by the
// inputs when shortcut is set.
std::string two_layers(const std::string &name, int inputs, int hidden, int outputs, bool shortcut)
{
    return "network = \"" + name + "\"\ninputs = " + std::to_string(inputs) + "\n\n[[layer]]\nname = \"H\"\nunits = " +
           std::to_string(hidden) + "\nfrom = [\"$INPUTS\"]\n\n[[layer]]\nname = \"Out\"\nunits = " +
           std::to_string(outputs) + "\nfrom = [" + (shortcut ? "\"$INPUTS\", " : "") + "\"H\"]\n";
}

std::string first_difference(const float *module, const std::vector<float> &ref, const std::string &when)
{
    for (std::size_t i = 0; i < ref.size(); i++)
        if (std::memcmp(module + i, &ref[i], sizeof(float)) != 0)
            return when + ": network_data[" + std::to_string(i) + "] is " + std::to_string(module[i]) +
                   " in the module, " + std::to_string(ref[i]) + " in the reference";
    return "";
}

// The patterns both sides see, and the module's input callback.
std::vector<float> g_inputs, g_targets, g_in, g_target;
int g_in_size, g_out_size;
std::size_t g_cursor;

void next_pattern()
{
    std::copy_n(g_inputs.begin() + static_cast<std::ptrdiff_t>(g_cursor * static_cast<std::size_t>(g_in_size)),
                g_in_size, g_in.begin());
    std::copy_n(g_targets.begin() + static_cast<std::ptrdiff_t>(g_cursor * static_cast<std::size_t>(g_out_size)),
                g_out_size, g_target.begin());
    g_cursor++;
}

// Drive the module and the reference alike; the first difference, or "".
std::string compare(const Module &mod, const bpgen::Model &model, std::uint64_t seed)
{
    std::mt19937_64 rng(seed);
    RefNetwork ref(model);
    float *data = mod.var<float>("network_data");
    int *counter = mod.var<int>("b0bcounter");
    const auto init = mod.fn<int (*)(void)>("init_network");
    const auto forward = mod.fn<void (*)(void)>("propagate_forward");
    const auto learn = reinterpret_cast<void (*)(unsigned, void (*)(void))>(mod.symbol("network_learn"));

    // Weights large enough to reach the saturated ends of the logistic table now and then;
    // every presentation learned, or only those with an error above a threshold.
    const float ranges[] = {0.1f, 1.0f, 3.0f};
    ref.seed = static_cast<int>(rng() % 100000);
    ref.range = ranges[rng() % 3];
    ref.rate = 0.05f + static_cast<float>(rng() % 100) / 100.0f;
    ref.inertia = static_cast<float>(rng() % 100) / 100.0f;
    ref.threshold = rng() % 2 ? -1.0f : 0.01f;
    *mod.var<int>("init_seed") = ref.seed;
    *mod.var<float>("init_range") = ref.range;
    *mod.var<float>("BPlearning_rate") = ref.rate;
    *mod.var<float>("BPinertia") = ref.inertia;
    *mod.var<float>("BPthreshold") = ref.threshold;

    const int presentations = 600;
    g_in_size = model.inputs;
    g_out_size = ref.outputs();
    g_inputs.resize(static_cast<std::size_t>(presentations * g_in_size));
    g_targets.resize(static_cast<std::size_t>(presentations * g_out_size));
    std::uniform_real_distribution<float> in_dist(-1.0f, 1.0f), out_dist(0.0f, 1.0f);
    for (float &v : g_inputs)
        v = in_dist(rng);
    for (float &v : g_targets)
        v = out_dist(rng);
    g_in.assign(static_cast<std::size_t>(g_in_size), 0.0f);
    g_target.assign(static_cast<std::size_t>(g_out_size), 0.0f);
    mod.fn<void (*)(float *)>("set_input")(g_in.data());
    mod.fn<void (*)(float *)>("set_target_output")(g_target.data());
    ref.input = g_in.data();
    ref.target = g_target.data();

    *counter = 0;
    init();
    ref.init();
    if (std::string d = first_difference(data, ref.data, "after initialization"); !d.empty())
        return d;
    g_cursor = 0;
    for (int p = 0; p < 20; p++) {
        next_pattern();
        forward();
        ref.forward();
        if (std::string d = first_difference(data, ref.data, "after a forward pass"); !d.empty())
            return d;
    }
    // Learning from initialization (which seeds the random generator both share).
    for (const int n : {7, presentations}) {
        g_cursor = 0;
        *counter = 0;
        init();
        learn(static_cast<unsigned>(n), next_pattern);
        const std::vector<float> learned(data, data + ref.data.size());
        g_cursor = 0;
        ref.counter = 0;
        ref.init();
        for (int p = 0; p < n; p++) {
            next_pattern();
            ref.learn_presentation();
        }
        const std::string when = "after " + std::to_string(n) + " presentations";
        if (*counter != ref.counter)
            return when + ": step counter " + std::to_string(*counter) + ", reference " + std::to_string(ref.counter);
        if (std::string d = first_difference(learned.data(), ref.data, when); !d.empty())
            return d;
    }
    return "";
}

TEST(GeneratedModulePaths, EveryKernelPathAgreesWithTheReferenceBitForBit)
{
    std::vector<std::string> texts = {
        two_layers("n13x8x3", 13, 8, 3, false),      two_layers("n64x32x10", 64, 32, 10, false),
        two_layers("n64x32x10s", 64, 32, 10, true),  two_layers("digits", 64, 64, 10, false),
        two_layers("wide", 203, 45, 19, true),       two_layers("wider", 130, 77, 33, true),
        two_layers("narrow", 3, 30, 2, true),
    };
    std::mt19937_64 rng(20261210);
    for (int i = 0; i < 8; i++)
        texts.push_back(bptest::random_description(rng, 4, 60));
    // Layers with feedback: the filter, the traces and the guarded updates beside every path's kernels.
    for (int i = 0; i < 5; i++)
        texts.push_back(bptest::random_description(rng, 4, 60, true));

    const std::string work = bptest::make_temp_dir();
    std::vector<std::string> descriptions, outputs;
    for (std::size_t i = 0; i < texts.size(); i++) {
        descriptions.push_back(work + "/net" + std::to_string(i) + ".toml");
        outputs.push_back(work + "/net" + std::to_string(i) + ".so");
        bptest::write_file(descriptions.back(), texts[i]);
    }
    const std::vector<int> status = bptest::build_modules(descriptions, outputs, 2);

    int failures = 0, runs = 0;
    for (std::size_t i = 0; i < texts.size(); i++) {
        SCOPED_TRACE(descriptions[i]);
        ASSERT_EQ(status[i], 0) << bptest::read_file(outputs[i] + ".log");
        bpgen::Error error;
        const auto model = bpgen::parse_description(texts[i], descriptions[i], error);
        ASSERT_TRUE(model.has_value()) << error.text;
        for (int p = 0; p < bp_multi::kPathCount; p++) {
            const auto path = static_cast<bp_multi::Path>(p);
            if (!bp_multi::path_runs(path))
                continue;
            const std::string name = bp_multi::path_name(path);
            const std::string copy = work + "/net" + std::to_string(i) + "-" + name + ".so";
            std::filesystem::copy_file(outputs[i], copy, std::filesystem::copy_options::overwrite_existing);
            setenv("BPNET_KERNEL_PATH", name.c_str(), 1);
            Module mod(copy, model->network);
            unsetenv("BPNET_KERNEL_PATH");
            const std::string diff = compare(mod, *model, 77 + i);
            EXPECT_EQ(diff, "") << "kernel path " << name << "\n" << texts[i];
            failures += diff.empty() ? 0 : 1;
            runs++;
        }
    }
    // The portable path everywhere, and on x86-64 at least SSE2 besides.
    EXPECT_GE(runs, (BP_MULTI_X86 ? 2 : 1) * static_cast<int>(texts.size()));
    if (failures == 0)
        bptest::remove_tree(work);
}

}  // namespace
