// Replays every kept hostile input (tests/data/regress/<target>/) and every seed of the fuzz
// targets (fuzz/corpus/<target>/) through the invariant checks that the fuzz targets apply,
// with the ordinary build, so that a regression in a reader shows up without clang.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/reader_checks.h"
#include "network/nn.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

using Check = std::string (*)(const std::uint8_t *, std::size_t);

// Every regular file kept for a target: the regression inputs, then the seed corpus.
std::vector<std::string> inputs_of(const std::string &target)
{
    std::vector<std::string> files;
    for (const std::string &root : {bptest::data_path("regress/" + target), std::string(BPNET_FUZZ_CORPUS) + "/" + target}) {
        std::vector<std::string> here;
        std::error_code ec;
        for (const fs::directory_entry &e : fs::directory_iterator(root, ec))
            if (e.is_regular_file())
                here.push_back(e.path().string());
        std::sort(here.begin(), here.end());
        files.insert(files.end(), here.begin(), here.end());
    }
    return files;
}

std::string run_check(Check check, const std::string &path)
{
    const std::string bytes = bptest::read_file(path);
    return check(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

void replay(const std::string &target, Check check, std::size_t at_least)
{
    const std::vector<std::string> files = inputs_of(target);
    ASSERT_GE(files.size(), at_least) << "inputs of " << target << " are missing";
    for (const std::string &path : files)
        EXPECT_EQ(run_check(check, path), "") << path;
}

// Result of one kept input: the load's 0 or -2, parse_csv's 1 or 0.
int outcome(const std::string &target, Check check, const std::string &name)
{
    const std::string path = std::string(BPNET_FUZZ_CORPUS) + "/" + target + "/" + name;
    const std::string fault = run_check(check, path);
    EXPECT_EQ(fault, "") << path;
    return reader_checks_last_result();
}

int regress_outcome(const std::string &target, Check check, const std::string &name)
{
    const std::string path = bptest::data_path("regress/" + target + "/" + name);
    const std::string fault = run_check(check, path);
    EXPECT_EQ(fault, "") << path;
    return reader_checks_last_result();
}

struct Expected {
    const char *name;
    int result;
};

}  // namespace

// Every kept input keeps every invariant.
TEST(RegressReplay, BinarySaveFiles)
{
    replay("load_binary", check_binary_load, 30);
}

TEST(RegressReplay, AsciiDumps)
{
    replay("load_ascii", check_ascii_load, 15);
}

TEST(RegressReplay, StartUpLoads)
{
    replay("startup", check_startup, 25);
}

TEST(RegressReplay, CsvPatterns)
{
    replay("parse_csv", check_csv, 20);
}

// The hand-made seeds still take the path they were made for, so the replay exercises both
// the successful and the refused loads.
TEST(RegressOutcome, BinarySeedsLoadOrAreRefused)
{
    const Expected cases[] = {
        {"sample.save", 0},           {"valid.save", 0},
        {"other-compiler.save", 0},   {"other-version.save", 0},
        {"other-revision.save", 0},   {"reordered.save", 0},
        {"no-connections.save", 0},   {"connection-twice.save", 0},
        {"second-record.save", 0},    {"other-name.save", -2},
        {"no-records.save", -2},      {"bad-layer-size.save", -2},
        {"bad-connection-size.save", -2}, {"layer-count-4.save", -2},
        {"unknown-layer.save", -2},   {"unknown-array.save", -2},
        {"long-name.save", -2},       {"negative-count.save", -2},
        {"huge-count.save", -2},      {"negative-length.save", -2},
        {"huge-length.save", -2},     {"huge-element-count.save", -2},
        {"truncated-header.save", -2}, {"truncated-table.save", -2},
        {"truncated-values.save", -2}, {"empty.save", -2},
    };
    for (const Expected &c : cases) {
        EXPECT_EQ(outcome("load_binary", check_binary_load, c.name), c.result) << c.name;
        EXPECT_EQ(outcome("startup", check_startup, c.name), c.result) << "start-up with " << c.name;
    }
}

// Inputs whose first byte picks a network of another shape, built at run time: receptive
// fields of one and two dimensions, shared and not, and filters of order 1 and 2. Its files
// load; files of the wrong size, cut short or (with filters) with coefficients outside the
// stable region are refused.
TEST(RegressOutcome, SeedsOfOtherShapesLoadOrAreRefused)
{
    for (const char *shape : {"fields1d", "fields2d", "fb1", "fb2"}) {
        const std::string s = std::string("shape-") + shape;
        const bool filters = std::string(shape).rfind("fb", 0) == 0;
        EXPECT_EQ(outcome("load_binary", check_binary_load, s + "-valid.save"), 0) << shape;
        EXPECT_EQ(outcome("load_binary", check_binary_load, s + "-bad-size.save"), -2) << shape;
        EXPECT_EQ(outcome("load_binary", check_binary_load, s + "-truncated.save"), -2) << shape;
        EXPECT_EQ(outcome("load_ascii", check_ascii_load, s + "-valid.txt"), 0) << shape;
        EXPECT_EQ(outcome("load_ascii", check_ascii_load, s + "-short.txt"), -2) << shape;
        if (filters) {
            EXPECT_EQ(outcome("load_binary", check_binary_load, s + "-unstable.save"), -2) << shape;
            EXPECT_EQ(outcome("load_ascii", check_ascii_load, s + "-unstable.txt"), -2) << shape;
        }
    }
}

TEST(RegressOutcome, DamagedBinaryFilesAreRefused)
{
    const Expected cases[] = {
        {"name-without-nul-at-end.save", -2}, {"position-past-end.save", -2},
        {"last-byte-cut.save", -2},            {"extra-bytes-after.save", 0},
        {"nan-and-inf-values.save", 0},        {"negative-element-count.save", -2},
        {"layer-count-zero.save", -2},         {"connection-count-negative.save", 0},
    };
    for (const Expected &c : cases)
        EXPECT_EQ(regress_outcome("load_binary", check_binary_load, c.name), c.result) << c.name;
}

TEST(RegressOutcome, AsciiSeedsLoadOrAreRefused)
{
    const Expected cases[] = {
        {"init-seed123.txt", 0}, {"valid.txt", 0},       {"text-before.txt", 0},
        {"exponents.txt", 0},    {"inf-nan.txt", 0},     {"long-digits.txt", 0},
        {"labelled.txt", -2},    {"ten-values.txt", -2}, {"letter.txt", -2},
        {"second-hash.txt", -2}, {"big-count.txt", -2},  {"no-count.txt", -2},
        {"no-hash.txt", -2},     {"hash-only.txt", -2},  {"empty.txt", -2},
    };
    for (const Expected &c : cases)
        EXPECT_EQ(outcome("load_ascii", check_ascii_load, c.name), c.result) << c.name;
}

// An iteration count outside the counter's range is refused, not cut to another count;
// the range's own ends still load.
TEST(RegressOutcome, AsciiCountOutOfRangeIsRefused)
{
    EXPECT_EQ(regress_outcome("load_ascii", check_ascii_load, "count-above-int-max.txt"), -2);
    EXPECT_EQ(regress_outcome("load_ascii", check_ascii_load, "count-2147483648.txt"), -2);
    EXPECT_EQ(regress_outcome("load_ascii", check_ascii_load, "count-far-below.txt"), -2);
    EXPECT_EQ(regress_outcome("load_ascii", check_ascii_load, "count-int-min.txt"), 0);
    EXPECT_EQ(regress_outcome("load_ascii", check_ascii_load, "sixty-one-values.txt"), -2);
    EXPECT_EQ(regress_outcome("load_ascii", check_ascii_load, "second-hash-after-values.txt"), 0);
}

TEST(RegressOutcome, CsvSeedsParseOrAreRefused)
{
    const Expected cases[] = {
        {"valid.csv", 1},      {"comments.csv", 1},    {"crlf.csv", 1},         {"spaces.csv", 1},
        {"exponents.csv", 1},  {"no-final-newline.csv", 1}, {"empty.csv", 1},    {"too-few.csv", 0},
        {"too-many.csv", 0},   {"empty-field.csv", 0}, {"overflow.csv", 0},     {"inf.csv", 0},
        {"nan.csv", 0},        {"hex.csv", 0},         {"bad-after-good.csv", 0}, {"control.csv", 0},
        {"long-field.csv", 0}, {"cr-only.csv", 0},
    };
    for (const Expected &c : cases)
        EXPECT_EQ(outcome("parse_csv", check_csv, c.name), c.result) << c.name;
}

// A file that cannot be opened: -1, nothing changes, and a message too long for error_string
// (the file name is part of it) is cut inside its 128 bytes.
TEST(RegressOutcome, MissingFileWithLongNameIsReportedWithinErrorString)
{
    const std::string dir = bptest::make_temp_dir();
    const std::string missing = dir + "/" + std::string(300, 'n') + ".save";
    nn_init_network();
    float before[NN_DATA_SIZE];
    std::memcpy(before, network_data, sizeof before);
    b0bcounter = 77;
    std::memset(error_string, 'Z', NN_ERROR_SIZE);
    EXPECT_EQ(nn_load_network(missing.c_str()), -1);
    EXPECT_NE(std::memchr(error_string, '\0', NN_ERROR_SIZE), nullptr);
    EXPECT_EQ(std::string(error_string).rfind("\nUnable to open ", 0), 0u) << error_string;
    EXPECT_EQ(std::memcmp(before, network_data, sizeof before), 0);
    EXPECT_EQ(b0bcounter, 77);
    bptest::remove_tree(dir);
}
