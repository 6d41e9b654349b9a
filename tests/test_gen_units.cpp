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

// Every row as each reader of the table sees it, over one network with a layer of every kind:
// the parser and the layout (its name, code and net inputs), the run-time network's
// descriptors (its code), a generated module (the kernels it names) and the embedded form in
// both forms (its helper, taken from the helpers' C file exactly once and called for the
// row's layer; no helper missing, which would be an #error line).
TEST(UnitKinds, EveryReaderSeesEachRowAsTheTableGivesIt)
{
    // Every row's kernel pointers fit its shape (checked here: not a constant expression).
    EXPECT_TRUE(bpgen::unit_table_consistent());
    EXPECT_FALSE(bpgen::unit_named("Logistic").has_value());
    EXPECT_FALSE(bpgen::unit_of_code(-1).has_value());
    const bpgen::Model m = every_kind_model();
    const bpgen::Layout lo = bpgen::lay_out(m);
    ASSERT_EQ(m.layers.size(), bpgen::kUnitKindCount);
    const auto net = bpnet::Network::from_text(every_kind_description());
    const std::string module = bpgen::emit_source(m);
    bpgen::EmbedValues v;
    v.thresholds.assign(m.layers.size(), std::vector<float>(4, 0.0f));
    v.weights.resize(bpgen::connections(m).size());
    v.sigmoid.assign(1024, 0.0f);
    const std::string embedded[] = {bpgen::embed_source(m, v, bpgen::Accumulate::exact),
                                    bpgen::embed_source(m, v, bpgen::Accumulate::single)};
    for (const std::string &text : embedded)
        EXPECT_EQ(text.find("#error"), std::string::npos) << text;
    const int layers = static_cast<int>(bpgen::kUnitKindCount);
    for (int i = 0; i < layers; i++) {
        const UnitKind &k = kUnitKinds[static_cast<std::size_t>(i)];
        // The parser and the layout.
        EXPECT_EQ(m.layers[static_cast<std::size_t>(i)].unit, k.unit) << k.name;
        EXPECT_EQ(lo.layers[static_cast<std::size_t>(i)].net >= 0, k.stores_net) << k.name;
        EXPECT_EQ(bpgen::unit_named(k.name), k.unit) << k.name;
        EXPECT_EQ(bpgen::unit_of_code(k.code), k.unit) << k.name;
        EXPECT_STREQ(bpgen::unit_name(k.unit), k.name);
        // The run-time network's descriptors, which count layers from the outputs back.
        const bpnet_descriptor *d = bpm::query_network(net->state().module, 0, layers - 1 - i);
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->field51, k.code) << k.name;
        // A generated module.
        const std::string open = k.forward_call == bpgen::Call::library ? "(" : "<";
        EXPECT_NE(module.find(std::string(k.forward_name) + open), std::string::npos) << k.name;
        const std::string deriv = k.deriv_name == nullptr
                                      ? std::string(k.name) + " units: the derivative is 1"
                                      : std::string(k.deriv_name) + (k.deriv_call == bpgen::Call::library ? "(" : "<");
        EXPECT_NE(module.find(deriv), std::string::npos) << k.name;
        // The embedded form.
        for (const std::string &text : embedded) {
            const std::string definition = std::string("static void ") + k.embed_units + "(";
            const std::size_t at = text.find(definition);
            EXPECT_NE(at, std::string::npos) << k.name;
            EXPECT_EQ(text.find(definition, at + 1), std::string::npos) << k.name;
            const std::string call = std::string(k.embed_units) + "(a" + std::to_string(i) + ", t" + std::to_string(i);
            EXPECT_NE(text.find(call), std::string::npos) << k.name;
        }
    }
}

TEST(UnitKinds, AnUnknownNameIsRefusedWithEveryKindListed)
{
    bpgen::Error error;
    const std::string text = "network = \"n\"\ninputs = 2\n[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"softsign\"\n";
    ASSERT_FALSE(bpgen::parse_description(text, "d.toml", error).has_value());
    EXPECT_NE(error.text.find("unknown unit \"softsign\" (" + bpgen::all_unit_names() + ")"), std::string::npos)
        << error.text;
    for (const UnitKind &k : kUnitKinds)
        EXPECT_NE(error.text.find(k.name), std::string::npos) << k.name;
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
// says it reads (the activations, with or without the offset, or the stored net inputs) and with nothing
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
        EXPECT_EQ(derivative(k, a, z, 0.25f) != base, k.deriv_offset) << k.name << ": offset";
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
