// The table of unit kinds against what reads it: every name parses to its row's kind and lays
// out net inputs as the row says, an unknown name is refused with every kind listed, the
// run-time network's descriptors give each row's code, a generated module calls the kernels
// each row names, the embedded form defines and calls each row's helper, the descriptor header
// documents every code, and each row's kernels read
// what the row says they read.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gen/embed.h"
#include "gen/emit.h"
#include "gen/model.h"
#include "gen/rtnet/bpnet_network.h"
#include "gen/rtnet/rtnet_state.h"
#include "gen/runtime/bpnet_descriptor.h"
#include "gen/units.h"

namespace {

using bpgen::kUnitKinds;
using bpgen::UnitKind;

// A chain of layers, one of every unit kind in table order, the last the outputs.
std::string every_kind_description()
{
    std::string s = "network = \"kinds\"\ninputs = 3\n", from = "$INPUTS";
    for (const UnitKind &k : kUnitKinds) {
        s.append("[[layer]]\nname = \"L").append(k.name).append("\"\nunits = 4\nunit = \"").append(k.name);
        s.append("\"\nfrom = [\"").append(from).append("\"]\n");
        from = std::string("L").append(k.name);
    }
    return s;
}

bpgen::Model every_kind_model()
{
    bpgen::Error error;
    const std::optional<bpgen::Model> m = bpgen::parse_description(every_kind_description(), "kinds.toml", error);
    EXPECT_TRUE(m.has_value()) << error.text;
    return m.value_or(bpgen::Model{});
}

TEST(UnitKinds, EveryNameParsesToItsRowAndLaysOutItsNetInputs)
{
    // Every row's kernel pointers fit its shape (checked here: not a constant expression).
    EXPECT_TRUE(bpgen::unit_table_consistent());
    const bpgen::Model m = every_kind_model();
    const bpgen::Layout lo = bpgen::lay_out(m);
    ASSERT_EQ(m.layers.size(), bpgen::kUnitKindCount);
    for (std::size_t i = 0; i < bpgen::kUnitKindCount; i++) {
        const UnitKind &k = kUnitKinds[i];
        EXPECT_EQ(m.layers[i].unit, k.unit) << k.name;
        EXPECT_EQ(lo.layers[i].net >= 0, k.stores_net) << k.name;
        EXPECT_EQ(bpgen::unit_named(k.name), k.unit) << k.name;
        EXPECT_EQ(bpgen::unit_of_code(k.code), k.unit) << k.name;
        EXPECT_STREQ(bpgen::unit_name(k.unit), k.name);
    }
    EXPECT_FALSE(bpgen::unit_named("Logistic").has_value());
    EXPECT_FALSE(bpgen::unit_of_code(-1).has_value());
}

TEST(UnitKinds, AnUnknownNameIsRefusedWithEveryKindListed)
{
    bpgen::Error error;
    const std::string text = "network = \"n\"\ninputs = 2\n[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"relu\"\n";
    ASSERT_FALSE(bpgen::parse_description(text, "d.toml", error).has_value());
    EXPECT_NE(error.text.find("unknown unit \"relu\" (" + bpgen::all_unit_names() + ")"), std::string::npos)
        << error.text;
    for (const UnitKind &k : kUnitKinds)
        EXPECT_NE(error.text.find(k.name), std::string::npos) << k.name;
}

TEST(UnitKinds, TheRunTimeNetworksDescriptorsGiveEachRowsCode)
{
    const auto net = bpnet::Network::from_text(every_kind_description());
    const int layers = static_cast<int>(bpgen::kUnitKindCount);
    for (int q = 0; q < layers; q++) {
        // Descriptors count layers from the outputs back.
        const bpnet_descriptor *d = bpm::query_network(net->state().module, 0, q);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->field51, kUnitKinds[static_cast<std::size_t>(layers - 1 - q)].code) << q;
    }
}

TEST(UnitKinds, AGeneratedModuleCallsTheKernelsEachRowNames)
{
    const std::string text = bpgen::emit_source(every_kind_model());
    for (const UnitKind &k : kUnitKinds) {
        const std::string open = k.forward_call == bpgen::Call::library ? "(" : "<";
        EXPECT_NE(text.find(std::string(k.forward_name) + open), std::string::npos) << k.name;
        const std::string deriv = k.deriv_name == nullptr
                                      ? std::string(k.name) + " units: the derivative is 1"
                                      : std::string(k.deriv_name) + (k.deriv_call == bpgen::Call::library ? "(" : "<");
        EXPECT_NE(text.find(deriv), std::string::npos) << k.name;
    }
}

