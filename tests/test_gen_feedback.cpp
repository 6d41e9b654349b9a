// Layers with feedback in generated modules: the gradient gathered over a sequence against
// finite differences of the summed sequence error, the filters' stability under targets that
// push them out of it, and the delays' clearing. The differential test covers bit-exactness.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bp/BpSim.h"
#include "gen/model.h"
#include "support/differential.h"
#include "support/gen_support.h"
#include "support/ref_network.h"
#include "support/test_support.h"

namespace {

// Three networks whose gathered gradient is exact for the layers named in `exact`: a feedback
// output layer fed by the inputs; a feedback hidden layer fed by the inputs under a plain
// output layer; feedback on both, where only the output layer's gradient is exact (the error
// reaches H through the current weights, not through Out's filter). Quadratic and linear units
// take no random derivative offset.
struct Case {
    const char *name;
    const char *text;
    std::vector<std::string> exact;
};

const Case kCases[] = {
    {"single", "network = \"single\"\ninputs = 3\n[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"linear\"\n"
               "feedback = 2\nfrom = [\"$INPUTS\"]\n",
     {"Out"}},
    {"hidden", "network = \"hidden\"\ninputs = [3, 2]\n[[layer]]\nname = \"H\"\nshape = [2, 1]\nunit = \"quadratic\"\n"
               "feedback = 2\nfrom = [{ source = \"$INPUTS\", field = [2, 2], overlap = 1 }]\n"
               "[[layer]]\nname = \"G\"\nunits = 3\nunit = \"quadratic\"\nfeedback = 1\n"
               "from = [{ source = \"$INPUTS\", field = 2 }]\n"
               "[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"linear\"\nfrom = [\"H\", \"G\"]\n",
     {"H", "G", "Out"}},
    {"both", "network = \"both\"\ninputs = 3\n[[layer]]\nname = \"H\"\nunits = 3\nunit = \"quadratic\"\nfeedback = 1\n"
             "from = [\"$INPUTS\"]\n[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"linear\"\nfeedback = 2\n"
             "from = [\"$INPUTS\", \"H\"]\n",
     {"Out"}},
};

// Build the modules of `texts` in a fresh folder; their paths.
std::vector<std::string> build(const std::string &work, const std::vector<std::string> &names,
                               const std::vector<std::string> &texts)
{
    const bptest::Built built = bptest::write_and_build(work, names, texts, texts.size());
    for (std::size_t i = 0; i < texts.size(); i++)
        EXPECT_EQ(built.status[i], 0) << bptest::read_file(built.modules[i] + ".log");
    return built.modules;
}

bpgen::Model model_of(const std::string &text)
{
    bpgen::Error error;
    const auto model = bpgen::parse_description(text, "d.toml", error);
    EXPECT_TRUE(model.has_value()) << error.text;
    return *model;
}

TEST(Feedback, SequenceGradientAgreesWithFiniteDifferences)
{
    const std::string work = bptest::make_temp_dir();
    std::vector<std::string> names, texts;
    for (const Case &c : kCases) {
        names.push_back(c.name);
        texts.push_back(c.text);
    }
    const std::vector<std::string> modules = build(work, names, texts);
    std::map<std::string, double> worst;  // max relative error per kind
    bool clean = true;
    for (std::size_t ci = 0; ci < std::size(kCases); ci++) {
        const Case &c = kCases[ci];
        SCOPED_TRACE(c.name);
        const bpgen::Model model = model_of(c.text);
        const bptest::RefNetwork layout(model);
        bptest::Module mod(modules[ci], model.network);
        float *data = mod.var<float>("network_data");
        *mod.var<int>("init_seed") = 11;
        *mod.var<float>("init_range") = 0.6f;
        *mod.var<float>("BPlearning_rate") = 0.01f;
        mod.fn<int (*)(void)>("init_network")();
        const auto forward = mod.fn<void (*)(void)>("propagate_forward");
        const auto clear = mod.fn<void (*)(void)>("clear_delays");

        // Coefficients well inside the stable region, different per unit.
        std::mt19937_64 rng(ci + 5);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        for (std::size_t li = 0; li < model.layers.size(); li++) {
            const int n = model.layers[li].units, order = model.layers[li].feedback;
            for (int i = 0; i < n && order > 0; i++) {
                data[layout.layers[li].coef + i] = 0.3f + 0.2f * dist(rng);
                if (order == 2)
                    data[layout.layers[li].coef + n + i] = -0.2f + 0.1f * dist(rng);
            }
        }

        // A short sequence.
        const int steps = 6, outputs = layout.outputs();
        std::vector<float> inputs(static_cast<std::size_t>(steps * model.inputs)),
            targets(static_cast<std::size_t>(steps * outputs));
        for (float &v : inputs)
            v = dist(rng);
        for (float &v : targets)
            v = dist(rng);
        std::vector<float> in(static_cast<std::size_t>(model.inputs)), target(static_cast<std::size_t>(outputs));
        mod.fn<void (*)(float *)>("set_input")(in.data());
        mod.fn<void (*)(float *)>("set_target_output")(target.data());
        const auto present = [&](int t) {
            std::copy_n(inputs.begin() + t * model.inputs, model.inputs, in.begin());
            std::copy_n(targets.begin() + t * outputs, outputs, target.begin());
        };

        // The summed error of the sequence from cleared delays.
        const float *out = data + layout.layers.back().act;
        const auto sequence_error = [&]() {
            clear();
            double e = 0.0;
            for (int t = 0; t < steps; t++) {
                present(t);
                forward();
                for (int i = 0; i < outputs; i++) {
                    const double d = static_cast<double>(target[static_cast<std::size_t>(i)]) - out[i];
                    e += 0.5 * d * d;
                }
            }
            return e;
        };

        // The learning loop's steps without the update: forward, traces, error, gradients.
        clear();
        for (int t = 0; t < steps; t++) {
            present(t);
            forward();
            mod.fn<void (*)(void)>("advance_traces")();
            mod.fn<float (*)(void)>("calc_error")();
            mod.fn<void (*)(void)>("calc_grad")();
        }
        const double scale = static_cast<float>(0.333333 * static_cast<double>(0.01f));

        int wrong = 0, checked = 0;
        std::string first_wrong;
        const auto check = [&](const std::string &kind, int values, int grads, int n) {
            for (int k = 0; k < n; k++) {
                float &v = data[values + k];
                const float saved = v;
                const float up = saved + 1e-3f, down = saved - 1e-3f;
                v = up;
                const double e_up = sequence_error();
                v = down;
                const double e_down = sequence_error();
                v = saved;
                const double numeric = (e_up - e_down) / (static_cast<double>(up) - down);
                const double gathered = -static_cast<double>(data[grads + k]) / scale;
                const double rel = std::fabs(numeric - gathered) / std::max(std::fabs(numeric), 1e-3);
                worst[kind] = std::max(worst[kind], rel);
                checked++;
                if (std::fabs(numeric - gathered) > 1e-3 + 1e-2 * std::fabs(numeric) && wrong++ == 0)
                    first_wrong = kind + " " + std::to_string(k) + ": the error changes by " + std::to_string(numeric) +
                                  ", the gradient says " + std::to_string(gathered);
            }
        };
        for (std::size_t li = 0; li < model.layers.size(); li++) {
            const bpgen::Layer &l = model.layers[li];
            if (std::find(c.exact.begin(), c.exact.end(), l.name) == c.exact.end())
                continue;
            const auto &at = layout.layers[li];
            check("threshold", at.thr, at.thr_grad, l.units);
            if (l.feedback >= 1)
                check("a1", at.coef, at.coef_grad, l.units);
            if (l.feedback == 2)
                check("a2", at.coef + l.units, at.coef_grad + l.units, l.units);
            for (const auto &conn : layout.conns)
                if (conn.layer == static_cast<int>(li))
                    check("weight", conn.w, conn.g, conn.count);
        }
        EXPECT_EQ(wrong, 0) << first_wrong;
        EXPECT_GT(checked, 0);
        clean = clean && wrong == 0;
    }
    // Every kind was compared, and the tally is printed for the record.
    for (const char *kind : {"weight", "threshold", "a1", "a2"}) {
        EXPECT_EQ(worst.count(kind), 1u) << kind;
        std::printf("max relative difference, %s: %.3g\n", kind, worst[kind]);
    }
    if (clean)
        bptest::remove_tree(work);
}

// Every filter stable and every value finite.
std::string unstable_or_infinite(const float *data, const bpgen::Model &model, const bptest::RefNetwork &layout)
{
    for (std::size_t i = 0; i < layout.data.size(); i++)
        if (!std::isfinite(data[i]))
            return "network_data[" + std::to_string(i) + "] is " + std::to_string(data[i]);
    for (std::size_t li = 0; li < model.layers.size(); li++) {
        const int n = model.layers[li].units, order = model.layers[li].feedback;
        const float *a = data + layout.layers[li].coef;
        for (int i = 0; i < n && order > 0; i++)
            if (order == 1 ? BPunstable_1st(a[i]) : BPunstable_2nd(a[i], a[n + i]))
                return "the filter of unit " + std::to_string(i) + " of " + model.layers[li].name + " is unstable";
    }
    return "";
}

// The learning loop's pattern: targets far outside the logistic outputs' range, a ramp that
// only a filter at the edge of stability could follow and a sign that flips every step, which
// pulls the coefficients towards the edges of the stable region and beyond.
std::vector<float> g_in(2, 1.0f), g_target(2, 0.0f);
int g_step = 0;
void abusive_pattern()
{
    const int t = g_step++;
    const float ramp = static_cast<float>(t % 400) * 0.02f - 3.0f, flip = (t % 2) ? 4.0f : -3.0f;
    g_in[1] = static_cast<float>(t % 5) * 0.5f - 1.0f;
    g_target[0] = t < 3000 ? ramp : flip;
    g_target[1] = t < 3000 ? flip : ramp;
}

TEST(Feedback, FiltersStayStableAndValuesFiniteUnderAbusiveTargets)
{
    // Bounded units, so that what is tested is the filters, not the weights' growth alone.
    const std::string text = "network = \"abuse\"\ninputs = 2\n[[layer]]\nname = \"H\"\nunits = 3\nunit = \"tanh\"\n"
                             "feedback = 2\nfrom = [\"$INPUTS\"]\n[[layer]]\nname = \"Out\"\nunits = 2\n"
                             "feedback = 2\nfrom = [\"H\", \"$INPUTS\"]\n[[layer]]\nname = \"Out1\"\nunits = 2\n"
                             "feedback = 1\nfrom = [\"Out\"]\n";
    const std::string work = bptest::make_temp_dir();
    const std::vector<std::string> modules = build(work, {"abuse"}, {text});
    const bpgen::Model model = model_of(text);
    const bptest::RefNetwork layout(model);
    bptest::Module mod(modules[0], model.network);
    float *data = mod.var<float>("network_data");
    *mod.var<float>("BPlearning_rate") = 0.5f;
    mod.fn<int (*)(void)>("init_network")();
    mod.fn<void (*)(float *)>("set_input")(g_in.data());
    mod.fn<void (*)(float *)>("set_target_output")(g_target.data());
    const auto learn = reinterpret_cast<void (*)(unsigned, void (*)(void))>(mod.symbol("network_learn"));
    g_step = 0;
    double largest = 0.0;  // the largest coefficient magnitude reached: the targets did push
    for (int chunk = 0; chunk < 60; chunk++) {
        learn(100, abusive_pattern);
        const std::string bad = unstable_or_infinite(data, model, layout);
        ASSERT_EQ(bad, "") << "after " << g_step << " presentations";
        for (std::size_t li = 0; li < model.layers.size(); li++)
            for (int i = 0; i < model.layers[li].feedback * model.layers[li].units; i++)
                largest = std::max(largest, std::fabs(static_cast<double>(data[layout.layers[li].coef + i])));
    }
    // A second-order filter is stable with |a1| up to 2: the coefficients went to the edges.
    EXPECT_GT(largest, 1.5) << "the targets never drove a coefficient near the edge of the stable region";
    bptest::remove_tree(work);
}

TEST(Feedback, ClearingTheDelaysReplaysASequenceBitForBit)
{
    const std::string text = "network = \"clr\"\ninputs = 3\n[[layer]]\nname = \"H\"\nunits = 4\nfeedback = 2\n"
                             "from = [\"$INPUTS\"]\n[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"linear\"\n"
                             "feedback = 1\nfrom = [\"H\"]\n";
    const std::string work = bptest::make_temp_dir();
    const std::vector<std::string> modules = build(work, {"clr"}, {text});
    const bpgen::Model model = model_of(text);
    const bptest::RefNetwork layout(model);
    bptest::Module mod(modules[0], model.network);
    float *data = mod.var<float>("network_data");
    mod.fn<int (*)(void)>("init_network")();
    const auto forward = mod.fn<void (*)(void)>("propagate_forward");
    const auto clear = reinterpret_cast<void (*)(void)>(mod.symbol("network_clear_delays"));
    std::vector<float> in(3);
    mod.fn<void (*)(float *)>("set_input")(in.data());
    const auto run = [&]() {
        std::vector<float> outs;
        for (int t = 0; t < 12; t++) {
            for (int k = 0; k < 3; k++)
                in[static_cast<std::size_t>(k)] = std::sin(0.7f * static_cast<float>(t + 3 * k));
            forward();
            outs.insert(outs.end(), data + layout.layers.back().act, data + layout.layers.back().act + 2);
        }
        return outs;
    };
    // With every coefficient 0 the delays change nothing; with coefficients they carry the past.
    const std::vector<float> plain = run();
    EXPECT_EQ(run(), plain);
    data[layout.layers[0].coef + 1] = 0.6f;
    data[layout.layers[0].coef + 4 + 2] = -0.3f;
    data[layout.layers[1].coef] = 0.8f;
    clear();
    const std::vector<float> first = run();
    EXPECT_NE(first, plain);
    const std::vector<float> carried = run();
    EXPECT_NE(carried, first) << "the second pass of the sequence starts from the delays the first left";
    // Clearing zeroes the delays and nothing else: the coefficients stay.
    clear();
    EXPECT_EQ(run(), first);
    EXPECT_EQ(data[layout.layers[1].coef], 0.8f);
    bptest::remove_tree(work);
}

TEST(Feedback, SaveFileWithAnUnstableFilterIsRefusedAndChangesNothing)
{
    const std::string work = bptest::make_temp_dir();
    const std::vector<std::string> modules = build(work, {"single"}, {kCases[0].text});
    const bpgen::Model model = model_of(kCases[0].text);
    const bptest::RefNetwork layout(model);
    bptest::Module mod(modules[0], model.network);
    float *data = mod.var<float>("network_data");
    mod.fn<int (*)(void)>("init_network")();
    const int coef = layout.layers[0].coef;
    data[coef] = 0.5f;       // a1 of unit 0
    data[coef + 2] = -0.25f; // a2 of unit 0
    const std::string file = work + "/single.save";
    ASSERT_EQ(mod.fn<int (*)(const char *)>("dump_network")(file.c_str()), 0);

    // The array "Out:a2" holds a2 of units 0 and 1; a2 = 1.5 of unit 1 leaves the stable region.
    std::string bytes = bptest::read_file(file);
    const std::size_t at = bytes.find(std::string("Out:a2") + '\0');
    ASSERT_NE(at, std::string::npos);
    const float bad = 1.5f;
    bytes.replace(at + 7 + 4 + 4, 4, reinterpret_cast<const char *>(&bad), 4);
    bptest::write_file(file, bytes);
    const std::vector<float> before(data, data + layout.data.size());
    EXPECT_EQ(mod.fn<int (*)(const char *)>("load_network")(file.c_str()), -2);
    EXPECT_NE(std::string(mod.fn<char *(*)(void)>("error_string")()).find("Unstable feedback coefficients for unit 1 of single:Out"),
              std::string::npos);
    EXPECT_EQ(std::vector<float>(data, data + layout.data.size()), before);

    // The same through the bare ASCII dump: thresholds, weights, then every a1 and every a2.
    std::string dump = "#\n3\n";
    for (int i = 0; i < 2 + 6; i++)
        dump += "0.25\n";
    dump += "0.5\n0.5\n-0.25\n1.5\n#\n";
    bptest::write_file(work + "/single.dump", dump);
    ASSERT_NE(std::freopen((work + "/single.dump").c_str(), "r", stdin), nullptr);
    EXPECT_EQ(mod.fn<int (*)(void)>("load_ascii_network")(), -2);
    EXPECT_EQ(std::vector<float>(data, data + layout.data.size()), before);
    dump.replace(dump.find("1.5"), 3, "0.4");
    bptest::write_file(work + "/single.dump", dump);
    ASSERT_NE(std::freopen((work + "/single.dump").c_str(), "r", stdin), nullptr);
    EXPECT_EQ(mod.fn<int (*)(void)>("load_ascii_network")(), 0);
    EXPECT_EQ(data[coef + 3], 0.4f);
    bptest::remove_tree(work);
}

TEST(Feedback, TheGeneratorsCheckNamesTheLayersWithFeedback)
{
    const std::string work = bptest::make_temp_dir();
    const std::string file = work + "/fb.toml";
    bptest::write_file(file, kCases[1].text);
    const bptest::RunResult c = bptest::run({bptest::bin_path("gen/bpnet-gen"), "--check", file}, ".");
    EXPECT_EQ(c.status, 0);
    // Trainable: 2 + 8 + 4 (H), 3 + 6 + 3 (G), 2 + 4 + 6 (Out) = 38; state: 19 activations, deltas and
    // net inputs, 21 of thresholds, 72 of connections, 21 of coefficients, 23 delays and
    // coefficient traces, 22 weight traces = 178.
    EXPECT_EQ(c.out, "hidden: 6 inputs, 3 layers, 7 units, 38 trainable values, 178 floats of state; feedback: H (order 2), "
                     "G (order 1)\n");
    bptest::remove_tree(work);
}

}  // namespace
