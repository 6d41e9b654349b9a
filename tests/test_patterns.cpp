// The tools' shared code: the demonstration sampler, the CSV pattern format and its
// sequences, the presentation order, the target variance and the strict command-line number
// parsers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tools/common/cli.h"
#include "tools/common/nn_patterns.h"
#include "tools/common/presentation.h"
#include "tools/common/scoring.h"

using nn_patterns::Pattern;

TEST(PatternsDemo, ClassesInTurnWithOneHotTargets)
{
    const std::vector<Pattern> p = nn_patterns::demo_patterns(10, 42);
    ASSERT_EQ(p.size(), 10u);
    for (std::size_t k = 0; k < p.size(); k++)
        for (std::size_t c = 0; c < 4; c++)
            EXPECT_EQ(p[k].target[c], c == k % 4 ? 1.0f : 0.0f) << k << " " << c;
    EXPECT_TRUE(nn_patterns::demo_patterns(0, 42).empty());
}

TEST(PatternsDemo, DeterministicPerSeed)
{
    const std::vector<Pattern> a = nn_patterns::demo_patterns(100, 7);
    const std::vector<Pattern> b = nn_patterns::demo_patterns(100, 7);
    const std::vector<Pattern> c = nn_patterns::demo_patterns(100, 8);
    int differing = 0;
    for (std::size_t k = 0; k < a.size(); k++) {
        EXPECT_EQ(a[k].in[0], b[k].in[0]);
        EXPECT_EQ(a[k].in[1], b[k].in[1]);
        differing += a[k].in[0] != c[k].in[0];
    }
    EXPECT_GT(differing, 90);
    // A prefix of a longer draw is the shorter draw.
    const std::vector<Pattern> longer = nn_patterns::demo_patterns(200, 7);
    for (std::size_t k = 0; k < a.size(); k++)
        EXPECT_EQ(a[k].in[1], longer[k].in[1]);
}

TEST(PatternsDemo, DoesNotTouchTheNetworkGenerator)
{
    srand48(99);
    const double first = drand48();
    srand48(99);
    nn_patterns::demo_patterns(50, 3);
    EXPECT_EQ(drand48(), first);
}

TEST(PatternsDemo, CentresAndSpreadsOfTheFourClasses)
{
    const double cx[4] = {0.4, -0.4, 0.0, 0.0};
    const double cy[4] = {0.2, 0.2, -0.2, 0.2};
    const double sd[4] = {0.19749143, 0.19749143, 0.19749143, 0.1};
    const std::size_t n = 80000;  // 20000 per class
    const std::vector<Pattern> p = nn_patterns::demo_patterns(n, 12345);
    for (int c = 0; c < 4; c++) {
        double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
        double count = 0;
        for (std::size_t k = static_cast<std::size_t>(c); k < n; k += 4) {
            const double x = p[k].in[0] - cx[c], y = p[k].in[1] - cy[c];
            sx += x;
            sy += y;
            sxx += x * x;
            syy += y * y;
            sxy += x * y;
            count++;
        }
        // Means within about 5 standard errors, spreads within 3%, no correlation.
        const double se = sd[c] / std::sqrt(count);
        EXPECT_NEAR(sx / count, 0.0, 5 * se) << "class " << c;
        EXPECT_NEAR(sy / count, 0.0, 5 * se) << "class " << c;
        EXPECT_NEAR(std::sqrt(sxx / count), sd[c], 0.03 * sd[c]) << "class " << c;
        EXPECT_NEAR(std::sqrt(syy / count), sd[c], 0.03 * sd[c]) << "class " << c;
        EXPECT_NEAR(sxy / count / (sd[c] * sd[c]), 0.0, 0.05) << "class " << c;
    }
}

