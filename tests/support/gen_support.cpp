// Helpers for the generator's tests.
#include "support/gen_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <iterator>
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

// A receptive field of a random description (length 0: a full connection), with the units it
// makes: `across` x `down` (one-dimensional fields: `across` units, down = 1).
struct Field {
    bool two_d = false;
    int length = 0, height = 1, overlap = 0;
    bool shared = false;
    int across = 0, down = 1;
};
struct Source {
    int source;    // -1: the inputs
    Field field;
    bool table;    // written as a table { source = ... }
};
// The inputs or a layer of a random description.
struct Net {
    std::string name;
    int dim_x = 0, dim_y = 1;
    bool shaped = false;
    std::vector<Source> sources;
    int feedback = 0;
    int size() const { return dim_x * dim_y; }
};

// Every field that tiles `src` exactly: one-dimensional fields over its flat vector,
// two-dimensional ones over its grid. With `into`, only those that make exactly its units
// (its shape, for two-dimensional fields).
std::vector<Field> fields_over(const Net &src, const Net *into)
{
    std::vector<Field> all;
    const int s = src.size();
    for (int n = 1; n <= s; n++)
        for (int ov = 0; ov < n; ov++)
            if ((s - n) % (n - ov) == 0) {
                Field f;
                f.length = n;
                f.overlap = ov;
                f.across = (s - n) / (n - ov) + 1;
                if (into == nullptr || f.across == into->size())
                    all.push_back(f);
            }
    for (int kw = 1; kw <= src.dim_x; kw++)
        for (int kh = 1; kh <= src.dim_y; kh++)
            for (int ov = 0; ov < std::min(kw, kh); ov++)
                if ((src.dim_x - kw) % (kw - ov) == 0 && (src.dim_y - kh) % (kh - ov) == 0) {
                    Field f;
                    f.two_d = true;
                    f.length = kw;
                    f.height = kh;
                    f.overlap = ov;
                    f.across = (src.dim_x - kw) / (kw - ov) + 1;
                    f.down = (src.dim_y - kh) / (kh - ov) + 1;
                    if (into == nullptr || (f.across == into->dim_x && f.down == into->dim_y))
                        all.push_back(f);
                }
    return all;
}

// One of `fields` (not empty) at random: two-dimensional half the time when there are both
// kinds, since a vector has far more one-dimensional fields than grids have two-dimensional ones.
Field pick(std::mt19937_64 &rng, const std::vector<Field> &fields)
{
    std::vector<Field> kind[2];
    for (const Field &f : fields)
        kind[f.two_d ? 1 : 0].push_back(f);
    const std::vector<Field> &from = kind[1].empty() ? kind[0] : kind[0].empty() ? kind[1] : kind[rng() % 2];
    Field f = from[static_cast<std::size_t>(rng() % from.size())];
    f.shared = rng() % 2 == 0;
    return f;
}

}  // namespace

