// Helpers for the generator's tests.
#include "support/gen_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/test_support.h"

namespace bptest {

namespace {

// A layer or network name: mostly short, sometimes one that looks like the generated code's
// own identifiers, to show that the layout's names cannot collide with them.
std::string random_name(std::mt19937_64 &rng, std::set<std::string> &used)
{
    static const char *const awkward[] = {"in", "r", "at", "c1", "c12", "kInputs", "kLayers", "int", "Out",
                                          "H1", "H16", "H", "x_", "A_b_C", "layer", "from", "units", "std"};
    static const char first[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    static const char rest[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_";
    for (;;) {
        std::string s;
        if (rng() % 3 == 0) {
            s = awkward[rng() % (sizeof awkward / sizeof awkward[0])];
        } else {
            s += first[rng() % (sizeof first - 1)];
            const int len = static_cast<int>(rng() % 8);
            for (int i = 0; i < len; i++)
                s += rest[rng() % (sizeof rest - 1)];
        }
        if (used.insert(s).second)
            return s;
    }
}

}  // namespace

std::string random_description(std::mt19937_64 &rng, int max_layers, int max_units)
{
    std::set<std::string> used{"network"};
    static const char *const units[] = {"logistic", "centred", "tanh", "linear", "quadratic"};
    const std::string network = random_name(rng, used);
    const int layers = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_layers));
    const int inputs = 1 + static_cast<int>(rng() % static_cast<unsigned>(max_units));
    std::vector<std::string> names;
    std::vector<int> sizes;
    std::vector<std::vector<int>> sources(static_cast<std::size_t>(layers));  // -1: the inputs
    for (int l = 0; l < layers; l++) {
        names.push_back(random_name(rng, used));
        sizes.push_back(1 + static_cast<int>(rng() % static_cast<unsigned>(max_units)));
        for (int s = -1; s < l; s++)
            if (rng() % 2 == 0)
                sources[static_cast<std::size_t>(l)].push_back(s);
        if (sources[static_cast<std::size_t>(l)].empty())
            sources[static_cast<std::size_t>(l)].push_back(l == 0 ? -1 : static_cast<int>(rng() % static_cast<unsigned>(l + 1)) - 1);
    }
    // Every hidden layer must feed a later one.
    for (int l = 0; l + 1 < layers; l++) {
        bool feeds = false;
        for (int k = l + 1; k < layers; k++)
            feeds = feeds || std::count(sources[static_cast<std::size_t>(k)].begin(), sources[static_cast<std::size_t>(k)].end(), l) > 0;
        if (!feeds) {
            const int k = l + 1 + static_cast<int>(rng() % static_cast<unsigned>(layers - l - 1));
            sources[static_cast<std::size_t>(k)].push_back(l);
        }
    }
    std::ostringstream t;
    t << "# random description\nnetwork = \"" << network << "\"\ninputs = " << inputs << "\n";
    for (int l = 0; l < layers; l++) {
        std::vector<int> &src = sources[static_cast<std::size_t>(l)];
        std::shuffle(src.begin(), src.end(), rng);
        t << "\n[[layer]]\nname = \"" << names[static_cast<std::size_t>(l)] << "\"\nunits = "
          << sizes[static_cast<std::size_t>(l)] << "\n";
        if (rng() % 4 != 0)
            t << "unit = \"" << units[rng() % 5] << "\"\n";
        t << "from = [";
        for (std::size_t k = 0; k < src.size(); k++)
            t << (k ? ", " : "") << '"' << (src[k] < 0 ? "$INPUTS" : names[static_cast<std::size_t>(src[k])]) << '"';
        t << "]\n";
    }
    return t.str();
}

std::vector<int> build_modules(const std::vector<std::string> &descriptions, const std::vector<std::string> &outputs,
                               int jobs)
{
    std::vector<int> status(descriptions.size(), -1);
    std::atomic<std::size_t> next{0};
    const std::string gen = bin_path("gen/bpnet-gen");
    auto worker = [&]() {
        for (std::size_t i = next++; i < descriptions.size(); i = next++) {
            const RunResult r = run({gen, "--shared", descriptions[i], "-o", outputs[i]}, ".");
            status[i] = r.status;
            if (r.status != 0)
                write_file(outputs[i] + ".log", r.err);
        }
    };
    std::vector<std::thread> threads;
    for (int j = 0; j < std::max(1, jobs); j++)
        threads.emplace_back(worker);
    for (std::thread &t : threads)
        t.join();
    return status;
}

Module::Module(const std::string &path, const std::string &network) : name(network)
{
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        throw std::runtime_error(std::string("dlopen: ") + dlerror());
}

Module::~Module()
{
    if (handle != nullptr)
        dlclose(handle);
}

void *Module::symbol(const std::string &s) const
{
    void *p = dlsym(handle, s.c_str());
    if (p == nullptr)
        throw std::runtime_error("module " + name + " has no symbol " + s);
    return p;
}

std::string capture_stdout(const std::function<void()> &body)
{
    std::fflush(stdout);
    char path[] = "/tmp/bpnet-capture.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("cannot make a capture file");
    const int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = read_file(path);
    unlink(path);
    return text;
}

}  // namespace bptest