TEST(PatternsDemo, Splitmix64ReferenceValues)
{
    std::uint64_t state = 0;
    EXPECT_EQ(nn_patterns::splitmix64(state), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(nn_patterns::splitmix64(state), 0x6E789E6AA1B965F4ull);
    EXPECT_EQ(state, 2 * 0x9E3779B97F4A7C15ull);
}

TEST(PatternsCsv, ReadsLinesSkippingBlanksAndComments)
{
    const std::string text =
        "# x0,x1,t0,t1,t2,t3\n"
        "0.5,-0.25,1,0,0,0\n"
        "\n"
        "   \t\n"
        "  # indented comment\n"
        " 1e-1 , .5 ,0,1,0,0\r\n"
        "-1.,+2,0,0,1,0.5";  // no final newline
    std::vector<Pattern> out;
    int line = -1;
    std::string error;
    ASSERT_TRUE(nn_patterns::parse_csv(text, out, line, error)) << error;
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].in[0], 0.5f);
    EXPECT_EQ(out[0].in[1], -0.25f);
    EXPECT_EQ(out[0].target[0], 1.0f);
    EXPECT_EQ(out[1].in[0], 0.1f);
    EXPECT_EQ(out[1].in[1], 0.5f);
    EXPECT_EQ(out[1].target[1], 1.0f);
    EXPECT_EQ(out[2].in[0], -1.0f);
    EXPECT_EQ(out[2].in[1], 2.0f);
    EXPECT_EQ(out[2].target[3], 0.5f);
    // Decimal text is rounded once to the nearest float.
    EXPECT_EQ(out[1].in[0], std::strtof("0.1", nullptr));
}

TEST(PatternsCsv, MalformedLinesAreNamedWithTheirNumber)
{
    const struct {
        const char *line;
        const char *what;
    } cases[] = {
        {"1,2,3,4,5", "found 5"},
        {"1,2,3,4,5,6,7", "found 7"},
        {"1,2,3,,5,6", "field 4 is empty"},
        {"1,2,3,4,5,", "field 6 is empty"},
        {"abc,2,3,4,5,6", "field 1 is not a finite number: \"abc\""},
        {"1,nan,3,4,5,6", "field 2 is not a finite number"},
        {"1,2,inf,4,5,6", "field 3 is not a finite number"},
        {"1,2,3,-infinity,5,6", "field 4"},
        {"1,2,3,4,1e39,6", "field 5 is not a finite number"},
        {"1,2,3,4,5,0x10", "field 6"},
        {"1.0x,2,3,4,5,6", "field 1"},
        {"1 2,2,3,4,5,6", "field 1"},
        {"1;2;3;4;5;6", "field 1"},
        {"1,2,3,4,5,6e", "field 6"},
        {".,2,3,4,5,6", "field 1"},
    };
    for (const auto &c : cases) {
        const std::string text = "0,0,1,0,0,0\n# comment\n\n" + std::string(c.line) + "\n0,0,0,0,0,1\n";
        std::vector<Pattern> out;
        int line = 0;
        std::string error;
        EXPECT_FALSE(nn_patterns::parse_csv(text, out, line, error)) << c.line;
        EXPECT_EQ(line, 4) << c.line;
        EXPECT_NE(error.find(c.what), std::string::npos) << c.line << " -> " << error;
        EXPECT_EQ(out.size(), 1u) << c.line;
    }
}

TEST(PatternsCsv, ControlBytesAndLongFieldsAreShownSafely)
{
    std::string text = "1,2,3,4,5,6\n";
    text += std::string("7\0", 2) + "8,2,3,4,5,6\n";
    std::vector<Pattern> out;
    int line = 0;
    std::string error;
    EXPECT_FALSE(nn_patterns::parse_csv(text, out, line, error));
    EXPECT_EQ(line, 2);
    EXPECT_EQ(error.find('\0'), std::string::npos);
    EXPECT_NE(error.find("7?8"), std::string::npos) << error;

    const std::string big(5000, '9');
    out.clear();
    EXPECT_FALSE(nn_patterns::parse_csv(big + "x,1,1,1,1,1\n", out, line, error));
    EXPECT_LT(error.size(), 200u);
    EXPECT_NE(error.find("...\""), std::string::npos) << error;
}

TEST(PatternsCsv, LoadNamesFileAndLine)
{
    const std::string dir = bptest::make_temp_dir();
    const std::string good = dir + "/good.csv", bad = dir + "/bad.csv";
    bptest::write_file(good, "0.1,0.2,1,0,0,0\n0.3,0.4,0,1,0,0\n");
    bptest::write_file(bad, "0.1,0.2,1,0,0,0\n\n0.3,zz,0,1,0,0\n");
    std::vector<Pattern> out;
    std::string error;
    EXPECT_TRUE(nn_patterns::load_csv(good, out, error)) << error;
    EXPECT_EQ(out.size(), 2u);
    out.clear();
    EXPECT_FALSE(nn_patterns::load_csv(bad, out, error));
    EXPECT_EQ(error.rfind(bad + ":3: field 2", 0), 0u) << error;
    EXPECT_FALSE(nn_patterns::load_csv(dir + "/missing.csv", out, error));
    EXPECT_EQ(error, dir + "/missing.csv: No such file or directory");
    EXPECT_FALSE(nn_patterns::load_csv(dir, out, error));  // a folder cannot be read
    EXPECT_EQ(error.rfind(dir + ": ", 0), 0u) << error;
    bptest::remove_tree(dir);
}

