// ASCII dump and load of the nn module: both text forms byte for byte, the round trip and its
// precision limit, and the loader's all-or-nothing handling of cut and damaged input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "network/nn.h"
#include "reference/nn_layout.h"
#include "support/test_support.h"

using namespace nn_layout;

namespace {

// A temporary folder for the redirections, made on first use and removed at the end.
std::string g_scratch;

const std::string &scratch()
{
    if (g_scratch.empty())
        g_scratch = bptest::make_temp_dir();
    return g_scratch;
}

class ScratchCleanup : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (!g_scratch.empty())
            bptest::remove_tree(g_scratch);
        g_scratch.clear();
    }
};
::testing::Environment *const g_cleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

// Standard output of fn, captured through a file.
template <typename Fn>
std::string capture_stdout(Fn fn)
{
    const std::string path = scratch() + "/out";
    std::fflush(stdout);
    const int saved = dup(1);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    dup2(fd, 1);
    close(fd);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    return bptest::read_file(path);
}

// Run fn with standard input reading `input`; returns what fn returned.
template <typename Fn>
auto with_stdin(const std::string &input, Fn fn)
{
    const std::string path = scratch() + "/in";
    bptest::write_file(path, input);
    const int saved = dup(0);
    const int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    dup2(fd, 0);
    close(fd);
    clearerr(stdin);
    auto result = fn();
    // The loader reads standard input to its end, so its buffer is empty again here.
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    return result;
}

// The initial network of a fresh process with the default settings.
void init_default()
{
    nn_set_random_init_seed(123);
    nn_set_random_init_range(0.1f);
    b0bcounter = 0;
    nn_init_network();
}

std::string dump(int labelled)
{
    return capture_stdout([&] { network_ascii_dump(labelled); });
}

int load(const std::string &input)
{
    return with_stdin(input, [] { return network_load_ascii(); });
}

// The whole state that a load may touch, and more: every float and the counter.
struct Snapshot {
    float data[NN_DATA_SIZE];
    int counter;
};

Snapshot snapshot()
{
    Snapshot s{};
    std::memcpy(s.data, network_data, sizeof s.data);
    s.counter = b0bcounter;
    return s;
}

::testing::AssertionResult same_bits(const Snapshot &a, const Snapshot &b)
{
    if (a.counter != b.counter)
        return ::testing::AssertionFailure() << "counter " << a.counter << " != " << b.counter;
    return bptest::same_bits(a.data, b.data, NN_DATA_SIZE);
}

// Put a distinct, recognisable state into every float: nothing here equals a drawn value.
void fill_marker_state()
{
    for (int i = 0; i < NN_DATA_SIZE; i++)
        network_data[i] = 1000.0f + static_cast<float>(i);
    b0bcounter = 4242;
}

// The trainable values in dump order.
std::vector<float> trainable()
{
    std::vector<float> v;
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            v.push_back(network_data[b.start + i]);
    return v;
}

// The lines of a text, without their line breaks.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

TEST(AsciiDump, InitialNetworkMatchesGoldenForms)
{
    nn_set_random_init_seed(123);
    nn_set_random_init_range(0.1f);
    b0bcounter = 0;
    network_initialize(nullptr, 0);
    EXPECT_EQ(dump(0), bptest::read_file(bptest::data_path("init-seed123.txt")));
    EXPECT_EQ(dump(1), bptest::read_file(bptest::data_path("init-seed123-labelled.txt")));
    // Any nonzero flag selects the labelled form.
    EXPECT_EQ(dump(-7), dump(1));
}

TEST(AsciiDump, NegativeQuarterThresholdInBothForms)
{
    init_default();
    network_data[kH2Thr + 1] = -0.25f;
    const std::string bare = dump(0);
    EXPECT_NE(bare.find("\n-0.250000000000\n"), std::string::npos);
    const std::string labelled = dump(1);
    EXPECT_NE(labelled.find("\nLayer: nn:H2\nNode[0,0]:\n   Bias="), std::string::npos);
    EXPECT_NE(labelled.find("\nNode[1,0]:\n   Bias=-0.250000000000\nConnection from $INPUTS:\n"), std::string::npos);
}

TEST(AsciiDump, WritingChangesNothing)
{
    init_default();
    const Snapshot before = snapshot();
    dump(0);
    dump(1);
    EXPECT_TRUE(same_bits(before, snapshot()));
}

