// What the benchmark programs share: their command lines (their own options first, the rest
// for Google Benchmark with interleaved repetitions by default), the medians the run reports,
// the table's number formats and, when built with it, the peer library's networks and loops.
#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#ifdef BPNET_BENCH_PEER
#include <floatfann.h>
#endif

namespace bench_common {

// Whether arg is "--NAME=VALUE" for the given "--NAME"; if so, VALUE goes to value.
bool take_option(const char *arg, const char *name, std::string &value);

// Hands every argument to `ours` first (true: it was one of the program's options); the others
// go to Google Benchmark, which runs 15 repetitions of at least 0.04 s in random interleaved
// order and reports their aggregates unless the arguments say otherwise. False when Google
// Benchmark does not know an argument (it has said so on standard error).
bool initialize(int argc, char **argv, bool (*ours)(const char *arg));

// Runs the benchmarks Google Benchmark was asked for, printing them as it goes and keeping
// the median CPU time of each.
void run();

// The median CPU time of a benchmark in nanoseconds, NaN when it did not run or failed.
double median_ns(const std::string &name);

// v with three significant digits at most ("%.0f" from 100 up, "%.1f" from 10, else "%.2f")
// and its unit, or "-" for NaN.
std::string fmt(double v, const char *unit);

// a/b as "1.23x", or "-" when either is unknown or b is zero.
std::string ratio(double a, double b);

// A generated module loaded with dlopen: its state and the entry points a host uses.
struct ModuleEntries {
    void *handle = nullptr;
    float *data = nullptr;
    int *counter = nullptr;
    float *threshold = nullptr;
    int (*init)(void) = nullptr;
    void (*forward)(void) = nullptr;
    void (*learn)(unsigned, void (*)(void)) = nullptr;
    void (*set_input)(float *) = nullptr;
    void (*set_target)(float *) = nullptr;
};

// Loads the module file of network `network` (its entry points are named "NETWORK_...") and
// binds its entry points; false with the reason in error when it cannot be loaded or lacks
// one of them.
bool open_module(const std::string &file, const std::string &network, ModuleEntries &m, std::string &error);

// `patterns` patterns for a network of `inputs` and `outputs`: inputs in [0, 1) like scaled
// pixels, targets one output high (0.9, the others 0.1) chosen at random; the same for a seed.
void make_patterns(int patterns, int inputs, int outputs, unsigned seed, std::vector<float> &in,
                   std::vector<float> &targets);

#ifdef BPNET_BENCH_PEER
// Makes the peer's logistic units `unit`, its learning rate 0.2 and momentum 0.95 (the
// modules' values), and draws its weights from [-0.1, 0.1].
void configure_peer(struct fann *ann, enum fann_activationfunc_enum unit);

// fann_run over the patterns in turn (inputs: `patterns` rows of `in` values).
void run_peer(benchmark::State &state, struct fann *ann, float *inputs, int in, int patterns);

// fann_train over the patterns in turn, on a copy of net that starts again from net every
// restore_every presentations, as the modules' learning benchmarks do.
void train_peer(benchmark::State &state, struct fann *net, float *inputs, int in, float *targets, int out,
                int patterns, int restore_every);
#endif

}  // namespace bench_common

#endif