TEST(Cli, UnsignedNumbersAreStrict)
{
    std::uint64_t v = 77;
    EXPECT_TRUE(bp_cli::parse_unsigned("0", 10, v));
    EXPECT_EQ(v, 0u);
    EXPECT_TRUE(bp_cli::parse_unsigned("4294967295", UINT32_MAX, v));
    EXPECT_EQ(v, 4294967295u);
    EXPECT_TRUE(bp_cli::parse_unsigned("18446744073709551615", UINT64_MAX, v));
    EXPECT_EQ(v, UINT64_MAX);
    v = 5;
    for (const char *bad : {"", "-1", "+1", " 1", "1 ", "1e3", "0x10", "4294967296", "12a", "18446744073709551616"})
        EXPECT_FALSE(bp_cli::parse_unsigned(bad, UINT32_MAX, v)) << bad;
    EXPECT_EQ(v, 5u);  // untouched on failure
}

TEST(Cli, SignedNumbersAreStrict)
{
    std::int64_t v = 0;
    EXPECT_TRUE(bp_cli::parse_signed("-2147483648", INT32_MIN, INT32_MAX, v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_TRUE(bp_cli::parse_signed("2147483647", INT32_MIN, INT32_MAX, v));
    EXPECT_EQ(v, INT32_MAX);
    EXPECT_TRUE(bp_cli::parse_signed("-9223372036854775808", INT64_MIN, INT64_MAX, v));
    EXPECT_EQ(v, INT64_MIN);
    for (const char *bad : {"", "-", "2147483648", "-2147483649", "+5", "--1", "1.0", "9223372036854775808"})
        EXPECT_FALSE(bp_cli::parse_signed(bad, INT32_MIN, INT32_MAX, v)) << bad;
    EXPECT_FALSE(bp_cli::parse_signed("9223372036854775808", INT64_MIN, INT64_MAX, v));
}

TEST(Cli, FloatsAreFiniteDecimals)
{
    float f = 0;
    EXPECT_TRUE(bp_cli::parse_float("0.2", f));
    EXPECT_EQ(f, 0.2f);
    EXPECT_TRUE(bp_cli::parse_float("-1e-3", f));
    EXPECT_EQ(f, -1e-3f);
    EXPECT_TRUE(bp_cli::parse_float("5.", f));
    EXPECT_EQ(f, 5.0f);
    EXPECT_TRUE(bp_cli::parse_float("+.25E+1", f));
    EXPECT_EQ(f, 2.5f);
    f = 9;
    for (const char *bad : {"", "nan", "inf", "-inf", "1e39", "0x1p3", "1,5", " 1", "1 ", ".", "e5", "1e", "1.2.3"})
        EXPECT_FALSE(bp_cli::parse_float(bad, f)) << bad;
    EXPECT_EQ(f, 9.0f);
}

TEST(Cli, OptionValuesInBothForms)
{
    char a0[] = "tool", a1[] = "--rate", a2[] = "0.5", a3[] = "--seed=7", a4[] = "--rates=1", a5[] = "--output";
    char *argv[] = {a0, a1, a2, a3, a4, a5};
    const char *value = nullptr;
    int i = 1;
    EXPECT_EQ(bp_cli::option_value(6, argv, i, "--rate", value), bp_cli::kMatched);
    EXPECT_STREQ(value, "0.5");
    EXPECT_EQ(i, 2);
    i = 3;
    EXPECT_EQ(bp_cli::option_value(6, argv, i, "--seed", value), bp_cli::kMatched);
    EXPECT_STREQ(value, "7");
    EXPECT_EQ(i, 3);
    i = 4;
    EXPECT_EQ(bp_cli::option_value(6, argv, i, "--rate", value), bp_cli::kNoMatch);
    i = 5;
    EXPECT_EQ(bp_cli::option_value(6, argv, i, "--output", value), bp_cli::kMissingValue);
}

// Pattern files of any size: random lines of random sizes, written with enough digits to
// read back exactly, in both target forms, with runs of empty lines (some holding spaces and
// tabs) and comments between them; the reader gives back exactly what was written, a new
// sequence after every run of empty lines that has patterns on both sides, and with 2
// inputs and 4 targets it is the reader of the built-in network's files.
TEST(PatternsCsv, AnySizeReadsBackWhatWasWritten)
{
    std::uint64_t state = 2024;
    const auto below = [&](std::uint64_t n) { return nn_patterns::splitmix64(state) % n; };
    for (int round = 0; round < 300; round++) {
        const int inputs = 1 + static_cast<int>(below(9));
        const int outputs = 1 + static_cast<int>(below(12));
        const bool by_class = below(2) == 1;
        const std::size_t count = below(6);
        std::string text = below(2) ? "# header\n" : "";
        std::vector<float> expected;
        std::vector<std::size_t> starts;
        bool boundary = true;
        for (std::size_t k = 0; k < count; k++) {
            // Before the pattern: nothing, a comment (no boundary) or a run of empty lines.
            const std::uint64_t gap = below(4);
            if (gap == 1)
                text += "# between\n";
            for (std::uint64_t e = 0; gap >= 2 && e < gap - 1; e++)
                text += e % 2 ? " \t\r\n" : "\n";
            if (gap >= 2)
                boundary = true;
            if (boundary)
                starts.push_back(k);
            boundary = false;
            for (int i = 0; i < inputs + outputs; i++) {
                const float v = static_cast<float>(static_cast<double>(nn_patterns::splitmix64(state) >> 11) *
                                                   0x1.0p-53 * 200.0 - 100.0);
                if (i < inputs) {
                    expected.push_back(v);
                    text += i ? "," : "";
                    char field[32];
                    std::snprintf(field, sizeof field, "%.9g", static_cast<double>(v));
                    text += field;
                }
            }
            if (by_class) {
                const int c = static_cast<int>(below(static_cast<std::uint64_t>(outputs)));
                text += " , " + std::to_string(c);
                for (int t = 0; t < outputs; t++)
                    expected.push_back(t == c ? 1.0f : 0.0f);
            } else {
                for (int t = 0; t < outputs; t++) {
                    const float v = static_cast<float>(below(1000)) / 8.0f;
                    char field[32];
                    std::snprintf(field, sizeof field, ",%.9g", static_cast<double>(v));
                    text += field;
                    expected.push_back(v);
                }
            }
            text += "\n";
        }
        if (below(2))
            text += "\n\n# trailing\n";  // empty lines after the last pattern open nothing
        nn_patterns::PatternSet set;
        int line = -1;
        std::string error;
        const nn_patterns::TargetForm form = by_class ? nn_patterns::TargetForm::kClass : nn_patterns::TargetForm::kVector;
        ASSERT_TRUE(nn_patterns::parse_csv_sized(text, inputs, outputs, form, set, line, error)) << error << "\n"
                                                                                               << text;
        EXPECT_EQ(set.inputs, inputs);
        EXPECT_EQ(set.outputs, outputs);
        ASSERT_EQ(set.size(), count);
        EXPECT_EQ(set.values, expected) << text;
        EXPECT_EQ(set.starts, starts) << text;
        ASSERT_EQ(set.sequences(), starts.size());
        for (std::size_t q = 0; q < set.sequences(); q++) {
            EXPECT_EQ(set.sequence_begin(q), starts[q]);
            EXPECT_EQ(set.sequence_end(q), q + 1 < starts.size() ? starts[q + 1] : count);
        }
        for (std::size_t k = 0; k < count; k++)
            EXPECT_EQ(set.target(k), set.input(k) + inputs);

        // One field too many or too few on a last line is refused with that line's number.
        const int fields = inputs + (by_class ? 1 : outputs);
        const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n'));
        const int written = fields + (below(2) ? 1 : -1);
        if (written == 0)
            continue;  // no field at all: a blank line, which is skipped
        std::string bad = text;
        for (int f = 0; f < written; f++)
            bad += f ? ",1" : "0";
        bad += "\n";
        EXPECT_FALSE(nn_patterns::parse_csv_sized(bad, inputs, outputs, form, set, line, error)) << bad;
        EXPECT_EQ(line, lines + 1);
        EXPECT_EQ(set.size(), count);

        if (inputs == 2 && outputs == 4 && !by_class) {
            std::vector<nn_patterns::Pattern> old;
            ASSERT_TRUE(nn_patterns::parse_csv(text, old, line, error));
            EXPECT_EQ(nn_patterns::to_set(old).values, set.values);
        }
    }
}

// A set of count patterns (one value each, its index) split into sequences at starts.
static nn_patterns::PatternSet indexed_set(std::size_t count, std::vector<std::size_t> starts)
{
    nn_patterns::PatternSet set;
    set.inputs = 1;
    set.outputs = 0;
    for (std::size_t k = 0; k < count; k++)
        set.values.push_back(static_cast<float>(k));
    set.starts = std::move(starts);
    return set;
}

// The presentation order over random sets and passes. Shuffled by sequence, every pass holds
// every pattern once, each sequence's patterns together and in file order, and the pass ends
// at a sequence's end; shuffled by pattern, it is the row shuffle nn-train has always done
// (kept here as it was written), so networks without feedback train to the same bits.
TEST(Presentation, SequencesStayWholeAndRowsShuffleAsBefore)
{
    std::uint64_t state = 77;
    const auto below = [&](std::uint64_t n) { return nn_patterns::splitmix64(state) % n; };
    int moved = 0;
    for (int round = 0; round < 200; round++) {
        const std::size_t count = 1 + below(40);
        std::vector<std::size_t> starts{0};
        for (std::size_t k = 1; k < count; k++)
            if (below(4) == 0)
                starts.push_back(k);
        const nn_patterns::PatternSet set = indexed_set(count, starts);
        const std::vector<bool> first = set.first_flags();
        std::uint64_t seed = 1 + below(1000);

        presentation::Order by_sequence = presentation::make_order(set, true);
        presentation::Order by_row = presentation::make_order(set, false);
        std::vector<std::size_t> old_rows(count);
        for (std::size_t k = 0; k < count; k++)
            old_rows[k] = k;
        ASSERT_EQ(by_sequence.rows, old_rows);
        ASSERT_EQ(by_row.rows, old_rows);
        std::uint64_t sequence_state = seed, row_state = seed, old_state = seed;
        for (int pass = 0; pass < 3; pass++) {
            presentation::reshuffle(by_sequence, set, sequence_state);
            presentation::reshuffle(by_row, set, row_state);
            for (std::size_t i = old_rows.size(); i > 1; i--) {
                const std::size_t j = static_cast<std::size_t>(nn_patterns::splitmix64(old_state) % i);
                std::swap(old_rows[i - 1], old_rows[j]);
            }
            EXPECT_EQ(by_row.rows, old_rows);

            const std::vector<std::size_t> &rows = by_sequence.rows;
            ASSERT_EQ(rows.size(), count);
            std::vector<std::size_t> sorted = rows;
            std::sort(sorted.begin(), sorted.end());
            for (std::size_t k = 0; k < count; k++)
                ASSERT_EQ(sorted[k], k);
            ASSERT_TRUE(first[rows[0]]);
            for (std::size_t p = 1; p < count; p++) {
                if (!first[rows[p]]) {
                    ASSERT_EQ(rows[p], rows[p - 1] + 1) << "a sequence broken at position " << p;
                }
            }
            ASSERT_TRUE(rows.back() + 1 == count || first[rows.back() + 1]) << "a pass ends within a sequence";
            moved += rows != old_rows && starts.size() > 2;

            // From any position: the presentations left in the sequence under way.
            for (std::size_t p = 0; p <= count; p++) {
                const std::size_t rest = presentation::to_sequence_end(by_sequence, first, p);
                ASSERT_LE(p + rest, count);
                ASSERT_TRUE(p + rest == count || first[rows[p + rest]]);
                for (std::size_t q = p; q < p + rest; q++)
                    ASSERT_FALSE(first[rows[q]]);
            }
        }
    }
    EXPECT_GT(moved, 100);  // the sequence shuffle does move sequences
}

// The targets' variance: each output's population variance about its own mean, averaged;
// far from 0 the two-pass form keeps every digit that a one-pass sum of squares loses.
TEST(Scoring, TargetVarianceIsTheMeanOfEachOutputsVariance)
{
    nn_patterns::PatternSet set;
    set.inputs = 1;
    set.outputs = 2;
    // Output 0: 1, 2, 3, 6 (variance 3.5); output 1: 1e4 plus 0, 0.5, 0, 0.5 (variance 0.0625).
    set.values = {0, 1, 10000.0f, 0, 2, 10000.5f, 0, 3, 10000.0f, 0, 6, 10000.5f};
    EXPECT_EQ(scoring::target_variance(set), (3.5 + 0.0625) / 2);
    set.outputs = 1;
    set.inputs = 2;
    EXPECT_EQ(scoring::target_variance(set), 0.0625);
    set.values.clear();
    EXPECT_EQ(scoring::target_variance(set), 0.0);
    const float out[3] = {1.0f, -2.0f, 0.5f}, target[3] = {0.0f, 1.0f, 0.5f};
    EXPECT_EQ(scoring::squared_error(out, target, 3), 10.0);
}
