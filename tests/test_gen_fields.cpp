// Shapes and receptive fields in descriptions: every refusal of a shape, a source table or a
// field geometry with its line, column and numbers; the forms that mean the same thing
// generating the same module; the strides and weight counts of each kind; and the labelled
// ASCII dump and descriptor of a module with every kind of connection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gen/emit.h"
#include "gen/model.h"
#include "gen/runtime/bpnet_descriptor.h"
#include "support/gen_support.h"
#include "support/test_support.h"

namespace {

// Inputs: a 4 x 3 grid of 12 values (lines 1 and 2); a layer starts on line 3.
const std::string kHead = "network = \"n\"\ninputs = [4, 3]\n";

std::string layer(const std::string &size, const std::string &from)
{
    return "[[layer]]\nname = \"Out\"\n" + size + "\nfrom = [" + from + "]\n";
}

// A hidden layer H of 6 units without a shape, then Out.
std::string after_hidden(const std::string &size, const std::string &from)
{
    return kHead + "[[layer]]\nname = \"H\"\nunits = 6\nfrom = [\"$INPUTS\"]\n" + layer(size, from);
}

struct Refusal {
    std::string text;
    std::string message;  // what follows "d.toml:"
};

TEST(FieldDescription, EveryShapeAndFieldRefusalNamesLineColumnAndNumbers)
{
    const std::vector<Refusal> cases = {
        // Shapes.
        {kHead + layer("shape = 3", "\"$INPUTS\""),
         "5:9: \"shape\" must be [X, Y] (X units per row, Y rows), not an integer"},
        {kHead + layer("shape = [1, 2, 3]", "\"$INPUTS\""),
         "5:9: \"shape\" must be [X, Y] (X units per row, Y rows), not 3 values"},
        {kHead + layer("shape = [0, 2]", "\"$INPUTS\""),
         "5:10: \"shape\" must be at least 1 and at most 2147483647, not 0"},
        {kHead + layer("shape = [2, \"2\"]", "\"$INPUTS\""), "5:13: \"shape\" must be an integer, not a string"},
        {kHead + layer("shape = [65536, 65536]", "\"$INPUTS\""),
         "5:9: \"shape\" [65536, 65536] holds 4294967296 units, more than 2147483647"},
        {kHead + layer("shape = [2, 2]\nunits = 5", "\"$INPUTS\""),
         "6:9: layer \"Out\" has units = 5, but its shape [2, 2] holds 4"},
        {"network = \"n\"\ninputs = [4]\n" + layer("units = 1", "\"$INPUTS\""),
         "2:10: \"inputs\" must be [X, Y] (X units per row, Y rows), not 1 value"},
        {"network = \"n\"\ninputs = [4, -1]\n" + layer("units = 1", "\"$INPUTS\""),
         "2:14: \"inputs\" must be at least 1 and at most 2147483647, not -1"},
        // Source tables.
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", size = 3 }"),
         "6:31: unknown key \"size\" in a source table"},
        {kHead + layer("units = 1", "{ field = 3 }"), "6:9: a source table has no \"source\""},
        {kHead + layer("units = 1", "{ source = 1 }"), "6:20: \"source\" must be a string, not an integer"},
        {kHead + layer("units = 1", "{ source = \"X\", field = 3 }"),
         "6:20: unknown source \"X\": a source is \"$INPUTS\" or an earlier layer"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", overlap = 1 }"),
         "6:31: \"overlap\" needs a \"field\": a source without a field is fully connected"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", shared = false }"),
         "6:31: \"shared\" needs a \"field\": a source without a field is fully connected"},
        {kHead + layer("units = 12", "\"$INPUTS\", { source = \"$INPUTS\", field = 1 }"),
         "6:31: source \"$INPUTS\" is named twice"},
        // Fields, overlaps and sharing.
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = \"3\" }"),
         "6:39: \"field\" must be a size n or [KW, KH], not a string"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = 0 }"),
         "6:39: \"field\" must be at least 1 and at most 2147483647, not 0"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = [3] }"),
         "6:39: a two-dimensional \"field\" must be [KW, KH] (width, height), not 1 value"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = [3, 0] }"),
         "6:43: \"field\" must be at least 1 and at most 2147483647, not 0"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = 3, overlap = -1 }"),
         "6:52: overlap -1 must be at least 0 and less than the field 3"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = 3, overlap = 3 }"),
         "6:52: overlap 3 must be at least 0 and less than the field 3"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = [3, 2], overlap = 2 }"),
         "6:57: overlap 2 must be at least 0 and less than the field's width and height [3, 2]"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = 3, overlap = 1.5 }"),
         "6:52: \"overlap\" must be an integer, not a floating-point number"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = 3, shared = 1 }"),
         "6:51: \"shared\" must be true or false, not an integer"},
        // One-dimensional geometry over the 12 values.
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = 13 }"),
         "6:39: field 13 is longer than the 12 values of $INPUTS"},
        {kHead + layer("units = 2", "{ source = \"$INPUTS\", field = 5, overlap = 1 }"),
         "6:9: fields of 5 overlapping by 1 do not tile the 12 values of $INPUTS: 12 - 5 = 7 is not a multiple of "
         "5 - 1 = 4"},
        {kHead + layer("units = 2", "{ source = \"$INPUTS\", field = 4 }"),
         "6:9: fields of 4 overlapping by 0 over the 12 values of $INPUTS make 3 units, but layer \"Out\" has 2"},
        {after_hidden("units = 4", "{ source = \"H\", field = 2, overlap = 1, shared = true }"),
         "10:9: fields of 2 overlapping by 1 over the 6 values of layer \"H\" make 5 units, but layer \"Out\" has 4"},
        // Two-dimensional geometry over the 4 x 3 grid.
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = [5, 1] }"),
         "6:39: field [5, 1] is wider than the 4 x 3 grid of $INPUTS"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = [2, 4] }"),
         "6:39: field [2, 4] is taller than the 4 x 3 grid of $INPUTS"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = [3, 3] }"),
         "6:9: fields [3, 3] overlapping by 0 do not tile the width of the 4 x 3 grid of $INPUTS: 4 - 3 = 1 is not "
         "a multiple of 3 - 0 = 3"},
        {kHead + layer("units = 1", "{ source = \"$INPUTS\", field = [2, 2] }"),
         "6:9: fields [2, 2] overlapping by 0 do not tile the height of the 4 x 3 grid of $INPUTS: 3 - 2 = 1 is not "
         "a multiple of 2 - 0 = 2"},
        {kHead + layer("shape = [2, 2]", "{ source = \"$INPUTS\", field = [2, 3] }"),
         "6:9: fields [2, 3] overlapping by 0 over the 4 x 3 grid of $INPUTS make a grid of 2 x 1 units, but layer "
         "\"Out\" has shape [2, 2]"},
        // The right number of units is not enough: the layer's shape must be the fields' grid.
        {kHead + layer("units = 6", "{ source = \"$INPUTS\", field = [2, 2], overlap = 1, shared = true }"),
         "6:9: fields [2, 2] overlapping by 1 over the 4 x 3 grid of $INPUTS make a grid of 3 x 2 units, but layer "
         "\"Out\" has shape [6, 1]"},
        // A layer without a shape is one row.
        {after_hidden("units = 5", "{ source = \"H\", field = [2, 2] }"),
         "10:33: field [2, 2] is taller than the 6 x 1 grid of layer \"H\""},
    };
    for (const Refusal &c : cases) {
        bpgen::Error error;
        const auto model = bpgen::parse_description(c.text, "d.toml", error);
        EXPECT_FALSE(model.has_value()) << c.text;
        EXPECT_EQ(error.text, "d.toml:" + c.message) << c.text;
    }
}

