// The embedded forward pass (bpnet-gen --embed, both forms) beside the module's, on the host:
// digits (64-64-10) and 784-128-10. Before anything is timed the exact form is checked bit for
// bit against the module on every benchmark input (a difference aborts the run), and the float
// form's largest deviation is printed.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
void digits_embed_forward(float *work, const float *in, float *out);
void digits_embed_forward_float(float *work, const float *in, float *out);
void n784x128x10_embed_forward(float *work, const float *in, float *out);
void n784x128x10_embed_forward_float(float *work, const float *in, float *out);
}

namespace {

using EmbedFn = void (*)(float *, const float *, float *);

// One network: the module's entry points, the embedded forms, the inputs.
struct Network {
    const char *name;
    const char *module;
    int inputs, outputs, work;
    EmbedFn exact, single;
    void (*set_input)(float *) = nullptr;
    void (*forward)(void) = nullptr;
    float *(*get_output)(void) = nullptr;
    std::vector<float> in;
    std::vector<float> scratch;
};

Network g_nets[] = {
    {"digits", BENCH_MODULE_digits, 64, 10, 64, digits_embed_forward, digits_embed_forward_float, {}, {}, {}, {}, {}},
    {"n784x128x10", BENCH_MODULE_n784x128x10, 784, 10, 128, n784x128x10_embed_forward,
     n784x128x10_embed_forward_float, {}, {}, {}, {}, {}},
};
constexpr int kPatterns = 256;

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "bench_embed: %s\n", what.c_str());
    std::exit(1);
}

void *symbol(void *handle, const std::string &name)
{
    void *p = dlsym(handle, name.c_str());
    if (p == nullptr)
        die("module without " + name);
    return p;
}

// Load the module at its initial values (the embedded forms carry the same), draw the inputs,
// check the forms against the module.
void prepare(Network &n)
{
    void *handle = dlopen(n.module, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        die(std::string("dlopen: ") + dlerror());
    const std::string p = std::string(n.name) + "_";
    const auto init = reinterpret_cast<int (*)(void)>(symbol(handle, p + "init_network"));
    n.set_input = reinterpret_cast<void (*)(float *)>(symbol(handle, p + "set_input"));
    n.forward = reinterpret_cast<void (*)(void)>(symbol(handle, p + "propagate_forward"));
    n.get_output = reinterpret_cast<float *(*)(void)>(symbol(handle, p + "get_output"));
    if (init() != 0)
        die("module initialization failed");
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    n.in.resize(static_cast<std::size_t>(kPatterns) * static_cast<std::size_t>(n.inputs));
    for (float &x : n.in)
        x = dist(rng);
    n.scratch.assign(static_cast<std::size_t>(n.work), 0.0f);
    double largest = 0.0;
    std::vector<float> out(static_cast<std::size_t>(n.outputs));
    for (int t = 0; t < kPatterns; t++) {
        float *x = n.in.data() + static_cast<std::size_t>(t) * static_cast<std::size_t>(n.inputs);
        n.set_input(x);
        n.forward();
        const float *want = n.get_output();
        n.exact(n.scratch.data(), x, out.data());
        if (std::memcmp(out.data(), want, out.size() * sizeof(float)) != 0)
            die(std::string(n.name) + ": the exact embedded pass differs from the module on input " + std::to_string(t));
        n.single(n.scratch.data(), x, out.data());
        for (int j = 0; j < n.outputs; j++)
            largest = std::max(largest, std::fabs(static_cast<double>(out[static_cast<std::size_t>(j)]) - want[j]));
    }
    std::printf("%s: exact form equals the module on %d inputs; float form's largest deviation %.9g\n", n.name,
                kPatterns, largest);
}

void BM_module(benchmark::State &state, Network *n)
{
    int t = 0;
    for (auto _ : state) {
        n->set_input(n->in.data() + static_cast<std::size_t>(t) * static_cast<std::size_t>(n->inputs));
        n->forward();
        benchmark::DoNotOptimize(n->get_output()[0]);
        t = (t + 1) % kPatterns;
    }
}

void BM_embed(benchmark::State &state, Network *n, bool exact)
{
    std::vector<float> out(static_cast<std::size_t>(n->outputs));
    const EmbedFn f = exact ? n->exact : n->single;
    int t = 0;
    for (auto _ : state) {
        f(n->scratch.data(), n->in.data() + static_cast<std::size_t>(t) * static_cast<std::size_t>(n->inputs),
          out.data());
        benchmark::DoNotOptimize(out[0]);
        t = (t + 1) % kPatterns;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    for (Network &n : g_nets) {
        prepare(n);
        const std::string name = n.name;
        benchmark::RegisterBenchmark((name + "/module forward").c_str(), BM_module, &n);
        benchmark::RegisterBenchmark((name + "/embedded, sums in double").c_str(), BM_embed, &n, true);
        benchmark::RegisterBenchmark((name + "/embedded, sums in float").c_str(), BM_embed, &n, false);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
