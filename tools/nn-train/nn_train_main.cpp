// nn-train: train a network (the built-in nn, or a module given with --module) on the
// built-in demonstration task or on patterns from a CSV file, and write the result as a save
// file that PlotComposite and nn-eval load.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "gen/runtime/bpnet_module.h"
#include "tools/common/cli.h"
#include "tools/common/net_host.h"
#include "tools/common/nn_patterns.h"
#include "tools/common/presentation.h"
#include "tools/common/scaling.h"
#include "tools/common/scoring.h"
#include "tools/common/text_file.h"
#include "tools/common/tool_setup.h"

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
// Step size of adam when --rate is not given.
constexpr float kDefaultAdamRate = 0.001f;

// Salt separating the shuffle's generator from the demonstration sampler's.
constexpr std::uint64_t kShuffleSalt = 0x5DEECE66Dull;

// Everything the command line sets.
struct Options {
    std::uint64_t iterations = kDefaultIterations;
    std::uint64_t epochs = 0;  // when nonzero: passes over the training set, in place of iterations
    bool iterations_given = false;
    // --module, --data, --targets, --samples, --sample-seed
    tool_setup::PatternOptions patterns{"", "", nn_patterns::TargetForm::kVector, kDefaultSamples, kDefaultSampleSeed};
    int seed = kDefaultSeed;
    float range = kDefaultRange;
    float rate = kDefaultRate;
    bool rate_given = false;
    bool adam = false;   // --optimizer adam: --rate is the step size (default kDefaultAdamRate)
    double decay = 0.0;  // --decay: L2 weight decay
    float inertia = kDefaultInertia;
    float threshold = kDefaultThreshold;
    bool shuffled = false;
    std::string resume;
    std::string output = "Network.save";
    std::string test;
    std::string curve;
    scaling::Method scale = scaling::Method::kNone;
    bool scale_given = false;
    unsigned batch = 1;  // rows learned at a time: 1, one presentation per pattern
};

// The presentation loop's state: the training and held-out sets, the order, the patterns
// that begin a sequence, the vectors registered with the network and the running error.
nn_patterns::PatternSet g_patterns;
nn_patterns::PatternSet g_test;
presentation::Order g_order;
std::vector<bool> g_first;
std::size_t g_next = 0;
std::uint64_t g_shuffle_state = 0;
std::vector<float> g_input;
std::vector<float> g_target;
bool g_pending = false;      // a presentation whose error has not been counted yet
double g_window_error = 0.0;  // sum of the errors counted since the last progress report
std::uint64_t g_window_count = 0;
// The block of rows that learning in batches gathers from the pattern function.
std::vector<float> g_batch_input;
std::vector<float> g_batch_target;
std::vector<float> g_batch_errors;

