// The tools as hosts of any network: nn through its own shared library against the built-in
// nn, modules that must be refused before any of their entry points runs, pattern files of
// other sizes, class targets, held-out sets, epochs, input scaling and the error curve, and a
// generated network of other sizes through every tool.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gen/rtnet/bpnet_network.h"
#include "support/test_support.h"
#include "tools/common/nn_patterns.h"

namespace {

const std::string kTrain = bptest::bin_path("tools/nn-train/nn-train");
const std::string kEval = bptest::bin_path("tools/nn-eval/nn-eval");
const std::string kAscii = bptest::bin_path("tools/nn-ascii/nn-ascii");
const std::string kModules = BPNET_TEST_MODULES;
const std::string kNnLibrary = BPNET_NN_LIBRARY;

// A temporary folder for one test.
struct TempDir {
    std::string path = bptest::make_temp_dir();
    ~TempDir() { bptest::remove_tree(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

bptest::RunResult run_in(const TempDir &dir, const std::string &tool, std::vector<std::string> args,
                         const std::string &input = "")
{
    args.insert(args.begin(), tool);
    return bptest::run(args, dir.path, input);
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The patterns of the demonstration task as CSV, vector targets or class indices.
std::string demo_csv(std::size_t count, std::uint64_t seed, bool by_class)
{
    std::string text = "# demonstration patterns\n";
    char line[160];
    for (const nn_patterns::Pattern &p : nn_patterns::demo_patterns(count, seed)) {
        int c = 0;
        for (int j = 1; j < 4; j++)
            if (p.target[j] > p.target[c])
                c = j;
        if (by_class)
            std::snprintf(line, sizeof line, "%.9g,%.9g,%d\n", static_cast<double>(p.in[0]),
                          static_cast<double>(p.in[1]), c);
        else
            std::snprintf(line, sizeof line, "%.9g,%.9g,%g,%g,%g,%g\n", static_cast<double>(p.in[0]),
                          static_cast<double>(p.in[1]), static_cast<double>(p.target[0]),
                          static_cast<double>(p.target[1]), static_cast<double>(p.target[2]),
                          static_cast<double>(p.target[3]));
        text += line;
    }
    return text;
}

// The text after `key` up to the end of its line.
std::string line_after(const std::string &text, const std::string &key)
{
    const std::size_t p = text.find(key);
    if (p == std::string::npos)
        return "";
    const std::size_t start = p + key.size();
    return text.substr(start, text.find('\n', start) - start);
}

}  // namespace

// nn's own shared library is a module like any other: through it every tool gives what it
// gives with the built-in network, save files and dumps byte for byte.
TEST(NnModule, NnThroughItsSharedLibraryMatchesTheBuiltInNetwork)
{
    TempDir dir;
    bptest::write_file(dir / "train.csv", demo_csv(300, 7, false));
    bptest::write_file(dir / "test.csv", demo_csv(100, 8, false));
    const std::vector<std::vector<std::string>> runs = {
        {"--iterations", "20000", "--seed", "5", "--order", "shuffled"},
        {"--data", "train.csv", "--epochs", "20", "--rate", "0.3", "--scale", "zscore", "--test", "test.csv"},
    };
    for (const std::vector<std::string> &args : runs) {
        std::vector<std::string> built_in = args, loaded = args;
        built_in.insert(built_in.end(), {"--output", "a.save"});
        loaded.insert(loaded.end(), {"--output", "b.save", "--module", kNnLibrary});
        const bptest::RunResult a = run_in(dir, kTrain, built_in);
        const bptest::RunResult b = run_in(dir, kTrain, loaded);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(bptest::read_file(dir / "a.save"), bptest::read_file(dir / "b.save")) << args[1];
        EXPECT_EQ(bptest::read_file(dir / "a.save.scale"), bptest::read_file(dir / "b.save.scale"));
        std::string expected = a.out;
        for (std::size_t p; (p = expected.find("a.save")) != std::string::npos;)
            expected.replace(p, 6, "b.save");
        EXPECT_EQ(b.out, expected);

        // The module's report is the built-in one, then its mean error.
        const bptest::RunResult ea = run_in(dir, kEval, {"--network", "a.save", "--data", "test.csv"});
        const bptest::RunResult eb =
            run_in(dir, kEval, {"--network", "b.save", "--data", "test.csv", "--module", kNnLibrary});
        ASSERT_EQ(ea.status, 0) << ea.err;
        ASSERT_EQ(eb.status, 0) << eb.err;
        EXPECT_EQ(eb.out.substr(0, ea.out.size()), ea.out);
        EXPECT_EQ(eb.out.substr(ea.out.size()).rfind("Mean error: ", 0), 0u) << eb.out;

        for (const char *form : {"show", "export"}) {
            const bptest::RunResult da = run_in(dir, kAscii, {form, "a.save"});
            const bptest::RunResult db = run_in(dir, kAscii, {"--module", kNnLibrary, form, "b.save"});
            EXPECT_EQ(da.status, 0) << da.err;
            EXPECT_EQ(da.out, db.out) << form;
        }
    }
}

// Every damaged or foreign shared object is refused with status 1 and a message naming the
// problem, by every tool, before anything is written. The stand-in module aborts when any
// entry point other than its query and start-up is called, so a refusal that came too late
// shows as a crash.
TEST(NnModule, DamagedAndForeignModulesAreRefusedUncalled)
{
    TempDir dir;
    bptest::write_file(dir / "data.csv", "1,2,3,0,1\n");
    bptest::write_file(dir / "not-elf.so", "this is text, not a shared object\n");
    const std::string fake = kModules + "/fake_module.so";
    struct Case {
        std::string module;
        std::string damage;
        std::string message;
    };
    const std::vector<Case> cases = {
        {dir / "missing.so", "", "missing.so: No such file or directory"},
        {dir.path, "", ": not a regular file"},
        {dir / "not-elf.so", "", "not-elf.so: cannot load it as a shared module"},
        {kModules + "/fake_module_no_query.so", "", "not a bpnet network module (it has no network_query)"},
        {kModules + "/fake_module_no_calc_error.so", "", "(it has no fake_calc_error)"},
        {fake, "null_descriptor", "damaged network module: its network_query(0, 0) gives no descriptor"},
        {fake, "bad_name", "black-box name is missing or not a name"},
        {fake, "zero_inputs", "gives an input size of 0 (expected 1 to 1048576)"},
        {fake, "absurd_size", "gives layer 0 a size of 1073741824"},
        {fake, "null_forward", "the descriptor's black box has a null entry point"},
        {fake, "layer_count", "gives 2 layers, but layer 1 does not answer"},
        {fake, "extra_layer", "gives 1 layer, but layer 1 answers too"},
        {fake, "network_name", "network name does not match its black box fake"},
        {fake, "null_load", "network section has a null entry point"},
        {fake, "unit_count", "counts 7 units, its layers hold 2"},
    };
    for (const Case &c : cases) {
        const std::vector<std::vector<std::string>> commands = {
            {kTrain, "--module", c.module, "--data", "data.csv", "--output", "out.save"},
            {kEval, "--module", c.module, "--data", "data.csv", "--network", "out.save"},
            {kAscii, "--module", c.module, "import", "out.save"},
        };
        for (std::vector<std::string> command : commands) {
            command.insert(command.begin(), {"/usr/bin/env", "FAKE_DAMAGE=" + c.damage});
            const bptest::RunResult r = bptest::run(command, dir.path, "#\n0\n#\n");
            EXPECT_EQ(r.status, 1) << command[2] << " " << c.damage << ": " << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find(c.message), std::string::npos) << command[2] << " " << c.damage << ": " << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
            EXPECT_FALSE(exists(dir / "out.save"));
        }
    }

    // The undamaged stand-in passes every check: what stops it is the first thing a tool
    // would have to call it for.
    const bptest::RunResult demo = run_in(dir, kTrain, {"--module", fake});
    EXPECT_EQ(demo.status, 1);
    EXPECT_NE(demo.err.find("demonstration task is for a network of 2 inputs and 4 outputs; network fake of module " +
                            fake + " has 3 inputs and 2 outputs: give its patterns with --data FILE"),
              std::string::npos)
        << demo.err;
    const bptest::RunResult eval_demo = run_in(dir, kEval, {"--module", fake});
    EXPECT_EQ(eval_demo.status, 1);
    EXPECT_NE(eval_demo.err.find("has 3 inputs and 2 outputs"), std::string::npos) << eval_demo.err;
}

// A module file cut short, or one of another machine, is refused by every tool before the
// dynamic loader sees it (a cut file used to kill the tool with a bus error inside the
// loader): one line naming the file, status 1, nothing written.
TEST(NnModule, TruncatedAndForeignModuleFilesAreRefusedBeforeLoading)
{
    TempDir dir;
    bptest::write_file(dir / "data.csv", "1,2,3,0,1\n");
    const std::string whole = bptest::read_file(kModules + "/fake_module.so");
    ASSERT_GT(whole.size(), 8192u);
    std::string other_class = whole, other_machine = whole;
    other_class[4] = static_cast<char>(other_class[4] == 2 ? 1 : 2);  // EI_CLASS: 32-bit against 64-bit
    other_machine[18] = static_cast<char>(other_machine[18] ^ 0x40);   // e_machine's low byte
    struct Case {
        std::string bytes;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", "the file is empty"},
        {whole.substr(0, 40), "the file ends at byte 40, but the ELF header takes bytes 0 to"},
        {whole.substr(0, 70), "the file ends at byte 70, but the program header table takes"},
        {whole.substr(0, 5000), "the file ends at byte 5000, but segment "},
        {whole.substr(0, whole.size() / 2), "(a truncated or damaged file)"},
        {whole.substr(0, whole.size() - 1), "but the section header table takes"},
        {other_class, "class, not of this machine's"},
        {other_machine, "an ELF shared object for the machine"},
    };
    for (const Case &c : cases) {
        bptest::write_file(dir / "cut.so", c.bytes);
        const std::vector<std::vector<std::string>> commands = {
            {kTrain, "--module", "cut.so", "--data", "data.csv", "--output", "out.save"},
            {kEval, "--module", "cut.so", "--data", "data.csv", "--network", "out.save"},
            {kAscii, "--module", "cut.so", "import", "out.save"},
        };
        for (const std::vector<std::string> &command : commands) {
            const bptest::RunResult r = bptest::run(command, dir.path, "#\n0\n#\n");
            EXPECT_EQ(r.status, 1) << command[0] << " " << c.message << ": " << r.err;
            EXPECT_EQ(r.out, "");
            const std::string tool = command[0].substr(command[0].rfind('/') + 1);
            EXPECT_EQ(r.err.rfind(tool + ": cut.so: cannot load it as a shared module: ", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << tool << ": " << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
            EXPECT_FALSE(exists(dir / "out.save"));
        }
    }
}

// Pattern files are checked against the network's sizes before the network is called:
// every error names the file and the line.
TEST(NnModule, PatternErrorsNameFileAndLineForAnySize)
{
    TempDir dir;
    const std::string fake = kModules + "/fake_module.so";
    struct Case {
        std::string text;
        std::string form;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"1,2,3,0,1\n1,2,3,0\n", "vector", "bad.csv:2: expected 5 comma-separated fields (x0,x1,x2,t0,t1), found 4"},
        {"1,2,3,0,1,1\n", "vector", "bad.csv:1: expected 5 comma-separated fields (x0,x1,x2,t0,t1), found 6"},
        {"# c\n1,2,3,1\n\n1,2,3,2\n", "class", "bad.csv:4: class 2 is out of range: the network has 2 outputs, classes 0 to 1"},
        {"1,2,3,-1\n", "class", "bad.csv:1: field 4 is not a class index (a whole number from 0 to 1): \"-1\""},
        {"1,2,3,0.5\n", "class", "bad.csv:1: field 4 is not a class index"},
        {"1,2,3,0,1\n", "class", "bad.csv:1: expected 4 comma-separated fields (x0,x1,x2,class), found 5"},
        {"1,x,3,0\n", "class", "bad.csv:1: field 2 is not a finite number: \"x\""},
    };
    for (const Case &c : cases) {
        bptest::write_file(dir / "bad.csv", c.text);
        bptest::write_file(dir / "good.csv", c.form == "class" ? "1,2,3,1\n" : "1,2,3,0,1\n");
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {kTrain, "--module", fake, "--targets", c.form, "--data", "bad.csv"},
                 {kTrain, "--module", fake, "--targets", c.form, "--data", "good.csv", "--test", "bad.csv"},
                 {kEval, "--module", fake, "--targets", c.form, "--data", "bad.csv"}}) {
            const bptest::RunResult r = bptest::run(args, dir.path);
            EXPECT_EQ(r.status, 1) << c.text;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        }
    }
    EXPECT_FALSE(exists(dir / "Network.save"));

    // The built-in network's 2 inputs and 4 outputs, by class.
    bptest::write_file(dir / "nn.csv", "0.1,0.2,3\n0.1,0.2,4\n");
    const bptest::RunResult r = run_in(dir, kTrain, {"--data", "nn.csv", "--targets", "class"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nn.csv:2: class 4 is out of range: the network has 4 outputs, classes 0 to 3\n");
}

// Class indices are one-hot targets; epochs are passes over the training set; neither the
// held-out set nor the error curve changes what is learned; the curve and the summary agree.
TEST(NnModule, ClassTargetsEpochsHeldOutSetAndCurve)
{
    TempDir dir;
    bptest::write_file(dir / "vector.csv", demo_csv(200, 3, false));
    bptest::write_file(dir / "class.csv", demo_csv(200, 3, true));
    bptest::write_file(dir / "test-class.csv", demo_csv(80, 4, true));
    const auto train = [&](std::vector<std::string> args) {
        const bptest::RunResult r = run_in(dir, kTrain, args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r;
    };
    train({"--data", "vector.csv", "--iterations", "3000", "--output", "vector.save"});
    train({"--data", "class.csv", "--targets", "class", "--epochs", "15", "--output", "class.save"});
    const bptest::RunResult full =
        train({"--data", "class.csv", "--targets", "class", "--epochs", "15", "--order", "shuffled", "--test",
               "test-class.csv", "--curve", "curve.csv", "--output", "full.save"});
    train({"--data", "class.csv", "--targets", "class", "--iterations", "3000", "--order", "shuffled", "--output",
           "plain.save"});
    const std::string vector_save = bptest::read_file(dir / "vector.save");
    EXPECT_EQ(vector_save.size(), 633u);
    EXPECT_EQ(bptest::read_file(dir / "class.save"), vector_save);
    EXPECT_EQ(bptest::read_file(dir / "full.save"), bptest::read_file(dir / "plain.save"));
    EXPECT_NE(bptest::read_file(dir / "full.save"), vector_save);

    // The curve: a header, the untrained network, then one row per epoch.
    const std::string curve = bptest::read_file(dir / "curve.csv");
    std::vector<std::string> rows;
    for (std::size_t p = 0, q; (q = curve.find('\n', p)) != std::string::npos; p = q + 1)
        rows.push_back(curve.substr(p, q - p));
    ASSERT_EQ(rows.size(), 17u) << curve;
    EXPECT_EQ(rows[0], "# nn-train error curve of nn: epoch,presentations,training_error,training_accuracy,"
                       "heldout_error,heldout_accuracy");
    for (int e = 0; e <= 15; e++) {
        const std::string &row = rows[static_cast<std::size_t>(e) + 1];
        EXPECT_EQ(row.rfind(std::to_string(e) + "," + std::to_string(e * 200) + ",", 0), 0u) << row;
        EXPECT_EQ(std::count(row.begin(), row.end(), ','), 5) << row;
    }
    // Its last row is the network written: the summary's training error and held-out figures.
    const std::string &last = rows.back();
    double train_error = 0, train_acc = 0, test_error = 0, test_acc = 0;
    ASSERT_EQ(std::sscanf(last.c_str(), "15,3000,%lf,%lf,%lf,%lf", &train_error, &train_acc, &test_error, &test_acc),
              4)
        << last;
    char expected[160];
    std::snprintf(expected, sizeof expected, "mean error %.6f over 200 training patterns", train_error);
    EXPECT_NE(full.out.find(expected), std::string::npos) << full.out;
    std::snprintf(expected, sizeof expected, "held-out: mean error %.6f over 80 patterns, accuracy ", test_error);
    EXPECT_NE(full.out.find(expected), std::string::npos) << full.out;
    // nn-eval on the held-out file gives the same accuracy.
    const bptest::RunResult eval =
        run_in(dir, kEval, {"--network", "full.save", "--data", "test-class.csv", "--targets", "class"});
    ASSERT_EQ(eval.status, 0) << eval.err;
    EXPECT_EQ(line_after(full.out, "accuracy "), line_after(eval.out, "Correct: ")) << full.out << eval.out;
    EXPECT_GT(test_acc, 0.5);

    // A last partial pass gets its own row.
    train({"--data", "class.csv", "--targets", "class", "--iterations", "500", "--curve", "part.csv", "--output", "part.save"});
    const std::string part = bptest::read_file(dir / "part.csv");
    EXPECT_NE(part.find("\n2,400,"), std::string::npos) << part;
    EXPECT_NE(part.find("\n2.5,500,"), std::string::npos) << part;

    // Conflicting or empty options are refused before anything is written.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--epochs", "2", "--iterations", "10"},
             {"--epochs", "0"},
             {"--targets", "onehot"},
             {"--scale", "log"},
             {"--test", ""},
             {"--curve="},
             {"--module", ""},
             {"--data", ""}}) {
        std::vector<std::string> full_args = args;
        full_args.insert(full_args.end(), {"--output", "never.save"});
        const bptest::RunResult r = run_in(dir, kTrain, full_args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("Try 'nn-train --help'"), std::string::npos) << r.err;
    }
    const bptest::RunResult too_many =
        run_in(dir, kTrain, {"--data", "class.csv", "--targets", "class", "--epochs", "4294967295"});
    EXPECT_EQ(too_many.status, 1);
    EXPECT_NE(too_many.err.find("4294967295 epochs of 200 patterns are more than 4294967295 presentations"),
              std::string::npos)
        << too_many.err;
    EXPECT_FALSE(exists(dir / "never.save"));
    EXPECT_FALSE(exists(dir / "Network.save"));
}

// The scaling nn-train computes is kept beside the save file and applied by nn-eval: a
// network trained on scaled inputs and evaluated on raw ones reports what it reports for
// the inputs scaled beforehand by hand.
TEST(NnModule, ScalingIsKeptBesideTheSaveFileAndAppliedByNnEval)
{
    TempDir dir;
    // Inputs far from the network's range: ten times the demonstration plane, shifted.
    std::string raw = "# scaled demonstration\n";
    std::vector<nn_patterns::Pattern> patterns = nn_patterns::demo_patterns(120, 9);
    char line[160];
    for (nn_patterns::Pattern &p : patterns) {
        p.in[0] = p.in[0] * 10.0f + 50.0f;
        p.in[1] = p.in[1] * 3.0f - 7.0f;
        std::snprintf(line, sizeof line, "%.9g,%.9g,%g,%g,%g,%g\n", static_cast<double>(p.in[0]),
                      static_cast<double>(p.in[1]), static_cast<double>(p.target[0]),
                      static_cast<double>(p.target[1]), static_cast<double>(p.target[2]),
                      static_cast<double>(p.target[3]));
        raw += line;
    }
    bptest::write_file(dir / "raw.csv", raw);
    for (const char *method : {"minmax", "zscore"}) {
        const bptest::RunResult t = run_in(
            dir, kTrain, {"--data", "raw.csv", "--iterations", "2000", "--scale", method, "--output", "s.save"});
        ASSERT_EQ(t.status, 0) << t.err;
        EXPECT_NE(t.out.find(std::string("inputs scaled (") + method + "), the scaling kept in s.save.scale"),
                  std::string::npos)
            << t.out;
        const std::string side = bptest::read_file(dir / "s.save.scale");
        ASSERT_EQ(side.rfind("# bpnet input scaling: input i is used as (x - offset) * factor\nmethod ", 0), 0u)
            << side;
        EXPECT_NE(side.find(std::string("method ") + method + "\ninputs 2\n"), std::string::npos) << side;

        // Scale the file by hand with the side file's numbers.
        float offset[2], factor[2];
        const std::size_t rows = side.find("\n0 ");
        ASSERT_NE(rows, std::string::npos);
        ASSERT_EQ(std::sscanf(side.c_str() + rows, "\n0 %f %f\n1 %f %f", &offset[0], &factor[0], &offset[1],
                              &factor[1]),
                  4);
        std::string scaled;
        float low = 1e30f, high = -1e30f;
        for (const nn_patterns::Pattern &p : patterns) {
            float x[2];
            for (int i = 0; i < 2; i++) {
                x[i] = static_cast<float>((static_cast<double>(p.in[i]) - offset[i]) * factor[i]);
                low = std::min(low, x[i]);
                high = std::max(high, x[i]);
            }
            std::snprintf(line, sizeof line, "%.9g,%.9g,%g,%g,%g,%g\n", static_cast<double>(x[0]),
                          static_cast<double>(x[1]), static_cast<double>(p.target[0]),
                          static_cast<double>(p.target[1]), static_cast<double>(p.target[2]),
                          static_cast<double>(p.target[3]));
            scaled += line;
        }
        if (std::string(method) == "minmax") {
            EXPECT_NEAR(low, -1.0f, 1e-6f);
            EXPECT_NEAR(high, 1.0f, 1e-6f);
        }
        bptest::write_file(dir / "scaled.csv", scaled);
        const bptest::RunResult with_side = run_in(dir, kEval, {"--network", "s.save", "--data", "raw.csv"});
        ASSERT_EQ(with_side.status, 0) << with_side.err;
        // The same network without a side file, on the inputs scaled by hand.
        bptest::write_file(dir / "copy.save", bptest::read_file(dir / "s.save"));
        const bptest::RunResult by_hand = run_in(dir, kEval, {"--network", "copy.save", "--data", "scaled.csv"});
        ASSERT_EQ(by_hand.status, 0) << by_hand.err;
        EXPECT_EQ(with_side.out, by_hand.out) << method;
        // Training on the scaled file without --scale learns the same network.
        ASSERT_EQ(run_in(dir, kTrain, {"--data", "scaled.csv", "--iterations", "2000", "--output", "h.save"}).status, 0);
        EXPECT_EQ(bptest::read_file(dir / "h.save"), bptest::read_file(dir / "s.save")) << method;
    }

    // Resuming keeps the resumed network's scaling unless --scale is given.
    ASSERT_EQ(run_in(dir, kTrain, {"--data", "raw.csv", "--iterations", "10", "--resume", "s.save", "--output", "r.save"})
                  .status,
              0);
    EXPECT_EQ(bptest::read_file(dir / "r.save.scale"), bptest::read_file(dir / "s.save.scale"));
    // Training again without scaling removes the side file, which would no longer fit.
    const bptest::RunResult none =
        run_in(dir, kTrain, {"--data", "raw.csv", "--iterations", "10", "--scale", "none", "--output", "s.save"});
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_FALSE(exists(dir / "s.save.scale"));

    // A damaged side file stops nn-eval with its line.
    for (const auto &[text, message] : std::vector<std::pair<std::string, std::string>>{
             {"method minmax\ninputs 2\n0 1 2\n1 1 x\n", "r.save.scale:4: expected \"1 OFFSET FACTOR\" with two finite numbers"},
             {"method minmax\ninputs 3\n", "r.save.scale:2: the scaling is for 3 inputs, the network has 2"},
             {"method fancy\n", "r.save.scale:1: expected \"method minmax\" or \"method zscore\""},
             {"# only\nmethod zscore\ninputs 2\n0 1 2\n", "r.save.scale:4: the scaling ends before its 2 inputs"},
             {"method zscore\ninputs 2\n0 1 2\n1 1 2\n2 1 2\n", "r.save.scale:5: more lines than the 2 inputs"}}) {
        bptest::write_file(dir / "r.save.scale", text);
        const bptest::RunResult r = run_in(dir, kEval, {"--network", "r.save", "--data", "raw.csv"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message + "\n");
    }
}

namespace {

// `rows` rows of three inputs and a class of three, the data the tri networks learn.
std::string tri_rows(int rows)
{
    std::string csv;
    for (int i = 0; i < rows; i++) {
        char line[120];
        std::snprintf(line, sizeof line, "%.4f,%.4f,%.4f,%d\n", (i % 7) / 7.0 - 0.5, (i % 11) / 11.0 - 0.5,
                      (i % 5) / 5.0 - 0.5, i % 3);
        csv += line;
    }
    return csv;
}

}  // namespace

#if BPNET_HAVE_GENERATOR

namespace {

const std::string kTri = kModules + "/tri.so";
// tri with linear outputs: it loads tri's save files.
const std::string kTriLinear = kModules + "/trilin.so";

// The test network tri (tests/data/networks/tri.toml) with weights set by hand: each output
// j sees only input j, with weight 4; every other value is 0. Its largest output is at its
// largest input. Bare form: the count, then Out's 3 thresholds, Out<-$INPUTS (3 x 3),
// Out<-H (3 x 5), H's 5 thresholds, H<-$INPUTS (5 x 3).
std::string hand_dump()
{
    std::string text = "#\n17\n";
    const auto put = [&](int count, float v) {
        for (int i = 0; i < count; i++)
            text += (v == 0.0f ? std::string("0") : std::to_string(v)) + "\n";
    };
    put(3, 0.0f);
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
            put(1, r == c ? 4.0f : 0.0f);
    put(15 + 5 + 15, 0.0f);
    return text + "#\n";
}

}  // namespace

// A generated network of 3 inputs and 3 outputs through every tool: nn-ascii builds a
// network by hand, nn-eval's confusion table and accuracy for it are counted by hand,
// nn-train gives byte-identical files for the same options, and the bare form survives a
// round trip.
TEST(NnModuleGenerated, EveryToolWorksOnANetworkOfOtherSizes)
{
    TempDir dir;
    // The hand-made network.
    const bptest::RunResult made = run_in(dir, kAscii, {"--module", kTri, "import", "hand.save"}, hand_dump());
    ASSERT_EQ(made.status, 0) << made.err;
    const bptest::RunResult shown = run_in(dir, kAscii, {"--module", kTri, "show", "hand.save"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("BlackBox: tri\nIterations: 17\nLayer: tri:Out\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Connection from $INPUTS:\nNode[0,0]:\n4.000000000000 0.000000000000 0.000000000000 \n"
                             "Node[1,0]:\n0.000000000000 4.000000000000 0.000000000000 \n"),
              std::string::npos)
        << shown.out;

    // Eight patterns, classes by index: three are wrong on purpose (largest input elsewhere).
    bptest::write_file(dir / "hand.csv",
                       "# x0,x1,x2,class\n"
                       "1,0,0,0\n0,1,0,1\n0,0,1,2\n"
                       "0.9,0.1,0,1\n"        // output 0
                       "0.2,0.1,0.7,2\n"
                       "0.1,0.8,0.1,0\n"      // output 1
                       "0.3,0.3,0.9,0\n"      // output 2
                       "0.5,0.6,0.4,1\n");
    const bptest::RunResult eval =
        run_in(dir, kEval, {"--module", kTri, "--network", "hand.save", "--data", "hand.csv", "--targets", "class"});
    ASSERT_EQ(eval.status, 0) << eval.err;
    EXPECT_EQ(eval.out.rfind("\n\ntri:\nMaxima: ", 0), 0u) << eval.out;
    EXPECT_NE(eval.out.find("\n\nPd = "), std::string::npos);
    const std::size_t table = eval.out.find("\nConfusion");
    ASSERT_NE(table, std::string::npos) << eval.out;
    EXPECT_EQ(eval.out.substr(table, eval.out.find("Mean error: ") - table),
              "\nConfusion (rows: class of the largest target, columns: class of the largest output):\n"
              "class          0         1         2     total\n"
              "    0          1         1         1         3\n"
              "    1          1         2         0         3\n"
              "    2          0         0         2         2\n"
              "total          2         3         3         8\n"
              "Correct: 5/8 = 0.625000\n");
    // Squared errors are reported for linear outputs only.
    EXPECT_EQ(eval.out.find("Mean squared error: "), std::string::npos) << eval.out;
    const bptest::RunResult linear =
        run_in(dir, kEval, {"--module", kTriLinear, "--network", "hand.save", "--data", "hand.csv", "--targets", "class"});
    ASSERT_EQ(linear.status, 0) << linear.err;
    EXPECT_NE(linear.out.find(" over 8 patterns\nMean squared error: "), std::string::npos) << linear.out;
    // The targets' variance: each one-hot output's p(1 - p) (classes 3, 3 and 2 of 8), averaged.
    EXPECT_NE(linear.out.find("(the targets' variance 0.21875)\n"), std::string::npos) << linear.out;
    // The mean error is the mean over the patterns of half the squared distance of outputs
    // and targets per output: recomputed here from the trace's outputs and targets.
    const bptest::RunResult trace = run_in(
        dir, kEval, {"--module", kTriLinear, "--network", "hand.save", "--data", "hand.csv", "--targets", "class", "--trace"});
    ASSERT_EQ(trace.status, 0) << trace.err;
    EXPECT_NE(trace.out.find("\nIteration: 7\nblack box tri:\n\tOutputs: "), std::string::npos) << trace.out;
    EXPECT_NE(trace.out.find("\n\tTargets: 0.000000 1.000000 0.000000"), std::string::npos) << trace.out;
    double error_sum = 0.0, squared_sum = 0.0;
    for (int k = 0; k < 8; k++) {
        const std::size_t it = trace.out.find("\nIteration: " + std::to_string(k) + "\n");
        ASSERT_NE(it, std::string::npos);
        double o[3], t[3];
        ASSERT_EQ(std::sscanf(trace.out.c_str() + trace.out.find("Outputs:", it), "Outputs: %lf %lf %lf\n\tTargets: %lf %lf %lf",
                              &o[0], &o[1], &o[2], &t[0], &t[1], &t[2]),
                  6);
        for (int j = 0; j < 3; j++) {
            error_sum += 0.5 * (o[j] - t[j]) * (o[j] - t[j]) / 3.0;
            squared_sum += (o[j] - t[j]) * (o[j] - t[j]);
        }
    }
    const double reported = std::strtod(line_after(linear.out, "Mean error: ").c_str(), nullptr);
    EXPECT_NEAR(reported, error_sum / 8.0, 2e-6) << linear.out;
    const double mse = std::strtod(line_after(linear.out, "Mean squared error: ").c_str(), nullptr);
    const double nmse = std::strtod(line_after(linear.out, "Normalised mean squared error: ").c_str(), nullptr);
    EXPECT_NEAR(mse, squared_sum / 24.0, 1e-5) << linear.out;
    EXPECT_NEAR(nmse, squared_sum / 24.0 / 0.21875, 5e-5) << linear.out;

    // Training: the same options give the same files; another seed, another network.
    std::string train_text = "# x0,x1,x2,class\n";
    std::string test_text = train_text;
    std::uint64_t state = 11;
    for (int k = 0; k < 240; k++) {
        float x[3];
        for (float &v : x)
            v = static_cast<float>(nn_patterns::splitmix64(state) >> 40) / static_cast<float>(1 << 24) * 20.0f;
        int c = 0;
        for (int j = 1; j < 3; j++)
            if (x[j] > x[c])
                c = j;
        char line[96];
        std::snprintf(line, sizeof line, "%.9g,%.9g,%.9g,%d\n", static_cast<double>(x[0]), static_cast<double>(x[1]),
                      static_cast<double>(x[2]), c);
        (k < 180 ? train_text : test_text) += line;
    }
    bptest::write_file(dir / "train.csv", train_text);
    bptest::write_file(dir / "test.csv", test_text);
    const auto train = [&](const std::string &out, const std::string &seed) {
        return run_in(dir, kTrain,
                      {"--module", kTri, "--data", "train.csv", "--test", "test.csv", "--targets", "class", "--scale",
                       "minmax", "--epochs", "30", "--order", "shuffled", "--seed", seed, "--curve", out + ".csv",
                       "--output", out + ".save"});
    };
    const bptest::RunResult a = train("a", "3");
    const bptest::RunResult b = train("b", "3");
    const bptest::RunResult c = train("c", "4");
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(a.out.rfind("nn-train: 5400 presentations, ", 0), 0u) << a.out;
    const std::string saved = bptest::read_file(dir / "a.save");
    EXPECT_GT(saved.size(), 276u + 47u * 4u);
    EXPECT_EQ(bptest::read_file(dir / "b.save"), saved);
    EXPECT_EQ(bptest::read_file(dir / "b.save.scale"), bptest::read_file(dir / "a.save.scale"));
    EXPECT_EQ(bptest::read_file(dir / "b.csv"), bptest::read_file(dir / "a.csv"));
    EXPECT_NE(bptest::read_file(dir / "c.save"), saved);
    // It has learned something: the largest of three inputs is easy.
    double accuracy = 0;
    const std::size_t at = a.out.find(" = ", a.out.find("held-out:"));
    ASSERT_NE(at, std::string::npos) << a.out;
    accuracy = std::strtod(a.out.c_str() + at + 3, nullptr);
    EXPECT_GT(accuracy, 0.8) << a.out;

    // The bare form of the trained network: importing it and exporting again gives the same
    // text, and the hand-made network (values 0 and 4) comes back byte for byte.
    const bptest::RunResult exported = run_in(dir, kAscii, {"--module", kTri, "export", "a.save"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(std::count(exported.out.begin(), exported.out.end(), '\n'), 1 + 2 + 1 + 47 + 2) << exported.out;
    ASSERT_EQ(run_in(dir, kAscii, {"--module", kTri, "import", "again.save"}, exported.out).status, 0);
    EXPECT_EQ(run_in(dir, kAscii, {"--module", kTri, "export", "again.save"}).out, exported.out);
    const bptest::RunResult hand_text = run_in(dir, kAscii, {"--module", kTri, "export", "hand.save"});
    ASSERT_EQ(run_in(dir, kAscii, {"--module", kTri, "import", "hand2.save"}, hand_text.out).status, 0);
    EXPECT_EQ(bptest::read_file(dir / "hand2.save"), bptest::read_file(dir / "hand.save"));
}

// A save file of one network is refused by the tools working on another, with a message
// naming the network the file belongs to; nothing is written.
TEST(NnModuleGenerated, SaveFilesOfAnotherNetworkAreRefused)
{
    TempDir dir;
    ASSERT_EQ(run_in(dir, kAscii, {"--module", kTri, "import", "tri.save"}, hand_dump()).status, 0);
    const std::string nn_save = bptest::data_path("sample.save");
    bptest::write_file(dir / "nn.csv", "0.1,0.2,1,0,0,0\n");
    bptest::write_file(dir / "tri.csv", "0.1,0.2,0.3,1\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{kEval, "--network", "tri.save", "--data", "nn.csv"},
         "nn-eval: Unable to find nn as nn.\nnn-eval: tri.save is a save file of the network tri, not of nn\n"},
        {{kAscii, "show", "tri.save"}, "nn-ascii: tri.save is a save file of the network tri, not of nn\n"},
        {{kTrain, "--resume", "tri.save", "--data", "nn.csv", "--output", "out.save"},
         "nn-train: tri.save is a save file of the network tri, not of nn\n"},
        {{kEval, "--module", kTri, "--network", nn_save, "--data", "tri.csv", "--targets", "class"},
         "nn-eval: " + nn_save + " is a save file of the network nn, not of tri\n"},
        {{kAscii, "--module", kTri, "export", nn_save}, " is a save file of the network nn, not of tri\n"},
        {{kTrain, "--module", kTri, "--resume", nn_save, "--data", "tri.csv", "--targets", "class", "--output",
          "out.save"},
         " is a save file of the network nn, not of tri\n"},
    };
    for (const Case &c : cases) {
        const bptest::RunResult r = bptest::run(c.args, dir.path);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_GE(r.err.size(), c.message.size());
        EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), c.message.size())), c.message) << r.err;
    }
    EXPECT_FALSE(exists(dir / "out.save"));
}

// The text with every line the marking module prints on a clearing of the delays taken out,
// and the number of those lines.
static std::string unmarked(const std::string &text, int &clears)
{
    const std::string mark = "-- delays cleared\n";
    std::string out = text;
    clears = 0;
    for (std::size_t p; (p = out.find(mark)) != std::string::npos; clears++)
        out.erase(p, mark.size());
    return out;
}

// Sequences through the tools, seen through a module of tri whose network_clear_delays
// prints a line: nn-eval clears the delays right before the first pattern of every sequence
// (in its report and again in its confusion table), nn-train at every sequence's start in
// every pass and in its score of the training set. For a network without feedback the empty
// lines change nothing else: the reports and the save files, sequential and shuffled, are
// those of the same patterns without them.
TEST(NnModuleGenerated, DelaysAreClearedAtEverySequenceStart)
{
    const std::string marked = kModules + "/tri_marked.so";
    TempDir dir;
    ASSERT_EQ(run_in(dir, kAscii, {"--module", kTri, "import", "tri.save"}, hand_dump()).status, 0);
    // Sequences of 2, 3 and 1 patterns: one boundary of three empty lines (one of spaces and
    // a tab), empty lines before the first and after the last, comments that are no boundary.
    const std::string rows[] = {"1,0,0,0", "0,1,0,1", "0,0,1,2", "0.9,0.1,0,1", "0.2,0.1,0.7,2", "0.1,0.8,0.1,0"};
    const std::string sequences = "\n# three sequences\n" + rows[0] + "\n" + rows[1] + "\n\n \t\n\n" + rows[2] +
                                  "\n# still the second\n" + rows[3] + "\n" + rows[4] + "\n\n" + rows[5] + "\n\n";
    std::string one = "# one sequence\n";
    for (const std::string &r : rows)
        one += r + "\n";
    bptest::write_file(dir / "seq.csv", sequences);
    bptest::write_file(dir / "one.csv", one);
    const std::vector<std::string> eval = {"--module", marked, "--network", "tri.save", "--targets", "class"};
    const auto run_eval = [&](const std::string &file, bool trace) {
        std::vector<std::string> args = eval;
        args.insert(args.end(), {"--data", file});
        if (trace)
            args.push_back("--trace");
        return run_in(dir, kEval, args);
    };

    const bptest::RunResult traced = run_eval("seq.csv", true);
    ASSERT_EQ(traced.status, 0) << traced.err;
    for (int k = 0; k < 6; k++) {
        const std::size_t at = traced.out.find("\nIteration: " + std::to_string(k) + "\n");
        ASSERT_NE(at, std::string::npos) << traced.out;
        const bool starts = k == 0 || k == 2 || k == 5;
        EXPECT_EQ(at >= 18 && traced.out.compare(at - 18, 18, "-- delays cleared\n") == 0, starts) << "pattern " << k;
    }
    int clears = 0;
    const std::string traced_text = unmarked(traced.out, clears);
    EXPECT_EQ(clears, 6) << traced.out;  // three in the trace, three in the confusion table
    const bptest::RunResult traced_one = run_eval("one.csv", true);
    ASSERT_EQ(traced_one.status, 0) << traced_one.err;
    EXPECT_EQ(unmarked(traced_one.out, clears), traced_text);
    EXPECT_EQ(clears, 2);

    const bptest::RunResult report = run_eval("seq.csv", false), report_one = run_eval("one.csv", false);
    ASSERT_EQ(report.status, 0) << report.err;
    const std::string report_text = unmarked(report.out, clears);
    EXPECT_EQ(clears, 6);
    EXPECT_EQ(report_text, unmarked(report_one.out, clears));
    EXPECT_NE(report_text.find("\nMean error: "), std::string::npos) << report_text;

    // Training: two passes over the three sequences, then the score of the training set.
    for (const char *order : {"sequential", "shuffled"}) {
        const auto train = [&](const std::string &file, const std::string &out) {
            return run_in(dir, kTrain,
                          {"--module", marked, "--data", file, "--targets", "class", "--epochs", "2", "--order", order,
                           "--range", "1", "--output", out});
        };
        const bptest::RunResult a = train("seq.csv", "seq.save"), b = train("one.csv", "one.save");
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        // Each pattern that begins a sequence is presented once a pass, in either order.
        const std::string a_text = unmarked(a.out, clears);
        EXPECT_EQ(clears, 2 * 3 + 3) << a.out;
        std::string b_text = unmarked(b.out, clears);
        EXPECT_EQ(clears, 2 + 1) << b.out;
        b_text.replace(b_text.find("one.save"), 8, "seq.save");
        EXPECT_EQ(a_text, b_text) << order;
        EXPECT_EQ(bptest::read_file(dir / "seq.save"), bptest::read_file(dir / "one.save")) << order;
    }
}

namespace {


// The patterns the one-row reports below run, through the pattern function.
std::vector<std::vector<float>> g_rows;
std::size_t g_row = 0;
float g_in[3];
float g_target[3];

void next_row()
{
    const std::vector<float> &r = g_rows[g_row++ % g_rows.size()];
    std::copy(r.begin(), r.begin() + 3, g_in);
    std::copy(r.begin() + 3, r.end(), g_target);
}

}  // namespace

// nn-eval runs a network without feedback as one block of forward passes: for every thread
// count its report is the network's own one-row report (statistics or trace, as the module
// prints them), and its mean error is that of the one-row passes' measured errors; with
// logistic and linear outputs, as a module and as a description.
TEST(NnModuleGenerated, EvalBlockReportIsTheOneRowReport)
{
    TempDir dir;
    std::string csv;
    g_rows.clear();
    for (int i = 0; i < 157; i++) {
        const float v[6] = {static_cast<float>((i % 7) / 7.0 - 0.5), static_cast<float>((i % 11) / 11.0 - 0.5),
                            static_cast<float>((i % 5) / 5.0 - 0.5), static_cast<float>(i % 3 == 0),
                            static_cast<float>((i % 4) / 4.0), 0.5f};
        char line[200];
        std::snprintf(line, sizeof line, "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g\n", v[0], v[1], v[2], v[3], v[4], v[5]);
        csv += line;
        g_rows.emplace_back(v, v + 6);
    }
    bptest::write_file(dir / "data.csv", csv);
    for (const std::string net : {"tri", "trilin"}) {
        const std::string description = bptest::data_path("networks/" + net + ".toml");
        std::unique_ptr<bpnet::Network> one = bpnet::Network::from_file(description);
        one->initialize(11, 2.0f);
        one->save(dir / (net + ".save"));
        one->use_vectors(g_in, g_target);
        for (const bool trace : {false, true}) {
            SCOPED_TRACE(net + (trace ? " trace" : " statistics"));
            g_row = 0;
            const std::string report = bptest::capture_stdout([&] {
                if (trace)
                    one->forward_print(static_cast<int>(g_rows.size()), next_row);
                else
                    one->forward_pdpfa(static_cast<unsigned>(g_rows.size()), next_row, 0.7f);
            });
            double sum = 0.0;
            for (g_row = 0; g_row < g_rows.size();) {
                next_row();
                one->forward();
                sum += one->measure_error();
            }
            char mean[120];
            std::snprintf(mean, sizeof mean, "%.6f over %zu patterns", sum / static_cast<double>(g_rows.size()),
                          g_rows.size());
            std::string first;
            for (const std::string threads : {"1", "2", "3"}) {
                for (const std::vector<std::string> &how :
                     {std::vector<std::string>{"--module", kModules + "/" + net + ".so"},
                      std::vector<std::string>{"--description", description}}) {
                    std::vector<std::string> args = {"--network", net + ".save", "--data", "data.csv", "--threshold",
                                                     "0.7", "--threads", threads};
                    if (trace)
                        args.push_back("--trace");
                    args.insert(args.end(), how.begin(), how.end());
                    const bptest::RunResult r = run_in(dir, kEval, args);
                    ASSERT_EQ(r.status, 0) << r.err;
                    EXPECT_EQ(r.out.substr(0, report.size() + 1), report + "\n") << threads << " " << how[0];
                    EXPECT_EQ(line_after(r.out, "Mean error: "), mean) << threads << " " << how[0];
                    if (first.empty())
                        first = r.out;
                    EXPECT_EQ(r.out, first) << threads << " " << how[0];
                }
            }
            EXPECT_NE(first.find("Correct: "), std::string::npos);
            EXPECT_EQ(first.find("Mean squared error: ") != std::string::npos, net == "trilin");
        }
    }
}

// nn-train learns in batches through every kind of network alike: a module and its
// description give the same save file for the same batches; a network with feedback refuses
// batches above 1 with the library's message, before anything is written.
TEST(NnModuleGenerated, TrainInBatchesAlikeForModuleAndDescription)
{
    TempDir dir;
    bptest::write_file(dir / "data.csv", tri_rows(101));
    const std::vector<std::string> common = {"--data", "data.csv", "--targets", "class", "--epochs", "7",
                                             "--batch", "8", "--order", "shuffled"};
    const auto train = [&](std::vector<std::string> args) {
        args.insert(args.end(), common.begin(), common.end());
        return run_in(dir, kTrain, args);
    };
    const bptest::RunResult m = train({"--module", kTri, "--output", "m.save"});
    ASSERT_EQ(m.status, 0) << m.err;
    const bptest::RunResult d = train({"--description", bptest::data_path("networks/tri.toml"), "--output", "d.save"});
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(m.out.substr(0, m.out.find("; wrote")), d.out.substr(0, d.out.find("; wrote")));
    EXPECT_EQ(bptest::read_file(dir / "m.save"), bptest::read_file(dir / "d.save"));
    // One row at a time is another learning.
    const bptest::RunResult one = run_in(dir, kTrain, {"--module", kTri, "--output", "one.save", "--data", "data.csv",
                                                       "--targets", "class", "--epochs", "7", "--order", "shuffled"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_NE(bptest::read_file(dir / "one.save"), bptest::read_file(dir / "m.save"));

    for (const std::vector<std::string> &how :
         {std::vector<std::string>{"--module", kModules + "/trifb.so"},
          std::vector<std::string>{"--description", bptest::data_path("networks/trifb.toml")}}) {
        std::vector<std::string> args = how;
        args.insert(args.end(), {"--output", "fb.save"});
        const bptest::RunResult r = train(args);
        EXPECT_EQ(r.status, 1) << how[0];
        EXPECT_EQ(r.out, "") << how[0];
        EXPECT_EQ(r.err.rfind("nn-train: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("feedback"), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir / "fb.save")) << how[0];
    }
}

#endif

// A description given with --description is built at run time: every tool gives what it gives
// with the description's generated module, and the save files are the same bytes.
TEST(NnModule, DescriptionWorksAsItsGeneratedModule)
{
    if (!BPNET_HAVE_GENERATOR)
        GTEST_SKIP() << "bpnet-gen is not part of this build";
    TempDir dir;
    const std::string module = kModules + "/tri.so";
    const std::string description = bptest::data_path("networks/tri.toml");
    bptest::write_file(dir / "data.csv", tri_rows(120));
    const std::vector<std::string> common = {"--data", "data.csv", "--targets", "class", "--iterations", "3000",
                                             "--seed", "7", "--range", "0.5"};
    // tri, and trifb with feedback (delays and traces) on both its layers.
    std::string saved;
    for (const std::string net : {"trifb", "tri"}) {
        SCOPED_TRACE(net);
        std::vector<std::string> by_module = {"--module", kModules + "/" + net + ".so", "--output", "m.save"};
        std::vector<std::string> by_description = {"--description", bptest::data_path("networks/" + net + ".toml"),
                                                   "--output", "d.save"};
        by_module.insert(by_module.end(), common.begin(), common.end());
        by_description.insert(by_description.end(), common.begin(), common.end());
        if (net == "trifb") {
            // Shuffled: a network with feedback is shown whole sequences, one without single
            // patterns, so both must see the feedback.
            for (auto *args : {&by_module, &by_description})
                args->insert(args->end(), {"--order", "shuffled"});
        }
        const bptest::RunResult m = run_in(dir, kTrain, by_module);
        const bptest::RunResult d = run_in(dir, kTrain, by_description);
        ASSERT_EQ(m.status, 0) << m.err;
        ASSERT_EQ(d.status, 0) << d.err;
        // The summary lines agree but for the file written.
        EXPECT_EQ(m.out.substr(0, m.out.find("; wrote")), d.out.substr(0, d.out.find("; wrote")));
        saved = bptest::read_file(dir / "m.save");
        ASSERT_FALSE(saved.empty());
        EXPECT_EQ(saved, bptest::read_file(dir / "d.save"));
        if (net == "trifb") {
            // The coefficients' arrays are in the file.
            EXPECT_NE(saved.find("H:a2"), std::string::npos);
            EXPECT_NE(saved.find("Out:a1"), std::string::npos);
        }
        // Evaluation of the saved network.
        const bptest::RunResult em = run_in(dir, kEval, {"--module", kModules + "/" + net + ".so", "--network",
                                                         "m.save", "--data", "data.csv", "--targets", "class"});
        const bptest::RunResult ed =
            run_in(dir, kEval, {"--description", bptest::data_path("networks/" + net + ".toml"), "--network", "m.save",
                                "--data", "data.csv", "--targets", "class"});
        EXPECT_EQ(em.status, 0) << em.err;
        EXPECT_EQ(ed.status, 0) << ed.err;
        EXPECT_EQ(em.out, ed.out);
    }

    // Both dumps, and an import through the description.
    for (const std::string form : {"show", "export"}) {
        const bptest::RunResult am = run_in(dir, kAscii, {"--module", module, form, "m.save"});
        const bptest::RunResult ad = run_in(dir, kAscii, {"--description", description, form, "m.save"});
        EXPECT_EQ(ad.status, 0) << ad.err;
        EXPECT_EQ(am.out, ad.out) << form;
    }
    const std::string bare = run_in(dir, kAscii, {"--module", module, "export", "m.save"}).out;
    const bptest::RunResult imported = run_in(dir, kAscii, {"--description", description, "import", "i.save"}, bare);
    EXPECT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(bptest::read_file(dir / "i.save"), saved);

    // A save file of another network is refused with the library's message.
    const bptest::RunResult other =
        run_in(dir, kAscii, {"--description", bptest::data_path("../../examples/networks/xor.toml"), "show", "m.save"});
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("tri"), std::string::npos) << other.err;
}

TEST(NnModule, DescriptionErrorsAndConflictsAreRefusedBeforeAnythingIsWritten)
{
    TempDir dir;
    bptest::write_file(dir / "data.csv", "1,2,3,0,1,0\n");
    bptest::write_file(dir / "bad.toml", "network = \"bad\"\ninputs = 3\n\n[[layer]]\nname = \"Out\"\nunits = 3\n"
                                         "from = [\"Nowhere\"]\n");
    for (const std::string &tool : {kTrain, kEval}) {
        const bptest::RunResult r = run_in(dir, tool, {"--description", "bad.toml", "--data", "data.csv"});
        EXPECT_EQ(r.status, 1) << tool;
        EXPECT_NE(r.err.find("bad.toml:7:"), std::string::npos) << tool << ": " << r.err;
        const bptest::RunResult both =
            run_in(dir, tool, {"--module", kModules + "/tri.so", "--description", "bad.toml", "--data", "data.csv"});
        EXPECT_EQ(both.status, 1) << tool;
        EXPECT_NE(both.err.find("--module and --description"), std::string::npos) << both.err;
    }
    const bptest::RunResult a = run_in(dir, kAscii, {"--description", "bad.toml", "show", "x.save"});
    EXPECT_EQ(a.status, 1);
    EXPECT_NE(a.err.find("bad.toml:7:"), std::string::npos) << a.err;
    const bptest::RunResult both =
        run_in(dir, kAscii, {"--description", "bad.toml", "--module", kModules + "/tri.so", "show", "x.save"});
    EXPECT_EQ(both.status, 1);
    EXPECT_NE(both.err.find("--module and --description"), std::string::npos) << both.err;
    const bptest::RunResult missing = run_in(dir, kTrain, {"--description", "missing.toml", "--data", "data.csv"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("missing.toml"), std::string::npos) << missing.err;
    EXPECT_FALSE(exists(dir / "Network.save"));
}