// Texts that mean the same network generate the same module.
TEST(FieldDescription, EquivalentFormsGenerateTheSameModule)
{
    struct Same {
        std::string a, b;
    };
    const std::string vec = "network = \"n\"\ninputs = 12\n";
    const std::vector<Same> cases = {
        // A table with only a source is a full connection.
        {vec + layer("units = 3", "\"$INPUTS\""), vec + layer("units = 3", "{ source = \"$INPUTS\" }")},
        // A vector is a grid of one row, given as units or as a shape, or both.
        {vec + layer("units = 3", "\"$INPUTS\""), "network = \"n\"\ninputs = [12, 1]\n" + layer("shape = [3, 1]", "\"$INPUTS\"")},
        {vec + layer("units = 3", "\"$INPUTS\""), vec + layer("units = 3\nshape = [3, 1]", "\"$INPUTS\"")},
        // Overlap 0 and no sharing are the defaults.
        {kHead + layer("units = 3", "{ source = \"$INPUTS\", field = 4 }"),
         kHead + layer("units = 3", "{ source = \"$INPUTS\", field = 4, overlap = 0, shared = false }")},
        {kHead + layer("shape = [3, 2]", "{ source = \"$INPUTS\", field = [2, 2], overlap = 1, shared = true }"),
         kHead + layer("shape = [3, 2]\nunits = 6", "{ shared = true, overlap = 1, field = [2, 2], source = \"$INPUTS\" }")},
    };
    for (const Same &c : cases) {
        bpgen::Error ea, eb;
        const auto ma = bpgen::parse_description(c.a, "x.toml", ea);
        const auto mb = bpgen::parse_description(c.b, "x.toml", eb);
        ASSERT_TRUE(ma.has_value()) << ea.text;
        ASSERT_TRUE(mb.has_value()) << eb.text;
        EXPECT_EQ(bpgen::emit_source(*ma), bpgen::emit_source(*mb)) << c.a << "\n" << c.b;
        EXPECT_EQ(bpgen::emit_header(*ma), bpgen::emit_header(*mb)) << c.a << "\n" << c.b;
    }
}