void print_help()
{
    std::printf(
        "Usage: nn-train [OPTION]...\n"
        "Train the network by backpropagation and write a save file for PlotComposite.\n"
        "\n"
        "Without --module the network is the built-in nn (2 inputs, 4 outputs); with it,\n"
        "the network of a module made by \"bpnet-gen --shared\".\n"
        "Without --data it learns the built-in demonstration task (for 2 inputs and 4\n"
        "outputs only): four classes in the input plane, normally distributed around\n"
        "(0.4, 0.2), (-0.4, 0.2) and (0, -0.2) with standard deviation 0.19749143 and\n"
        "around (0, 0.2) with 0.1, one output per class, the classes drawn in turn.\n"
        "\n"
        "Options:\n"
        "  --module FILE        train the network of the shared module FILE\n"
        "  --description FILE   train the network of the description FILE (TOML, as for\n"
        "                       bpnet-gen), built at run time; not with --module\n"
        "  --data FILE          train on the patterns of FILE: one per line, the inputs\n"
        "                       then the targets (\"x0,x1,t0,t1,t2,t3\" for nn); lines\n"
        "                       starting with \"#\" are skipped; an empty line ends a\n"
        "                       sequence, at whose start the network's delays are cleared\n"
        "  --targets FORM       vector (default): a line holds every target; class: a\n"
        "                       line holds one class index 0..outputs-1 in their place,\n"
        "                       the target being 1 for that output and 0 for the others\n"
        "  --test FILE          held-out patterns (same form as --data): their error and\n"
        "                       accuracy are reported at the end and in the progress bar\n"
        "  --iterations N       presentations of a pattern (default %" PRIu64 ")\n"
        "  --epochs N           passes over the training set, in place of --iterations\n"
        "  --scale METHOD       none (default), minmax (each input's training range onto\n"
        "                       [-1, 1]) or zscore (less the mean, over the standard\n"
        "                       deviation): computed from the training set, applied to\n"
        "                       it and to --test, kept beside the save file as FILE.scale\n"
        "                       for nn-eval; with --resume, the resumed file's scaling\n"
        "                       is kept unless --scale is given\n"
        "  --curve FILE         write the training and held-out error and accuracy after\n"
        "                       every epoch to FILE, as CSV\n"
        "  --seed S             seed of the initial weights (default %d)\n"
        "  --range R            initial weights uniform in [-R, R] (default %g)\n"
        "  --rate R             learning rate (default %g; with adam its step size,\n"
        "                       default 0.001, above 0)\n"
        "  --inertia M          momentum, 0 <= M < 1 (default %g; sgd only)\n"
        "  --optimizer KIND     sgd (default: momentum) or adam (beta1 0.9, beta2 0.999,\n"
        "                       epsilon 1e-8); adam's moments are kept in the save file\n"
        "  --decay ALPHA        L2 weight decay of the weights, at least 0 (default 0)\n"
        "  --threshold T        patterns with an error at or below T are not learned\n"
        "                       (default %g)\n"
        "  --samples N          size of the demonstration training set (default %" PRIu64 ")\n"
        "  --sample-seed S      seed of the demonstration sampler and of the shuffle\n"
        "                       (default %" PRIu64 ")\n"
        "  --order ORDER        sequential (default) or shuffled: the order in which the\n"
        "                       training set is presented, reshuffled every pass (whole\n"
        "                       sequences, each in order, for a network with feedback)\n"
        "  --batch B            learn B patterns at a time, in the order they are\n"
        "                       presented, with one update of the weights per batch; a\n"
        "                       pass over the training set ends its last batch (default\n"
        "                       1: every pattern its own presentation; above 1 only for\n"
        "                       a network without feedback)\n"
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
// touching the network: half the sum of the squared float differences over the outputs, or the
// cross-entropy where the output layer learns on it.
double output_error(const float *outputs, const float *targets, int n)
{
    if (net_host::network().cross_entropy_outputs())
        return bpm::presentation_error(targets, outputs, n, 0.0f, true);
    double sum = 0.0;
    for (int i = 0; i < n; i++) {
        const float d = static_cast<float>(static_cast<double>(targets[i]) - outputs[i]);
        sum += static_cast<double>(d) * d;
    }
    return static_cast<double>(static_cast<float>(0.5 * sum)) / n;
}

// Count the error of the presentation just finished (its outputs and targets are still in place).
void count_pending_error()
{
    if (!g_pending)
        return;
    g_window_error += output_error(net_host::network().output(), g_target.data(), g_patterns.outputs);
    g_window_count++;
    g_pending = false;
}

// The pattern function: the next pattern of the training set into the registered vectors,
// the delays cleared first when it begins a sequence.
void next_pattern()
{
    count_pending_error();
    if (g_next == g_order.rows.size()) {
        g_next = 0;
        if (g_shuffle_state != 0)
            presentation::reshuffle(g_order, g_patterns, g_shuffle_state);
    }
    const std::size_t k = g_order.rows[g_next++];
    if (g_first[k])
        net_host::network().clear_delays();
    std::memcpy(g_input.data(), g_patterns.input(k), sizeof(float) * g_input.size());
    std::memcpy(g_target.data(), g_patterns.target(k), sizeof(float) * g_target.size());
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
    if (g_test.size() > 0) {
        const scoring::Score t = scoring::score(g_test, g_input.data(), g_target.data());
        std::fprintf(stderr, "  held-out %.6f, %.2f%%", t.mean_error, 100.0 * scoring::accuracy(t));
    }
    std::fflush(stderr);
    g_window_error = 0.0;
    g_window_count = 0;
}

// Learn the next n presentations in batches of `batch` rows: each batch gathered from the
// pattern function in the order of presentation, and never beyond the end of a pass, so
// that every pass starts a new batch. Their errors go to the running error. Throws
// bpnet::Error when the network refuses (a network with feedback).
void learn_in_batches(std::uint64_t n, unsigned batch)
{
    bpnet::Network &net = net_host::network();
    const std::size_t n_in = g_input.size();
    const std::size_t n_out = g_target.size();
    while (n > 0) {
        // The rows left in the pass under way (a whole pass once it is over).
        const std::size_t left = g_next == g_order.rows.size() ? g_order.rows.size() : g_order.rows.size() - g_next;
        std::size_t rows = batch;
        rows = std::min<std::size_t>(rows, left);
        rows = static_cast<std::size_t>(std::min<std::uint64_t>(rows, n));
        g_batch_input.resize(rows * n_in);
        g_batch_target.resize(rows * n_out);
        g_batch_errors.resize(rows);
        for (std::size_t i = 0; i < rows; i++) {
            next_pattern();
            g_pending = false;  // counted below, from the batch's errors
            std::memcpy(g_batch_input.data() + i * n_in, g_input.data(), sizeof(float) * n_in);
            std::memcpy(g_batch_target.data() + i * n_out, g_target.data(), sizeof(float) * n_out);
        }
        net.learn_rows(static_cast<int>(rows), g_batch_input.data(), g_batch_target.data(), static_cast<int>(batch),
                       g_batch_errors.data());
        // The block calls leave the network's registered vectors to the tool's again.
        net.use_vectors(g_input.data(), g_target.data());
        for (const float e : g_batch_errors)
            g_window_error += e;
        g_window_count += rows;
        n -= rows;
    }
}

// Match one argument against the options into o.
void match_option(bp_cli::Argument &a, Options &o)
{
    std::uint64_t u = 0;
    std::int64_t s = 0;
    float f = 0.0f;
    const auto option = [&](std::string_view name) { return bp_cli::match_option(a, name); };
    const auto bad = [&](const char *name, const char *what) { bp_cli::bad_value(a, name, what); };
    // An option whose value is a finite number, at least 0.
    const auto at_least_zero = [&](const char *name, float &out) {
        if (!option(name))
            return false;
        if (bp_cli::parse_float(a.value, f) && f >= 0.0f)
            out = f;
        else
            bad(name, "expected a finite number, at least 0");
        return true;
    };
    if (tool_setup::match_pattern_option(a, o.patterns) || at_least_zero("--range", o.range) ||
        at_least_zero("--threshold", o.threshold))
        return;
    if (at_least_zero("--rate", o.rate)) {
        o.rate_given = true;
        return;
    }
    if (option("--optimizer")) {
        if (std::string_view(a.value) == "sgd" || std::string_view(a.value) == "adam")
            o.adam = std::string_view(a.value) == "adam";
        else
            bad("--optimizer", "expected sgd or adam");
        return;
    }
    if (option("--decay")) {
        if (double d = 0.0; bp_cli::parse_double(a.value, d) && d >= 0.0)
            o.decay = d;
        else
            bad("--decay", "expected a finite number, at least 0");
        return;
    }
    if (option("--iterations")) {
        if (bp_cli::parse_unsigned(a.value, UINT32_MAX, u)) {
            o.iterations = u;
            o.iterations_given = true;
        } else {
            bad("--iterations", "expected a whole number from 0 to 4294967295");
        }
    } else if (option("--epochs")) {
        if (bp_cli::parse_unsigned(a.value, UINT32_MAX, u) && u > 0)
            o.epochs = u;
        else
            bad("--epochs", "expected a whole number from 1 to 4294967295");
    } else if (option("--batch")) {
        if (bp_cli::parse_unsigned(a.value, INT_MAX, u) && u > 0)
            o.batch = static_cast<unsigned>(u);
        else
            bad("--batch", "expected a whole number from 1 to 2147483647");
    } else if (option("--scale")) {
        if (scaling::parse_method(a.value, o.scale))
            o.scale_given = true;
        else
            bad("--scale", "expected none, minmax or zscore");
    } else if (option("--seed")) {
        if (bp_cli::parse_signed(a.value, INT_MIN, INT_MAX, s))
            o.seed = static_cast<int>(s);
        else
            bad("--seed", "expected a whole number from -2147483648 to 2147483647");
    } else if (option("--inertia")) {
        if (bp_cli::parse_float(a.value, f) && f >= 0.0f && f < 1.0f)
            o.inertia = f;
        else
            bad("--inertia", "expected a number from 0 up to (not including) 1");
    } else if (option("--order")) {
        if (std::string_view(a.value) == "sequential")
            o.shuffled = false;
        else if (std::string_view(a.value) == "shuffled")
            o.shuffled = true;
        else
            bad("--order", "expected sequential or shuffled");
    } else if (option("--resume")) {
        o.resume = a.value;
    } else if (option("--output")) {
        o.output = a.value;
    } else if (option("--test")) {
        o.test = a.value;
    } else if (option("--curve")) {
        o.curve = a.value;
    }
}

// Parse the command line into o; returns -1 to go on, otherwise the exit status.
int parse_options(int argc, char **argv, Options &o)
{
    const int status = bp_cli::parse_arguments(argc, argv, kTool, print_help, "--output", o.output,
                                               [&](bp_cli::Argument &a) { match_option(a, o); });
    if (status >= 0)
        return status;
    if (o.epochs > 0 && o.iterations_given)
        return bp_cli::usage_error(kTool, "give --iterations or --epochs, not both");
    if (o.adam && !o.rate_given)
        o.rate = kDefaultAdamRate;
    if (o.adam && !(o.rate > 0.0f))
        return bp_cli::usage_error(kTool, "adam needs a --rate above 0");
    return -1;
}

// Scale the inputs of set; false after printing the message when a value leaves the float range.
bool scale_patterns(const scaling::Scaling &s, nn_patterns::PatternSet &set, const std::string &file)
{
    std::size_t bad = 0;
    if (scaling::apply(s, set, bad))
        return true;
    std::fprintf(stderr, "%s: pattern %zu: an input scaled (%s) is beyond the float range\n", file.c_str(), bad + 1,
                 scaling::method_name(s.method));
    return false;
}

// One line of the error curve: the epoch (fractional for a last partial pass), the
// presentations so far, then training and held-out error and accuracy.
std::string curve_row(std::uint64_t done)
{
    const scoring::Score train = scoring::score(g_patterns, g_input.data(), g_target.data());
    char line[256];
    std::snprintf(line, sizeof line, "%.6g,%" PRIu64 ",%.6f,%.6f",
                  static_cast<double>(done) / static_cast<double>(g_patterns.size()), done, train.mean_error,
                  scoring::accuracy(train));
    std::string row = line;
    if (g_test.size() > 0) {
        const scoring::Score test = scoring::score(g_test, g_input.data(), g_target.data());
        std::snprintf(line, sizeof line, ",%.6f,%.6f", test.mean_error, scoring::accuracy(test));
        row += line;
    }
    return row + "\n";
}

// Mean error of the trained network over the whole training set.
double training_set_error()
{
    return scoring::score(g_patterns, g_input.data(), g_target.data()).mean_error;
}

// Print a failure of the network module and return exit status 1.
int network_failure()
{
    return bp_cli::module_error(kTool);
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

    // The training and held-out sets, before anything is trained or written.
    if (!tool_setup::read_patterns(kTool, o.patterns, g_patterns))
        return 1;
    if (!o.test.empty() && !tool_setup::load_patterns(o.test, o.patterns.targets, g_test))
        return 1;
    if (o.epochs > 0) {
        const std::uint64_t size = g_patterns.size();
        if (o.epochs > UINT32_MAX / size) {
            std::fprintf(stderr, "%s: %" PRIu64 " epochs of %" PRIu64 " patterns are more than 4294967295 presentations\n",
                         kTool, o.epochs, size);
            return 1;
        }
        o.iterations = o.epochs * size;
    }

    // The input scaling: computed from the training set, or the resumed network's own.
    std::string error;
    scaling::Scaling scale;
    if (o.scale_given || o.resume.empty() || !text_file::exists(scaling::side_file(o.resume))) {
        scale = scaling::compute(o.scale, g_patterns);
    } else if (!scaling::load(scaling::side_file(o.resume), net.inputs(), scale, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!scale_patterns(scale, g_patterns, o.patterns.data.empty() ? std::string("demonstration set") : o.patterns.data) ||
        !scale_patterns(scale, g_test, o.test))
        return 1;

    // The order: a network with feedback is shown whole sequences, each in order; one
    // without it is shown single patterns, as it always was.
    const bool by_sequence = net_host::has_feedback();
    g_order = presentation::make_order(g_patterns, by_sequence);
    g_first = g_patterns.first_flags();
    if (o.shuffled) {
        // A nonzero state marks the shuffled order; the first pass is shuffled too.
        g_shuffle_state = o.patterns.sample_seed ^ kShuffleSalt;
        if (g_shuffle_state == 0)
            g_shuffle_state = kShuffleSalt;
        presentation::reshuffle(g_order, g_patterns, g_shuffle_state);
    }

    // The network: fresh random weights, or a save file over them.
    net.set_learning_rate(o.rate);
    net.set_inertia(o.inertia);
    net.set_threshold(o.threshold);
    net.initialize(o.seed, o.range);
    if (o.adam || o.decay != 0.0) {
        try {
            net.set_optimizer(o.adam ? "adam" : "sgd", 0.9, 0.999, 1e-8, o.decay);
        } catch (const bpnet::Error &e) {
            std::fprintf(stderr, "%s: %s\n", kTool, e.what());
            return 1;
        }
    }
    if (!o.resume.empty() && !tool_setup::load_save_file(kTool, o.resume))
        return 1;
    g_input.assign(static_cast<std::size_t>(net.inputs()), 0.0f);
    g_target.assign(static_cast<std::size_t>(net.outputs()), 0.0f);
    net.use_vectors(g_input.data(), g_target.data());
    const unsigned start_counter = static_cast<unsigned>(net.counter());

    // Training, in slices so that the progress bar and the error curve can follow.
    const bool progress = isatty(STDERR_FILENO) != 0;
    const std::uint64_t slice = progress ? (o.iterations / 200 > 0 ? o.iterations / 200 : 1) : o.iterations;
    const std::uint64_t epoch = g_patterns.size();
    const bool curve = !o.curve.empty();
    std::string curve_text;
    if (curve) {
        curve_text = std::string("# ") + kTool + " error curve of " + net.name() +
                     ": epoch,presentations,training_error,training_accuracy" +
                     (g_test.size() > 0 ? ",heldout_error,heldout_accuracy" : "") + "\n" + curve_row(0);
    }
    std::uint64_t done = 0;
    std::uint64_t next_draw = slice;
    std::uint64_t next_epoch = epoch;
    while (done < o.iterations) {
        std::uint64_t stop = o.iterations;
        if (progress && next_draw < stop)
            stop = next_draw;
        if (curve && next_epoch < stop)
            stop = next_epoch;
        // Batches are taken from the start of every pass: a stop for the progress bar moves
        // on to the end of the batch under way, so that the bits do not depend on it.
        if (o.batch > 1 && stop % epoch != 0) {
            const std::uint64_t into = stop % epoch;
            const std::uint64_t end = std::min<std::uint64_t>(epoch, (into + o.batch - 1) / o.batch * o.batch);
            stop = std::min(o.iterations, stop - into + end);
        }
        if (o.batch == 1) {
            net.learn(static_cast<unsigned>(stop - done), next_pattern);
        } else {
            try {
                learn_in_batches(stop - done, o.batch);
            } catch (const bpnet::Error &e) {
                std::fprintf(stderr, "%s: %s\n", kTool, e.what());
                return 1;
            }
        }
        // The progress bar's held-out score runs the network and so disturbs its delays: a
        // network with feedback finishes the sequence under way first (a pass ends with one,
        // so the curve's epochs are never passed).
        if (by_sequence && progress && stop == next_draw && stop < o.iterations) {
            std::uint64_t rest = presentation::to_sequence_end(g_order, g_first, g_next);
            if (rest > o.iterations - stop)
                rest = o.iterations - stop;
            net.learn(static_cast<unsigned>(rest), next_pattern);
            stop += rest;
        }
        count_pending_error();
        done = stop;
        if (curve && (done == next_epoch || done == o.iterations)) {
            curve_text += curve_row(done);
            if (done == next_epoch)
                next_epoch += epoch;
        }
        if (progress && (done >= next_draw || done == o.iterations)) {
            draw_progress(done, o.iterations);
            while (next_draw <= done)
                next_draw += slice;
        }
    }
    if (progress && o.iterations > 0)
        std::fputc('\n', stderr);
    const unsigned steps = static_cast<unsigned>(net.counter()) - start_counter;

    const double mean_error = training_set_error();
    // A network whose values left the finite numbers answers NaN to everything: saving it
    // would pass a failure off as a result, so the previous files stay as they are.
    if (!std::isfinite(mean_error)) {
        std::fprintf(stderr,
                     "%s: training diverged: the error over the training set is not a finite number after %u "
                     "learning steps (try a smaller --rate); nothing written\n",
                     kTool, static_cast<unsigned>(net.counter()) - start_counter);
        return 1;
    }
    scoring::Score held_out;
    if (g_test.size() > 0)
        held_out = scoring::score(g_test, g_input.data(), g_target.data());

    // The side files go to temporary files first; they replace the old ones only once the
    // save file has been written.
    const std::string scale_file = scaling::side_file(o.output);
    std::string scale_temp, curve_temp;
    if (scale.method != scaling::Method::kNone &&
        !text_file::write_temporary(scale_file, scaling::format(scale), scale_temp, error)) {
        std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    if (curve && !text_file::write_temporary(o.curve, curve_text, curve_temp, error)) {
        text_file::discard(scale_temp);
        std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    try {
        net.save(o.output);
    } catch (const bpnet::Error &) {
        text_file::discard(scale_temp);
        text_file::discard(curve_temp);
        return network_failure();
    }
    bool written = true;
    if (!scale_temp.empty()) {
        written = text_file::commit(scale_temp, scale_file, error);
    } else if (text_file::exists(scale_file) && std::remove(scale_file.c_str()) != 0) {
        // A scaling left from an earlier run would be applied to this network's inputs.
        error = scale_file + ": cannot remove the scaling of an earlier network: " + std::strerror(errno);
        written = false;
    }
    if (!written) {
        text_file::discard(curve_temp);
        std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        return 1;
    }
    if (!curve_temp.empty() && !text_file::commit(curve_temp, o.curve, error)) {
        std::fprintf(stderr, "%s: %s\n", kTool, error.c_str());
        return 1;
    }

    std::printf("%s: %" PRIu64 " presentations, %u learning steps (count %u), mean error %.6f over %zu "
                "training patterns; wrote %s\n",
                kTool, o.iterations, steps, static_cast<unsigned>(net.counter()), mean_error,
                g_patterns.size(), o.output.c_str());
    if (g_test.size() > 0)
        std::printf("%s: held-out: mean error %.6f over %zu patterns, accuracy %" PRIu64 "/%" PRIu64 " = %f\n",
                    kTool, held_out.mean_error, held_out.count, held_out.correct, held_out.classified,
                    scoring::accuracy(held_out));
    if (scale.method != scaling::Method::kNone)
        std::printf("%s: inputs scaled (%s), the scaling kept in %s\n", kTool, scaling::method_name(scale.method),
                    scale_file.c_str());
    if (curve)
        std::printf("%s: error per epoch written to %s\n", kTool, o.curve.c_str());
    return bp_cli::finish_output(kTool);
}
