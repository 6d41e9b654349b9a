// The data-set example's preparation (examples/prepare_dataset.py) on a slice of each file that
// python3-sklearn ships: a seeded 75/25 split that keeps every pattern once, in the tools' CSV
// form. Skipped, with a message, when python3 or the package's files are not on the machine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tools/common/nn_patterns.h"

namespace {

const std::string kScript = std::string(BPNET_SOURCE_DIR) + "/examples/prepare_dataset.py";

// The folder of python3-sklearn's data files, or empty when the package is not installed.
std::string sklearn_data()
{
    const bptest::RunResult r = bptest::run(
        {"/bin/sh", "-c",
         "dpkg -L python3-sklearn 2>/dev/null | grep '/sklearn/datasets/data/iris.csv$' | head -n 1"},
        "");
    std::string path = r.out.substr(0, r.out.find('\n'));
    if (path.empty())
        path = "/usr/lib/python3/dist-packages/sklearn/datasets/data/iris.csv";
    if (access(path.c_str(), R_OK) != 0)
        return "";
    return path.substr(0, path.rfind('/'));
}

// The full path of python3, or empty when there is none.
std::string python()
{
    const bptest::RunResult r = bptest::run({"/bin/sh", "-c", "command -v python3"}, "");
    return r.status == 0 ? r.out.substr(0, r.out.find('\n')) : "";
}

// The non-blank lines of a text that do not start with "#".
std::vector<std::string> data_lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t p = 0, q; p < text.size(); p = q + 1) {
        q = text.find('\n', p);
        if (q == std::string::npos)
            q = text.size();
        const std::string line = text.substr(p, q - p);
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
    }
    return lines;
}

struct TempDir {
    std::string path = bptest::make_temp_dir();
    ~TempDir() { bptest::remove_tree(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

class DatasetPrep : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (python().empty())
            GTEST_SKIP() << "python3 is not installed: the data-set preparation is not tested";
        data_ = sklearn_data();
        if (data_.empty())
            GTEST_SKIP() << "python3-sklearn's data files are not installed: the data-set preparation is not tested";
    }
    std::string data_;
};

// Split a slice with the script and check the split against the slice.
void check_split(const TempDir &dir, const std::string &set, const std::string &slice, int inputs, int classes,
                 const std::vector<std::string> &rows)
{
    const bptest::RunResult r = bptest::run({python(), kScript, set, slice, dir / "out", "--seed", "7"}, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t n = rows.size();
    const std::size_t held_out = (n + 2) / 4;
    EXPECT_EQ(r.out, "prepare_dataset: " + set + ": " + std::to_string(n - held_out) + " training and " +
                         std::to_string(held_out) + " held-out patterns in " + (dir / "out") + "\n");
    const std::string train = bptest::read_file(dir / ("out/" + set + "-train.csv"));
    const std::string test = bptest::read_file(dir / ("out/" + set + "-test.csv"));
    std::vector<std::string> split = data_lines(train);
    const std::vector<std::string> test_rows = data_lines(test);
    EXPECT_EQ(split.size(), n - held_out);
    EXPECT_EQ(test_rows.size(), held_out);
    split.insert(split.end(), test_rows.begin(), test_rows.end());
    // Every pattern once, its text unchanged.
    std::vector<std::string> expected = rows;
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> got = split;
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, expected);
    // The shuffle moved patterns: the split is not the file's order.
    EXPECT_NE(split, rows);

    // The tools read both parts, one class index in place of the targets.
    for (const std::string &part : {train, test}) {
        nn_patterns::PatternSet set_read;
        int line = 0;
        std::string error;
        EXPECT_TRUE(nn_patterns::parse_csv_sized(part, inputs, classes, nn_patterns::TargetForm::kClass, set_read,
                                                 line, error))
            << error;
    }

    // The same seed gives the same files; another seed another split.
    ASSERT_EQ(bptest::run({python(), kScript, set, slice, dir / "again", "--seed", "7"}, dir.path).status, 0);
    EXPECT_EQ(bptest::read_file(dir / ("again/" + set + "-train.csv")), train);
    EXPECT_EQ(bptest::read_file(dir / ("again/" + set + "-test.csv")), test);
    ASSERT_EQ(bptest::run({python(), kScript, set, slice, dir / "other", "--seed", "8"}, dir.path).status, 0);
    EXPECT_NE(bptest::read_file(dir / ("other/" + set + "-test.csv")), test);
}

}  // namespace

TEST_F(DatasetPrep, DigitsSliceSplitsIntoTheToolsForm)
{
    TempDir dir;
    // The first 40 images, compressed as the package ships them.
    const std::string source = data_ + "/digits.csv.gz";
    ASSERT_EQ(bptest::run({"/bin/sh", "-c", "gzip -dc \"$0\" | head -n 40 > slice.csv && gzip -nc slice.csv > slice.csv.gz",
                           source},
                          dir.path)
                  .status,
              0);
    const std::vector<std::string> rows = data_lines(bptest::read_file(dir / "slice.csv"));
    ASSERT_EQ(rows.size(), 40u);
    for (const std::string &row : rows)
        EXPECT_EQ(std::count(row.begin(), row.end(), ','), 64) << row;
    check_split(dir, "digits", dir / "slice.csv.gz", 64, 10, rows);
}

