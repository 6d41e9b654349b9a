// The network built at run time beside the generated module of the same description, at
// 64-32-10 and 784-128-10: one forward pass and one learning presentation each. Both run the
// machine's widest kernel path (or the one BPNET_KERNEL_PATH names). Before anything is timed,
// the run-time network is checked bit for bit against the module: the whole state after forward
// passes and after learning presentations from the same initialization.
//
// Options besides Google Benchmark's: --modules=DIR (the folder of the module files, by default
// the build's), --networks=DIR (the folder of the descriptions), --machine=TEXT (the table's
// machine line); --rounds=N is accepted and ignored.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "bp/multi/common.h"
#include "gen/rtnet/bpnet_network.h"

#ifndef BENCH_MODULE_DIR
#define BENCH_MODULE_DIR "."
#endif
#ifndef BENCH_NETWORK_DIR
#define BENCH_NETWORK_DIR "."
#endif

namespace {

using bench_common::fmt;
using bench_common::ratio;

std::string g_modules = BENCH_MODULE_DIR;
std::string g_networks = BENCH_NETWORK_DIR;
std::string g_machine;

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "bench_rtnet: %s\n", what.c_str());
    std::exit(2);
}

struct Topology {
    const char *label;
    const char *network;
    int inputs, outputs;
};
constexpr Topology kTopologies[] = {
    {"64-32-10", "n64x32x10", 64, 10},
    {"784-128-10", "n784x128x10", 784, 10},
};

constexpr int kPatterns = 1347;
constexpr int kRestoreEvery = 3000;
// The run-time network may take at most this many times the module's time.
constexpr double kTarget = 1.5;

// The generated module: its state and the entry points a host uses.
struct Module : bench_common::ModuleEntries {
    int size = 0;
    std::vector<float> start;
};

struct Bench {
    const Topology *t = nullptr;
    std::vector<float> inputs, targets;
    Module module;
    std::unique_ptr<bpnet::Network> net;
    std::vector<float> net_start;
};
Bench g_bench[std::size(kTopologies)];

Module load(const Topology &t)
{
    Module m;
    std::string error;
    if (!bench_common::open_module(g_modules + "/libbench_module_" + t.network + ".so", t.network, m, error))
        die(error);
    return m;
}

// The benchmark's patterns for its topology.
void make_patterns(Bench &b, unsigned seed)
{
    bench_common::make_patterns(kPatterns, b.t->inputs, b.t->outputs, seed, b.inputs, b.targets);
}

const float *input(const Bench &b, int p)
{
    return b.inputs.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(b.t->inputs);
}

const float *target(const Bench &b, int p)
{
    return b.targets.data() + static_cast<std::size_t>(p) * static_cast<std::size_t>(b.t->outputs);
}

// The module's input callback: the next pattern of the bench being driven.
Bench *g_cur;
int g_next;

void next_pattern()
{
    g_cur->module.set_input(const_cast<float *>(input(*g_cur, g_next)));
    g_cur->module.set_target(const_cast<float *>(target(*g_cur, g_next)));
    if (++g_next == kPatterns)
        g_next = 0;
}

// Both parties from the same initialization: forward passes, then learning; the whole state
// must agree bit for bit.
void check_same(Bench &b)
{
    Module &m = b.module;
    bpnet::Network &net = *b.net;
    if (net.data_size() != m.size)
        die(std::string(b.t->label) + ": the run-time network's data size differs from the module's");
    m.init();
    net.initialize(123, 0.1f);
    if (std::memcmp(m.data, net.data(), sizeof(float) * static_cast<std::size_t>(m.size)) != 0)
        die(std::string(b.t->label) + ": the initial states differ");
    std::vector<float> y(static_cast<std::size_t>(b.t->outputs));
    for (int p = 0; p < 50; p++) {
        m.set_input(const_cast<float *>(input(b, p)));
        m.forward();
        net.forward(input(b, p), y.data());
    }
    if (std::memcmp(m.data, net.data(), sizeof(float) * static_cast<std::size_t>(m.size)) != 0)
        die(std::string(b.t->label) + ": the states differ after forward passes");
    const int presentations = b.t->inputs > 100 ? 600 : 3000;
    m.init();
    *m.counter = 0;
    g_cur = &b;
    g_next = 0;
    m.learn(static_cast<unsigned>(presentations), next_pattern);
    net.initialize(123, 0.1f);
    net.set_counter(0);
    for (int p = 0; p < presentations; p++)
        net.learn(input(b, p % kPatterns), target(b, p % kPatterns));
    if (std::memcmp(m.data, net.data(), sizeof(float) * static_cast<std::size_t>(m.size)) != 0 ||
        *m.counter != net.counter())
        die(std::string(b.t->label) + ": the states differ after learning");
}

void restore(Bench &b)
{
    std::memcpy(b.module.data, b.module.start.data(), b.module.start.size() * sizeof(float));
    *b.module.counter = 0;
    std::memcpy(b.net->data(), b.net_start.data(), b.net_start.size() * sizeof(float));
    b.net->set_counter(0);
}

// ---- The benchmarks ------------------------------------------------------------------------

