// bpnet-gen --embed: the network's values and test outputs are taken from its own module
// (compiled into a temporary folder and loaded), so that the embedded file holds exactly what
// the module holds and its test holds exactly what the module computes.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"
#include "gen/embed.h"
#include "gen/cli.h"
#include "gen/runtime/bpnet_descriptor.h"

namespace bpgen {

namespace {

constexpr const char *kTool = "bpnet-gen";
namespace fs = std::filesystem;

// The module compiled for the run, seen through its descriptor and the fixed names that every
// module defines.
struct LoadedModule {
    void *handle = nullptr;
    bpnet_descriptor *network = nullptr;  // the descriptor after start-up (network section)
    int (*load_ascii)(void) = nullptr;
    bpnet_query_fn query = nullptr;
    std::string name;
    int parameters = 0;
};
LoadedModule g_module;

// Open the module and start it with the seed and range; false after printing the reason.
bool open_module(const std::string &path, int seed, float range)
{
    LoadedModule &mod = g_module;
    mod.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto query = mod.handle == nullptr ? nullptr
                                             : reinterpret_cast<bpnet_query_fn>(dlsym(mod.handle, "network_query"));
    const auto start = mod.handle == nullptr
                           ? nullptr
                           : reinterpret_cast<void (*)(const char *, int)>(dlsym(mod.handle, "network_initialize"));
    mod.load_ascii =
        mod.handle == nullptr ? nullptr : reinterpret_cast<int (*)(void)>(dlsym(mod.handle, "network_load_ascii"));
    if (query == nullptr || start == nullptr || mod.load_ascii == nullptr) {
        std::fprintf(stderr, "%s: %s: not a network module of this build (%s)\n", kTool, path.c_str(),
                     mod.handle == nullptr ? dlerror() : "an entry point is missing");
        return false;
    }
    // The descriptor's network section, and with it the settings' entry points, is written by
    // the first start-up; the second one starts from the given seed and range.
    start(nullptr, 0);
    mod.query = query;
    mod.network = query(0, 0);
    if (mod.network == nullptr || mod.network->set_random_init_seed_proc == nullptr ||
        mod.network->init_network_proc == nullptr) {
        std::fprintf(stderr, "%s: %s: the module gives no descriptor\n", kTool, path.c_str());
        return false;
    }
    mod.name = mod.network->network_name;
    mod.parameters = mod.network->parameter_count;
    mod.network->set_random_init_seed_proc(seed);
    mod.network->set_random_init_range_proc(range);
    mod.network->init_network_proc();
    return true;
}

// The module's error text as "bpnet-gen: message", without its surrounding line breaks.
void report_module_message()
{
    std::string msg = g_module.network->error_string_proc();
    while (!msg.empty() && (msg.front() == '\n' || msg.front() == ' '))
        msg.erase(0, 1);
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' '))
        msg.pop_back();
    std::fprintf(stderr, "%s: %s\n", kTool, msg.c_str());
}

// The name of the first record of a save file (the network it was saved from), or "" when
// the file does not have one where a save file keeps it.
std::string saved_network(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    std::int32_t count = 0;
    in.seekg(12 + 256);
    in.read(reinterpret_cast<char *>(&count), 4);
    if (!in || count < 1 || count > 1 << 20)
        return "";
    in.seekg(12 + 256 + 4 + 4 * static_cast<std::streamoff>(count));
    std::string name;
    for (char c; name.size() < 100 && in.get(c) && c != '\0';)
        name += c;
    return in && name.size() < 100 ? name : "";
}

// The identifier that opens a binary save file (little-endian int 100).
constexpr unsigned char kSaveMagic[4] = {100, 0, 0, 0};

// Whether the file starts as a binary save file does; anything else is read as an ASCII dump.
bool looks_binary(const std::string &file)
{
    unsigned char head[4] = {};
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char *>(head), 4);
    return in.gcount() == 4 && std::memcmp(head, kSaveMagic, 4) == 0;
}

