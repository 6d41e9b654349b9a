// nn-eval: run a saved network (the built-in nn, or a module given with --module) over
// patterns (the built-in demonstration task or a CSV file) and report the network's detection
// statistics, or its per-pattern trace, with a per-class confusion table.
#include <cerrno>
#include <cfloat>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bp/BpSimLearn.h"
#include "gen/runtime/bpnet_module.h"
#include "tools/common/cli.h"
#include "tools/common/net_host.h"
#include "tools/common/nn_patterns.h"
#include "tools/common/scaling.h"
#include "tools/common/scoring.h"
#include "tools/common/text_file.h"
#include "tools/common/tool_setup.h"

namespace {

constexpr const char *kTool = "nn-eval";

// Defaults: a demonstration set drawn apart from nn-train's default training set.
constexpr std::uint64_t kDefaultSamples = 1000;
constexpr std::uint64_t kDefaultSampleSeed = 2;
constexpr float kDefaultThreshold = 0.5f;

// Everything the command line sets.
struct Options {
    std::string network = "Network.save";
    // --module, --data, --targets, --samples, --sample-seed
    tool_setup::PatternOptions patterns{"", "", nn_patterns::TargetForm::kVector, kDefaultSamples, kDefaultSampleSeed};
    float threshold = kDefaultThreshold;
    bool trace = false;
    int threads = 0;  // threads of the block passes (0: the machine's cores)
};

// The patterns run through the network, one per call of the pattern function, the patterns
// that begin a sequence, and the vectors registered with the network.
nn_patterns::PatternSet g_patterns;
std::vector<bool> g_first;
std::size_t g_next = 0;
std::vector<float> g_input;
std::vector<float> g_target;

void print_help()
{
    std::printf(
        "Usage: nn-eval [OPTION]...\n"
        "Run a saved network over patterns and report how well it does.\n"
        "\n"
        "The report gives, per output, the maximum, minimum, mean and variance over the\n"
        "patterns, then Pd, the share of patterns whose outputs lie within the threshold\n"
        "distance (Euclidean) of their targets, and Pfa, the share of the others.\n"
        "A confusion table follows: for each pattern, the class whose target is largest\n"
        "(row) against the class whose output is largest (column); ties go to the lower\n"
        "class. \"Correct\" is the accuracy: the share of patterns on the diagonal. For a\n"
        "module's network the mean error over the patterns follows; for a network with\n"
        "linear outputs, then the mean squared error over all target values and the\n"
        "normalised mean squared error: the mean squared error over the targets' variance\n"
        "(each target about its output's mean).\n"
        "\n"
        "An empty line in the patterns ends a sequence: the network's delays are cleared\n"
        "at the start of every sequence, whose patterns are presented in order.\n"
        "\n"
        "Without --module the network is the built-in nn (2 inputs, 4 outputs); with it,\n"
        "the network of a module made by \"bpnet-gen --shared\". When the save file FILE\n"
        "has a scaling beside it (FILE.scale, written by nn-train --scale), the inputs are\n"
        "scaled by it.\n"
        "\n"
        "Without --data the patterns are drawn from the built-in demonstration task of\n"
        "nn-train (for 2 inputs and 4 outputs only); the default sample seed differs from\n"
        "nn-train's, so that the network is judged on patterns it was not trained on.\n"
        "\n"
        "Options:\n"
        "  --module FILE        the network of the shared module FILE\n"
        "  --description FILE   the network of the description FILE (TOML, as for\n"
        "                       bpnet-gen), built at run time; not with --module\n"
        "  --network FILE       save file to evaluate (default \"Network.save\")\n"
        "  --data FILE          patterns of FILE, one per line, the inputs then the\n"
        "                       targets (\"x0,x1,t0,t1,t2,t3\" for nn); lines starting\n"
        "                       with \"#\" are skipped; an empty line ends a sequence\n"
        "  --targets FORM       vector (default) or class: one class index 0..outputs-1\n"
        "                       in place of the targets, standing for 1 at that output\n"
        "                       and 0 at the others\n"
        "  --samples N          size of the demonstration set (default %" PRIu64 ")\n"
        "  --sample-seed S      seed of the demonstration sampler (default %" PRIu64 ")\n"
        "  --threshold T        distance for Pd (default %g); only its size counts\n"
        "  --trace              print each pattern's outputs and targets instead of the\n"
        "                       statistics\n"
        "  --threads N          run the patterns through the network in blocks over N\n"
        "                       threads (default: one per processor core); the report is\n"
        "                       the same for every N. A network with feedback runs its\n"
        "                       patterns one at a time, in order\n"
        "  --help               show this help and exit\n"
        "  --version            show the version and exit\n"
        "\n"
        "Exit status: 0 on success, 1 on any error (message on standard error).\n",
        kDefaultSamples, kDefaultSampleSeed, static_cast<double>(kDefaultThreshold));
}

// Match one argument against the options into o.
void match_option(bp_cli::Argument &a, Options &o)
{
    float f = 0.0f;
    if (tool_setup::match_pattern_option(a, o.patterns))
        return;
    if (bp_cli::match_flag(a, "--trace")) {
        o.trace = true;
    } else if (bp_cli::match_option(a, "--threshold")) {
        if (bp_cli::parse_float(a.value, f))
            o.threshold = f;
        else
            bp_cli::bad_value(a, "--threshold", "expected a finite number");
    } else if (bp_cli::match_option(a, "--threads")) {
        std::uint64_t n = 0;
        if (bp_cli::parse_unsigned(a.value, 1024, n) && n > 0)
            o.threads = static_cast<int>(n);
        else
            bp_cli::bad_value(a, "--threads", "expected a whole number from 1 to 1024");
    } else if (bp_cli::match_option(a, "--network")) {
        o.network = a.value;
    }
}

// Parse the command line into o; returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char **argv, Options &o)
{
    return bp_cli::parse_arguments(argc, argv, kTool, print_help, "--network", o.network,
                                   [&](bp_cli::Argument &a) { match_option(a, o); });
}

// The pattern function: the next pattern into the registered vectors, the delays cleared
// first when it begins a sequence.
void next_pattern()
{
    const std::size_t k = g_next;
    g_next = g_next + 1 < g_patterns.size() ? g_next + 1 : 0;
    if (g_first[k])
        net_host::network().clear_delays();
    std::memcpy(g_input.data(), g_patterns.input(k), sizeof(float) * g_input.size());
    std::memcpy(g_target.data(), g_patterns.target(k), sizeof(float) * g_target.size());
}

// The mean squared error over all target values, then the normalised one: that mean over
// the targets' variance (scoring::target_variance). Without a spread in the targets the
// ratio is not defined.
void print_squared_error(double squared_sum)
{
    const double values = static_cast<double>(g_patterns.size()) * g_patterns.outputs;
    const double mse = squared_sum / values;
    const double variance = scoring::target_variance(g_patterns);
    std::printf("Mean squared error: %.6g over %zu patterns of %d output%s\n", mse, g_patterns.size(),
                g_patterns.outputs, g_patterns.outputs == 1 ? "" : "s");
    if (variance > 0.0)
        std::printf("Normalised mean squared error: %.6g (the targets' variance %.6g)\n", mse / variance, variance);
    else
        std::printf("Normalised mean squared error: not defined (the targets do not vary)\n");
}

// The outputs of pattern k, and the error of pattern k's outputs (called after its outputs).
using RunPattern = std::function<const float *(std::size_t k)>;
using PatternError = std::function<float(std::size_t k)>;

// Print the confusion table of target class against output class from every pattern's
// outputs, in pattern order; for a module's network, the mean error and the squared errors
// follow.
void print_confusion(const RunPattern &run, const PatternError &error)
{
    bpnet::Network &net = net_host::network();
    const int classes = net.outputs();
    const std::size_t n = static_cast<std::size_t>(classes);
    std::vector<std::uint64_t> table(n * n, 0);
    std::uint64_t unclassified = 0;
    double error_sum = 0.0;
    double squared_sum = 0.0;
    for (std::size_t k = 0; k < g_patterns.size(); k++) {
        const float *output = run(k);
        const int out = scoring::largest(output, classes);
        const int want = scoring::largest(g_patterns.target(k), classes);
        if (!net_host::built_in()) {
            squared_sum += scoring::squared_error(output, g_patterns.target(k), classes);
            error_sum += error(k);
        }
        if (out < 0 || want < 0)
            unclassified++;
        else
            table[static_cast<std::size_t>(want) * n + static_cast<std::size_t>(out)]++;
    }

    std::printf("\nConfusion (rows: class of the largest target, columns: class of the largest output):\n");
    std::printf("class ");
    for (int c = 0; c < classes; c++)
        std::printf(" %9d", c);
    std::printf(" %9s\n", "total");
    std::vector<std::uint64_t> column(n, 0);
    std::uint64_t correct = 0;
    std::uint64_t all = 0;
    for (std::size_t r = 0; r < n; r++) {
        std::uint64_t row = 0;
        std::printf("%5zu ", r);
        for (std::size_t c = 0; c < n; c++) {
            std::printf(" %9" PRIu64, table[r * n + c]);
            row += table[r * n + c];
            column[c] += table[r * n + c];
        }
        std::printf(" %9" PRIu64 "\n", row);
        correct += table[r * n + r];
        all += row;
    }
    std::printf("total ");
    for (std::size_t c = 0; c < n; c++)
        std::printf(" %9" PRIu64, column[c]);
    std::printf(" %9" PRIu64 "\n", all);
    if (unclassified > 0)
        std::printf("Not classified (an output or target is not a number): %" PRIu64 "\n", unclassified);
    std::printf("Correct: %" PRIu64 "/%" PRIu64 " = %f\n", correct, all,
                all ? static_cast<double>(correct) / static_cast<double>(all) : 0.0);
    if (!net_host::built_in()) {
        std::printf("Mean error: %.6f over %zu patterns\n", error_sum / static_cast<double>(g_patterns.size()),
                    g_patterns.size());
        // Prediction and identification results are compared by these; a classifier's
        // logistic outputs are not.
        if (net.linear_outputs())
            print_squared_error(squared_sum);
    }
}

// The detection statistics of the module's report from the outputs of every pattern, rows of
// the network's outputs in pattern order: the runtime's own statistics and text.
void print_pdpfa(const std::vector<float> &outputs, float pd_threshold)
{
    const std::size_t patterns = g_patterns.size();
    if (patterns == 0)
        return;
    const bpnet::Network &net = net_host::network();
    const std::size_t width = static_cast<std::size_t>(net.outputs());
    bpm::PdPfa stats = bpm::pdpfa_start(net.outputs(), pd_threshold);
    for (std::size_t k = 0; k < patterns; k++)
        bpm::pdpfa_add(stats, outputs.data() + k * width, g_patterns.target(k));
    bpm::pdpfa_print(stats, net.name().c_str());
}

// Pattern k's lines of the module's trace, from its outputs.
void print_trace_of(std::size_t k, const float *outputs)
{
    const bpnet::Network &net = net_host::network();
    bpm::print_trace(net.name().c_str(), static_cast<int>(k), net.outputs(), outputs, g_patterns.target(k));
}

// Run every pattern through the network, sequence after sequence: the delays cleared at the
// start of each (a network without feedback has none, but the module is told, as the one-row
// passes tell it), then the sequence's patterns as one block of forward passes over `threads`
// threads; each(k, outputs) follows for every pattern of the sequence. Returns the outputs of
// every pattern, in pattern order.
std::vector<float> run_blocks(int threads, const std::function<void(std::size_t, const float *)> &each)
{
    bpnet::Network &net = net_host::network();
    const std::size_t patterns = g_patterns.size();
    const std::size_t n_in = static_cast<std::size_t>(net.inputs());
    const std::size_t n_out = static_cast<std::size_t>(net.outputs());
    std::vector<float> inputs(patterns * n_in);
    for (std::size_t k = 0; k < patterns; k++)
        std::memcpy(inputs.data() + k * n_in, g_patterns.input(k), sizeof(float) * n_in);
    std::vector<float> outputs(patterns * n_out);
    for (std::size_t start = 0; start < patterns;) {
        std::size_t stop = start + 1;
        while (stop < patterns && !g_first[stop])
            stop++;
        if (g_first[start])
            net.clear_delays();
        net.forward_rows(static_cast<int>(stop - start), inputs.data() + start * n_in, outputs.data() + start * n_out,
                         threads);
        if (each)
            for (std::size_t k = start; k < stop; k++)
                each(k, outputs.data() + k * n_out);
        start = stop;
    }
    return outputs;
}

// The error the network measures for outputs against the targets, by the learning step's rule
// (the output deltas it also writes are thrown away): half the sum of squared differences over
// the output count, or the cross-entropy for softmax outputs.
float pattern_error(const float *outputs, const float *targets, int n, bool cross_entropy, std::vector<float> &scratch)
{
    scratch.resize(static_cast<std::size_t>(n));
    const float half_sum = BPoutput_error(targets, outputs, scratch.data(), 0.0f, n);
    return bpm::presentation_error(targets, outputs, n, half_sum, cross_entropy);
}

// The report of a network without feedback: the patterns in blocks of forward passes, the
// statistics or the trace from their outputs, then once more for the confusion table.
void report_from_blocks(const Options &o)
{
    bpnet::Network &net = net_host::network();
    const std::size_t n_out = static_cast<std::size_t>(net.outputs());
    if (o.trace)
        run_blocks(o.threads, print_trace_of);
    else
        print_pdpfa(run_blocks(o.threads, nullptr), o.threshold);
    std::printf("\n");
    const std::vector<float> outputs = run_blocks(o.threads, nullptr);
    std::vector<float> scratch;
    print_confusion([&](std::size_t k) { return outputs.data() + k * n_out; },
                    [&](std::size_t k) {
                        return pattern_error(outputs.data() + k * n_out, g_patterns.target(k), net.outputs(),
                                             net.cross_entropy_outputs(), scratch);
                    });
}

// The report of a network with feedback: the patterns one at a time, in order, through the
// module's own statistics or trace, then once more for the confusion table.
void report_in_order(const Options &o, int count)
{
    bpnet::Network &net = net_host::network();
    g_next = 0;
    if (o.trace)
        net.forward_print(count, next_pattern);
    else
        net.forward_pdpfa(static_cast<unsigned>(count), next_pattern, o.threshold);
    std::printf("\n");
    print_confusion(
        [&](std::size_t k) {
            if (g_first[k])
                net.clear_delays();
            std::memcpy(g_input.data(), g_patterns.input(k), sizeof(float) * g_input.size());
            std::memcpy(g_target.data(), g_patterns.target(k), sizeof(float) * g_target.size());
            net.forward();
            return net.output();
        },
        [&](std::size_t) { return net.measure_error(); });
}

}  // namespace

