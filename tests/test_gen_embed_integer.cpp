// The integer forms of the embedded network (bpnet-gen --embed --integer 16|8): random
// descriptions are embedded in both widths with their test programs, compiled as strict C99
// with the undefined-behaviour checks (a signed overflow or a bad shift ends the run) and run,
// within the tolerance of the module's outputs; the generated files name no floating-point
// type; and the overflow proof's bound holds the true worst case of every sum, which inputs at
// the ends of their range then reach under the same checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cmath>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"
#include "gen/embed.h"
#include "gen/emit.h"
#include "gen/model.h"
#include "support/gen_support.h"
#include "support/test_support.h"

#ifndef BPNET_EMBED_COUNT
#define BPNET_EMBED_COUNT 6
#endif

namespace {

using bptest::RunResult;

const std::string kGen = bptest::bin_path("gen/bpnet-gen");

RunResult gen(std::vector<std::string> args)
{
    args.insert(args.begin(), kGen);
    return bptest::run(args, ".");
}

// Compile the embedded file of network `name` in `dir` with `main_file` under the
// undefined-behaviour checks and run it; status 125 with the compiler's messages when it does
// not compile.
RunResult compile_and_run(const std::string &dir, const std::string &name, const std::string &main_file)
{
    const std::string exe = main_file + ".exe";
    const RunResult built = bptest::run({BPNET_C_COMPILER, "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic", "-O1",
                                         "-fsanitize=undefined", "-fno-sanitize-recover=all", "-I" + dir,
                                         dir + "/" + name + "_embed.c", main_file, "-o", exe},
                                        ".");
    if (built.status != 0)
        return {125, built.out, built.err};
    return bptest::run({exe}, ".");
}

// Whether a text names a floating-point type anywhere, comments included.
bool names_floating_point(const std::string &text)
{
    static const std::regex word("\\b(float|double)\\b");
    return std::regex_search(text, word);
}

// A main that runs the forward pass on inputs at the ends of their range: all at the largest,
// all at the smallest, and random signs, so that the first layers' sums reach their extremes.
std::string extreme_inputs_main(const std::string &name)
{
    const std::string u = bpgen::upper_name(name);
    return "#include \"" + name + "_embed.h\"\n"
           "int main(void)\n{\n"
           "    static " + name + "_embed_word work[" + u + "_EMBED_WORK];\n"
           "    " + name + "_embed_value in[" + u + "_EMBED_INPUTS], out[" + u + "_EMBED_OUTPUTS];\n"
           "    const long hi = (1L << (" + u + "_EMBED_INTEGER - 1)) - 1;\n"
           "    unsigned long state = 12345u;\n"
           "    int t, i;\n"
           "    " + name + "_embed_clear(work);\n"
           "    for (t = 0; t < 64; t++) {\n"
           "        for (i = 0; i < " + u + "_EMBED_INPUTS; i++) {\n"
           "            state = state * 6364136223846793005ul + 1442695040888963407ul;\n"
           "            in[i] = (" + name + "_embed_value)(t == 0 ? hi : t == 1 ? -hi - 1 : (state >> 40) & 1 ? hi : -hi - 1);\n"
           "        }\n"
           "        " + name + "_embed_forward(work, in, out);\n"
           "    }\n"
           "    return 0;\n}\n";
}

// A main around the generated test program's vectors: each output within half a unit of its
// last place of the module's (one more at the expected outputs' 32 fraction bits), or the
// type's largest value where the module's output is beyond it; it prints how many it checked.
std::string exact_outputs_main(const std::string &name)
{
    const std::string u = bpgen::upper_name(name);
    return "#define main generated_main\n#include \"" + name + "_embed_test.c\"\n#undef main\n"
           "#include <stdio.h>\n"
           "int main(void)\n{\n"
           "    static " + name + "_embed_word work[" + u + "_EMBED_WORK];\n"
           "    " + name + "_embed_value out[" + u + "_EMBED_OUTPUTS];\n"
           "    const int s = EXPECTED_FRAC_BITS - " + u + "_EMBED_OUT_FRAC_BITS;\n"
           "    const long hi = (1L << (" + u + "_EMBED_INTEGER - 1)) - 1;\n"
           "    long checked = 0;\n"
           "    int t, j;\n"
           "    (void)generated_main;\n"
           "    " + name + "_embed_clear(work);\n"
           "    for (t = 0; t < TESTS; t++) {\n"
           "        " + name + "_embed_forward(work, inputs[t], out);\n"
           "        for (j = 0; j < " + u + "_EMBED_OUTPUTS; j++, checked++) {\n"
           "            const int64_t got = (int64_t)out[j] * ((int64_t)1 << s), want = expected[t][j];\n"
           "            const int64_t d = got > want ? got - want : want - got;\n"
           "            if (d > ((int64_t)1 << (s - 1)) + 1 && !(out[j] == hi && want > got)) {\n"
           "                printf(\"test %d output %d: %ld, the module %lld / 2^%d\\n\", t, j, (long)out[j], (long long)want, EXPECTED_FRAC_BITS);\n"
           "                return 1;\n"
           "            }\n"
           "        }\n"
           "    }\n"
           "    printf(\"%ld outputs\\n\", checked);\n"
           "    return 0;\n}\n";
}

TEST(EmbedInteger, RandomDescriptionsAreWithinToleranceWithoutFloatingPoint)
{
    const int count = bptest::scaled(BPNET_EMBED_COUNT);
    const std::string work = bptest::make_temp_dir();
    struct Case {
        std::string description, name, failure;
        int bits = 16;
        bool feedback = false;
    };
    std::vector<Case> cases(static_cast<std::size_t>(2 * count));
    // Initial values up to 0.1 and up to 1 in size; beyond, the 8-bit form's rounding can carry
    // through a deep chain of steep units to whole outputs (bpnet-gen(1)).
    const char *const ranges[] = {"0.1", "1"};
    for (int i = 0; i < count; i++) {
        std::mt19937_64 rng(8100 + static_cast<std::uint64_t>(i));
        const std::string text = bptest::random_description(rng, 5, 30, i % 4 == 3);
        bpgen::Error error;
        const std::string path = work + "/net" + std::to_string(i) + ".toml";
        bptest::write_file(path, text);
        const auto m = bpgen::parse_description(text, path, error);
        ASSERT_TRUE(m.has_value()) << error.text;
        for (const int bits : {16, 8}) {
            Case &c = cases[static_cast<std::size_t>(2 * i + (bits == 8 ? 1 : 0))];
            c.description = path;
            c.name = m->network;
            c.bits = bits;
            for (const bpgen::Layer &l : m->layers)
                c.feedback = c.feedback || l.feedback > 0;
        }
    }

    // Embed, check the texts, compile and run, two at a time.
    std::atomic<int> next{0};
    int feedback_refused = 0, ran = 0;
    std::atomic<int> refused{0}, passed{0};
    const auto worker = [&]() {
        for (int i = next++; i < 2 * count; i = next++) {
            Case &c = cases[static_cast<std::size_t>(i)];
            const std::string dir = work + "/int" + std::to_string(i);
            const RunResult r = gen({"--embed", c.description, "--integer", std::to_string(c.bits), "--test", "32",
                                     "--range", ranges[(i / 2) % 2], "-o", dir});
            if (c.feedback) {
                // Refused with its reason, and nothing written.
                if (r.status != 1 || r.err.find("feedback") == std::string::npos || std::filesystem::exists(dir))
                    c.failure = "a network with feedback was not refused: " + r.out + r.err;
                else
                    refused++;
                continue;
            }
            if (r.status != 0) {
                c.failure = "bpnet-gen --embed --integer failed: " + r.err;
                continue;
            }
            for (const char *file : {"_embed.h", "_embed.c", "_embed_test.c"})
                if (names_floating_point(bptest::read_file(dir + "/" + c.name + file)))
                    c.failure += c.name + file + " names a floating-point type\n";
            RunResult t = compile_and_run(dir, c.name, dir + "/" + c.name + "_embed_test.c");
            if (t.status != 0 || t.out.find("agrees on") == std::string::npos) {
                c.failure += "test program: status " + std::to_string(t.status) + "\n" + t.out + t.err;
                continue;
            }
            bptest::write_file(dir + "/extreme.c", extreme_inputs_main(c.name));
            t = compile_and_run(dir, c.name, dir + "/extreme.c");
            if (t.status != 0)
                c.failure += "extreme inputs: status " + std::to_string(t.status) + "\n" + t.out + t.err;
            else
                passed++;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    int failures = 0;
    for (const Case &c : cases) {
        EXPECT_EQ(c.failure, "") << c.description << " (" << c.bits << " bits):\n"
                                 << bptest::read_file(c.description);
        failures += c.failure.empty() ? 0 : 1;
        feedback_refused += c.feedback ? 1 : 0;
        ran += c.feedback ? 0 : 1;
    }
    EXPECT_EQ(refused.load(), feedback_refused);
    EXPECT_EQ(passed.load(), ran);
    EXPECT_GT(ran, 0);
    if (failures == 0)
        bptest::remove_tree(work);
}

// A one-input, one-unit network whose unit reads its input unchanged (weight 1, threshold 0):
// its output is the unit function alone, and with inputs on a grid the net inputs are exact,
// so every output must be the module's, rounded to the output scale (within half a unit of
// the last place, or saturated at the type's largest), over the table, its every boundary and beyond its saturation, for each kind
// the integer form computes exactly and in both widths. The inputs come from --inputs, which
// is also checked to set the input scale from their range.
TEST(EmbedInteger, OneUnitGivesTheModulesUnitFunctionRounded)
{
    const std::string work = bptest::make_temp_dir();
    const std::string dump = work + "/probe.txt";
    bptest::write_file(dump, "#\n0\n0.0\n1.0\n\n#\n");
    std::string rows = "x,target\n";
    // Every entry's boundaries (k - 1/2)/64 and points between, to 10.15625 each side.
    for (int k = -1300; k <= 1300; k++)
        rows += std::to_string(k / 128.0) + ",0\n";
    bptest::write_file(work + "/grid.csv", rows);
    int checked = 0;
    for (const char *kind : {"logistic", "centred", "tanh", "linear", "relu"}) {
        for (const int bits : {16, 8}) {
            const std::string name = std::string("probe_") + kind + std::to_string(bits);
            const std::string toml = work + "/" + name + ".toml";
            bptest::write_file(toml, "network = \"" + name + "\"\ninputs = 1\n[[layer]]\nname = \"Out\"\nunits = 1\nunit = \"" +
                                         kind + "\"\nfrom = [\"$INPUTS\"]\n");
            const std::string dir = work + "/" + name;
            const RunResult r = gen({"--embed", toml, "--weights", dump, "--integer", std::to_string(bits), "--inputs",
                                     work + "/grid.csv", "--test", "2601", "-o", dir});
            ASSERT_EQ(r.status, 0) << r.err;
            // Inputs up to 10.15625 in size: 11 fraction bits in 16, 3 in 8.
            const std::string header = bptest::read_file(dir + "/" + name + "_embed.h");
            const std::string u = bpgen::upper_name(name);
            EXPECT_NE(header.find(u + "_EMBED_IN_FRAC_BITS " + std::to_string(bits == 16 ? 11 : 3) + "\n"),
                      std::string::npos)
                << header;
            // The test program's vectors, with a main that allows half a unit of the output's
            // last place (and one for the expected outputs' own rounding at their 32 fraction
            // bits), or the type's largest value for an output beyond it.
            bptest::write_file(dir + "/exact.c", exact_outputs_main(name));
            const std::string exe = dir + "/exact";
            const RunResult built = bptest::run({BPNET_C_COMPILER, "-std=c99", "-O1", "-I" + dir,
                                                 dir + "/" + name + "_embed.c", dir + "/exact.c", "-o", exe},
                                                ".");
            ASSERT_EQ(built.status, 0) << built.err;
            const RunResult t = bptest::run({exe}, ".");
            EXPECT_EQ(t.status, 0) << name << ": " << t.out << t.err;
            EXPECT_NE(t.out.find("2601 outputs"), std::string::npos) << t.out;
            checked++;
        }
    }
    EXPECT_EQ(checked, 10);
    bptest::remove_tree(work);
}

// A threshold so large that the net inputs must be coarser than 32-bit sums can be shifted to:
// the sums are 64-bit, and the pass stays within tolerance and free of overflow under the
// undefined-behaviour checks, on the test vectors and on inputs at the ends of their range.
TEST(EmbedInteger, HugeThresholdGivesSixtyFourBitSums)
{
    const std::string work = bptest::make_temp_dir();
    bptest::write_file(work + "/huge.txt", "#\n0\n1e10\n1.0\n\n#\n");
    bptest::write_file(work + "/huge.toml",
                       "network = \"huge\"\ninputs = 1\n[[layer]]\nname = \"Out\"\nunits = 1\nunit = \"linear\"\n"
                       "from = [\"$INPUTS\"]\n");
    const RunResult r = gen({"--embed", work + "/huge.toml", "--weights", work + "/huge.txt", "--integer", "16", "--test",
                             "16", "-o", work + "/out"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("sums in 64 bits"), std::string::npos) << r.out;
    RunResult t = compile_and_run(work + "/out", "huge", work + "/out/huge_embed_test.c");
    EXPECT_EQ(t.status, 0) << t.out << t.err;
    bptest::write_file(work + "/out/extreme.c", extreme_inputs_main("huge"));
    t = compile_and_run(work + "/out", "huge", work + "/out/extreme.c");
    EXPECT_EQ(t.status, 0) << t.out << t.err;
    bptest::remove_tree(work);
}

// Options of the integer form outside it, or against it, are refused before anything is done;
// an inputs file that is not one is refused and nothing is written.
TEST(EmbedInteger, WrongOptionsAndInputsAreRefused)
{
    const std::string work = bptest::make_temp_dir();
    const std::string toml = std::string(BPNET_SOURCE_DIR) + "/examples/networks/digits.toml";
    const std::vector<std::vector<std::string>> wrong = {
        {"--embed", toml, "--integer", "12", "-o", work + "/a"},
        {"--embed", toml, "--in-frac-bits", "7", "-o", work + "/b"},
        {"--embed", toml, "--inputs", work + "/x.csv", "-o", work + "/c"},
        {"--embed", toml, "--integer", "16", "--accumulate", "float", "-o", work + "/d"},
        {"--embed", toml, "--integer", "8", "--in-frac-bits", "31", "-o", work + "/e"},
    };
    for (const auto &args : wrong) {
        const RunResult r = gen(args);
        EXPECT_EQ(r.status, 1) << args[2] << ": " << r.err;
        EXPECT_FALSE(std::filesystem::exists(args.back())) << args[2];
    }
    bptest::write_file(work + "/short.csv", "1,2,3\n");
    bptest::write_file(work + "/words.csv", "a,b\n1,x\n");
    for (const char *file : {"/short.csv", "/words.csv", "/missing.csv"}) {
        const RunResult r = gen({"--embed", toml, "--integer", "16", "--inputs", work + file, "-o", work + "/out"});
        EXPECT_EQ(r.status, 1) << file;
        EXPECT_NE(r.err.find(file + 1), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(work + "/out")) << file;
    }
    bptest::remove_tree(work);
}

// The overflow proof: for random descriptions with random values (up to 3 in size, so that
// sums can outgrow 32 bits), every connection's sum bound holds the largest sum any unit can
// form, its weights' sizes times the largest activation of the source (and, its products
// shifted as they are added, that sum shifted and one per product), and every layer's net
// input bound holds the sum of its connections' shifted bounds and its largest threshold, and
// fits the 32-bit word.
TEST(EmbedInteger, OverflowBoundHoldsTheTrueWorstCase)
{
    BPinit_sigmoid_table();
    const int count = bptest::scaled(40);
    int wide = 0;
    for (int i = 0; i < count; i++) {
        std::mt19937_64 rng(8300 + static_cast<std::uint64_t>(i));
        const std::string text = bptest::random_description(rng, 5, 40);
        bpgen::Error error;
        const auto m = bpgen::parse_description(text, "random.toml", error);
        ASSERT_TRUE(m.has_value()) << error.text;
        const std::vector<bpgen::Connection> conns = bpgen::connections(*m);
        bpgen::EmbedValues v;
        std::uniform_real_distribution<float> value(-3.0f, 3.0f);
        for (const bpgen::Layer &l : m->layers) {
            v.thresholds.emplace_back(static_cast<std::size_t>(l.units));
            for (float &t : v.thresholds.back())
                t = value(rng);
            v.largest_activation.push_back(std::fabs(value(rng)) * 10.0f);
        }
        // Every fifth network has huge output thresholds: its output net inputs must be so
        // coarse that the sums feeding them are shifted by more than 32-bit sums allow.
        if (i % 5 == 4)
            for (float &t : v.thresholds.back())
                t *= 1e10f;
        for (const bpgen::Connection &c : conns) {
            v.weights.emplace_back(static_cast<std::size_t>(c.count));
            for (float &w : v.weights.back())
                w = value(rng);
        }
        v.sigmoid.assign(bp_sigmoid::sigmoid_array, bp_sigmoid::sigmoid_array + 1024);
        for (auto &s : v.saturation) {
            s[0] = 1.0f;
            s[1] = -1.0f;
        }
        for (const int bits : {16, 8}) {
            bpgen::IntegerPlan p;
            std::string why;
            ASSERT_TRUE(bpgen::integer_plan(*m, v, bits, bpgen::default_in_frac(bits), p, why)) << why << "\n" << text;
            wide += p.wide ? 1 : 0;
            for (std::size_t k = 0; k < conns.size(); k++) {
                const bpgen::IntegerConnection &c = p.connections[k];
                const std::int64_t src_max = conns[k].source == bpgen::kInputsSource
                                                 ? p.qmax + 1
                                                 : p.layers[static_cast<std::size_t>(conns[k].source)].act_max;
                // The largest sum a unit forms: its fan_in largest |weights|, each times the
                // source's largest activation (every weight row of a field has fan_in weights).
                std::vector<std::int64_t> sizes;
                for (const std::int64_t w : c.weights)
                    sizes.push_back(w < 0 ? -w : w);
                std::sort(sizes.rbegin(), sizes.rend());
                std::int64_t worst = 0;
                for (std::size_t j = 0; j < sizes.size() && j < static_cast<std::size_t>(c.fan_in); j++)
                    worst += sizes[j] * src_max;
                EXPECT_GE(c.sum_bound, worst) << conns[k].array << "\n" << text;
                // Products shifted as they are added: each floor loses less than one.
                EXPECT_GE(c.acc_bound, (worst >> c.pre) + (c.pre > 0 ? c.fan_in : 0)) << conns[k].array;
                EXPECT_LE(c.pre, c.shift);
                // A 32-bit sum only where the bound with its rounding fits.
                if (!p.wide) {
                    EXPECT_LE(c.acc_bound + (std::int64_t{1} << std::min(c.shift - c.pre, 40)), bpgen::kIntegerSumLimit);
                }
            }
            for (std::size_t li = 0; li < m->layers.size(); li++) {
                const bpgen::IntegerLayer &L = p.layers[li];
                std::int64_t worst = 0;
                for (std::size_t k = 0; k < conns.size(); k++)
                    if (conns[k].layer == static_cast<int>(li)) {
                        const bpgen::IntegerConnection &c = p.connections[k];
                        worst += c.parts * ((c.acc_bound >> std::min(c.shift - c.pre, 62)) + 1);
                    }
                for (const std::int64_t t : L.thresholds)
                    EXPECT_LE(worst + (t < 0 ? -t : t), L.net_bound);
                EXPECT_LE(L.net_bound, bpgen::kIntegerNetLimit);
            }
        }
    }
    std::printf("%d of %d plans sum in 64 bits\n", wide, 2 * count);
    EXPECT_GT(wide, 0);
}

}  // namespace