// The strides and weight counts the model derives for each kind, worked out by hand.
TEST(FieldDescription, StridesAndWeightCountsOfEachKind)
{
    const std::string text = "network = \"k\"\ninputs = [6, 5]\n"
                             "[[layer]]\nname = \"A\"\nshape = [5, 2]\n"
                             "from = [{ source = \"$INPUTS\", field = [2, 3], overlap = 1 }]\n"
                             "[[layer]]\nname = \"B\"\nshape = [5, 2]\n"
                             "from = [{ source = \"$INPUTS\", field = [2, 3], overlap = 1, shared = true }]\n"
                             "[[layer]]\nname = \"C\"\nunits = 9\nfrom = [{ source = \"A\", field = 2, overlap = 1 }, "
                             "{ source = \"$INPUTS\", field = 6, overlap = 3, shared = true }]\n"
                             "[[layer]]\nname = \"Out\"\nunits = 2\nfrom = [\"C\", { source = \"B\" }]\n";
    bpgen::Error error;
    const auto m = bpgen::parse_description(text, "k.toml", error);
    ASSERT_TRUE(m.has_value()) << error.text;
    const std::vector<bpgen::Connection> cs = bpgen::connections(*m);
    ASSERT_EQ(cs.size(), 6u);
    // A <- $INPUTS: U = (6 - 2)/(2 - 1) + 1 = 5, R = (5 - 3)/(3 - 1) + 1 = 2; WS = U*KW = 10,
    // S = 6, B = 1*6; R*KH*WS = 2*3*10 = 60 weights.
    EXPECT_EQ(cs[0].link.kind, bpgen::Kind::field2d);
    EXPECT_EQ(cs[0].across, 5);
    EXPECT_EQ(cs[0].down, 2);
    EXPECT_EQ(cs[0].ws, 10);
    EXPECT_EQ(cs[0].s, 6);
    EXPECT_EQ(cs[0].b, 6);
    EXPECT_EQ(cs[0].count, 60);
    EXPECT_EQ(cs[0].array, "A6");
    // B: the same fields, one 2 x 3 kernel.
    EXPECT_TRUE(cs[1].link.shared);
    EXPECT_EQ(cs[1].count, 6);
    // C <- $INPUTS first (canonical order): (30 - 6)/3 + 1 = 9 units, one shared row of 6.
    EXPECT_EQ(cs[2].source, bpgen::kInputsSource);
    EXPECT_EQ(cs[2].link.kind, bpgen::Kind::field1d);
    EXPECT_EQ(cs[2].count, 6);
    // C <- A: (10 - 2)/1 + 1 = 9 units, 9 rows of 2.
    EXPECT_EQ(cs[3].source, 0);
    EXPECT_EQ(cs[3].count, 18);
    // Out: 2 x 10 from B (a table with only its source: full), then 2 x 9 from C.
    EXPECT_EQ(cs[4].link.kind, bpgen::Kind::full);
    EXPECT_EQ(cs[4].count, 20);
    EXPECT_EQ(cs[4].source_dim_x, 5);
    EXPECT_EQ(cs[4].source_dim_y, 2);
    EXPECT_EQ(cs[5].count, 18);
    // Thresholds 10 + 10 + 9 + 2, weights 60 + 6 + 6 + 18 + 20 + 18.
    EXPECT_EQ(bpgen::measure(*m).trainable, 31 + 128);
}

