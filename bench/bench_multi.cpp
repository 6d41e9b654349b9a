// Benchmarks of generated modules at the sizes users bring: 13-8-3, 64-32-10, 64-32-10 with
// shortcut connections from the inputs, 784-128-10, and one epoch of the digits example
// (64-64-10 over 1347 patterns). Each module is loaded once per kernel path the machine runs
// (BPNET_KERNEL_PATH set while it loads), beside the scalar form of the same module (the same
// generated source compiled to take one unit at a time) and, when built with it, the same
// topology in the peer library (FANN: logistic units, incremental training with momentum).
// Before anything is timed, every path's module is checked bit for bit against the scalar one:
// the whole state after forward passes and after thousands of learning presentations.
//
// Options besides Google Benchmark's: --modules=DIR (the folder of the module files, by
// default the build's), --machine=TEXT (the table's machine line); --rounds=N is accepted and
// ignored (it is the nn benchmarks' option).
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bp/BpSimMulti.h"

#ifndef BENCH_MODULE_DIR
#define BENCH_MODULE_DIR "."
#endif

namespace {

using bench_common::fmt;
using bench_common::ratio;

std::string g_modules = BENCH_MODULE_DIR;
std::string g_machine;
std::string g_scratch;

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "bench_multi: %s\n", what.c_str());
    std::exit(2);
}

// The benchmark networks: two layers of logistic units, the output layer fed by the hidden
// layer and, with shortcuts, by the inputs too.
struct Topology {
    const char *label;
    const char *network;
    int inputs, hidden, outputs;
    bool shortcut;
    bool epoch;  // the digits example: timed by the epoch
};
constexpr Topology kTopologies[] = {
    {"13-8-3", "n13x8x3", 13, 8, 3, false, false},
    {"64-32-10", "n64x32x10", 64, 32, 10, false, false},
    {"64-32-10 shortcuts", "n64x32x10s", 64, 32, 10, true, false},
    {"784-128-10", "n784x128x10", 784, 128, 10, false, false},
    {"digits 64-64-10", "digits", 64, 64, 10, false, true},
};
constexpr int kTopologyCount = static_cast<int>(std::size(kTopologies));

// Patterns per network: the digits example's training set (1347 patterns).
constexpr int kPatterns = 1347;
// Learning presentations between two restorations of the initial state.
constexpr int kRestoreEvery = 3000;

int weights_of(const Topology &t)
{
    return t.hidden * t.inputs + t.outputs * t.hidden + (t.shortcut ? t.outputs * t.inputs : 0);
}

// Floats of state: activations and deltas, thresholds with gradients and steps, then weights
// with gradients and steps.
int data_size(const Topology &t)
{
    return 2 * (t.hidden + t.outputs) + 3 * (t.hidden + t.outputs) + 3 * weights_of(t);
}

// One loaded module and the names a host uses.
struct Module : bench_common::ModuleEntries {
    std::string label;
    std::vector<float> start;
};

// Load a copy of the module file (a fresh instance with its own state) with the kernel path
// named by `path` ("" leaves the choice to the module).
Module load(const Topology &t, const std::string &file, const std::string &label, const std::string &path)
{
    const std::string copy = g_scratch + "/" + t.network + "-" + label + ".so";
    std::error_code ec;
    std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec)
        die("cannot copy " + file + ": " + ec.message());
    if (path.empty())
        unsetenv("BPNET_KERNEL_PATH");
    else
        setenv("BPNET_KERNEL_PATH", path.c_str(), 1);
    Module m;
    m.label = label;
    std::string error;
    const bool opened = bench_common::open_module(copy, t.network, m, error);
    unsetenv("BPNET_KERNEL_PATH");
    if (!opened)
        die(error);
    if (m.init() != 0)
        die("module initialization failed");
    // Every presentation is learned: the error always exceeds a negative threshold.
    *m.threshold = -1.0f;
    m.start.assign(m.data, m.data + data_size(t));
    return m;
}