int main(int argc, char **argv)
{
    // A write past the file-size limit then fails with an error the writer reports (the
    // previous file stays), instead of killing the program without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    Options o;
    const int status = parse_options(argc, argv, o);
    if (status >= 0)
        return status;

    // The network, checked before anything of it is used.
    if (!tool_setup::open_network(kTool, o.patterns))
        return 1;
    bpnet::Network &net = net_host::network();

    // The patterns, before the network is loaded.
    if (!tool_setup::read_patterns(kTool, o.patterns, g_patterns))
        return 1;
    // The reports count patterns in an int.
    if (g_patterns.size() > static_cast<std::size_t>(INT_MAX)) {
        std::fprintf(stderr, "%s: too many patterns (at most %d)\n", kTool, INT_MAX);
        return 1;
    }
    const int count = static_cast<int>(g_patterns.size());

    // The network: initialized, then the save file over the random values.
    net.initialize();
    if (!tool_setup::load_save_file(kTool, o.network))
        return 1;
    // The scaling the network was trained with, when nn-train kept one beside it.
    const std::string scale_file = scaling::side_file(o.network);
    if (text_file::exists(scale_file)) {
        std::string error;
        scaling::Scaling scale;
        std::size_t bad = 0;
        if (!scaling::load(scale_file, net.inputs(), scale, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        if (!scaling::apply(scale, g_patterns, bad)) {
            std::fprintf(stderr, "%s: pattern %zu: an input scaled by %s is beyond the float range\n", kTool, bad + 1,
                         scale_file.c_str());
            return 1;
        }
    }
    g_input.assign(static_cast<std::size_t>(net.inputs()), 0.0f);
    g_target.assign(static_cast<std::size_t>(net.outputs()), 0.0f);
    net.use_vectors(g_input.data(), g_target.data());

    g_first = g_patterns.first_flags();
    if (net_host::has_feedback())
        report_in_order(o, count);
    else
        report_from_blocks(o);
    return bp_cli::finish_output(kTool);
}