TEST(AsciiRoundTrip, RestoresCounterAndEveryValueFromOneTenThousandth)
{
    // Random floats of every magnitude from 0.0001 to 10000, both signs, many dumps.
    std::mt19937 gen(20261208);
    std::uniform_real_distribution<double> exponent(-4.0, 4.0);
    std::bernoulli_distribution negative(0.5);
    for (int round = 0; round < 40; round++) {
        init_default();
        for (const Block &b : kTrainableOrder)
            for (int i = 0; i < b.count; i++) {
                float v = static_cast<float>(std::pow(10.0, exponent(gen)));
                if (v < 0.0001f)
                    v = 0.0001f;
                network_data[b.start + i] = negative(gen) ? -v : v;
            }
        // The smallest magnitude, exactly, in one place.
        network_data[kW_H1_In + 7] = -0.0001f;
        b0bcounter = round * 1000003;
        const Snapshot written = snapshot();
        const std::string text = dump(0);

        // Replace the counter and the trainable values, then load them back.
        b0bcounter = -1;
        for (const Block &b : kTrainableOrder)
            for (int i = 0; i < b.count; i++)
                network_data[b.start + i] = 1000.0f + static_cast<float>(i);
        ASSERT_EQ(load(text), 0) << error_string;
        ASSERT_TRUE(same_bits(written, snapshot())) << "round " << round;
    }
}

TEST(AsciiRoundTrip, LoadTouchesOnlyCounterAndTrainableValues)
{
    init_default();
    const std::string text = dump(0);
    const std::vector<float> values = trainable();
    fill_marker_state();
    ASSERT_EQ(load(text), 0);
    EXPECT_EQ(b0bcounter, 0);
    EXPECT_EQ(trainable(), values);
    // Activations, deltas, gradients and steps keep their marker values.
    std::vector<bool> trained(NN_DATA_SIZE, false);
    for (const Block &b : kTrainableOrder)
        for (int i = 0; i < b.count; i++)
            trained[static_cast<size_t>(b.start + i)] = true;
    for (int i = 0; i < NN_DATA_SIZE; i++) {
        if (!trained[static_cast<size_t>(i)]) {
            EXPECT_EQ(network_data[i], 1000.0f + static_cast<float>(i)) << "element " << i;
        }
    }
}

TEST(AsciiRoundTrip, PrecisionLimitBelowOneTenThousandth)
{
    init_default();
    network_data[kOutThr] = 0.1f;
    network_data[kOutThr + 1] = 1.2345678e-6f;
    const std::string text = dump(0);
    EXPECT_NE(text.find("\n0.100000001490\n"), std::string::npos);
    EXPECT_NE(text.find("\n0.000001234568\n"), std::string::npos);
    fill_marker_state();
    ASSERT_EQ(load(text), 0);
    EXPECT_EQ(network_data[kOutThr], 0.1f);
    EXPECT_EQ(network_data[kOutThr + 1], 1.234568e-6f);
    EXPECT_NE(network_data[kOutThr + 1], 1.2345678e-6f);
}

TEST(AsciiLoad, SkipsTextBeforeTheFirstHashAndEverythingAfterTheValues)
{
    init_default();
    b0bcounter = 9;
    const std::vector<float> values = trainable();
    const std::string text = "Saved on Tuesday.\nNo marks in here.\n" + dump(0) + "trailing text # more\n";
    fill_marker_state();
    ASSERT_EQ(load(text), 0);
    EXPECT_EQ(b0bcounter, 9);
    EXPECT_EQ(trainable(), values);
}

TEST(AsciiLoad, CountAndValuesMayBeSpreadOverAnyWhiteSpace)
{
    init_default();
    std::string text = "#  \t12\n";
    for (int i = 0; i < kTrainable; i++)
        text += (i % 3 == 0 ? "\t" : "  ") + std::to_string(i) + ".5" + (i % 5 == 0 ? "\n\n" : "");
    ASSERT_EQ(load(text), 0) << error_string;  // no closing "#" needed
    EXPECT_EQ(b0bcounter, 12);
    const std::vector<float> v = trainable();
    for (int i = 0; i < kTrainable; i++)
        EXPECT_EQ(v[static_cast<size_t>(i)], static_cast<float>(i) + 0.5f);
}

TEST(AsciiLoad, LeavesStandardInputAtItsEnd)
{
    init_default();
    const std::string text = dump(0) + "after the dump\n";
    const int rest = with_stdin(text, [] {
        network_load_ascii();
        return std::fgetc(stdin);
    });
    EXPECT_EQ(rest, EOF);
}

// Each damaged input: result -2, a message, and not one bit of the state changed.
void expect_refused(const std::string &input, const char *fragment)
{
    init_default();
    b0bcounter = 31;
    network_data[kH1Act] = 0.5f;  // something outside the trainable values as well
    error_string[0] = '\0';
    const Snapshot before = snapshot();
    EXPECT_EQ(load(input), -2);
    EXPECT_TRUE(same_bits(before, snapshot()));
    EXPECT_EQ(error_string[0], '\n') << error_string;
    EXPECT_NE(std::strstr(error_string, fragment), nullptr) << error_string;
    EXPECT_EQ(error_string[std::strlen(error_string) - 1], '\n');
}

