// nn-eval: run a saved network over patterns (the built-in demonstration task or a CSV file)
// and report the network's detection statistics, or its per-pattern trace, with a per-class
// confusion table.
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "network/nn.h"
#include "tools/common/cli.h"
#include "tools/common/nn_patterns.h"

namespace {

constexpr const char *kTool = "nn-eval";

// Defaults: a demonstration set drawn apart from nn-train's default training set.
constexpr std::uint64_t kDefaultSamples = 1000;
constexpr std::uint64_t kDefaultSampleSeed = 2;
constexpr std::uint64_t kMaxSamples = 100000000;
constexpr float kDefaultThreshold = 0.5f;

// Number of classes: one per output.
constexpr int kClasses = 4;

// Everything the command line sets.
struct Options {
    std::string network = "Network.save";
    std::string data;
    std::uint64_t samples = kDefaultSamples;
    std::uint64_t sample_seed = kDefaultSampleSeed;
    float threshold = kDefaultThreshold;
    bool trace = false;
};

// The patterns run through the network, one per call of the pattern function.
std::vector<nn_patterns::Pattern> g_patterns;
std::size_t g_next = 0;
float g_input[2];
float g_target[4];

void print_help()
{
    std::printf(
        "Usage: nn-eval [OPTION]...\n"
        "Run a saved network over patterns and report how well it does.\n"
        "\n"
        "The report gives, per output, the maximum, minimum, mean and variance over the\n"
        "patterns, then Pd, the share of patterns whose four outputs lie within the\n"
        "threshold distance (Euclidean) of their targets, and Pfa, the share of the others.\n"
        "A confusion table follows: for each pattern, the class whose target is largest\n"
        "(row) against the class whose output is largest (column); ties go to the lower\n"
        "class.\n"
        "\n"
        "Without --data the patterns are drawn from the built-in demonstration task of\n"
        "nn-train; the default sample seed differs from nn-train's, so that the network is\n"
        "judged on patterns it was not trained on.\n"
        "\n"
        "Options:\n"
        "  --network FILE       save file to evaluate (default \"Network.save\")\n"
        "  --data FILE          patterns of FILE, one per line \"x0,x1,t0,t1,t2,t3\";\n"
        "                       blank lines and lines starting with \"#\" are skipped\n"
        "  --samples N          size of the demonstration set (default %" PRIu64 ")\n"
        "  --sample-seed S      seed of the demonstration sampler (default %" PRIu64 ")\n"
        "  --threshold T        distance for Pd (default %g); only its size counts\n"
        "  --trace              print each pattern's outputs and targets instead of the\n"
        "                       statistics\n"
        "  --help               show this help and exit\n"
        "  --version            show the version and exit\n"
        "\n"
        "Exit status: 0 on success, 1 on any error (message on standard error).\n",
        kDefaultSamples, kDefaultSampleSeed, static_cast<double>(kDefaultThreshold));
}

// Parse the command line into o; returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; i++) {
        const std::string_view arg(argv[i]);
        if (arg == "--help" || arg == "-h") {
            print_help();
            return bp_cli::finish_output(kTool);
        }
        if (arg == "--version") {
            bp_cli::print_version(kTool);
            return bp_cli::finish_output(kTool);
        }
        if (arg == "--trace") {
            o.trace = true;
            continue;
        }
        const char *value = nullptr;
        bool known = false;
        bool ok = true;
        std::string problem;
        const auto option = [&](std::string_view name) {
            if (known)
                return false;
            const bp_cli::OptionMatch m = bp_cli::option_value(argc, argv, i, name, value);
            if (m == bp_cli::kMissingValue) {
                known = true;
                ok = false;
                problem = "option '" + std::string(name) + "' needs a value";
                return false;
            }
            known = m == bp_cli::kMatched;
            return known;
        };
        const auto bad = [&](const char *name, const char *what) {
            ok = false;
            problem = std::string("invalid value '") + value + "' for " + name + ": " + what;
        };
        std::uint64_t u = 0;
        float f = 0.0f;
        if (option("--samples")) {
            if (bp_cli::parse_unsigned(value, kMaxSamples, u) && u > 0)
                o.samples = u;
            else
                bad("--samples", "expected a whole number from 1 to 100000000");
        } else if (option("--sample-seed")) {
            if (bp_cli::parse_unsigned(value, UINT64_MAX, u))
                o.sample_seed = u;
            else
                bad("--sample-seed", "expected a whole number from 0 to 18446744073709551615");
        } else if (option("--threshold")) {
            if (bp_cli::parse_float(value, f))
                o.threshold = f;
            else
                bad("--threshold", "expected a finite number");
        } else if (option("--network")) {
            o.network = value;
        } else if (option("--data")) {
            o.data = value;
        }
        if (!ok)
            return bp_cli::usage_error(kTool, problem);
        if (!known)
            return bp_cli::unknown_argument(kTool, arg);
    }
    if (o.network.empty())
        return bp_cli::usage_error(kTool, "empty file name for --network");
    return -1;
}

