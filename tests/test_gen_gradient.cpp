// Gradients of generated modules against finite differences, for every connection kind: full,
// one-dimensional fields and two-dimensional fields, each unshared and shared, each from the
// inputs and from a hidden layer. After one gradient accumulation, the gradient gathered for
// each weight and threshold must be the change of the error under a small change of that value
// alone, measured by two forward passes. A wrong index in a field's geometry would make the
// module and an interpreter that shares the mistake agree; it cannot agree with the error.
//
// The units are quadratic (hidden) and linear (output): their derivatives take no random
// offset, so the accumulated gradient is exactly the derivative of the error. A softmax output
// on the cross-entropy is checked the same way, on a network interpreted by the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "gen/model.h"
#include "support/gen_support.h"
#include "support/ref_network.h"
#include "support/test_support.h"

namespace {

struct Case {
    const char *name;
    const char *hidden_from;  // H's source entry
    const char *out_from;     // Out's source entry
    const char *hidden_size;  // H's units or shape
    const char *out_size;     // Out's
};

// Inputs: a 7 x 5 grid (35 values). H <- $INPUTS and Out <- H are both of the kind under test,
// so that H's deltas come back only through it: from_input and from_hidden are both checked.
const Case kCases[] = {
    {"full", "\"$INPUTS\"", "\"H\"", "units = 4", "units = 3"},
    // (35 - 7)/(7 - 3) + 1 = 8 units; (8 - 4)/(4 - 2) + 1 = 3.
    {"field1d", "{ source = \"$INPUTS\", field = 7, overlap = 3 }", "{ source = \"H\", field = 4, overlap = 2 }",
     "units = 8", "units = 3"},
    {"field1d_shared", "{ source = \"$INPUTS\", field = 7, overlap = 3, shared = true }",
     "{ source = \"H\", field = 4, overlap = 2, shared = true }", "units = 8", "units = 3"},
    // Fields side by side: 35/5 = 7 units; (7 - 3)/(3 - 1) + 1 = 3.
    {"field1d_apart", "{ source = \"$INPUTS\", field = 5 }", "{ source = \"H\", field = 3, overlap = 1 }",
     "units = 7", "units = 3"},
    // Fields wider than high: U = (7 - 3)/2 + 1 = 3, R = (5 - 2)/1 + 1 = 4; then 1 x 2.
    {"field2d", "{ source = \"$INPUTS\", field = [3, 2], overlap = 1 }", "{ source = \"H\", field = [3, 2] }",
     "shape = [3, 4]", "shape = [1, 2]"},
    {"field2d_shared", "{ source = \"$INPUTS\", field = [3, 2], overlap = 1, shared = true }",
     "{ source = \"H\", field = [3, 2], shared = true }", "shape = [3, 4]", "shape = [1, 2]"},
    // Square fields sliding by one: 5 x 3; then 4 x 2.
    {"field2d_square", "{ source = \"$INPUTS\", field = [3, 3], overlap = 2 }",
     "{ source = \"H\", field = [2, 2], overlap = 1 }", "shape = [5, 3]", "shape = [4, 2]"},
    {"field2d_square_shared", "{ source = \"$INPUTS\", field = [3, 3], overlap = 2, shared = true }",
     "{ source = \"H\", field = [2, 2], overlap = 1, shared = true }", "shape = [5, 3]", "shape = [4, 2]"},
};

std::string description(const Case &c)
{
    return std::string("network = \"") + c.name + "\"\ninputs = [7, 5]\n" + "\n[[layer]]\nname = \"H\"\n" +
           c.hidden_size + "\nunit = \"quadratic\"\nfrom = [" + c.hidden_from + "]\n" +
           "\n[[layer]]\nname = \"Out\"\n" + c.out_size + "\nunit = \"linear\"\nfrom = [" + c.out_from + "]\n";
}

// Gathered gradients against finite differences: each of n values at data + values moved by
// +-1e-3 alone, the change of error() against the gradient at data + grads (minus the scale
// times the error's derivative). Counts the values, the ones out of tolerance (the first named)
// and the largest gradient.
struct Differences {
    int checked = 0, wrong = 0;
    double largest = 0.0;
    std::string first_wrong;
};
void compare_with_differences(float *data, const std::function<double()> &error, double scale, const std::string &what,
                              int values, int grads, int n, Differences &d)
{
    for (int k = 0; k < n; k++) {
        float &v = data[values + k];
        const float saved = v, up = saved + 1e-3f, down = saved - 1e-3f;
        v = up;
        const double e_up = error();
        v = down;
        const double e_down = error();
        v = saved;
        const double numeric = (e_up - e_down) / (static_cast<double>(up) - down);
        const double gathered = -static_cast<double>(data[grads + k]) / scale;
        d.checked++;
        d.largest = std::max(d.largest, std::fabs(gathered));
        if (std::fabs(numeric - gathered) > 1e-3 + 1e-2 * std::fabs(numeric)) {
            d.wrong++;
            if (d.first_wrong.empty()) {
                char buf[200];
                std::snprintf(buf, sizeof buf, "%s value %d: the error changes by %.6g, the gradient says %.6g",
                              what.c_str(), k, numeric, gathered);
                d.first_wrong = buf;
            }
        }
    }
}

TEST(GeneratedGradient, EveryConnectionKindAgreesWithFiniteDifferences)
{
    const std::string work = bptest::make_temp_dir();
    std::vector<std::string> files, modules, texts;
    for (const Case &c : kCases) {
        texts.push_back(description(c));
        files.push_back(work + "/" + c.name + ".toml");
        modules.push_back(work + "/" + c.name + ".so");
        bptest::write_file(files.back(), texts.back());
    }
    const std::vector<int> status = bptest::build_modules(files, modules, 2);

    bool clean = true;
    for (std::size_t ci = 0; ci < std::size(kCases); ci++) {
        const Case &c = kCases[ci];
        SCOPED_TRACE(std::string(c.name) + "\n" + texts[ci]);
        ASSERT_EQ(status[ci], 0) << bptest::read_file(modules[ci] + ".log");
        bpgen::Error error;
        const auto model = bpgen::parse_description(texts[ci], files[ci], error);
        ASSERT_TRUE(model.has_value()) << error.text;
        const bptest::RefNetwork layout(*model);  // offsets of every block
        bptest::Module mod(modules[ci], model->network);
        float *data = mod.var<float>("network_data");
        *mod.var<int>("init_seed") = 7 + static_cast<int>(ci);
        *mod.var<float>("init_range") = 0.5f;
        *mod.var<float>("BPlearning_rate") = 0.01f;
        *mod.var<float>("BPinertia") = 0.0f;
        mod.fn<int (*)(void)>("init_network")();
        const auto forward = mod.fn<void (*)(void)>("propagate_forward");

        std::mt19937_64 rng(ci);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float> input(static_cast<std::size_t>(model->inputs)), target(static_cast<std::size_t>(layout.outputs()));
        for (float &v : input)
            v = dist(rng);
        for (float &v : target)
            v = dist(rng);
        mod.fn<void (*)(float *)>("set_input")(input.data());
        mod.fn<void (*)(float *)>("set_target_output")(target.data());

        // The error as the learning step defines it: half the sum of squared differences.
        const float *out = data + layout.layers.back().act;
        const auto error_now = [&]() {
            forward();
            double e = 0.0;
            for (int i = 0; i < layout.outputs(); i++) {
                const double d = static_cast<double>(target[static_cast<std::size_t>(i)]) - out[i];
                e += 0.5 * d * d;
            }
            return e;
        };

        // One accumulation: the output deltas carry (target - output) times the scale, so each
        // gradient is minus the scale times the error's derivative.
        forward();
        mod.fn<float (*)(void)>("calc_error")();
        mod.fn<void (*)(void)>("calc_grad")();
        const double scale = static_cast<float>(0.333333 * static_cast<double>(0.01f));

        Differences diff;
        const auto check = [&](const std::string &what, int values, int grads, int n) {
            compare_with_differences(data, error_now, scale, what, values, grads, n, diff);
        };
        for (std::size_t li = 0; li < layout.layers.size(); li++)
            check("thresholds of " + model->layers[li].name, layout.layers[li].thr, layout.layers[li].thr_grad,
                  model->layers[li].units);
        for (const auto &conn : layout.conns)
            check("weights " + conn.array, conn.w, conn.g, conn.count);
        EXPECT_EQ(diff.wrong, 0) << diff.first_wrong;
        // The gradients are not all zero: the check compares something.
        double sum = 0.0;
        for (const auto &conn : layout.conns)
            for (int k = 0; k < conn.count; k++)
                sum += std::fabs(data[conn.g + k]);
        EXPECT_GT(sum, 0.0);
        EXPECT_GT(diff.checked, 0);
        clean = clean && diff.wrong == 0;
    }
    if (clean)
        bptest::remove_tree(work);
}

// A softmax output learned on the cross-entropy: the deltas t - o, which the softmax layer
// passes on unchanged, are the cross-entropy's gradient with respect to its net inputs when the
// targets sum to 1 (one of them 0, whose term the error skips). After one accumulation every
// gathered gradient is the change of the cross-entropy, in double from the outputs, under a
// small change of that weight or threshold alone; the error the step reports is that
// cross-entropy rounded to float.
TEST(GeneratedGradient, SoftmaxDeltasAreTheCrossEntropysGradient)
{
    const std::string text = "network = \"s\"\ninputs = 5\n[[layer]]\nname = \"H\"\nunits = 4\nunit = \"quadratic\"\n"
                             "from = [\"$INPUTS\"]\n[[layer]]\nname = \"Out\"\nunits = 4\nunit = \"softmax\"\n"
                             "from = [\"H\", \"$INPUTS\"]\n";
    bpgen::Error error;
    const auto model = bpgen::parse_description(text, "s.toml", error);
    ASSERT_TRUE(model.has_value()) << error.text;
    bptest::RefNetwork net(*model);
    net.range = 0.8f;
    net.rate = 0.01f;
    net.init();
    const std::vector<float> input = {0.5f, -0.25f, 0.75f, -1.0f, 0.3f}, target = {0.25f, 0.0f, 0.6f, 0.15f};
    net.input = input.data();
    net.target = target.data();
    const auto cross_entropy = [&]() {
        net.forward();
        double e = 0.0;
        for (int i = 0; i < net.outputs(); i++)
            e -= target[static_cast<std::size_t>(i)] == 0.0f ? 0.0 : target[static_cast<std::size_t>(i)] * std::log(static_cast<double>(net.output()[i]));
        return e;
    };
    const double before = cross_entropy();
    EXPECT_EQ(net.calc_error(), static_cast<float>(before));
    net.calc_grad();
    const double scale = static_cast<float>(0.333333 * static_cast<double>(0.01f));

    Differences diff;
    const auto check = [&](const std::string &what, int values, int grads, int n) {
        compare_with_differences(net.data.data(), cross_entropy, scale, what, values, grads, n, diff);
    };
    for (std::size_t li = 0; li < net.layers.size(); li++)
        check("thresholds of " + model->layers[li].name, net.layers[li].thr, net.layers[li].thr_grad,
              model->layers[li].units);
    for (const auto &conn : net.conns)
        check("weights " + conn.array, conn.w, conn.g, conn.count);
    EXPECT_EQ(diff.wrong, 0) << diff.first_wrong;
    EXPECT_EQ(diff.checked, 4 + 4 + 5 * 4 + 4 * 4 + 5 * 4);
    EXPECT_GT(diff.largest, 1e-2);
}

}  // namespace