// The values between the first two "#" of a bare dump (its iteration count and the trainable
// values), or -1 when it has no two "#".
long long values_in_dump(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t open = text.find('#');
    if (open == std::string::npos || text.find('#', open + 1) == std::string::npos)
        return -1;
    std::istringstream words(text.substr(open + 1, text.find('#', open + 1) - open - 1));
    long long n = 0;
    for (std::string w; words >> w;)
        n++;
    return n;
}

// Load the weights file over the open network: a binary save file through its loader, a bare
// dump through its ASCII loader on standard input. False after printing the reason.
bool load_weights(const std::string &file)
{
    const LoadedModule &net = g_module;
    if (looks_binary(file)) {
        if (net.network->load_network_proc(file.c_str()) == 0)
            return true;
        report_module_message();
        const std::string other = saved_network(file);
        if (!other.empty() && other != net.name)
            std::fprintf(stderr, "%s: %s is a save file of the network %s, not of %s\n", kTool, file.c_str(),
                         other.c_str(), net.name.c_str());
        return false;
    }
    // The ASCII loader reads only the values it needs: a dump of a larger network would load
    // its first values, one of another shape its values in the wrong places.
    const long long words = values_in_dump(file);
    if (words >= 0 && words != 1LL + net.parameters) {
        std::fprintf(stderr, "%s: %s: the dump holds %lld values after its iteration count, the network %s has %d\n",
                     kTool, file.c_str(), words > 0 ? words - 1 : 0, net.name.c_str(), net.parameters);
        return false;
    }
    if (std::freopen(file.c_str(), "r", stdin) == nullptr) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, file.c_str(), std::strerror(errno));
        return false;
    }
    if (net.load_ascii() != 0) {
        std::fprintf(stderr, "%s: %s is not a bare ASCII dump of %s:\n", kTool, file.c_str(), net.name.c_str());
        report_module_message();
        return false;
    }
    return true;
}

// Copy the thresholds and weights out of the module through its descriptor, layer 0 being
// the output layer. False after printing the reason when the descriptor does not match the
// description.
bool read_values(const Model &m, const std::string &module, EmbedValues &v)
{
    void *handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto query =
        handle == nullptr ? nullptr : reinterpret_cast<bpnet_descriptor *(*)(int, int)>(dlsym(handle, "network_query"));
    if (query == nullptr) {
        std::fprintf(stderr, "%s: the module of %s has no descriptor\n", kTool, m.network.c_str());
        if (handle != nullptr)
            dlclose(handle);
        return false;
    }
    const std::vector<Connection> conns = connections(m);
    v.thresholds.assign(m.layers.size(), {});
    v.weights.assign(conns.size(), {});
    v.coefficients.assign(m.layers.size(), {});
    const int layers = static_cast<int>(m.layers.size());
    bool ok = true;
    for (int li = 0; li < layers && ok; li++) {
        const bpnet_descriptor *d = query(0, layers - 1 - li);
        const int units = m.layers[static_cast<std::size_t>(li)].units;
        ok = d != nullptr && d->layer_size == units && d->layer_thresholds != nullptr;
        if (!ok)
            break;
        v.thresholds[static_cast<std::size_t>(li)].assign(d->layer_thresholds, d->layer_thresholds + units);
        int slot = 0;
        for (std::size_t k = 0; k < conns.size() && ok; k++) {
            if (conns[k].layer != li)
                continue;
            const bpnet_connection_record &r = d->connections[slot++];
            ok = slot <= d->layer_connection_count && r.weight_count == conns[k].count && r.weights != nullptr;
            if (ok)
                v.weights[k].assign(r.weights, r.weights + conns[k].count);
        }
        // A layer with feedback: its order in field 50, its coefficients in the record after
        // its connections.
        const int order = m.layers[static_cast<std::size_t>(li)].feedback;
        if (ok && order > 0) {
            const bpnet_connection_record &r = d->connections[d->layer_connection_count];
            ok = d->field50 == order && r.weight_count == order * units && r.weights != nullptr;
            if (ok)
                v.coefficients[static_cast<std::size_t>(li)].assign(r.weights, r.weights + order * units);
        }
    }
    dlclose(handle);
    if (!ok)
        std::fprintf(stderr, "%s: the descriptor of the module of %s does not match its description\n", kTool,
                     m.network.c_str());
    return ok;
}