void forward_module(benchmark::State &state, Bench *b)
{
    restore(*b);
    int p = 0;
    for (auto _ : state) {
        b->module.set_input(const_cast<float *>(input(*b, p)));
        b->module.forward();
        benchmark::DoNotOptimize(b->module.data[0]);
        if (++p == kPatterns)
            p = 0;
    }
}

void forward_network(benchmark::State &state, Bench *b)
{
    restore(*b);
    std::vector<float> y(static_cast<std::size_t>(b->t->outputs));
    int p = 0;
    for (auto _ : state) {
        b->net->forward(input(*b, p), y.data());
        benchmark::DoNotOptimize(y[0]);
        if (++p == kPatterns)
            p = 0;
    }
}

void learn_module(benchmark::State &state, Bench *b)
{
    restore(*b);
    g_cur = b;
    g_next = 0;
    int n = 0;
    for (auto _ : state) {
        b->module.learn(1, next_pattern);
        if (++n == kRestoreEvery) {
            n = 0;
            restore(*b);
        }
    }
    benchmark::DoNotOptimize(b->module.data[0]);
}

void learn_network(benchmark::State &state, Bench *b)
{
    restore(*b);
    int n = 0, p = 0;
    for (auto _ : state) {
        b->net->learn(input(*b, p), target(*b, p));
        if (++p == kPatterns)
            p = 0;
        if (++n == kRestoreEvery) {
            n = 0;
            restore(*b);
        }
    }
    benchmark::DoNotOptimize(b->net->data()[0]);
}

std::string bench_name(const char *figure, const Topology &t, const char *variant)
{
    return std::string(figure) + "/" + t.network + "/" + variant;
}

void register_all()
{
    for (Bench &b : g_bench) {
        const Topology &t = *b.t;
        benchmark::RegisterBenchmark(bench_name("forward", t, "module").c_str(), forward_module, &b);
        benchmark::RegisterBenchmark(bench_name("forward", t, "runtime").c_str(), forward_network, &b);
        benchmark::RegisterBenchmark(bench_name("learn", t, "module").c_str(), learn_module, &b);
        benchmark::RegisterBenchmark(bench_name("learn", t, "runtime").c_str(), learn_network, &b);
    }
}

int print_table()
{
    std::printf("\nMedians of CPU time per operation on the %s kernel path. module: the generated module; "
                "run-time: the network built at run time from the same description.\n",
                g_bench[0].net->kernel_path().c_str());
    std::printf("%-34s %9s %9s %15s  %s\n", "figure", "module", "run-time", "run-time/module", "target");
    int unmet = 0;
    for (const Bench &b : g_bench) {
        for (const char *figure : {"forward", "learn"}) {
            const double mod = bench_common::median_ns(bench_name(figure, *b.t, "module"));
            const double rt = bench_common::median_ns(bench_name(figure, *b.t, "runtime"));
            const std::string row =
                std::string(std::strcmp(figure, "forward") == 0 ? "forward pass " : "learning presentation ") +
                b.t->label;
            const bool met = !std::isnan(mod) && !std::isnan(rt) && rt <= kTarget * mod;
            unmet += met ? 0 : 1;
            std::printf("%-34s %9s %9s %15s  %s <= %.1fx\n", row.c_str(), fmt(mod, "ns").c_str(), fmt(rt, "ns").c_str(),
                        ratio(rt, mod).c_str(), met ? "yes" : "NO ", kTarget);
        }
    }
    if (!g_machine.empty())
        std::printf("machine: %s\n", g_machine.c_str());
    std::printf(unmet == 0 ? "every target met\n" : "%d target(s) NOT met\n", unmet);
    return unmet;
}

bool our_option(const char *arg)
{
    std::string ignored;
    return bench_common::take_option(arg, "--modules", g_modules) ||
           bench_common::take_option(arg, "--networks", g_networks) ||
           bench_common::take_option(arg, "--machine", g_machine) ||
           bench_common::take_option(arg, "--rounds", ignored);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!bench_common::initialize(argc, argv, our_option))
        return 2;
    for (std::size_t i = 0; i < std::size(kTopologies); i++) {
        Bench &b = g_bench[i];
        b.t = &kTopologies[i];
        make_patterns(b, 2000u + static_cast<unsigned>(i));
        b.module = load(*b.t);
        try {
            b.net = bpnet::Network::from_file(g_networks + "/" + b.t->network + ".toml");
        } catch (const bpnet::Error &e) {
            die(e.what());
        }
        b.module.size = b.net->data_size();
        check_same(b);
        // Every presentation is learned: the error always exceeds a negative threshold.
        *b.module.threshold = -1.0f;
        b.net->set_threshold(-1.0f);
        b.module.start.assign(b.module.data, b.module.data + b.module.size);
        b.net_start.assign(b.net->data(), b.net->data() + b.net->data_size());
    }
    std::printf("the run-time networks checked bit for bit against their modules (kernel path %s)\n",
                g_bench[0].net->kernel_path().c_str());
    register_all();
    bench_common::run();
    return print_table() == 0 ? 0 : 1;
}