// Everything one network's benchmarks use.
struct Bench {
    const Topology *t = nullptr;
    std::vector<float> inputs, targets;
    std::vector<Module> modules;  // the paths, widest first, then "scalar"
#ifdef BPNET_BENCH_PEER
    struct fann *peer = nullptr;
#endif
};
Bench g_bench[kTopologyCount];

// The module being driven and its pattern cursor, for the module's input callback.
Module *g_mod;
Bench *g_cur;
int g_next;

void next_pattern()
{
    const Topology &t = *g_cur->t;
    g_mod->set_input(g_cur->inputs.data() + static_cast<std::size_t>(g_next) * static_cast<std::size_t>(t.inputs));
    g_mod->set_target(g_cur->targets.data() + static_cast<std::size_t>(g_next) * static_cast<std::size_t>(t.outputs));
    if (++g_next == kPatterns)
        g_next = 0;
}

void restore(Module &m)
{
    std::memcpy(m.data, m.start.data(), m.start.size() * sizeof(float));
    *m.counter = 0;
}

void drive(Bench &b, Module &m)
{
    g_cur = &b;
    g_mod = &m;
    g_next = 0;
    restore(m);
    next_pattern();
    g_next = 0;
}

// The benchmark's patterns for its topology.
void make_patterns(Bench &b, unsigned seed)
{
    bench_common::make_patterns(kPatterns, b.t->inputs, b.t->outputs, seed, b.inputs, b.targets);
}

// The whole state of two modules after the same forward passes, and after the same learning
// presentations from initialization (each initialization seeds the shared random generator).
void check_same(Bench &b, Module &fast, Module &scalar)
{
    const int n = data_size(*b.t);
    auto differ = [&](const char *when) {
        if (std::memcmp(fast.data, scalar.data, sizeof(float) * static_cast<std::size_t>(n)) != 0 ||
            *fast.counter != *scalar.counter)
            die(std::string(b.t->label) + ": the " + fast.label + " path differs from the scalar module " + when);
    };
    for (Module *m : {&fast, &scalar}) {
        drive(b, *m);
        for (int p = 0; p < 50; p++) {
            next_pattern();
            m->forward();
        }
    }
    differ("after forward passes");
    for (Module *m : {&fast, &scalar}) {
        m->init();
        *m->counter = 0;
        g_cur = &b;
        g_mod = m;
        g_next = 0;
        m->learn(b.t->inputs > 100 ? 600 : 3000, next_pattern);
    }
    differ("after learning");
    for (Module *m : {&fast, &scalar})
        restore(*m);
}

// ---- The benchmarks ------------------------------------------------------------------------

void forward_module(benchmark::State &state, Bench *b, Module *m)
{
    drive(*b, *m);
    const Topology &t = *b->t;
    int p = 0;
    for (auto _ : state) {
        m->set_input(b->inputs.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(t.inputs));
        m->forward();
        benchmark::DoNotOptimize(m->data[0]);
        if (++p == kPatterns)
            p = 0;
    }
}

void learn_module(benchmark::State &state, Bench *b, Module *m)
{
    drive(*b, *m);
    int n = 0;
    for (auto _ : state) {
        m->learn(1, next_pattern);
        if (++n == kRestoreEvery) {
            n = 0;
            restore(*m);
        }
    }
    benchmark::DoNotOptimize(m->data[0]);
    if (*m->counter == 0 && n > 0)
        state.SkipWithError("no presentation was learned");
}

void epoch_module(benchmark::State &state, Bench *b, Module *m)
{
    drive(*b, *m);
    for (auto _ : state) {
        g_next = 0;
        m->learn(kPatterns, next_pattern);
    }
    benchmark::DoNotOptimize(m->data[0]);
}

#ifdef BPNET_BENCH_PEER
struct fann *make_peer(const Topology &t)
{
    const auto I = static_cast<unsigned>(t.inputs), H = static_cast<unsigned>(t.hidden),
               O = static_cast<unsigned>(t.outputs);
    struct fann *ann = t.shortcut ? fann_create_shortcut(3, I, H, O) : fann_create_standard(3, I, H, O);
    if (ann == nullptr)
        die("cannot create the peer network");
    fann_set_training_algorithm(ann, FANN_TRAIN_INCREMENTAL);
    bench_common::configure_peer(ann, FANN_SIGMOID);
    // The same trainable values: FANN's bias connections are our thresholds.
    if (static_cast<int>(fann_get_total_connections(ann)) != weights_of(t) + t.hidden + t.outputs)
        die(std::string("the peer's ") + t.label + " network has another number of trainable values");
    return ann;
}