// A value that a C constant cannot hold bit for bit: refused, since no test could prove it.
// "" when every value is finite, else which one is not.
std::string all_finite(const Model &m, const EmbedValues &v)
{
    const std::vector<Connection> conns = connections(m);
    const auto check = [&m](const std::vector<float> &values, const std::string &what) -> std::string {
        for (std::size_t i = 0; i < values.size(); i++) {
            if (!std::isfinite(values[i])) {
                char why[128];
                std::snprintf(why, sizeof why, "%zu of %s is %g", i, m.network.c_str(), static_cast<double>(values[i]));
                return what + " value " + why + ": a network with a value that is not finite is not embedded";
            }
        }
        return "";
    };
    std::string why;
    for (std::size_t li = 0; li < v.thresholds.size() && why.empty(); li++)
        why = check(v.thresholds[li], "threshold of " + m.layers[li].name + ",");
    for (std::size_t k = 0; k < v.weights.size() && why.empty(); k++)
        why = check(v.weights[k], "weight array " + conns[k].array + ",");
    for (std::size_t li = 0; li < v.coefficients.size() && why.empty(); li++)
        why = check(v.coefficients[li], "feedback coefficient of " + m.layers[li].name + ",");
    return why;
}

// The library's logistic table and the saturated values of each table unit kind.
void library_tables(EmbedValues &v)
{
    BPinit_sigmoid_table();
    v.sigmoid.assign(bp_sigmoid::sigmoid_array, bp_sigmoid::sigmoid_array + 1024);
    for (const UnitKind &kind : kUnitKinds) {
        if (!kind.table)
            continue;
        float a[2] = {8.0f, -8.0f}, z[2] = {};
        const float t[2] = {0.0f, 0.0f};
        unit_forward(kind, a, z, t, 2);
        v.saturation[static_cast<std::size_t>(kind.unit)][0] = a[0];
        v.saturation[static_cast<std::size_t>(kind.unit)][1] = a[1];
    }
}

// Test inputs from the seed (splitmix64): uniform in [-1, 1), every fourth vector times 8 so
// that units reach their saturation; then the module's outputs for each.
void test_vectors(const Model &m, const EmbedOptions &o, EmbedValues &v)
{
    const bpnet_descriptor &net = *g_module.network;
    std::uint64_t state = static_cast<std::uint64_t>(static_cast<std::int64_t>(o.seed)) ^ 0x656d626564ULL;
    const auto next = [&state]() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    };
    const std::size_t in = static_cast<std::size_t>(m.inputs), out = static_cast<std::size_t>(m.layers.back().units);
    std::vector<float> input(in);
    net.set_input_proc(input.data());
    for (int t = 0; t < o.tests; t++) {
        const float scale = t % 4 == 3 ? 8.0f : 1.0f;
        for (float &x : input)
            x = scale * (static_cast<float>(next() >> 40) * 0x1p-23f - 1.0f);
        net.propagate_forward_proc();
        const float *y = net.get_output_proc();
        v.test_inputs.insert(v.test_inputs.end(), input.begin(), input.end());
        v.test_outputs.insert(v.test_outputs.end(), y, y + out);
    }
    net.set_input_proc(nullptr);
}