std::string random_description(std::mt19937_64 &rng, int max_layers, int max_units, bool feedback)
{
    std::set<std::string> used{"network"};
    static const char *const units[] = {"logistic", "centred", "tanh", "linear", "quadratic", "relu"};
    const auto below = [&rng](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const std::string network = random_name(rng, used);
    const int layers = 1 + below(max_layers);

    // The inputs: a vector, or (half the time) a grid of up to 8 x 8.
    std::vector<Net> nets;  // [0]: the inputs, then the layers
    Net inputs;
    if (rng() % 2 == 0) {
        inputs.dim_x = 1 + below(8);
        inputs.dim_y = 1 + below(8);
        inputs.shaped = true;
    } else {
        inputs.dim_x = 1 + below(max_units);
    }
    nets.push_back(inputs);

    for (int l = 0; l < layers; l++) {
        Net layer;
        layer.name = random_name(rng, used);
        std::vector<int> chosen;  // forward indices, -1: the inputs
        for (int s = -1; s < l; s++)
            if (rng() % 2 == 0)
                chosen.push_back(s);
        if (chosen.empty())
            chosen.push_back(below(l + 1) - 1);
        const auto net_of = [&nets](int s) -> const Net & { return nets[static_cast<std::size_t>(s + 1)]; };

        // The layer's geometry: chosen freely (a third of the time), or made by the fields of
        // one of its sources.
        int lead = -2;
        if (rng() % 3 == 0) {
            layer.dim_x = 1 + below(max_units);
            const int split = 1 + below(layer.dim_x);
            if (rng() % 3 == 0 && layer.dim_x % split == 0) {
                layer.dim_y = split;
                layer.dim_x /= split;
                layer.shaped = true;
            }
        } else {
            lead = chosen[static_cast<std::size_t>(below(static_cast<int>(chosen.size())))];
            const Net &src = net_of(lead);
            const Field f = pick(rng, fields_over(src, nullptr));
            layer.dim_x = f.across;
            layer.dim_y = f.down;
            layer.shaped = f.two_d && f.down > 1;
            if (!f.two_d && rng() % 4 == 0 && f.across % 2 == 0) {
                // A one-dimensional field only fixes the number of units: any shape of that size.
                layer.dim_x = f.across / 2;
                layer.dim_y = 2;
                layer.shaped = true;
            }
            layer.sources.push_back({lead, f, true});
        }
        for (int s : chosen) {
            if (s == lead)
                continue;
            Source src{s, Field{}, rng() % 5 == 0};
            if (rng() % 2 == 0) {
                const std::vector<Field> fit = fields_over(net_of(s), &layer);
                if (!fit.empty()) {
                    src.field = pick(rng, fit);
                    src.table = true;
                }
            }
            layer.sources.push_back(src);
        }
        if (feedback) {
            // Each unit's filter needs its own weights: no shared field into a feedback layer.
            layer.feedback = below(3);
            if (layer.feedback > 0)
                for (Source &s : layer.sources)
                    s.field.shared = false;
        }
        nets.push_back(layer);
    }
    // Every hidden layer must feed a later one: through a full connection, which fits any
    // layer.
    for (int l = 0; l + 1 < layers; l++) {
        bool feeds = false;
        for (int k = l + 1; k < layers; k++)
            for (const Source &s : nets[static_cast<std::size_t>(k + 1)].sources)
                feeds = feeds || s.source == l;
        if (!feeds) {
            const int k = l + 1 + below(layers - l - 1);
            nets[static_cast<std::size_t>(k + 1)].sources.push_back({l, Field{}, false});
        }
    }

    std::ostringstream t;
    t << "# random description\nnetwork = \"" << network << "\"\n";
    if (nets[0].shaped)
        t << "inputs = [" << nets[0].dim_x << ", " << nets[0].dim_y << "]\n";
    else
        t << "inputs = " << nets[0].dim_x << "\n";
    for (int l = 0; l < layers; l++) {
        Net &n = nets[static_cast<std::size_t>(l + 1)];
        std::shuffle(n.sources.begin(), n.sources.end(), rng);
        t << "\n[[layer]]\nname = \"" << n.name << "\"\n";
        if (!n.shaped || rng() % 3 == 0)
            t << "units = " << n.size() << "\n";
        if (n.shaped)
            t << "shape = [" << n.dim_x << ", " << n.dim_y << "]\n";
        // The kind from one draw as before, so that descriptions keep their kinds; the output
        // layer takes softmax, which only it may have, on a sixth of the draws that name a kind.
        if (rng() % 4 != 0) {
            const std::uint64_t v = rng();
            const bool softmax = l + 1 == layers && v / std::size(units) % 6 == 0;
            t << "unit = \"" << (softmax ? "softmax" : units[v % std::size(units)]) << "\"\n";
        }
        if (n.feedback > 0)
            t << "feedback = " << n.feedback << "\n";
        t << "from = [";
        for (std::size_t k = 0; k < n.sources.size(); k++) {
            const Source &s = n.sources[k];
            const std::string name = s.source < 0 ? "$INPUTS" : nets[static_cast<std::size_t>(s.source + 1)].name;
            t << (k ? ", " : "");
            if (!s.table) {
                t << '"' << name << '"';
                continue;
            }
            t << "{ source = \"" << name << "\"";
            if (s.field.length > 0) {
                if (s.field.two_d)
                    t << ", field = [" << s.field.length << ", " << s.field.height << "]";
                else
                    t << ", field = " << s.field.length;
                if (s.field.overlap > 0 || rng() % 2 == 0)
                    t << ", overlap = " << s.field.overlap;
                if (s.field.shared || rng() % 2 == 0)
                    t << ", shared = " << (s.field.shared ? "true" : "false");
            }
            t << " }";
        }
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


}  // namespace bptest
