// Description files: every refusal with its file, line, column and message, nothing written
// for a refused description, canonical source order, and save files of one network refused
// by another network's loader without any change to the network.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "gen/emit.h"
#include "gen/model.h"
#include "gen/runtime/bpnet_descriptor.h"
#include "gen/tables.h"
#include "support/gen_support.h"
#include "support/test_support.h"

namespace {

const std::string kOut = "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"$INPUTS\"]\n";
const std::string kHead = "network = \"n\"\ninputs = 2\n";

struct Refusal {
    std::string text;
    std::string message;  // what follows "d.toml:"
};

TEST(Description, EveryRefusalNamesLineColumnAndWhatIsWrong)
{
    const std::vector<Refusal> cases = {
        {kHead + "extra = 1\n" + kOut, "3:1: unknown key \"extra\" in the description"},
        {kHead + "optimizer = \"rmsprop\"\n" + kOut, "3:13: unknown optimizer \"rmsprop\" (sgd, adam)"},
        {kHead + "optimizer = 1\n" + kOut, "3:13: \"optimizer\" must be a string, not an integer"},
        {kHead + "[[layer]]\nname = \"Out\"\nsize = 2\nunits = 2\nfrom = [\"$INPUTS\"]\n",
         "5:1: unknown key \"size\" in a layer"},
        {"network = \"n\"\ninputs = \"2\"\n" + kOut, "2:10: \"inputs\" must be an integer, not a string"},
        {"network = 5\ninputs = 2\n" + kOut, "1:11: \"network\" must be a string, not an integer"},
        {"network = \"n\"\ninputs = -3\n" + kOut, "2:10: \"inputs\" must be at least 1 and at most 2147483647, not -3"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 0\nfrom = [\"$INPUTS\"]\n",
         "5:9: \"units\" must be at least 1 and at most 2147483647, not 0"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2.5\nfrom = [\"$INPUTS\"]\n",
         "5:9: \"units\" must be an integer, not a floating-point number"},
        {"network = \"2x\"\ninputs = 2\n" + kOut,
         "1:11: \"network\" must be a letter followed by letters, digits or '_', at most 31 characters, not \"2x\""},
        {"network = \"abcdefghijabcdefghijabcdefghijab\"\ninputs = 2\n" + kOut,
         "1:11: \"network\" must be a letter followed by letters, digits or '_', at most 31 characters, not "
         "\"abcdefghijabcdefghijabcdefghijab\""},
        {"network = \"network\"\ninputs = 2\n" + kOut,
         "1:11: \"network\" cannot be the network's name: it names the network-level entry points"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"softsign\"\nfrom = [\"$INPUTS\"]\n",
         "6:8: unknown unit \"softsign\" (logistic, centred, tanh, linear, quadratic, relu or softmax)"},
        {kHead + "[[layer]]\nname = \"H\"\nunits = 3\nunit = \"softmax\"\nfrom = [\"$INPUTS\"]\n" +
             "[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"softmax\"\nfrom = [\"H\"]\n",
         "6:8: layer \"H\" is not the output layer, and only the output layer may have unit = \"softmax\"; "
         "a hidden layer's unit is logistic, centred, tanh, linear, quadratic or relu"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = \"$INPUTS\"\n",
         "6:8: \"from\" must be an array of source names, not a string"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = []\n", "6:8: layer \"Out\" has no sources"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [1]\n",
         "6:9: a source in \"from\" must be a string, not an integer"},
        {kHead + "[[layer]]\nname = \"H\"\nunits = 2\nfrom = [\"Out\"]\n" + kOut,
         "6:9: unknown source \"Out\": a source is \"$INPUTS\" or an earlier layer"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"Out\"]\n",
         "6:9: layer \"Out\" cannot take its own output as a source"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"$INPUTS\", \"$INPUTS\"]\n",
         "6:20: source \"$INPUTS\" is named twice"},
        {kHead + kOut + kOut, "8:8: a second layer named \"Out\""},
        {kHead + "[[layer]]\nname = \"$INPUTS\"\nunits = 2\nfrom = [\"$INPUTS\"]\n",
         "4:8: \"name\" must be a letter followed by letters, digits or '_', at most 31 characters, not \"$INPUTS\""},
        {kHead + "[[layer]]\nname = \"H\"\nunits = 2\nfrom = [\"$INPUTS\"]\n" + kOut,
         "3:1: hidden layer \"H\" feeds no later layer"},
        {"network = \"n\"\ninputs = 2000000000\n[[layer]]\nname = \"Out\"\nunits = 2000000000\nfrom = [\"$INPUTS\"]\n",
         "3:1: the network is too large: 16442450941 floats of state, at most 536870911"},
        {kHead + "layer = 3\n", "3:9: \"layer\" must be an array of tables ([[layer]]), not an integer"},
        {kHead + "[layer]\nname = \"Out\"\n", "3:1: \"layer\" must be an array of tables ([[layer]]), not a table"},
        {kHead + "layer = [1]\n", "3:10: each layer must be a table, not an integer"},
        {kHead + "layer = []\n", "3:9: the network has no layers"},
        {"inputs = 2\n" + kOut, "1:1: the description has no \"network\""},
        {"network = \"n\"\n" + kOut, "1:1: the description has no \"inputs\""},
        {kHead, "1:1: the description has no \"layer\""},
        {kHead + "[[layer]]\nname = \"Out\"\nfrom = [\"$INPUTS\"]\n", "3:1: layer \"Out\" has no \"units\""},
        {kHead + "[[layer]]\nunits = 2\nfrom = [\"$INPUTS\"]\n", "3:1: a layer has no \"name\""},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"$INPUTS\"\n",
         "6:19: Error while parsing array: encountered end-of-file"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfeedback = 3\nfrom = [\"$INPUTS\"]\n",
         "6:1: \"feedback\" must be 0 (none), 1 or 2 (the filter's order), not 3: filters of higher order are not "
         "supported"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 2\nfeedback = true\nfrom = [\"$INPUTS\"]\n",
         "6:1: \"feedback\" must be 0, 1 or 2, not a boolean"},
        {kHead + "[[layer]]\nname = \"Out\"\nunits = 1\nfrom = [{ source = \"$INPUTS\", field = 2, shared = true }]\n"
                 "feedback = 1\n",
         "6:42: layer \"Out\" has feedback = 1: a shared field cannot feed it (each unit's filter needs traces of "
         "its own weights)"},
    };
    for (const Refusal &c : cases) {
        bpgen::Error error;
        const auto model = bpgen::parse_description(c.text, "d.toml", error);
        EXPECT_FALSE(model.has_value()) << c.text;
        EXPECT_EQ(error.text, "d.toml:" + c.message) << c.text;
    }
}

TEST(Description, RefusedDescriptionWritesNothingAndExitsWithStatusOne)
{
    const std::string dir = bptest::make_temp_dir();
    bptest::write_file(dir + "/bad.toml", kHead + "[[layer]]\nname = \"Out\"\nunits = 0\nfrom = [\"$INPUTS\"]\n");
    const std::string gen = bptest::bin_path("gen/bpnet-gen");
    const bptest::RunResult plain = bptest::run({gen, "bad.toml", "-o", "out"}, dir);
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.err, "bpnet-gen: bad.toml:5:9: \"units\" must be at least 1 and at most 2147483647, not 0\n");
    const bptest::RunResult shared = bptest::run({gen, "--shared", "bad.toml", "-o", "bad.so"}, dir);
    EXPECT_EQ(shared.status, 1);
    EXPECT_EQ(shared.err, plain.err);
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"bad.toml"});

    const bptest::RunResult missing = bptest::run({gen, "none.toml", "-o", "out"}, dir);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "bpnet-gen: none.toml: cannot open the description\n");
    EXPECT_EQ(bptest::run({gen, "bad.toml"}, dir).status, 1);  // no output named
    EXPECT_EQ(bptest::run({gen, "--check", "bad.toml"}, dir).status, 1);
    bptest::remove_tree(dir);
}