// Input vectors from a CSV file: the first `inputs` numbers of each line (the rest, targets
// say, ignored); blank lines, lines starting with "#" and a first line that does not start
// with a number (a header) are skipped. False after printing
// the reason.
bool read_inputs_csv(const std::string &file, int inputs, std::vector<float> &rows)
{
    std::ifstream in(file);
    if (!in) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, file.c_str(), std::strerror(errno));
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        std::vector<float> row;
        const char *at = line.c_str();
        bool ok = true;
        while (ok && static_cast<int>(row.size()) < inputs) {
            char *end = nullptr;
            const double x = std::strtod(at, &end);
            ok = end != at && std::isfinite(x);
            if (!ok)
                break;
            row.push_back(static_cast<float>(x));
            at = end;
            while (*at == ' ' || *at == '\t')
                at++;
            if (static_cast<int>(row.size()) < inputs) {
                ok = *at == ',';
                at++;
            }
        }
        if (!ok && number == 1 && row.empty())
            continue;  // a header
        if (!ok) {
            std::fprintf(stderr, "%s: %s:%d: expected %d numbers separated by commas\n", kTool, file.c_str(), number,
                         inputs);
            return false;
        }
        rows.insert(rows.end(), row.begin(), row.end());
    }
    if (rows.empty()) {
        std::fprintf(stderr, "%s: %s: no input vectors\n", kTool, file.c_str());
        return false;
    }
    return true;
}

// The integer form's vectors: the rows given, then random ones over the representable range,
// every input on the form's grid. The first `tests` are the test vectors (their outputs kept);
// all of them calibrate the scales of the layers whose range the unit kind does not fix (the
// largest |activation| per layer).
void integer_vectors(const Model &m, const IntegerRequest &r, const IntegerPlan &p, const ForwardPass &forward,
                     EmbedValues &v)
{
    const std::size_t in = static_cast<std::size_t>(m.inputs), out = static_cast<std::size_t>(m.layers.back().units);
    std::uint64_t state = static_cast<std::uint64_t>(static_cast<std::int64_t>(r.seed)) ^ 0x696e746567ULL;
    const auto next = [&state]() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    };
    const std::size_t from_file = in ? r.rows.size() / in : 0;
    const std::size_t total = std::max<std::size_t>({from_file, static_cast<std::size_t>(r.tests), 256});
    v.largest_activation.assign(m.layers.size(), 0.0f);
    std::vector<float> input(in), activations;
    for (std::size_t t = 0; t < total; t++) {
        for (std::size_t i = 0; i < in; i++) {
            const double x = t < from_file ? r.rows[t * in + i]
                                           : std::ldexp(static_cast<double>(static_cast<std::int64_t>(next() >> 48) - 32768),
                                                        p.bits - 16);
            const double q = std::clamp(std::round(std::ldexp(x, p.in_frac)), static_cast<double>(p.qmin),
                                        static_cast<double>(p.qmax));
            input[i] = static_cast<float>(std::ldexp(q, -p.in_frac));
        }
        forward(input.data(), activations);
        std::size_t at = 0;
        for (std::size_t li = 0; li < m.layers.size(); li++) {
            float &largest = v.largest_activation[li];
            for (int k = 0; k < m.layers[li].units && at < activations.size(); k++, at++)
                if (std::isfinite(activations[at]))
                    largest = std::max(largest, std::fabs(activations[at]));
        }
        if (static_cast<int>(t) < r.tests) {
            const float *y = activations.data() + activations.size() - out;
            v.test_inputs.insert(v.test_inputs.end(), input.begin(), input.end());
            v.test_outputs.insert(v.test_outputs.end(), y, y + out);
        }
    }
}

// The open module's forward pass, its activations read through the descriptor.
void module_forward(const Model &m, const float *input, std::vector<float> &activations)
{
    const bpnet_descriptor &net = *g_module.network;
    std::vector<float> x(input, input + m.inputs);
    net.set_input_proc(x.data());
    net.propagate_forward_proc();
    net.set_input_proc(nullptr);
    activations.clear();
    const int layers = static_cast<int>(m.layers.size());
    for (int li = 0; li < layers; li++) {
        const bpnet_descriptor *d = g_module.query(0, layers - 1 - li);
        const int units = m.layers[static_cast<std::size_t>(li)].units;
        if (d != nullptr && d->layer_size == units)
            activations.insert(activations.end(), d->layer_activations, d->layer_activations + units);
        else
            activations.insert(activations.end(), static_cast<std::size_t>(units), 0.0f);
    }
}

