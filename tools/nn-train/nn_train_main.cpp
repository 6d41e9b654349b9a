// nn-train: train the network on the built-in demonstration task or on patterns from a CSV
// file, and write the result as a save file that PlotComposite loads.
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "network/nn.h"
#include "tools/common/cli.h"
#include "tools/common/nn_patterns.h"

namespace {

constexpr const char *kTool = "nn-train";

// Defaults: train the demonstration task to a clearly learned picture in a few seconds.
constexpr std::uint64_t kDefaultIterations = 1000000;
constexpr std::uint64_t kDefaultSamples = 4000;
constexpr std::uint64_t kDefaultSampleSeed = 1;
constexpr int kDefaultSeed = 123;
constexpr float kDefaultRange = 0.1f;
constexpr float kDefaultRate = 0.2f;
constexpr float kDefaultInertia = 0.95f;
constexpr float kDefaultThreshold = 0.00005f;

// Salt separating the shuffle's generator from the demonstration sampler's.
constexpr std::uint64_t kShuffleSalt = 0x5DEECE66Dull;

// Everything the command line sets.
struct Options {
    std::uint64_t iterations = kDefaultIterations;
    std::uint64_t samples = kDefaultSamples;
    std::uint64_t sample_seed = kDefaultSampleSeed;
    int seed = kDefaultSeed;
    float range = kDefaultRange;
    float rate = kDefaultRate;
    float inertia = kDefaultInertia;
    float threshold = kDefaultThreshold;
    bool shuffled = false;
    std::string data;
    std::string resume;
    std::string output = "Network.save";
};

// The presentation loop's state: the training set, the order and the running error.
std::vector<nn_patterns::Pattern> g_patterns;
std::vector<std::size_t> g_order;
std::size_t g_next = 0;
std::uint64_t g_shuffle_state = 0;
float g_input[2];
float g_target[4];
bool g_pending = false;      // a presentation whose error has not been counted yet
double g_window_error = 0.0;  // sum of the errors counted since the last progress report
std::uint64_t g_window_count = 0;

void print_help()
{
    std::printf(
        "Usage: nn-train [OPTION]...\n"
        "Train the network by backpropagation and write a save file for PlotComposite.\n"
        "\n"
        "Without --data it learns the built-in demonstration task: four classes in the\n"
        "input plane, normally distributed around (0.4, 0.2), (-0.4, 0.2) and (0, -0.2)\n"
        "with standard deviation 0.19749143 and around (0, 0.2) with 0.1, one output per\n"
        "class, the classes drawn in turn.\n"
        "\n"
        "Options:\n"
        "  --data FILE          train on the patterns of FILE: one per line\n"
        "                       \"x0,x1,t0,t1,t2,t3\"; blank lines and lines starting\n"
        "                       with \"#\" are skipped\n"
        "  --iterations N       presentations of a pattern (default %" PRIu64 ")\n"
        "  --seed S             seed of the initial weights (default %d)\n"
        "  --range R            initial weights uniform in [-R, R] (default %g)\n"
        "  --rate R             learning rate (default %g)\n"
        "  --inertia M          momentum, 0 <= M < 1 (default %g)\n"
        "  --threshold T        patterns with an error at or below T are not learned\n"
        "                       (default %g)\n"
        "  --samples N          size of the demonstration training set (default %" PRIu64 ")\n"
        "  --sample-seed S      seed of the demonstration sampler and of the shuffle\n"
        "                       (default %" PRIu64 ")\n"
        "  --order ORDER        sequential (default) or shuffled: the order in which the\n"
        "                       training set is presented, reshuffled every pass\n"
        "  --resume FILE        start from the network in save file FILE; its learning-step\n"
        "                       count continues\n"
        "  --output FILE        save file to write (default \"Network.save\"); it is\n"
        "                       replaced only when the new file is complete\n"
        "  --help               show this help and exit\n"
        "  --version            show the version and exit\n"
        "\n"
        "A progress bar goes to standard error when it is a terminal. At the end one line\n"
        "reports the presentations, the learning steps and the mean error over the training\n"
        "set. The same options always give a byte-identical save file.\n"
        "\n"
        "Exit status: 0 on success, 1 on any error (message on standard error).\n",
        kDefaultIterations, kDefaultSeed, static_cast<double>(kDefaultRange), static_cast<double>(kDefaultRate),
        static_cast<double>(kDefaultInertia), static_cast<double>(kDefaultThreshold), kDefaultSamples,
        kDefaultSampleSeed);
}

// Error of the outputs against the targets, as the learning step measures it, without
// touching the network: half the sum of the squared float differences, times 0.25.
double output_error(const float *outputs, const float *targets)
{
    double sum = 0.0;
    for (int i = 0; i < 4; i++) {
        const float d = static_cast<float>(static_cast<double>(targets[i]) - outputs[i]);
        sum += static_cast<double>(d) * d;
    }
    return static_cast<double>(static_cast<float>(0.5 * sum)) * 0.25;
}

// Count the error of the presentation just finished (its outputs and targets are still in place).
void count_pending_error()
{
    if (!g_pending)
        return;
    g_window_error += output_error(nn_get_output(), g_target);
    g_window_count++;
    g_pending = false;
}

// Start a new pass over the training set, reshuffled when asked for.
void reshuffle()
{
    for (std::size_t i = g_order.size(); i > 1; i--) {
        const std::size_t j = static_cast<std::size_t>(nn_patterns::splitmix64(g_shuffle_state) % i);
        std::swap(g_order[i - 1], g_order[j]);
    }
}

// The pattern function: the next pattern of the training set into the registered vectors.
void next_pattern()
{
    count_pending_error();
    if (g_next == g_order.size()) {
        g_next = 0;
        if (g_shuffle_state != 0)
            reshuffle();
    }
    const nn_patterns::Pattern &p = g_patterns[g_order[g_next++]];
    std::memcpy(g_input, p.in, sizeof g_input);
    std::memcpy(g_target, p.target, sizeof g_target);
    g_pending = true;
}

// Draw the progress bar on standard error: percent done and the mean error since the last report.
void draw_progress(std::uint64_t done, std::uint64_t total)
{
    constexpr int kWidth = 40;
    const double fraction = total ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
    const int filled = static_cast<int>(fraction * kWidth);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; i++)
        bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    const double mean = g_window_count ? g_window_error / static_cast<double>(g_window_count) : 0.0;
    std::fprintf(stderr, "\r[%s] %3d%%  mean error %.6f", bar, static_cast<int>(fraction * 100.0), mean);
    std::fflush(stderr);
    g_window_error = 0.0;
    g_window_count = 0;
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
        const char *value = nullptr;
        bool known = false;
        bool ok = true;
        std::string expected;
        const auto option = [&](std::string_view name) {
            if (known)
                return false;
            const bp_cli::OptionMatch m = bp_cli::option_value(argc, argv, i, name, value);
            if (m == bp_cli::kMissingValue) {
                known = true;
                ok = false;
                expected = "option '" + std::string(name) + "' needs a value";
                return false;
            }
            known = m == bp_cli::kMatched;
            return known;
        };
        const auto bad = [&](const char *name, const char *what) {
            ok = false;
            expected = std::string("invalid value '") + value + "' for " + name + ": " + what;
        };
        std::uint64_t u = 0;
        std::int64_t s = 0;
        float f = 0.0f;
        if (option("--iterations")) {
            if (bp_cli::parse_unsigned(value, UINT32_MAX, u))
                o.iterations = u;
            else
                bad("--iterations", "expected a whole number from 0 to 4294967295");
        } else if (option("--samples")) {
            if (bp_cli::parse_unsigned(value, 100000000, u) && u > 0)
                o.samples = u;
            else
                bad("--samples", "expected a whole number from 1 to 100000000");
        } else if (option("--sample-seed")) {
            if (bp_cli::parse_unsigned(value, UINT64_MAX, u))
                o.sample_seed = u;
            else
                bad("--sample-seed", "expected a whole number from 0 to 18446744073709551615");
        } else if (option("--seed")) {
            if (bp_cli::parse_signed(value, INT_MIN, INT_MAX, s))
                o.seed = static_cast<int>(s);
            else
                bad("--seed", "expected a whole number from -2147483648 to 2147483647");
        } else if (option("--range")) {
            if (bp_cli::parse_float(value, f) && f >= 0.0f)
                o.range = f;
            else
                bad("--range", "expected a finite number, at least 0");
        } else if (option("--rate")) {
            if (bp_cli::parse_float(value, f) && f >= 0.0f)
                o.rate = f;
            else
                bad("--rate", "expected a finite number, at least 0");
        } else if (option("--inertia")) {
            if (bp_cli::parse_float(value, f) && f >= 0.0f && f < 1.0f)
                o.inertia = f;
            else
                bad("--inertia", "expected a number from 0 up to (not including) 1");
        } else if (option("--threshold")) {
            if (bp_cli::parse_float(value, f) && f >= 0.0f)
                o.threshold = f;
            else
                bad("--threshold", "expected a finite number, at least 0");
        } else if (option("--order")) {
            if (std::string_view(value) == "sequential")
                o.shuffled = false;
            else if (std::string_view(value) == "shuffled")
                o.shuffled = true;
            else
                bad("--order", "expected sequential or shuffled");
        } else if (option("--data")) {
            o.data = value;
        } else if (option("--resume")) {
            o.resume = value;
        } else if (option("--output")) {
            o.output = value;
        }
        if (!ok)
            return bp_cli::usage_error(kTool, expected);
        if (!known)
            return bp_cli::unknown_argument(kTool, arg);
    }
    if (o.output.empty())
        return bp_cli::usage_error(kTool, "empty file name for --output");
    return -1;
}