TEST(Description, SourceOrderIsCanonicalWhateverOrderFromListsIt)
{
    const std::string a = kHead + "[[layer]]\nname = \"A\"\nunits = 3\nfrom = [\"$INPUTS\"]\n"
                                  "[[layer]]\nname = \"B\"\nunits = 2\nfrom = [\"A\", \"$INPUTS\"]\n"
                                  "[[layer]]\nname = \"C\"\nunits = 2\nunit = \"tanh\"\nfrom = [\"B\", \"$INPUTS\", \"A\"]\n";
    std::string b = a;
    const auto swap = [&b](const std::string &from, const std::string &to) { b.replace(b.find(from), from.size(), to); };
    swap("[\"A\", \"$INPUTS\"]", "[\"$INPUTS\", \"A\"]");
    swap("[\"B\", \"$INPUTS\", \"A\"]", "[\"A\", \"B\", \"$INPUTS\"]");
    bpgen::Error error;
    const auto ma = bpgen::parse_description(a, "x.toml", error);
    const auto mb = bpgen::parse_description(b, "x.toml", error);
    ASSERT_TRUE(ma && mb) << error.text;
    EXPECT_EQ(ma->layers[2].sources, (std::vector<int>{bpgen::kInputsSource, 0, 1}));
    EXPECT_EQ(bpgen::emit_source(*ma), bpgen::emit_source(*mb));
    EXPECT_EQ(bpgen::emit_header(*ma), bpgen::emit_header(*mb));
}

