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
#include "support/differential.h"
#include "support/gen_support.h"
#include "support/ref_network.h"
#include "support/test_support.h"

namespace {

using bptest::Module;

// A two-layer description: inputs, hidden and output units, the output layer also fed by the
// inputs when shortcut is set.
std::string two_layers(const std::string &name, int inputs, int hidden, int outputs, bool shortcut)
{
    return "network = \"" + name + "\"\ninputs = " + std::to_string(inputs) + "\n\n[[layer]]\nname = \"H\"\nunits = " +
           std::to_string(hidden) + "\nfrom = [\"$INPUTS\"]\n\n[[layer]]\nname = \"Out\"\nunits = " +
           std::to_string(outputs) + "\nfrom = [" + (shortcut ? "\"$INPUTS\", " : "") + "\"H\"]\n";
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
    std::vector<std::string> names;
    for (std::size_t i = 0; i < texts.size(); i++)
        names.push_back("net" + std::to_string(i));
    const bptest::Built built = bptest::write_and_build(work, names, texts, texts.size());
    const std::vector<std::string> &descriptions = built.descriptions, &outputs = built.modules;
    const std::vector<int> &status = built.status;
    // Weights large enough to reach the saturated ends of the logistic table now and then;
    // every presentation learned (threshold -1), or only those with an error above 0.01.
    const bptest::ModuleDrive drive{{0.1f, 1.0f, 3.0f}, -1.0f, 600, 7, false};

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
            const std::string diff = bptest::compare_module(mod, *model, 77 + i, drive, work);
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
