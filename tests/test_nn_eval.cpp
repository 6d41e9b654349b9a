// nn-eval end to end: its report is the module's own Pd/Pfa statistics or trace for the same
// network and patterns, followed by a confusion table; errors end with status 1.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/nn.h"
#include "support/test_support.h"

namespace {

const std::string kEval = bptest::bin_path("tools/nn-eval/nn-eval");

struct Pattern {
    float in[2];
    float target[4];
};

// Patterns in all four classes, written to CSV with enough digits to read back exactly.
const std::vector<Pattern> kPatterns = {
    {{0.4f, 0.2f}, {1, 0, 0, 0}},      {{-0.4f, 0.2f}, {0, 1, 0, 0}},    {{0.0f, -0.2f}, {0, 0, 1, 0}},
    {{0.0f, 0.2f}, {0, 0, 0, 1}},      {{0.55f, 0.05f}, {1, 0, 0, 0}},   {{-0.61f, 0.33f}, {0, 1, 0, 0}},
    {{0.13f, -0.47f}, {0, 0, 1, 0}},   {{-0.02f, 0.26f}, {0, 0, 0, 1}},  {{0.9f, -0.9f}, {0.2f, 0.1f, 0.7f, 0}},
    {{-0.99f, -0.99f}, {0, 0, 0, 0}},  {{0.31f, 0.71f}, {0, 0.5f, 0, 0.5f}},
};

std::string csv_of(const std::vector<Pattern> &patterns)
{
    std::string text = "# x0,x1,t0,t1,t2,t3\n\n";
    for (const Pattern &p : patterns) {
        char line[256];
        std::snprintf(line, sizeof line, "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", static_cast<double>(p.in[0]),
                      static_cast<double>(p.in[1]), static_cast<double>(p.target[0]),
                      static_cast<double>(p.target[1]), static_cast<double>(p.target[2]),
                      static_cast<double>(p.target[3]));
        text += line;
    }
    return text;
}


// The module's own reports for the save file and patterns, run in this process.
float g_input[2];
float g_target[4];
const std::vector<Pattern> *g_source = nullptr;
std::size_t g_next = 0;

void next_pattern()
{
    const Pattern &p = (*g_source)[g_next++ % g_source->size()];
    std::memcpy(g_input, p.in, sizeof g_input);
    std::memcpy(g_target, p.target, sizeof g_target);
}

void load_network(const std::string &save_file)
{
    ASSERT_EQ(nn_init_network(), 0);
    ASSERT_EQ(nn_load_network(save_file.c_str()), 0) << error_string;
    nn_set_input(g_input);
    nn_set_target_output(g_target);
}

std::string module_pdpfa(const std::vector<Pattern> &patterns, float threshold)
{
    g_source = &patterns;
    g_next = 0;
    return bptest::capture_stdout(
        [&] { network_forward_pdpfa(static_cast<unsigned>(patterns.size()), next_pattern, threshold); });
}

std::string module_trace(const std::vector<Pattern> &patterns)
{
    g_source = &patterns;
    g_next = 0;
    return bptest::capture_stdout([&] { network_forward_print(static_cast<int>(patterns.size()), next_pattern); });
}

// Index of the largest of four values, the first on ties.
int largest(const float *v)
{
    int best = 0;
    for (int j = 1; j < 4; j++)
        if (v[j] > v[best])
            best = j;
    return best;
}

// The confusion table nn-eval prints, from this process's own forward passes.
std::string expected_confusion(const std::vector<Pattern> &patterns)
{
    int table[4][4] = {};
    for (const Pattern &p : patterns) {
        std::memcpy(g_input, p.in, sizeof g_input);
        nn_propagate_forward();
        table[largest(p.target)][largest(nn_get_output())]++;
    }
    std::string text =
        "\nConfusion (rows: class of the largest target, columns: class of the largest output):\n"
        "class          0         1         2         3     total\n";
    char line[128];
    int columns[4] = {}, correct = 0, all = 0;
    for (int r = 0; r < 4; r++) {
        const int row = table[r][0] + table[r][1] + table[r][2] + table[r][3];
        std::snprintf(line, sizeof line, "%5d  %9d %9d %9d %9d %9d\n", r, table[r][0], table[r][1], table[r][2],
                      table[r][3], row);
        text += line;
        for (int c = 0; c < 4; c++)
            columns[c] += table[r][c];
        correct += table[r][r];
        all += row;
    }
    std::snprintf(line, sizeof line, "total  %9d %9d %9d %9d %9d\nCorrect: %d/%d = %f\n", columns[0], columns[1],
                  columns[2], columns[3], all, correct, all, static_cast<double>(correct) / all);
    return text + line;
}

class NnEval : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = bptest::make_temp_dir();
        csv_ = dir_ + "/patterns.csv";
        bptest::write_file(csv_, csv_of(kPatterns));
    }
    void TearDown() override { bptest::remove_tree(dir_); }
    bptest::RunResult eval(std::vector<std::string> args)
    {
        args.insert(args.begin(), kEval);
        return bptest::run(args, dir_);
    }
    std::string dir_;
    std::string csv_;
    const std::string sample_ = bptest::data_path("sample.save");
};

}  // namespace

TEST_F(NnEval, StatisticsAreTheModulesReportThenTheConfusionTable)
{
    load_network(sample_);
    for (float threshold : {0.5f, 0.9f, 1.2f}) {
        const auto r = eval({"--network", sample_, "--data", csv_, "--threshold", std::to_string(threshold)});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::string expected = module_pdpfa(kPatterns, threshold) + "\n" + expected_confusion(kPatterns);
        EXPECT_EQ(r.out, expected) << "threshold " << threshold;
    }
}