// Two networks: a save file of one is refused by the other's loader, which changes nothing.
TEST(Description, SaveFileOfAnotherNetworkIsRefusedAndChangesNothing)
{
    const std::string dir = bptest::make_temp_dir();
    const std::string mine = "network = \"mine\"\ninputs = 3\n[[layer]]\nname = \"H\"\nunits = 4\nfrom = [\"$INPUTS\"]\n"
                             "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"H\"]\n";
    std::string wider = mine;  // the same name and layers, other sizes
    wider.replace(wider.find("units = 4"), 9, "units = 5");
    bptest::write_file(dir + "/mine.toml", mine);
    bptest::write_file(dir + "/wider.toml", wider);
    const std::vector<int> status = bptest::build_modules(
        {std::string(BPNET_SOURCE_DIR) + "/network/nn.varonel", dir + "/mine.toml", dir + "/wider.toml"},
        {dir + "/nn.so", dir + "/mine.so", dir + "/wider.so"}, 2);
    ASSERT_EQ(status, (std::vector<int>{0, 0, 0}));

    struct Case {
        const char *module, *network, *file_of, *file_network, *message;
    };
    const Case cases[] = {
        {"mine", "mine", "nn", "nn", "\nUnable to find mine as mine.\n"},
        {"nn", "nn", "mine", "mine", "\nUnable to find nn as nn.\n"},
        {"mine", "mine", "wider", "mine", "\nBad layer size for H\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.file_of) + "'s file into " + c.module);
        bptest::Module from(dir + "/" + c.file_of + ".so", c.file_network);
        from.fn<int (*)(void)>("init_network")();
        const std::string save = dir + "/" + c.file_of + ".save";
        ASSERT_EQ(from.fn<int (*)(const char *)>("dump_network")(save.c_str()), 0);

        bptest::Module into(dir + "/" + c.module + ".so", c.network);
        *into.var<int>("init_seed") = 77;
        into.fn<int (*)(void)>("init_network")();
        *into.var<int>("b0bcounter") = 12;
        const auto query = reinterpret_cast<bpnet_descriptor *(*)(int, int)>(into.symbol("network_query"));
        const bpnet_descriptor *d = query(0, 0);
        const float *data = into.var<float>("network_data");
        // The whole state, up to the end of the last weight block of the output layer.
        const std::size_t floats = static_cast<std::size_t>(d->connections[d->layer_connection_count - 1].weight_steps +
                                                            d->connections[d->layer_connection_count - 1].weight_count - data);
        const std::vector<float> before(data, data + floats);
        EXPECT_EQ(into.fn<int (*)(const char *)>("load_network")(save.c_str()), -2);
        EXPECT_STREQ(into.fn<char *(*)(void)>("error_string")(), c.message);
        EXPECT_EQ(std::memcmp(before.data(), data, floats * sizeof(float)), 0);
        EXPECT_EQ(*into.var<int>("b0bcounter"), 12);
    }
    bptest::remove_tree(dir);
}

}  // namespace