// The module's values and test outputs; false after printing the reason.
bool module_values(const Model &m, const EmbedOptions &o, const ModuleBuilder &build_module, const fs::path &dir,
                   EmbedValues &v)
{
    // A weights file that cannot be read is reported before the module is compiled.
    if (!o.weights.empty() && access(o.weights.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "%s: %s: %s\n", kTool, o.weights.c_str(), std::strerror(errno));
        return false;
    }
    const std::string module = (dir / (m.network + ".so")).string();
    if (build_module(module) != 0)
        return false;
    if (!open_module(module, o.seed, o.range))
        return false;
    if (!o.weights.empty() && !load_weights(o.weights))
        return false;
    if (!read_values(m, module, v))
        return false;
    if (o.integer == 0)
        test_vectors(m, o, v);
    return true;
}

std::string with_commas(std::int64_t n)
{
    const std::string digits = std::to_string(n);
    std::ostringstream s;
    for (std::size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            s << ',';
        s << digits[i];
    }
    return s.str();
}

// The integer form's files and its size report; the exit status.
int write_integer(const Model &m, const EmbedOptions &o, const IntegerPlan &p, const EmbedFiles &files)
{
    const std::string why = write_embed_files(o.output, files);
    if (!why.empty()) {
        std::fprintf(stderr, "%s: %s\n", kTool, why.c_str());
        return 1;
    }
    std::printf("%s: wrote", m.network.c_str());
    for (const auto &f : files)
        std::printf(" %s", f.first.c_str());
    std::printf(" into %s (%d-bit integers, inputs at %d fraction bits, outputs at %d, sums in %d bits)\n",
                o.output.c_str(), p.bits, p.in_frac, p.out_frac, p.wide ? 64 : 32);
    std::printf("%s: constant data %s bytes, working storage %s bytes (%s words)\n", m.network.c_str(),
                with_commas(integer_const_bytes(m, p)).c_str(), with_commas(4 * integer_work(m)).c_str(),
                with_commas(integer_work(m)).c_str());
    return bp_cli::finish_output(kTool);
}

}  // namespace

std::string write_embed_files(const std::string &folder, const EmbedFiles &files)
{
    const fs::path dir = folder;
    std::error_code ec;
    const bool made = !fs::exists(dir, ec);
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec))
        return folder + " is not a folder and cannot be made one";
    std::vector<fs::path> temps;
    bool ok = true;
    for (const auto &[name, text] : files) {
        temps.push_back(dir / (name + ".tmp." + std::to_string(getpid())));
        std::ofstream out(temps.back(), std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        ok = ok && static_cast<bool>(out);
    }
    for (std::size_t i = 0; i < files.size() && ok; i++) {
        fs::rename(temps[i], dir / files[i].first, ec);
        ok = !ec;
    }
    if (ok)
        return "";
    for (const fs::path &t : temps)
        fs::remove(t, ec);
    if (made)
        fs::remove(dir, ec);
    return "cannot write the embedded files into " + folder;
}

std::string embed_files(const Model &m, EmbedValues &v, Accumulate acc, bool test, EmbedFiles &files)
{
    const std::string why = all_finite(m, v);
    if (!why.empty())
        return why;
    library_tables(v);
    files = {
        {m.network + "_embed.h", embed_header(m, acc)},
        {m.network + "_embed.c", embed_source(m, v, acc)},
    };
    if (test)
        files.push_back({m.network + "_embed_test.c", embed_test(m, v, acc)});
    return "";
}