void forward_peer(benchmark::State &state, Bench *b)
{
    bench_common::run_peer(state, b->peer, b->inputs.data(), b->t->inputs, kPatterns);
}

void learn_peer(benchmark::State &state, Bench *b)
{
    bench_common::train_peer(state, b->peer, b->inputs.data(), b->t->inputs, b->targets.data(), b->t->outputs,
                             kPatterns, kRestoreEvery);
}

void epoch_peer(benchmark::State &state, Bench *b)
{
    const Topology &t = *b->t;
    struct fann *ann = fann_copy(b->peer);
    for (auto _ : state)
        for (int p = 0; p < kPatterns; p++)
            fann_train(ann, b->inputs.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(t.inputs),
                       b->targets.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(t.outputs));
    fann_destroy(ann);
}
#endif

std::string bench_name(const char *figure, const Topology &t, const std::string &variant)
{
    return std::string(figure) + "/" + t.network + "/" + variant;
}

void register_all()
{
    for (Bench &b : g_bench) {
        const Topology &t = *b.t;
        for (Module &m : b.modules) {
            if (t.epoch) {
                benchmark::RegisterBenchmark(bench_name("epoch", t, m.label).c_str(), epoch_module, &b, &m)
                    ->Unit(benchmark::kMicrosecond);
                continue;
            }
            benchmark::RegisterBenchmark(bench_name("forward", t, m.label).c_str(), forward_module, &b, &m);
            benchmark::RegisterBenchmark(bench_name("learn", t, m.label).c_str(), learn_module, &b, &m);
        }
#ifdef BPNET_BENCH_PEER
        if (t.epoch) {
            benchmark::RegisterBenchmark(bench_name("epoch", t, "FANN").c_str(), epoch_peer, &b)
                ->Unit(benchmark::kMicrosecond);
        } else {
            benchmark::RegisterBenchmark(bench_name("forward", t, "FANN").c_str(), forward_peer, &b);
            benchmark::RegisterBenchmark(bench_name("learn", t, "FANN").c_str(), learn_peer, &b);
        }
#endif
    }
}

// ---- Results -------------------------------------------------------------------------------

double get(const std::string &name)
{
    return bench_common::median_ns(name);
}

int g_unmet = 0;
int g_unmeasured = 0;

// A ratio with its target: shown with "yes" or "NO"; a figure that was not measured says so.
std::string target(double slower, double faster, double at_least)
{
    char buf[64];
    if (std::isnan(slower) || std::isnan(faster)) {
        g_unmeasured++;
        std::snprintf(buf, sizeof buf, "n/a (>= %.1fx)", at_least);
        return buf;
    }
    const bool met = slower >= at_least * faster;
    if (!met)
        g_unmet++;
    std::snprintf(buf, sizeof buf, "%s >= %.1fx", met ? "yes" : "NO ", at_least);
    return buf;
}

