// The embedded form (bpnet-gen --embed) against the network module: random descriptions are
// embedded with their test programs, compiled as strict C99 and as C++ and run, so every unit
// kind and every connection kind is checked bit for bit against the module's own outputs; the
// float form's table offset is checked against the library's kernel; files that only the embed
// path reads are refused without a trace.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bp/BpSim.h"
#include "gen/model.h"
#include "support/gen_support.h"
#include "support/test_support.h"

#ifndef BPNET_EMBED_COUNT
#define BPNET_EMBED_COUNT 6
#endif

namespace {

namespace fs = std::filesystem;
using bptest::RunResult;

const std::string kGen = bptest::bin_path("gen/bpnet-gen");
const std::string kSource = BPNET_SOURCE_DIR;

RunResult gen(std::vector<std::string> args)
{
    args.insert(args.begin(), kGen);
    return bptest::run(args, ".");
}

// Compile the embedded files of network `name` in `dir` with the test program and run it; the
// compiler's messages when it fails (status 125).
RunResult compile_and_run(const std::string &dir, const std::string &name, bool cxx)
{
    const std::string exe = dir + (cxx ? "/test-cxx" : "/test-c");
    std::vector<std::string> cc;
    if (cxx)
        cc = {BPNET_CXX_COMPILER, "-x", "c++", "-Wall", "-Wextra", "-Werror"};
    else
        cc = {BPNET_C_COMPILER, "-std=c99", "-Wall", "-Wextra", "-Werror", "-pedantic"};
    for (const std::string &a : std::vector<std::string>{"-O2", "-I" + dir, dir + "/" + name + "_embed.c", dir + "/" + name + "_embed_test.c",
                                std::string("-o"), exe})
        cc.push_back(a);
    const RunResult built = bptest::run(cc, ".");
    if (built.status != 0)
        return {125, built.out, built.err};
    return bptest::run({exe}, ".");
}

// The largest deviation a float form's test program reports, or -1.
double reported_deviation(const std::string &out)
{
    const std::size_t at = out.find("largest deviation from the module ");
    return at == std::string::npos ? -1.0 : std::strtod(out.c_str() + at + 34, nullptr);
}

std::string network_of(const std::string &description_text, const std::string &path, bpgen::Model &model)
{
    bpgen::Error error;
    const auto m = bpgen::parse_description(description_text, path, error);
    if (!m)
        return error.text;
    model = *m;
    return "";
}

TEST(Embed, RandomDescriptionsGiveTheModulesBitsAsC99AndCxx)
{
    const int count = bptest::scaled(BPNET_EMBED_COUNT);
    const std::string work = bptest::make_temp_dir();
    struct Case {
        std::string text, description, name;
        bpgen::Model model;
        std::string failure;
        double deviation = -1.0;
    };
    std::vector<Case> cases(static_cast<std::size_t>(count));
    const float ranges[] = {0.1f, 1.0f, 3.0f};
    for (int i = 0; i < count; i++) {
        Case &c = cases[static_cast<std::size_t>(i)];
        std::mt19937_64 rng(7100 + static_cast<std::uint64_t>(i));
        c.text = bptest::random_description(rng, 5, 30);
        c.description = work + "/net" + std::to_string(i) + ".toml";
        bptest::write_file(c.description, c.text);
        c.failure = network_of(c.text, c.description, c.model);
        c.name = c.model.network;
    }

    // Embed, compile and run, two at a time: the exact form as C99 and as C++, and for every
    // other description the float form as well.
    std::atomic<int> next{0};
    const auto worker = [&]() {
        for (int i = next++; i < count; i = next++) {
            Case &c = cases[static_cast<std::size_t>(i)];
            if (!c.failure.empty())
                continue;
            const std::string dir = work + "/exact" + std::to_string(i);
            const std::string range = std::to_string(ranges[i % 3]);
            RunResult r = gen({"--embed", c.description, "--test", "64", "--range", range, "--seed",
                               std::to_string(900 + i), "-o", dir});
            if (r.status != 0) {
                c.failure = "bpnet-gen --embed failed: " + r.err;
                continue;
            }
            for (const bool cxx : {false, true}) {
                r = compile_and_run(dir, c.name, cxx);
                if (r.status != 0 || r.out.find("bit for bit") == std::string::npos) {
                    c.failure = std::string(cxx ? "C++" : "C99") + " test program: status " + std::to_string(r.status) +
                                "\n" + r.out + r.err;
                    break;
                }
            }
            if (!c.failure.empty() || i % 2 != 0)
                continue;
            const std::string fdir = work + "/float" + std::to_string(i);
            r = gen({"--embed", c.description, "--accumulate", "float", "--test", "64", "--range", range, "-o", fdir});
            if (r.status == 0)
                r = compile_and_run(fdir, c.name, false);
            c.deviation = reported_deviation(r.out);
            if (r.status != 0 || c.deviation < 0.0)
                c.failure = "float form: status " + std::to_string(r.status) + "\n" + r.out + r.err;
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();

    std::set<std::string> kinds;
    double largest = 0.0;
    int failures = 0;
    for (const Case &c : cases) {
        EXPECT_EQ(c.failure, "") << c.description << ":\n" << c.text;
        failures += c.failure.empty() ? 0 : 1;
        largest = std::max(largest, c.deviation);
        for (const bpgen::Layer &l : c.model.layers) {
            kinds.insert(bpgen::unit_name(l.unit));
            for (const bpgen::Link &k : l.links)
                kinds.insert(std::string(k.kind == bpgen::Kind::full      ? "full"
                                         : k.kind == bpgen::Kind::field1d ? "1-D field"
                                                                          : "2-D field") +
                             (k.kind != bpgen::Kind::full && k.shared ? " shared" : ""));
        }
    }
    std::string tally;
    for (const std::string &k : kinds)
        tally += " [" + k + "]";
    std::printf("Embedded %d descriptions; kinds:%s; the float form's largest deviation %.9g\n", count, tally.c_str(),
                largest);
    // The sample must reach every unit kind and every connection kind.
    if (count >= 10) {
        EXPECT_EQ(kinds.size(), bpgen::kUnitKindCount + 5) << tally;
    }
    if (failures == 0)
        bptest::remove_tree(work);
}

// A one-unit network whose unit reads its input unchanged (weight 1, threshold 0): its output is
// the unit function alone, so the float form's table offset, found without double, must pick
// the entry the library's kernel picks, at every boundary between entries.
TEST(Embed, FloatFormsTableOffsetIsTheLibrarys)
{
    const std::string work = bptest::make_temp_dir();
    const std::string dump = work + "/probe.txt";
    bptest::write_file(dump, "#\n0\n0.0\n1.0\n\n#\n");
    for (const char *form : {"exact", "float"}) {
        const std::string name = std::string("probe_") + form;
        const std::string toml = work + "/" + name + ".toml";
        bptest::write_file(toml, "network = \"" + name + "\"\ninputs = 1\n[[layer]]\nname = \"Out\"\nunits = 1\nfrom = [\"$INPUTS\"]\n");
        const RunResult r = gen({"--embed", toml, "--weights", dump, "--accumulate",
                                 std::string(form) == "exact" ? "double" : "float", "-o", work});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const std::string so = work + "/probes.so";
    const RunResult built = bptest::run({BPNET_C_COMPILER, "-std=c99", "-O2", "-shared", "-fPIC", "-I" + work,
                                         work + "/probe_exact_embed.c", work + "/probe_float_embed.c", "-o", so},
                                        ".");
    ASSERT_EQ(built.status, 0) << built.err;
    bptest::Module probes(so, "probe");
    using Forward = void (*)(float *, const float *, float *);
    const auto exact = probes.fn<Forward>("exact_embed_forward");
    const auto single = probes.fn<Forward>("float_embed_forward");

    // Inputs: a few floats each side of every entry's boundary (k - 0.5)/64, the entries' own
    // points k/64, and random values over the table and beyond.
    std::vector<float> inputs;
    for (int k = -520; k <= 520; k++) {
        for (const float centre : {static_cast<float>((k - 0.5) / 64.0), static_cast<float>(k / 64.0)}) {
            float below = centre, above = centre;
            inputs.push_back(centre);
            for (int s = 0; s < 4; s++) {
                below = std::nextafter(below, -100.0f);
                above = std::nextafter(above, 100.0f);
                inputs.push_back(below);
                inputs.push_back(above);
            }
        }
    }
    std::mt19937_64 rng(31);
    std::uniform_real_distribution<float> wide(-9.0f, 9.0f);
    for (int i = 0; i < 200000; i++)
        inputs.push_back(wide(rng));

    BPinit_sigmoid_table();
    std::set<std::uint32_t> seen;
    float work_area[1];
    for (const float v : inputs) {
        float library = v;
        const float zero = 0.0f;
        BPsig1(&library, &zero, 1);
        float e = 0.0f, f = 0.0f;
        exact(work_area, &v, &e);
        single(work_area, &v, &f);
        ASSERT_EQ(std::memcmp(&e, &library, 4), 0) << "input " << v << ": exact form " << e << ", library " << library;
        ASSERT_EQ(std::memcmp(&f, &library, 4), 0) << "input " << v << ": float form " << f << ", library " << library;
        std::uint32_t bits;
        std::memcpy(&bits, &e, 4);
        seen.insert(bits);
    }
    // Every table entry and both saturated values came up.
    EXPECT_EQ(seen.size(), 1026u);
    bptest::remove_tree(work);
}

// A changed weight in the embedded file makes its test program fail with the first difference:
// the proof can fail.
TEST(Embed, TestProgramCatchesAChangedWeight)
{
    const std::string work = bptest::make_temp_dir();
    const RunResult r = gen({"--embed", kSource + "/network/nn.varonel", "--weights",
                             bptest::data_path("sample.save"), "--test", "30", "-o", work});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("constant data 4,344 bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("working storage 24 bytes (6 floats)"), std::string::npos) << r.out;
    RunResult run = compile_and_run(work, "nn", false);
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    // The first weight of the output layer's connection from H2, a quarter higher (a change of
    // one bit moves no output across a table entry here).
    std::string text = bptest::read_file(work + "/nn_embed.c");
    const std::size_t array = text.find("static const float w1[");
    ASSERT_NE(array, std::string::npos);
    const std::size_t start = text.find("    ", array) + 4, end = text.find(',', start);
    float w = std::strtof(text.substr(start, end - start).c_str(), nullptr);
    w += 0.25f;
    char literal[40];
    std::snprintf(literal, sizeof literal, "%.9gf", static_cast<double>(w));
    text.replace(start, end - start, literal);
    bptest::write_file(work + "/nn_embed.c", text);
    run = compile_and_run(work, "nn", false);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("the module gives"), std::string::npos) << run.out;
    bptest::remove_tree(work);
}

// The bare ASCII dump of a save file gives the save file's values (the sample's values all
// survive the dump's twelve decimals).
TEST(Embed, AsciiDumpGivesTheSameFileAsItsSaveFile)
{
    const std::string work = bptest::make_temp_dir();
    const RunResult dump =
        bptest::run({bptest::bin_path("tools/nn-ascii/nn-ascii"), "export", bptest::data_path("sample.save")}, ".");
    ASSERT_EQ(dump.status, 0) << dump.err;
    bptest::write_file(work + "/dump.txt", "exported by nn-ascii\n" + dump.out);
    const std::string nn = kSource + "/network/nn.varonel";
    RunResult r = gen({"--embed", nn, "--weights", bptest::data_path("sample.save"), "--test", "8", "-o", work + "/save"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = gen({"--embed", nn, "--weights", work + "/dump.txt", "--test", "8", "-o", work + "/dump"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bptest::read_file(work + "/dump/nn_embed.c"), bptest::read_file(work + "/save/nn_embed.c"));
    // And not the initial values.
    r = gen({"--embed", nn, "-o", work + "/initial"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(bptest::read_file(work + "/initial/nn_embed.c"), bptest::read_file(work + "/save/nn_embed.c"));
    bptest::remove_tree(work);
}

// Every file the embed path alone reads, when it is wrong: refused with a message, status 1,
// the output folder's earlier files untouched and no temporary file left.
TEST(Embed, WrongWeightFilesAreRefusedAndNothingIsWritten)
{
    const std::string work = bptest::make_temp_dir();
    const std::string tmp = work + "/tmp";
    fs::create_directories(tmp);
    const std::string nn = kSource + "/network/nn.varonel";
    const std::string tri = bptest::data_path("networks/tri.toml");
    const std::string save = bptest::read_file(bptest::data_path("sample.save"));
    bptest::write_file(work + "/cut.save", save.substr(0, 400));
    const RunResult dump =
        bptest::run({bptest::bin_path("tools/nn-ascii/nn-ascii"), "export", bptest::data_path("sample.save")}, ".");
    ASSERT_EQ(dump.status, 0);
    bptest::write_file(work + "/nn.txt", dump.out);
    bptest::write_file(work + "/cut.txt", dump.out.substr(0, dump.out.size() / 2));
    // nn with a hidden layer of 5 units: the same name, another shape.
    std::string other = bptest::read_file(nn);
    const std::size_t units = other.find("units = 4");
    ASSERT_NE(units, std::string::npos);
    other.replace(units, 9, "units = 5");
    bptest::write_file(work + "/nn5.toml", other);

    struct Refusal {
        std::string description, weights, message;
    };
    const Refusal refusals[] = {
        {tri, bptest::data_path("sample.save"), "is a save file of the network nn, not of tri"},
        {nn, work + "/cut.save", ""},
        {work + "/nn5.toml", bptest::data_path("sample.save"), ""},
        {tri, work + "/nn.txt", "the dump holds 62 values after its iteration count, the network tri has"},
        {nn, work + "/cut.txt", "not a bare ASCII dump of nn"},
        {nn, work + "/missing.save", "No such file"},
    };
    setenv("TMPDIR", tmp.c_str(), 1);
    for (const Refusal &f : refusals) {
        SCOPED_TRACE(f.description + " with " + f.weights);
        const std::string out = work + "/out";
        fs::remove_all(out);
        fs::create_directories(out);
        bpgen::Model model;
        ASSERT_EQ(network_of(bptest::read_file(f.description), f.description, model), "");
        const std::string kept = out + "/" + model.network + "_embed.c";
        bptest::write_file(kept, "earlier file\n");
        const RunResult r = gen({"--embed", f.description, "--weights", f.weights, "--test", "4", "-o", out});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("bpnet-gen: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(bptest::read_file(kept), "earlier file\n");
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator{}), 1);
        EXPECT_TRUE(fs::is_empty(tmp)) << "a temporary file is left in " << tmp;
    }
    unsetenv("TMPDIR");
    bptest::remove_tree(work);
}

// Layers with feedback keep their delays in the caller's working storage: a sequence of test
// vectors after one clearing gives the module's bits, with trained (nonzero) coefficients.
TEST(Embed, FeedbackLayersKeepTheirDelaysInWork)
{
    const std::string work = bptest::make_temp_dir();
    const std::string description = work + "/fb.toml";
    bptest::write_file(description,
                       "network = \"fb\"\ninputs = [3, 2]\n[[layer]]\nname = \"H\"\nshape = [2, 1]\nunit = \"tanh\"\n"
                       "feedback = 2\nfrom = [{ source = \"$INPUTS\", field = [2, 2], overlap = 1 }]\n"
                       "[[layer]]\nname = \"G\"\nunits = 3\nunit = \"quadratic\"\nfeedback = 1\n"
                       "from = [{ source = \"$INPUTS\", field = 2 }]\n"
                       "[[layer]]\nname = \"Out\"\nunits = 2\nunit = \"linear\"\nfeedback = 2\nfrom = [\"H\", \"G\"]\n");
    // A bare dump: per layer from the output back its thresholds, weights, then a1 and a2.
    std::string dump = "#\n7\n";
    unsigned s = 12345;
    const auto value = [&s](double scale) {
        s = s * 1103515245u + 12345u;
        return std::to_string(scale * (static_cast<double>((s >> 8) & 0xFFFF) / 65536.0 - 0.5)) + "\n";
    };
    const int blocks[][3] = {{2, 10, 2}, {3, 6, 1}, {2, 8, 2}};  // Out, G, H: units, weights, order
    for (const auto &b : blocks) {
        for (int i = 0; i < b[0] + b[1]; i++)
            dump += value(1.0);
        for (int i = 0; i < b[0]; i++)
            dump += std::to_string(0.9 - 0.2 * i) + "\n";  // a1: near the edge, so the past matters
        for (int i = 0; i < b[0] && b[2] == 2; i++)
            dump += "-0.5\n";
    }
    bptest::write_file(work + "/fb.dump", dump + "#\n");
    for (const bool exact : {true, false}) {
        const std::string dir = work + (exact ? "/exact" : "/float");
        std::vector<std::string> args = {"--embed", description, "--weights", work + "/fb.dump", "--test", "40", "-o", dir};
        if (!exact)
            args.insert(args.begin() + 2, {"--accumulate", "float"});
        RunResult r = gen(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(bptest::read_file(dir + "/fb_embed.c").find("filter_units(a2, f2, 2, work + "), std::string::npos);
        r = compile_and_run(dir, "fb", false);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        if (exact) {
            EXPECT_NE(r.out.find("bit for bit"), std::string::npos) << r.out;
        }
    }
    bptest::remove_tree(work);
}

TEST(Embed, OptionsOutsideEmbedAreRefused)
{
    const std::string nn = kSource + "/network/nn.varonel";
    const std::vector<std::vector<std::string>> bad = {
        {"--test", "3", nn, "-o", "x"},
        {"--embed", nn},
        {"--embed", "--shared", nn, "-o", "x"},
        {"--embed", nn, "--accumulate", "half", "-o", "x"},
        {"--embed", nn, "--test", "0", "-o", "x"},
        {"--embed", nn, "--range", "-1", "-o", "x"},
        {"--embed", nn, "--seed", "12x", "-o", "x"},
    };
    for (const auto &args : bad) {
        const RunResult r = gen(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << args[1];
        EXPECT_NE(r.err.find("bpnet-gen: "), std::string::npos);
    }
}

}  // namespace