TEST_F(NnEval, TraceIsTheModulesTraceThenTheConfusionTable)
{
    load_network(sample_);
    const auto r = eval({"--trace", "--network=" + sample_, "--data=" + csv_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, module_trace(kPatterns) + "\n" + expected_confusion(kPatterns));
}

TEST_F(NnEval, NegativeThresholdActsAsItsSize)
{
    const auto neg = eval({"--network", sample_, "--data", csv_, "--threshold", "-0.9"});
    const auto pos = eval({"--network", sample_, "--data", csv_, "--threshold", "0.9"});
    ASSERT_EQ(neg.status, 0) << neg.err;
    EXPECT_EQ(neg.out, pos.out);
}

TEST_F(NnEval, DefaultSaveFileIsNetworkSaveInTheCurrentFolder)
{
    auto r = eval({"--data", csv_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nn-eval: Unable to open Network.save.\n");

    bptest::write_file(dir_ + "/Network.save", bptest::read_file(sample_));
    r = eval({"--data", csv_});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, eval({"--data", csv_, "--network", sample_}).out);
    EXPECT_NE(r.out.find("\nPd = "), std::string::npos);
}

TEST_F(NnEval, MalformedSaveFileIsRefused)
{
    const std::string bytes = bptest::read_file(sample_);
    bptest::write_file(dir_ + "/short.save", bytes.substr(0, bytes.size() / 2));
    const auto r = eval({"--network", "short.save", "--data", csv_});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("nn-eval: ", 0), 0u) << r.err;
}

TEST_F(NnEval, CsvErrorsNameFileAndLine)
{
    bptest::write_file(dir_ + "/bad.csv", "0.1,0.2,1,0,0,0\n# fine\n0.1,0.2,1,0,0\n");
    auto r = eval({"--network", sample_, "--data", "bad.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("bad.csv:3: ", 0), 0u) << r.err;

    bptest::write_file(dir_ + "/empty.csv", "# nothing here\n\n");
    r = eval({"--network", sample_, "--data", "empty.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "empty.csv: no patterns\n");

    r = eval({"--network", sample_, "--data", "missing.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("missing.csv: ", 0), 0u) << r.err;
}

TEST_F(NnEval, DemonstrationPatterns)
{
    const auto a = eval({"--network", sample_, "--samples", "40", "--sample-seed", "3"});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_NE(a.out.find("\nPfa = "), std::string::npos);
    EXPECT_NE(a.out.find("/40 = "), std::string::npos);
    // The classes come in turn: ten patterns each.
    int rows[4] = {-1, -1, -1, -1};
    for (int c = 0; c < 4; c++) {
        char head[16];
        std::snprintf(head, sizeof head, "\n%5d  ", c);
        const size_t at = a.out.find(head);
        ASSERT_NE(at, std::string::npos) << a.out;
        int v[5];
        ASSERT_EQ(std::sscanf(a.out.c_str() + at + 1, "%*d %d %d %d %d %d", &v[0], &v[1], &v[2], &v[3], &v[4]), 5);
        rows[c] = v[4];
    }
    for (int c = 0; c < 4; c++)
        EXPECT_EQ(rows[c], 10);
    // The same seed gives the same patterns; another seed, others.
    EXPECT_EQ(eval({"--network", sample_, "--samples", "40", "--sample-seed", "3"}).out, a.out);
    EXPECT_NE(eval({"--network", sample_, "--samples", "40", "--sample-seed", "4"}).out, a.out);
    const auto trace = eval({"--network", sample_, "--samples", "5", "--trace"});
    ASSERT_EQ(trace.status, 0) << trace.err;
    EXPECT_NE(trace.out.find("\nIteration: 4\nblack box nn:"), std::string::npos);
    EXPECT_EQ(trace.out.find("\nIteration: 5"), std::string::npos);
}

TEST_F(NnEval, TrainedNetworkBeatsTheUntrainedOne)
{
    const std::string train = bptest::bin_path("tools/nn-train/nn-train");
    const auto t = bptest::run({train, "--iterations", "200000", "--output", "trained.save"}, dir_);
    ASSERT_EQ(t.status, 0) << t.err;
    const auto correct = [&](const std::string &save) {
        const auto r = eval({"--network", save});
        EXPECT_EQ(r.status, 0) << r.err;
        const size_t at = r.out.find("\nCorrect: ");
        int right = -1, all = -1;
        if (at != std::string::npos)
            std::sscanf(r.out.c_str() + at, "\nCorrect: %d/%d", &right, &all);
        EXPECT_EQ(all, 1000);
        return right;
    };
    const int trained = correct("trained.save");
    ASSERT_EQ(nn_init_network(), 0);
    ASSERT_EQ(nn_dump_network((dir_ + "/fresh.save").c_str()), 0);
    EXPECT_GT(trained, correct("fresh.save"));
    EXPECT_GT(trained, 500);
}

TEST_F(NnEval, HelpVersionAndBadOptions)
{
    auto r = eval({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: nn-eval", 0), 0u);
    r = eval({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "nn-eval (bpnet) 1.0.0\n");

    const std::vector<std::vector<std::string>> bad = {
        {"--threshold", "abc"}, {"--threshold", "nan"}, {"--threshold"},     {"--samples", "0"},
        {"--samples", "-3"},    {"--samples", "1e3"},   {"--bogus"},         {"stray"},
        {"--sample-seed", "x"}, {"--network", ""},      {"--data"},
    };
    for (const auto &args : bad) {
        r = eval(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_NE(r.err.find("nn-eval: "), std::string::npos) << r.err;
    }
}