// The example network of shared 3x3 fields over the digit images: its geometry and the
// trainable-value count its comment and the examples' README give.
TEST(FieldDescription, DigitsConvExampleHasItsDocumentedSize)
{
    bpgen::Error error;
    const auto m = bpgen::load_description(std::string(BPNET_SOURCE_DIR) + "/examples/networks/digits-conv.toml", error);
    ASSERT_TRUE(m.has_value()) << error.text;
    EXPECT_EQ(m->input_dim_x, 8);
    EXPECT_EQ(m->input_dim_y, 8);
    ASSERT_EQ(m->layers.size(), 7u);
    for (std::size_t i = 0; i < 6; i++) {
        const bpgen::Layer &l = m->layers[i];
        EXPECT_EQ(l.dim_x, 6);
        EXPECT_EQ(l.dim_y, 6);
        ASSERT_EQ(l.links.size(), 1u);
        EXPECT_EQ(l.links[0].kind, bpgen::Kind::field2d);
        EXPECT_TRUE(l.links[0].shared);
    }
    EXPECT_EQ(m->layers.back().units, 10);
    EXPECT_EQ(bpgen::measure(*m).trainable, 2440);
}

std::string weights_text(const std::vector<int> &values)
{
    std::string s;
    char buf[64];
    for (int v : values) {
        std::snprintf(buf, sizeof buf, "%.12f ", static_cast<double>(v));
        s += buf;
    }
    return s;
}