std::string integer_files(const Model &m, EmbedValues &v, const IntegerRequest &r, const ForwardPass &forward,
                          IntegerPlan &plan, EmbedFiles &files)
{
    // Step 1: a network the form takes, with finite values; the unit tables are the library's.
    std::string why;
    if (!integer_supported(m, why))
        return why;
    why = all_finite(m, v);
    if (!why.empty())
        return why;
    library_tables(v);

    // Step 2: the inputs' scale from the request, the rows or the default.
    int in_frac = default_in_frac(r.bits);
    if (r.in_frac_bits != EmbedOptions::kNoFracBits) {
        in_frac = r.in_frac_bits;
    } else if (!r.rows.empty()) {
        double largest = 0.0;
        for (const float x : r.rows)
            largest = std::max(largest, std::fabs(static_cast<double>(x)));
        in_frac = frac_bits_for(largest, r.bits);
    }

    // Step 3: the calibration pass needs the input scale only; the plan then needs the calibration.
    plan = IntegerPlan{};
    plan.bits = r.bits;
    plan.qmax = (std::int64_t{1} << (r.bits - 1)) - 1;
    plan.qmin = -plan.qmax - 1;
    plan.in_frac = in_frac;
    integer_vectors(m, r, plan, forward, v);
    if (!integer_plan(m, v, r.bits, in_frac, plan, why))
        return why;

    // Step 4: the texts.
    files = {
        {m.network + "_embed.h", integer_header(m, plan)},
        {m.network + "_embed.c", integer_source(m, plan)},
    };
    if (r.tests > 0)
        files.push_back({m.network + "_embed_test.c", integer_test(m, plan, v)});
    return "";
}

int run_embed(const Model &m, const EmbedOptions &o, const ModuleBuilder &build_module)
{
    // Step 1: the module's values, in a temporary folder removed whatever happens.
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bpnet-embed.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "%s: cannot make a temporary folder: %s\n", kTool, std::strerror(errno));
        return 1;
    }
    // The integer form: refused before any work when it cannot take the network; its inputs'
    // scale from the option, the inputs file or the default.
    std::string why;
    std::error_code ec0;
    if (o.integer != 0 && !integer_supported(m, why)) {
        std::fprintf(stderr, "%s: %s\n", kTool, why.c_str());
        fs::remove_all(pattern, ec0);
        return 1;
    }
    std::vector<float> file_rows;
    if (!o.inputs.empty() && !read_inputs_csv(o.inputs, m.inputs, file_rows)) {
        fs::remove_all(pattern, ec0);
        return 1;
    }
    EmbedValues v;
    bool ok = module_values(m, o, build_module, pattern, v);
    IntegerPlan plan;
    EmbedFiles int_files;
    if (ok && o.integer != 0) {
        IntegerRequest r;
        r.bits = o.integer;
        r.in_frac_bits = o.in_frac_bits;
        r.rows = std::move(file_rows);
        r.tests = o.tests;
        r.seed = o.seed;
        why = integer_files(
            m, v, r, [&m](const float *x, std::vector<float> &a) { module_forward(m, x, a); }, plan, int_files);
        ok = why.empty();
        if (!ok)
            std::fprintf(stderr, "%s: %s\n", kTool, why.c_str());
    }
    std::error_code ec;
    fs::remove_all(pattern, ec);
    if (!ok)
        return 1;
    if (o.integer != 0)
        return write_integer(m, o, plan, int_files);

    // Step 2: the texts, then the files.
    EmbedFiles files;
    why = embed_files(m, v, o.accumulate, o.tests > 0, files);
    if (why.empty())
        why = write_embed_files(o.output, files);
    if (!why.empty()) {
        std::fprintf(stderr, "%s: %s\n", kTool, why.c_str());
        return 1;
    }

    // Step 3: the size report.
    const EmbedSizes z = embed_sizes(m);
    std::printf("%s: wrote", m.network.c_str());
    for (const auto &f : files)
        std::printf(" %s", f.first.c_str());
    std::printf(" into %s (sums in %s)\n", o.output.c_str(), o.accumulate == Accumulate::exact ? "double" : "float");
    std::printf("%s: constant data %s bytes (%s thresholds and weights", m.network.c_str(),
                with_commas(z.const_bytes).c_str(), with_commas(z.values).c_str());
    if (z.table > 0)
        std::printf(", the %s-entry logistic table", with_commas(z.table).c_str());
    std::printf("), working storage %s bytes (%s floats)\n", with_commas(4 * z.work).c_str(),
                with_commas(z.work).c_str());
    return bp_cli::finish_output(kTool);
}

}  // namespace bpgen