namespace {

// The fuzz seeds and every input that once broke the parser: each is accepted and generates
// its module, or is refused with its place.
TEST(Description, FuzzSeedsAndRegressionInputsParseOrAreRefusedWithTheirPlace)
{
    int seen = 0;
    for (const std::string &dir : {std::string(BPNET_SOURCE_DIR) + "/fuzz/corpus/parse_description",
                                  bptest::data_path("regress/parse_description")}) {
        for (const auto &e : std::filesystem::directory_iterator(dir)) {
            const std::string text = bptest::read_file(e.path().string());
            bpgen::Error error;
            const auto model = bpgen::parse_description(text, "f.toml", error);
            if (model)
                EXPECT_FALSE(bpgen::emit_source(*model).empty()) << e.path();
            else
                EXPECT_EQ(error.text.rfind("f.toml:", 0), 0u) << e.path() << ": " << error.text;
            seen++;
        }
    }
    EXPECT_GE(seen, 6);
}

// Characters the TOML parser cannot classify read as U+FFFD, at the same place.
TEST(Description, CharactersTheParserCannotClassifyKeepTheirPlace)
{
    bpgen::Error error;
    EXPECT_FALSE(bpgen::parse_description("network = \"n\"\xef\xb8\xbf\ninputs = 2\n", "d.toml", error));
    EXPECT_EQ(error.text.rfind("d.toml:1:14: ", 0), 0u) << error.text;
    // In a comment such a character is nothing but text.
    const auto m = bpgen::parse_description("# \xc3\xa9t\xc3\xa9 \xef\xb3\xbf\n" + kHead + kOut, "d.toml", error);
    EXPECT_TRUE(m.has_value()) << error.text;
}

// The runtime's tables come from one function of the model and layout: every row holds the
// layout's offsets, each layer owns the run of connection rows that feed it, every connection
// row holds the weights its kind walks over grids whose sizes multiply out, and the names and
// unit codes are the model's.
TEST(Description, TableRowsAreTheLayoutAndAgreeWithTheModel)
{
    std::mt19937_64 rng(20261209);
    for (int n = 0; n < bptest::scaled(200); n++) {
        const std::string text = bptest::random_description(rng, 5, 24, n % 2 == 1);
        bpgen::Error error;
        const std::optional<bpgen::Model> m = bpgen::parse_description(text, "t.toml", error);
        ASSERT_TRUE(m.has_value()) << error.text << "\n" << text;
        const bpgen::Layout lo = bpgen::lay_out(*m);
        const bpgen::Tables t = bpgen::module_tables(*m, lo);
        ASSERT_EQ(t.layers.size(), m->layers.size());
        ASSERT_EQ(t.connections.size(), lo.connections.size());
        int next = 0;
        for (std::size_t i = 0; i < t.layers.size(); i++) {
            const bpgen::Layer &l = m->layers[i];
            const bpgen::LayerRow &row = t.layers[i];
            const bpm::LayerInfo &info = row.info;
            const bpgen::LayerOffsets &p = lo.layers[i];
            EXPECT_EQ(row.name, l.name);
            EXPECT_EQ(row.qualified, m->network + ":" + l.name);
            EXPECT_EQ(bpgen::unit_of_code(info.unit), l.unit);
            EXPECT_EQ(info.size, l.units);
            EXPECT_EQ(info.dim_x * info.dim_y, info.size);
            EXPECT_EQ(std::vector<std::int64_t>({info.act, info.delta, info.thr, info.thr_grad, info.thr_step, row.net}),
                      std::vector<std::int64_t>({p.act, p.delta, p.thr, p.thr_grad, p.thr_step, p.net}));
            EXPECT_EQ(info.feedback, l.feedback);
            EXPECT_EQ(row.a1_name.empty(), l.feedback == 0);
            EXPECT_EQ(row.a2_name.empty(), l.feedback < 2);
            if (l.feedback > 0) {
                EXPECT_EQ(std::vector<std::int64_t>({info.coef, info.coef_grad, info.coef_step}),
                          std::vector<std::int64_t>({p.coef, p.coef_grad, p.coef_step}));
            }
            EXPECT_EQ(info.first, next);
            EXPECT_EQ(info.count, static_cast<int>(l.sources.size()));
            for (int k = info.first; k < info.first + info.count; k++) {
                const bpgen::ConnectionRow &c = t.connections[static_cast<std::size_t>(k)];
                const bpgen::ConnectionOffsets &o = lo.offsets[static_cast<std::size_t>(k)];
                EXPECT_EQ(c.info.layer, static_cast<int>(i));
                EXPECT_EQ(c.info.source, l.sources[static_cast<std::size_t>(k - info.first)]);
                EXPECT_EQ(c.array, lo.connections[static_cast<std::size_t>(k)].array);
                EXPECT_EQ(std::vector<std::int64_t>({c.info.weights, c.info.grads, c.info.steps}),
                          std::vector<std::int64_t>({o.w, o.g, o.s}));
                EXPECT_EQ(bpm::expected_weights(c.info, info), c.info.count) << text;
                EXPECT_EQ(c.info.source_dim_x * c.info.source_dim_y, c.info.source_size);
            }
            next += info.count;
        }
        EXPECT_EQ(next, static_cast<int>(t.connections.size()));
    }
}

}  // namespace