// A module with every kind of field, thresholds 0 and each connection's weights 1, 2, 3, ... in
// storage order, set through the descriptor: the labelled dump gives each unit's weights after
// its Node[x,y] label (a two-dimensional unit's field gathered field row by field row) and a
// shared row or kernel once as Node[0,0]; the bare dump keeps storage order; the descriptor
// carries the shapes and the real weight counts.
TEST(FieldDescription, LabelledDumpAndDescriptorOfEveryKind)
{
    // A: [2, 2] fields overlapping by 1 over the 4 x 3 inputs: 3 x 2 units, 2*2*3*2 = 24 weights.
    // B: the same fields, one shared kernel of 4. Out: 3 units from A (fields of 2, 3 rows of 2)
    // and from B (fields of 2, one shared row of 2).
    const std::string text = "network = \"grid\"\ninputs = [4, 3]\n"
                             "[[layer]]\nname = \"A\"\nshape = [3, 2]\n"
                             "from = [{ source = \"$INPUTS\", field = [2, 2], overlap = 1 }]\n"
                             "[[layer]]\nname = \"B\"\nshape = [3, 2]\n"
                             "from = [{ source = \"$INPUTS\", field = [2, 2], overlap = 1, shared = true }]\n"
                             "[[layer]]\nname = \"Out\"\nunits = 3\n"
                             "from = [{ source = \"A\", field = 2 }, { source = \"B\", field = 2, shared = true }]\n";
    const std::string dir = bptest::make_temp_dir();
    bptest::write_file(dir + "/grid.toml", text);
    ASSERT_EQ(bptest::build_modules({dir + "/grid.toml"}, {dir + "/grid.so"}, 1), std::vector<int>{0})
        << bptest::read_file(dir + "/grid.so.log");
    {
        bptest::Module mod(dir + "/grid.so", "grid");
        mod.fn<int (*)(void)>("init_network")();
        const auto query = reinterpret_cast<bpnet_descriptor *(*)(int, int)>(mod.symbol("network_query"));

        struct Expected {
            const char *name;
            int dim_x, dim_y;
            std::vector<int> counts, source_x, source_y;
        };
        const Expected layers[] = {
            {"grid:Out", 3, 1, {6, 2}, {3, 3}, {2, 2}},
            {"grid:B", 3, 2, {4}, {4}, {3}},
            {"grid:A", 3, 2, {24}, {4}, {3}},
        };
        for (int q = 0; q < 3; q++) {
            const bpnet_descriptor *d = query(0, q);
            ASSERT_NE(d, nullptr);
            const Expected &e = layers[q];
            EXPECT_STREQ(d->layer_name, e.name);
            EXPECT_EQ(d->input_dim_x, 4);
            EXPECT_EQ(d->input_dim_y, 3);
            EXPECT_EQ(d->layer_dim_x, e.dim_x);
            EXPECT_EQ(d->layer_dim_y, e.dim_y);
            EXPECT_EQ(d->parameter_count, 15 + 36);
            ASSERT_EQ(d->layer_connection_count, static_cast<int>(e.counts.size()));
            for (int i = 0; i < d->layer_size; i++)
                d->layer_thresholds[i] = 0.0f;
            for (std::size_t k = 0; k < e.counts.size(); k++) {
                const bpnet_connection_record &r = d->connections[k];
                EXPECT_EQ(r.weight_count, e.counts[k]) << e.name << " connection " << k;
                EXPECT_EQ(r.source_dim_x, e.source_x[k]);
                EXPECT_EQ(r.source_dim_y, e.source_y[k]);
                EXPECT_EQ(r.weight_steps - r.weights, 2 * r.weight_count);  // weights, gradients, steps
                for (int i = 0; i < r.weight_count; i++)
                    r.weights[i] = static_cast<float>(i + 1);
            }
        }

        const auto ascii = mod.fn<void (*)(int)>("ascii_dump_network");
        const std::string zero = "0.000000000000";
        std::string thresholds_out, thresholds_grid;
        for (int i = 0; i < 3; i++)
            thresholds_out += "\nNode[" + std::to_string(i) + ",0]:\n   Bias=" + zero;
        for (int i = 0; i < 6; i++)
            thresholds_grid += "\nNode[" + std::to_string(i % 3) + "," + std::to_string(i / 3) + "]:\n   Bias=" + zero;
        const std::string labelled =
            "\n\nBlackBox: grid\nIterations: 0"
            "\nLayer: grid:Out" + thresholds_out +
            "\nConnection from grid:A:"
            "\nNode[0,0]:\n" + weights_text({1, 2}) + "\nNode[1,0]:\n" + weights_text({3, 4}) +
            "\nNode[2,0]:\n" + weights_text({5, 6}) +
            "\nConnection from grid:B:\nNode[0,0]:\n" + weights_text({1, 2}) +
            "\nLayer: grid:B" + thresholds_grid +
            "\nConnection from $INPUTS:\nNode[0,0]:\n" + weights_text({1, 2, 3, 4}) +
            "\nLayer: grid:A" + thresholds_grid +
            // Unit (u, r) reads weights ((r*2 + j)*3 + u)*2 + k: field row j = 0, then 1.
            "\nConnection from $INPUTS:"
            "\nNode[0,0]:\n" + weights_text({1, 2, 7, 8}) + "\nNode[1,0]:\n" + weights_text({3, 4, 9, 10}) +
            "\nNode[2,0]:\n" + weights_text({5, 6, 11, 12}) + "\nNode[0,1]:\n" + weights_text({13, 14, 19, 20}) +
            "\nNode[1,1]:\n" + weights_text({15, 16, 21, 22}) + "\nNode[2,1]:\n" + weights_text({17, 18, 23, 24}) +
            "\n";
        EXPECT_EQ(bptest::capture_stdout([&] { ascii(1); }), labelled);

        std::string bare = "\n\n#\n0";
        const auto block = [&bare, &zero](int thresholds, const std::vector<int> &counts) {
            for (int i = 0; i < thresholds; i++) {
                bare += '\n';
                bare += zero;
            }
            for (int n : counts)
                for (int i = 1; i <= n; i++) {
                    bare += '\n';
                    bare += weights_text({i});
                }
        };
        block(3, {6, 2});
        block(6, {4});
        block(6, {24});
        bare += "\n\n#\n";
        EXPECT_EQ(bptest::capture_stdout([&] { ascii(0); }), bare);

        // The bare form loads back, in storage order, into a newly drawn network.
        const bpnet_descriptor *a = query(0, 2);
        const std::vector<float> weights(a->connections[0].weights, a->connections[0].weights + 24);
        *mod.var<int>("init_seed") = 99;
        mod.fn<int (*)(void)>("init_network")();
        EXPECT_NE(query(0, 2)->connections[0].weights[0], 1.0f);
        bptest::write_file(dir + "/bare.txt", bare);
        const int saved = dup(0);
        const int fd = open((dir + "/bare.txt").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        dup2(fd, 0);
        close(fd);
        clearerr(stdin);
        const int loaded = mod.fn<int (*)(void)>("load_ascii_network")();
        dup2(saved, 0);
        close(saved);
        clearerr(stdin);
        EXPECT_EQ(loaded, 0);
        const bpnet_descriptor *back = query(0, 2);
        EXPECT_EQ(std::vector<float>(back->connections[0].weights, back->connections[0].weights + 24), weights);
        EXPECT_EQ(back->layer_thresholds[5], 0.0f);
        EXPECT_EQ(query(0, 0)->connections[1].weights[1], 2.0f);
        EXPECT_EQ(bptest::capture_stdout([&] { ascii(1); }), labelled);
    }
    bptest::remove_tree(dir);
}

}  // namespace