TEST_F(DatasetPrep, IrisSliceSplitsIntoTheToolsForm)
{
    TempDir dir;
    // The header and 20 flowers from each end of the file: every class is there.
    const std::string text = bptest::read_file(data_ + "/iris.csv");
    std::vector<std::string> all;
    for (std::size_t p = 0, q; p < text.size(); p = q + 1) {
        q = text.find('\n', p);
        all.push_back(text.substr(p, (q == std::string::npos ? text.size() : q) - p));
        if (q == std::string::npos)
            break;
    }
    ASSERT_GE(all.size(), 151u);
    ASSERT_EQ(all[0].rfind("150,4,", 0), 0u) << all[0];
    std::vector<std::string> rows(all.begin() + 1, all.begin() + 11);
    rows.insert(rows.end(), all.begin() + 141, all.begin() + 151);
    std::string slice = all[0] + "\n";
    for (const std::string &row : rows)
        slice += row + "\n";
    bptest::write_file(dir / "iris-slice.csv", slice);
    check_split(dir, "iris", dir / "iris-slice.csv", 4, 3, rows);
}

TEST_F(DatasetPrep, DamagedSourcesAreRefusedAndNothingIsWritten)
{
    TempDir dir;
    const std::string iris = bptest::read_file(data_ + "/iris.csv");
    const std::string header = iris.substr(0, iris.find('\n') + 1);
    struct Case {
        std::string set;
        std::string text;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"iris", header + "5.1,3.5,1.4,0.2,0\n5.1,x,1.4,0.2,0\n", "bad.csv:3: field 2 is not a number: 'x'"},
        {"iris", header + "5.1,3.5,1.4,0.2,3\n", "bad.csv:2: the class '3' is not 0 to 2"},
        {"iris", "5.1,3.5,1.4,0.2,0\n", "bad.csv:1: not the header of the iris data set"},
        {"digits", "1,2,3\n", "bad.csv:1: expected 65 fields, found 3"},
        {"digits", "", "bad.csv: fewer than two patterns"},
    };
    for (const Case &c : cases) {
        bptest::write_file(dir / "bad.csv", c.text);
        const bptest::RunResult r = bptest::run({python(), kScript, c.set, "bad.csv", "out"}, dir.path);
        EXPECT_EQ(r.status, 1) << c.text;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("prepare_dataset: " + c.message, 0), 0u) << r.err;
        EXPECT_NE(access((dir / "out").c_str(), F_OK), 0);
    }
    const bptest::RunResult usage = bptest::run({python(), kScript, "wine", "bad.csv", "out"}, dir.path);
    EXPECT_EQ(usage.status, 1);
    EXPECT_NE(usage.err.find("usage: prepare_dataset.py digits|iris"), std::string::npos) << usage.err;
}

// The plant of the sequence example (examples/make_plant.py) on a tiny size: the files read
// as the tools read them, one sequence per block of the asked length, every y the plant's
// response to the u before it in its sequence (from rest), and the same seed the same bytes.
TEST(SequenceExample, PlantFilesHoldThePlantsSequences)
{
    const std::string numpy_python = "/usr/bin/python3";
    if (bptest::run({numpy_python, "-c", "import numpy"}, "").status != 0)
        GTEST_SKIP() << "Debian's python3 with numpy is not installed: the plant example is not tested";
    const std::string script = std::string(BPNET_SOURCE_DIR) + "/examples/make_plant.py";
    TempDir dir;
    const auto make = [&](const std::string &out, const std::string &seed) {
        return bptest::run({numpy_python, script, dir / out, "--seed", seed, "--train", "3", "--test", "2",
                            "--length", "7"},
                           dir.path);
    };
    const bptest::RunResult r = make("a", "5");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const auto &[file, count] : {std::pair<std::string, std::size_t>{"plant-train.csv", 3}, {"plant-test.csv", 2}}) {
        nn_patterns::PatternSet set;
        std::string error;
        ASSERT_TRUE(nn_patterns::load_csv_sized(dir / ("a/" + file), 1, 1, nn_patterns::TargetForm::kVector, set, error))
            << error;
        ASSERT_EQ(set.sequences(), count) << file;
        for (std::size_t s = 0; s < count; s++) {
            ASSERT_EQ(set.sequence_end(s) - set.sequence_begin(s), 7u) << file;
            double y1 = 0.0, y2 = 0.0, u1 = 0.0;
            for (std::size_t k = set.sequence_begin(s); k < set.sequence_end(s); k++) {
                const double u = *set.input(k);
                const double y = 0.7 * y1 - 0.3 * y2 + std::tanh(u) + 0.5 * u1;
                ASSERT_LE(std::fabs(u), 2.0);
                ASSERT_NEAR(*set.target(k), y, 2e-6) << file << " pattern " << k;
                y2 = y1;
                y1 = *set.target(k);
                u1 = u;
            }
        }
    }
    ASSERT_EQ(make("b", "5").status, 0);
    ASSERT_EQ(make("c", "6").status, 0);
    EXPECT_EQ(bptest::read_file(dir / "a/plant-train.csv"), bptest::read_file(dir / "b/plant-train.csv"));
    EXPECT_NE(bptest::read_file(dir / "a/plant-test.csv"), bptest::read_file(dir / "c/plant-test.csv"));
    EXPECT_EQ(make("d", "x").status, 1);
}