// The embedded form, in both forms, takes from its helpers' C file the helper each row names,
// exactly once, and calls it for the row's layer: no helper is missing (an #error line) or
// named differently where it is called.
TEST(UnitKinds, TheEmbeddedFormDefinesAndCallsEachRowsHelper)
{
    const bpgen::Model m = every_kind_model();
    bpgen::EmbedValues v;
    v.thresholds.assign(m.layers.size(), std::vector<float>(4, 0.0f));
    v.weights.resize(bpgen::connections(m).size());
    v.sigmoid.assign(1024, 0.0f);
    for (const bpgen::Accumulate acc : {bpgen::Accumulate::exact, bpgen::Accumulate::single}) {
        const std::string text = bpgen::embed_source(m, v, acc);
        EXPECT_EQ(text.find("#error"), std::string::npos) << text;
        for (std::size_t i = 0; i < bpgen::kUnitKindCount; i++) {
            const UnitKind &k = kUnitKinds[i];
            const std::string definition = std::string("static void ") + k.embed_units + "(";
            const std::size_t at = text.find(definition);
            EXPECT_NE(at, std::string::npos) << k.name;
            EXPECT_EQ(text.find(definition, at + 1), std::string::npos) << k.name;
            const std::string call = std::string(k.embed_units) + "(a" + std::to_string(i) + ", t" + std::to_string(i);
            EXPECT_NE(text.find(call), std::string::npos) << k.name;
        }
    }
}

TEST(UnitKinds, TheDescriptorHeaderDocumentsEveryCode)
{
    std::ifstream in(BPNET_SOURCE_DIR "/gen/runtime/bpnet_descriptor.h");
    ASSERT_TRUE(in) << "gen/runtime/bpnet_descriptor.h";
    std::string line;
    while (std::getline(in, line) && line.find(" field51;") == std::string::npos) {
    }
    ASSERT_NE(line.find("field51"), std::string::npos);
    for (const UnitKind &k : kUnitKinds)
        EXPECT_NE(line.find(std::string(" ").append(std::to_string(k.code)).append(" ").append(k.name)), std::string::npos)
            << line;
}

// The derivative of every kind over random vectors, deltas 1: it changes with what the row
// says it reads (the activations and the offset, or the stored net inputs) and with nothing
// else; a kind without a derivative kernel leaves the deltas as they are.
TEST(UnitKinds, EachDerivativeReadsWhatItsRowSays)
{
    BPinit_sigmoid_table();
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> value(-0.45f, 0.45f);
    constexpr int n = 64;
    const auto random_vector = [&] {
        std::vector<float> v(n);
        for (float &x : v)
            x = value(rng);
        return v;
    };
    const auto derivative = [&](const UnitKind &k, const std::vector<float> &a, const std::vector<float> &z, float r) {
        std::vector<float> e(n, 1.0f);
        bpgen::unit_derivative(k, a.data(), z.data(), e.data(), n, r);
        return e;
    };
    for (const UnitKind &k : kUnitKinds) {
        const std::vector<float> a = random_vector(), z = random_vector(), other = random_vector();
        const std::vector<float> base = derivative(k, a, z, 0.0f);
        const bool from_act = k.deriv != nullptr, from_net = k.deriv_net != nullptr;
        EXPECT_EQ(derivative(k, other, z, 0.0f) != base, from_act) << k.name << ": activations";
        EXPECT_EQ(derivative(k, a, other, 0.0f) != base, from_net) << k.name << ": net inputs";
        EXPECT_EQ(derivative(k, a, z, 0.25f) != base, from_act) << k.name << ": offset";
        if (!from_act && !from_net) {
            EXPECT_EQ(base, std::vector<float>(n, 1.0f)) << k.name;
        }
    }
}

// The forward step of every kind: the thresholds are added first, so that the step over (a, t)
// is the step over (a + t, 0) bit for bit, and a kind that stores its net inputs stores a + t.
TEST(UnitKinds, EachForwardStepAddsTheThresholdsFirstAndStoresWhatItsRowSays)
{
    BPinit_sigmoid_table();
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> value(-10.0f, 10.0f);
    constexpr int n = 256;
    for (const UnitKind &k : kUnitKinds) {
        std::vector<float> a(n), t(n), zero(n, 0.0f), z(n, -1.0f), z0(n, -1.0f);
        for (int i = 0; i < n; i++) {
            a[i] = value(rng);
            t[i] = value(rng);
        }
        std::vector<float> sum(n);
        for (int i = 0; i < n; i++)
            sum[i] = static_cast<float>(static_cast<double>(a[i]) + t[i]);
        std::vector<float> b = sum;
        bpgen::unit_forward(k, a.data(), z.data(), t.data(), n);
        bpgen::unit_forward(k, b.data(), z0.data(), zero.data(), n);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), n * sizeof(float)), 0) << k.name;
        EXPECT_EQ(z == sum, k.stores_net) << k.name;
        EXPECT_EQ(z == std::vector<float>(n, -1.0f), !k.stores_net) << k.name;
    }
}

}  // namespace