// Mean error of the trained network over the whole training set.
double training_set_error()
{
    double sum = 0.0;
    for (const nn_patterns::Pattern &p : g_patterns) {
        std::memcpy(g_input, p.in, sizeof g_input);
        std::memcpy(g_target, p.target, sizeof g_target);
        nn_propagate_forward();
        sum += nn_calc_error();
    }
    return sum / static_cast<double>(g_patterns.size());
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    const int status = parse_options(argc, argv, o);
    if (status >= 0)
        return status;

    // The training set, before anything is trained or written.
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
    g_order.resize(g_patterns.size());
    for (std::size_t i = 0; i < g_order.size(); i++)
        g_order[i] = i;
    if (o.shuffled) {
        // A nonzero state marks the shuffled order; the first pass is shuffled too.
        g_shuffle_state = o.sample_seed ^ kShuffleSalt;
        if (g_shuffle_state == 0)
            g_shuffle_state = kShuffleSalt;
        reshuffle();
    }

    // The network: fresh random weights, or a save file over them.
    nn_set_random_init_seed(o.seed);
    nn_set_random_init_range(o.range);
    nn_set_learning_rate(o.rate);
    nn_set_inertia(o.inertia);
    BPthreshold = o.threshold;
    nn_init_network();
    if (!o.resume.empty() && nn_load_network(o.resume.c_str()) != 0)
        return bp_cli::module_error(kTool);
    nn_set_input(g_input);
    nn_set_target_output(g_target);
    const unsigned start_counter = static_cast<unsigned>(nn_get_backprop_counter());

    // Training, in slices so that the progress bar can follow.
    const bool progress = isatty(STDERR_FILENO) != 0;
    const std::uint64_t slice = progress ? (o.iterations / 200 > 0 ? o.iterations / 200 : 1) : o.iterations;
    std::uint64_t done = 0;
    while (done < o.iterations) {
        const std::uint64_t n = o.iterations - done < slice ? o.iterations - done : slice;
        network_learn(static_cast<unsigned>(n), next_pattern);
        count_pending_error();
        done += n;
        if (progress)
            draw_progress(done, o.iterations);
    }
    if (progress && o.iterations > 0)
        std::fputc('\n', stderr);
    const unsigned steps = static_cast<unsigned>(nn_get_backprop_counter()) - start_counter;

    const double mean_error = training_set_error();
    if (nn_dump_network(o.output.c_str()) != 0)
        return bp_cli::module_error(kTool);
    std::printf("%s: %" PRIu64 " presentations, %u learning steps (count %u), mean error %.6f over %zu "
                "training patterns; wrote %s\n",
                kTool, o.iterations, steps, static_cast<unsigned>(nn_get_backprop_counter()), mean_error,
                g_patterns.size(), o.output.c_str());
    return bp_cli::finish_output(kTool);
}