TEST(AsciiLoad, RefusesEmptyInputAndInputWithoutHash)
{
    expect_refused("", "before the first \"#\"");
    expect_refused("no dump here\n1.0\n2.0\n", "before the first \"#\"");
    // The labelled form holds no "#" and is not a loadable dump.
    init_default();
    expect_refused(dump(1), "before the first \"#\"");
}

TEST(AsciiLoad, RefusesMissingOrDamagedCount)
{
    expect_refused("\n\n#\n", "iteration count");
    expect_refused("\n\n#\nseven\n0.1\n", "iteration count");
    // A "#" in the text before the dump is taken as its start.
    init_default();
    expect_refused("see # below\n" + dump(0), "iteration count");
}

TEST(AsciiLoad, RefusesCutDump)
{
    init_default();
    const std::vector<std::string> lines = lines_of(dump(0));
    // Cut after the count and the first 10 values.
    std::string cut;
    for (size_t i = 0; i < 4 + 10; i++)
        cut += lines[i] + "\n";
    expect_refused(cut, "ends after 10 of its 62 values");
    // Cut before the first value, and just before the last.
    expect_refused("#\n5\n", "ends after 0 of its 62 values");
    std::string almost;
    for (size_t i = 0; i < 4 + 61; i++)
        almost += lines[i] + "\n";
    expect_refused(almost, "ends after 61 of its 62 values");
}

TEST(AsciiLoad, RefusesDamagedValue)
{
    init_default();
    std::vector<std::string> lines = lines_of(dump(0));
    // Value 30 made unreadable; a second "#" in place of a value is refused the same way.
    std::vector<std::string> bad = lines;
    bad[4 + 29] = "x0.5";
    std::string text;
    for (const std::string &l : bad)
        text += l + "\n";
    expect_refused(text, "Value 30 of 62");
    bad = lines;
    bad[4 + 61] = "#";
    text.clear();
    for (const std::string &l : bad)
        text += l + "\n";
    expect_refused(text, "Value 62 of 62");
}

TEST(AsciiLoad, CompleteDumpAfterRefusalStillLoads)
{
    init_default();
    b0bcounter = 5;
    const std::string good = dump(0);
    const std::vector<float> values = trainable();
    expect_refused("#\n1\n2\n", "ends after");
    fill_marker_state();
    ASSERT_EQ(load(good), 0);
    EXPECT_EQ(b0bcounter, 5);
    EXPECT_EQ(trainable(), values);
}

// A locale whose decimal point is a comma: an installed one, or one built for the test.
bool use_decimal_comma_locale()
{
    for (const char *name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "nl_NL.UTF-8", "de_DE"})
        if (std::setlocale(LC_ALL, name) != nullptr && std::strcmp(std::localeconv()->decimal_point, ",") == 0)
            return true;
    std::setlocale(LC_ALL, "C");
    // Build one from the system's locale sources when they are there.
    if (access("/usr/bin/localedef", X_OK) != 0)
        return false;
    const std::string dir = scratch() + "/locales";
    mkdir(dir.c_str(), 0755);
    const bptest::RunResult r =
        bptest::run({"/usr/bin/localedef", "-i", "de_DE", "-f", "UTF-8", dir + "/de_DE.utf8"}, scratch());
    (void)r;  // localedef may warn yet still write the locale; setlocale below decides
    setenv("LOCPATH", dir.c_str(), 1);
    const bool ok =
        std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr && std::strcmp(std::localeconv()->decimal_point, ",") == 0;
    if (!ok)
        std::setlocale(LC_ALL, "C");
    return ok;
}

TEST(AsciiLocale, DecimalPointWhateverTheHostLocale)
{
    init_default();
    b0bcounter = 3;
    const std::string c_bare = dump(0);
    const std::string c_labelled = dump(1);
    const std::vector<float> values = trainable();
    if (!use_decimal_comma_locale())
        GTEST_SKIP() << "no locale with a decimal comma is available";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    ASSERT_STREQ(probe, "0,5");  // the host locale really is in effect

    EXPECT_EQ(dump(0), c_bare);
    EXPECT_EQ(dump(1), c_labelled);
    fill_marker_state();
    EXPECT_EQ(load(c_bare), 0) << error_string;
    EXPECT_EQ(b0bcounter, 3);
    EXPECT_EQ(trainable(), values);
    // The host's own formatting is left as it was.
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    EXPECT_STREQ(probe, "0,5");
    std::setlocale(LC_ALL, "C");
}

}  // namespace