// The pattern function: the next pattern into the registered vectors.
void next_pattern()
{
    const nn_patterns::Pattern &p = g_patterns[g_next];
    g_next = g_next + 1 < g_patterns.size() ? g_next + 1 : 0;
    std::memcpy(g_input, p.in, sizeof g_input);
    std::memcpy(g_target, p.target, sizeof g_target);
}

// Index of the largest of four values, the lower index on ties; -1 when one is not a number.
int largest(const float *v)
{
    int best = 0;
    for (int j = 0; j < kClasses; j++) {
        if (std::isnan(v[j]))
            return -1;
        if (v[j] > v[best])
            best = j;
    }
    return best;
}

// Run every pattern once more and print the confusion table of target class against output class.
void print_confusion()
{
    std::uint64_t table[kClasses][kClasses] = {};
    std::uint64_t unclassified = 0;
    for (const nn_patterns::Pattern &p : g_patterns) {
        std::memcpy(g_input, p.in, sizeof g_input);
        std::memcpy(g_target, p.target, sizeof g_target);
        nn_propagate_forward();
        const int out = largest(nn_get_output());
        const int want = largest(p.target);
        if (out < 0 || want < 0)
            unclassified++;
        else
            table[want][out]++;
    }

    std::printf("\nConfusion (rows: class of the largest target, columns: class of the largest output):\n");
    std::printf("class ");
    for (int c = 0; c < kClasses; c++)
        std::printf(" %9d", c);
    std::printf(" %9s\n", "total");
    std::uint64_t column[kClasses] = {};
    std::uint64_t correct = 0;
    std::uint64_t all = 0;
    for (int r = 0; r < kClasses; r++) {
        std::uint64_t row = 0;
        std::printf("%5d ", r);
        for (int c = 0; c < kClasses; c++) {
            std::printf(" %9" PRIu64, table[r][c]);
            row += table[r][c];
            column[c] += table[r][c];
        }
        std::printf(" %9" PRIu64 "\n", row);
        correct += table[r][r];
        all += row;
    }
    std::printf("total ");
    for (int c = 0; c < kClasses; c++)
        std::printf(" %9" PRIu64, column[c]);
    std::printf(" %9" PRIu64 "\n", all);
    if (unclassified > 0)
        std::printf("Not classified (an output or target is not a number): %" PRIu64 "\n", unclassified);
    std::printf("Correct: %" PRIu64 "/%" PRIu64 " = %f\n", correct, all,
                all ? static_cast<double>(correct) / static_cast<double>(all) : 0.0);
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    const int status = parse_options(argc, argv, o);
    if (status >= 0)
        return status;

    // The patterns, before the network is touched.
    if (o.data.empty()) {
        g_patterns = nn_patterns::demo_patterns(static_cast<std::size_t>(o.samples), o.sample_seed);
    } else {
        std::string error;
        if (!nn_patterns::load_csv(o.data, g_patterns, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        if (g_patterns.empty()) {
            std::fprintf(stderr, "%s: no patterns\n", o.data.c_str());
            return 1;
        }
    }
    // The reports count patterns in an int.
    if (g_patterns.size() > static_cast<std::size_t>(INT_MAX)) {
        std::fprintf(stderr, "%s: too many patterns (at most %d)\n", kTool, INT_MAX);
        return 1;
    }
    const int count = static_cast<int>(g_patterns.size());

    // The network: initialized, then the save file over the random values.
    nn_init_network();
    if (nn_load_network(o.network.c_str()) != 0)
        return bp_cli::module_error(kTool);
    nn_set_input(g_input);
    nn_set_target_output(g_target);

    g_next = 0;
    if (o.trace)
        network_forward_print(count, next_pattern);
    else
        network_forward_pdpfa(static_cast<unsigned>(count), next_pattern, o.threshold);
    std::printf("\n");
    print_confusion();
    return bp_cli::finish_output(kTool);
}
