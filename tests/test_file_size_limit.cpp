// Every program that writes a file, run under a file-size limit smaller than what it writes:
// it says what it could not write and exits with status 1 (instead of being killed by the
// limit's signal), and the file it was to replace is still the previous one, byte for byte,
// with no temporary file left beside it.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

const std::string kTrain = bptest::bin_path("tools/nn-train/nn-train");
const std::string kEval = bptest::bin_path("tools/nn-eval/nn-eval");
const std::string kAscii = bptest::bin_path("tools/nn-ascii/nn-ascii");
const std::string kPlot = bptest::bin_path("driver/PlotComposite");
const std::string kGen = bptest::bin_path("gen/bpnet-gen");

// Smaller than any file these programs write (a save file of nn is 633 bytes).
constexpr long long kLimit = 100;

struct TempDir {
    std::string path = bptest::make_temp_dir();
    ~TempDir() { bptest::remove_tree(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// The names of the files in folder (and one level below), for "nothing left behind".
std::set<std::string> listing(const std::string &folder)
{
    std::set<std::string> names;
    for (const auto &e : std::filesystem::recursive_directory_iterator(folder))
        names.insert(std::filesystem::relative(e.path(), folder).string());
    return names;
}

// Run without a limit; the run must succeed.
bptest::RunResult prepare(const TempDir &dir, const std::vector<std::string> &argv, const std::string &input = "")
{
    const bptest::RunResult r = bptest::run(argv, dir.path, input);
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    return r;
}

}  // namespace

// Saves to a named file: nn-train's save file and its error curve, nn-ascii import,
// bpnet-gen's module sources and its shared module. The previous files stay as they were.
TEST(FileSizeLimit, FailedSavesSayWhatTheyCouldNotWriteAndKeepThePreviousFiles)
{
    TempDir dir;
    prepare(dir, {kTrain, "--iterations", "2000", "--output", "keep.save"});
    prepare(dir, {kTrain, "--iterations", "500", "--seed", "9", "--output", "o.save"});
    const std::string dump = prepare(dir, {kAscii, "export", "o.save"}).out;
    std::filesystem::create_directory(dir / "module");
    bptest::write_file(dir / "module/tri.h", "// the previous header\n");
    bptest::write_file(dir / "module/tri.cpp", "// the previous source\n");
    bptest::write_file(dir / "tri.so", "the previous module\n");
    bptest::write_file(dir / "curve.csv", "the previous curve\n");
    bptest::write_file(dir / "data.csv", "0.1,0.2,1,0,0,0\n-0.3,0.4,0,1,0,0\n");
    const std::string description = bptest::data_path("networks/tri.toml");

    struct Case {
        std::vector<std::string> argv;
        std::string input;
        std::string message;  // all of standard error
    };
    std::vector<Case> cases = {
        {{kTrain, "--iterations", "100", "--output", "keep.save"}, "", "nn-train: Unable to write keep.save.\n"},
        {{kTrain, "--data", "data.csv", "--epochs", "40", "--curve", "curve.csv", "--output", "keep.save"},
         "",
         "nn-train: curve.csv: cannot write: File too large\n"},
        {{kAscii, "import", "keep.save"}, dump, "nn-ascii: Unable to write keep.save.\n"},
    };
    if (std::filesystem::exists(kGen)) {
        cases.push_back({{kGen, description, "-o", "module"}, "", "bpnet-gen: cannot write the module into module\n"});
        cases.push_back({{kGen, "--shared", description, "-o", "tri.so"}, "", "bpnet-gen: cannot write the module's source in "});
    }
    const std::set<std::string> files = listing(dir.path);
    std::vector<std::string> before;
    for (const std::string &f : files)
        before.push_back(std::filesystem::is_regular_file(dir / f) ? bptest::read_file(dir / f) : "");
    ASSERT_NE(dump, "");

    for (const Case &c : cases) {
        const bptest::RunResult r = bptest::run(c.argv, dir.path, c.input, {kLimit, ""});
        EXPECT_EQ(r.status, 1) << c.argv[0] << " " << c.argv[1] << ": " << r.err;
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << c.argv[0] << " " << c.argv[1];
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_EQ(listing(dir.path), files) << c.argv[0] << " " << c.argv[1] << " left a file behind";
        std::size_t k = 0;
        for (const std::string &f : files) {
            if (std::filesystem::is_regular_file(dir / f)) {
                EXPECT_EQ(bptest::read_file(dir / f), before[k]) << f << " changed under " << c.argv[0] << " " << c.argv[1];
            }
            k++;
        }
    }
}

// Programs that print to standard output, redirected to a file under the limit: a message
// and status 1, where the limit's signal used to kill them without a word.
TEST(FileSizeLimit, StandardOutputRedirectedToAFileSaysItCouldNotBeWritten)
{
    TempDir dir;
    prepare(dir, {kTrain, "--iterations", "2000", "--output", "Network.save"});
    struct Case {
        std::vector<std::string> argv;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{kPlot}, "PlotComposite: cannot write the grid to standard output: File too large\n"},
        {{kEval, "--samples", "50"}, "nn-eval: cannot write standard output: File too large\n"},
        {{kAscii, "show"}, "nn-ascii: cannot write standard output: File too large\n"},
        {{kTrain, "--help"}, "nn-train: cannot write standard output: File too large\n"},
    };
    for (const Case &c : cases) {
        const bptest::RunResult r = bptest::run(c.argv, dir.path, "", {kLimit, "out.txt"});
        EXPECT_EQ(r.status, 1) << c.argv[0] << ": " << r.err;
        EXPECT_EQ(r.err, c.message) << c.argv[0];
        EXPECT_LE(bptest::read_file(dir / "out.txt").size(), static_cast<std::size_t>(kLimit));
    }
}
