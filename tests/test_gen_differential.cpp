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
#include "support/differential.h"
#include "support/gen_support.h"
#include "support/ref_network.h"
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
    std::vector<std::string> names, texts;
    for (int i = 0; i < count; i++) {
        std::mt19937_64 rng(base + static_cast<std::uint64_t>(i));
        texts.push_back(bptest::random_description(rng, max_layers, max_units, feedback));
        names.push_back(prefix + std::to_string(i));
    }
    const bptest::Built built = bptest::write_and_build(work, names, texts, static_cast<std::size_t>(std::max(modules, 0)));
    const bptest::ModuleDrive drive{{0.1f, 0.5f, 1.0f, 3.0f}, 0.00005f, 2000, 5, true};

    int failures = 0;
    for (int i = 0; i < count; i++) {
        const std::size_t k = static_cast<std::size_t>(i);
        const std::uint64_t seed = base + static_cast<std::uint64_t>(i);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", description " + built.descriptions[k]);
        bpgen::Error error;
        const auto model = bpgen::parse_description(texts[k], built.descriptions[k], error);
        ASSERT_TRUE(model.has_value()) << error.text;
        tally(*model, kinds.compared);
        if (k < built.modules.size()) {
            ASSERT_EQ(built.status[k], 0) << bptest::read_file(built.modules[k] + ".log");
            tally(*model, kinds.compiled);
            Module mod(built.modules[k], model->network);
            const std::string diff = bptest::compare_module(mod, *model, seed, drive, work);
            EXPECT_EQ(diff, "") << texts[k];
            failures += diff.empty() ? 0 : 1;
        }
        // The network built at run time from the same description, on every path.
        const bptest::PathResults rt =
            bptest::compare_network_on_every_path(texts[k], built.descriptions[k], *model, seed, work, 1500);
        EXPECT_GE(rt.ran, 1);
        for (const std::string &f : rt.failures)
            ADD_FAILURE() << f << "\n" << texts[k];
        failures += static_cast<int>(rt.failures.size());
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
    // Two orders x every unit kind x two kinds of source: a sample of 100 or more meets them all
    // (the smaller sample of the sanitizer build need not).
    const std::size_t every = 2 * bpgen::kUnitKindCount * 2;
    if (sample.count >= 100) {
        EXPECT_EQ(kinds.compared.size(), every) << tally;
    }
    if (sample.modules >= 30) {
        EXPECT_EQ(kinds.compiled.size(), every) << tally;
    }
}

}  // namespace