int print_table()
{
    const std::string best = bp_multi::path_name(bp_multi::best_path());
    std::printf("\nMedians of CPU time per operation. module: the generated module on the machine's widest "
                "kernel path (%s);\nscalar: the same module taking one unit at a time; FANN: the same topology "
                "in the peer library.\n",
                best.c_str());
    // Columns: every path that runs, then scalar and FANN, then the ratios against the module.
    std::vector<std::string> variants;
    for (int i = bp_multi::kPathCount - 1; i >= 0; i--)
        if (bp_multi::path_runs(static_cast<bp_multi::Path>(i)))
            variants.push_back(bp_multi::path_name(static_cast<bp_multi::Path>(i)));
    variants.push_back("scalar");
    variants.push_back("FANN");
    std::printf("%-32s", "figure");
    for (const std::string &v : variants)
        std::printf(" %9s", v.c_str());
    std::printf(" %12s %10s  %s\n", "scalar/module", "FANN/module", "targets (FANN/module, scalar/module)");
    for (const Bench &b : g_bench) {
        const Topology &t = *b.t;
        for (const char *figure : {"forward", "learn", "epoch"}) {
            if ((std::strcmp(figure, "epoch") == 0) != t.epoch)
                continue;
            // The epoch in microseconds, the rest in nanoseconds.
            const double scale = t.epoch ? 1e3 : 1.0;
            const char *unit = t.epoch ? "us" : "ns";
            const std::string row = std::string(figure == std::string("forward") ? "forward pass "
                                                : figure == std::string("learn") ? "learning presentation "
                                                                                 : "epoch of 1347, ") +
                                    t.label;
            std::printf("%-32s", row.c_str());
            for (const std::string &v : variants)
                std::printf(" %9s", fmt(get(bench_name(figure, t, v)) / scale, unit).c_str());
            const double mod = get(bench_name(figure, t, best)), sc = get(bench_name(figure, t, "scalar")),
                         peer = get(bench_name(figure, t, "FANN"));
            std::printf(" %13s %10s  ", ratio(sc, mod).c_str(), ratio(peer, mod).c_str());
            std::string targets;
            if (!t.epoch) {
                const bool large = t.inputs > 100;
                targets = "FANN " + target(peer, mod, large ? 2.0 : 2.5);
                if ((t.inputs == 64 && !t.shortcut) || large)
                    targets += ", scalar " + target(sc, mod, std::strcmp(figure, "forward") == 0 ? 3.0 : 2.0);
            } else {
                targets = "(no target)";
            }
            std::printf("%s\n", targets.c_str());
        }
    }
    if (!g_machine.empty())
        std::printf("machine: %s\n", g_machine.c_str());
    if (g_unmet > 0)
        std::printf("%d target(s) NOT met\n", g_unmet);
    if (g_unmeasured > 0)
        std::printf("%d target(s) not measured (a figure is missing)\n", g_unmeasured);
    if (g_unmet == 0 && g_unmeasured == 0)
        std::printf("every target met\n");
    return g_unmet;
}

// The options of this program: --modules, --machine, and the nn benchmarks' --rounds (accepted
// and ignored: scripts/run-bench passes its options to both).
bool our_option(const char *arg)
{
    std::string ignored;
    return bench_common::take_option(arg, "--modules", g_modules) ||
           bench_common::take_option(arg, "--machine", g_machine) ||
           bench_common::take_option(arg, "--rounds", ignored);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!bench_common::initialize(argc, argv, our_option))
        return 2;

    // Module copies live in a scratch folder while the benchmarks run.
    char scratch[] = "/tmp/bench_multi.XXXXXX";
    if (mkdtemp(scratch) == nullptr)
        die("cannot make a scratch folder");
    g_scratch = scratch;

    for (int i = 0; i < kTopologyCount; i++) {
        Bench &b = g_bench[i];
        b.t = &kTopologies[i];
        make_patterns(b, 1000u + static_cast<unsigned>(i));
        const std::string base = g_modules + "/libbench_module_" + b.t->network;
        for (int p = bp_multi::kPathCount - 1; p >= 0; p--) {
            const auto path = static_cast<bp_multi::Path>(p);
            if (bp_multi::path_runs(path))
                b.modules.push_back(load(*b.t, base + ".so", bp_multi::path_name(path), bp_multi::path_name(path)));
        }
        b.modules.push_back(load(*b.t, base + "_scalar.so", "scalar", ""));
        for (std::size_t k = 0; k + 1 < b.modules.size(); k++)
            check_same(b, b.modules[k], b.modules.back());
#ifdef BPNET_BENCH_PEER
        b.peer = make_peer(*b.t);
#endif
    }
    std::filesystem::remove_all(g_scratch);
    std::printf("every kernel path checked bit for bit against the scalar module\n");

    register_all();
    bench_common::run();
    return print_table() == 0 ? 0 : 1;
}
