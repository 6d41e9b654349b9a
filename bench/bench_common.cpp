// The benchmark programs' shared command line, medians, number formats and peer loops.
#include "bench/bench_common.h"

#include <dlfcn.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace bench_common {

namespace {

// Median CPU times in nanoseconds, by benchmark name.
std::map<std::string, double> g_median;

// Prints the runs as the console does and keeps each benchmark's median.
class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median" && !r.error_occurred)
                g_median[r.run_name.function_name] =
                    r.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(r.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

bool take_option(const char *arg, const char *name, std::string &value)
{
    const std::size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=')
        return false;
    value = arg + n + 1;
    return true;
}

bool initialize(int argc, char **argv, bool (*ours)(const char *arg))
{
    // Our options first; the rest go to Google Benchmark, each replacing the default it names.
    std::vector<char *> args = {argv[0]};
    static std::vector<std::string> defaults = {"--benchmark_repetitions=15",
                                                "--benchmark_enable_random_interleaving=true",
                                                "--benchmark_report_aggregates_only=true", "--benchmark_min_time=0.04"};
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (ours(a))
            continue;
        for (auto it = defaults.begin(); it != defaults.end();) {
            const std::string key = it->substr(0, it->find('='));
            it = std::strncmp(a, key.c_str(), key.size()) == 0 ? defaults.erase(it) : it + 1;
        }
        args.push_back(argv[i]);
    }
    for (std::string &d : defaults)
        args.push_back(d.data());
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    return !benchmark::ReportUnrecognizedArguments(n, args.data());
}

void run()
{
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
}

double median_ns(const std::string &name)
{
    const auto it = g_median.find(name);
    return it == g_median.end() ? NAN : it->second;
}

std::string fmt(double v, const char *unit)
{
    if (std::isnan(v))
        return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, v >= 100 ? "%.0f %s" : v >= 10 ? "%.1f %s" : "%.2f %s", v, unit);
    return buf;
}

std::string ratio(double a, double b)
{
    if (std::isnan(a) || std::isnan(b) || b == 0)
        return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2fx", a / b);
    return buf;
}

#ifdef BPNET_BENCH_PEER
void configure_peer(struct fann *ann, enum fann_activationfunc_enum unit)
{
    fann_set_activation_function_hidden(ann, unit);
    fann_set_activation_function_output(ann, unit);
    fann_set_learning_rate(ann, 0.2f);
    fann_set_learning_momentum(ann, 0.95f);
    fann_randomize_weights(ann, -0.1f, 0.1f);
}

void run_peer(benchmark::State &state, struct fann *ann, float *inputs, int in, int patterns)
{
    int p = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            fann_run(ann, inputs + static_cast<std::size_t>(p) * static_cast<std::size_t>(in))[0]);
        if (++p == patterns)
            p = 0;
    }
}

void train_peer(benchmark::State &state, struct fann *net, float *inputs, int in, float *targets, int out,
                int patterns, int restore_every)
{
    struct fann *ann = fann_copy(net);
    int p = 0, n = 0;
    for (auto _ : state) {
        fann_train(ann, inputs + static_cast<std::size_t>(p) * static_cast<std::size_t>(in),
                   targets + static_cast<std::size_t>(p) * static_cast<std::size_t>(out));
        if (++p == patterns)
            p = 0;
        if (++n == restore_every) {  // start again from the initial state
            n = 0;
            fann_destroy(ann);
            ann = fann_copy(net);
        }
    }
    fann_destroy(ann);
}
#endif


void make_patterns(const int patterns, const int inputs, const int outputs, const unsigned seed,
                   std::vector<float> &in, std::vector<float> &targets)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    in.resize(static_cast<std::size_t>(patterns) * static_cast<std::size_t>(inputs));
    targets.resize(static_cast<std::size_t>(patterns) * static_cast<std::size_t>(outputs));
    for (float &v : in)
        v = u(gen);
    for (int p = 0; p < patterns; p++) {
        const int hot = static_cast<int>(gen() % static_cast<unsigned>(outputs));
        for (int k = 0; k < outputs; k++)
            targets[static_cast<std::size_t>(p * outputs + k)] = k == hot ? 0.9f : 0.1f;
    }
}


bool open_module(const std::string &file, const std::string &network, ModuleEntries &m, std::string &error)
{
    m.handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m.handle == nullptr) {
        error = std::string("dlopen: ") + dlerror();
        return false;
    }
    const std::string p = network + "_";
    bool found = true;
    const auto symbol = [&](const std::string &name) {
        void *s = dlsym(m.handle, name.c_str());
        if (s == nullptr && found) {
            error = "module without " + name;
            found = false;
        }
        return s;
    };
    m.data = static_cast<float *>(symbol("network_data"));
    m.counter = static_cast<int *>(symbol("b0bcounter"));
    m.threshold = static_cast<float *>(symbol("BPthreshold"));
    m.init = reinterpret_cast<int (*)(void)>(symbol(p + "init_network"));
    m.forward = reinterpret_cast<void (*)(void)>(symbol(p + "propagate_forward"));
    m.learn = reinterpret_cast<void (*)(unsigned, void (*)(void))>(symbol("network_learn"));
    m.set_input = reinterpret_cast<void (*)(float *)>(symbol(p + "set_input"));
    m.set_target = reinterpret_cast<void (*)(float *)>(symbol(p + "set_target_output"));
    return found;
}

}  // namespace bench_common
