// The network a tool works on, through its descriptor: the built-in nn or a loaded module.
#include "tools/common/net_host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "gen/rtnet/bpnet_network.h"
#include "gen/rtnet/rtnet_state.h"
#include "gen/runtime/bpnet_descriptor.h"
#include "gen/units.h"
#include "network/nn.h"
#include "tools/common/module_file.h"

namespace {

// Entry points of the module's descriptor query and its start-up.
using QueryFn = bpnet_query_fn;
using InitializeFn = void (*)(const char *, int);

// Where the symbols of fixed names come from: the built-in network's table, or the module.
void *g_handle = nullptr;  // the module's handle; null for the built-in network
bool g_open = false;
net_host::Network g_network;

// The built-in network's symbols, by the names a module exports them under.
struct BuiltInSymbol {
    const char *name;
    void *address;
};

void *built_in_symbol(const char *name)
{
    static const BuiltInSymbol kSymbols[] = {
        {"network_query", reinterpret_cast<void *>(&network_query)},
        {"network_initialize", reinterpret_cast<void *>(&network_initialize)},
        {"nn_calc_error", reinterpret_cast<void *>(&nn_calc_error)},
        {"network_ascii_dump", reinterpret_cast<void *>(&network_ascii_dump)},
        {"network_load_ascii", reinterpret_cast<void *>(&network_load_ascii)},
        {"network_forward_pdpfa", reinterpret_cast<void *>(&network_forward_pdpfa)},
        {"network_forward_print", reinterpret_cast<void *>(&network_forward_print)},
        {"BPthreshold", static_cast<void *>(&BPthreshold)},
        {"network_clear_delays", reinterpret_cast<void *>(&network_clear_delays)},
    };
    for (const BuiltInSymbol &s : kSymbols)
        if (std::strcmp(s.name, name) == 0)
            return s.address;
    return nullptr;
}

// A symbol of the open network by name; null when it has none.
void *find_symbol(const std::string &name)
{
    if (g_handle == nullptr)
        return built_in_symbol(name.c_str());
    dlerror();
    return dlsym(g_handle, name.c_str());
}

template <typename Fn>
Fn as_function(void *p)
{
    return reinterpret_cast<Fn>(p);
}

// A black-box name as the description format allows it: a letter, then letters, digits and
// underscores, at most 31 characters. Read with a bound, since the text is the module's.
bool valid_name(const char *text)
{
    if (text == nullptr)
        return false;
    const std::size_t n = strnlen(text, 32);
    if (n == 0 || n > 31)
        return false;
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!letter(text[0]))
        return false;
    for (std::size_t i = 1; i < n; i++)
        if (!letter(text[i]) && !(text[i] >= '0' && text[i] <= '9') && text[i] != '_')
            return false;
    return true;
}

bool in_range(int v, int low, int high)
{
    return v >= low && v <= high;
}

// "1 layer", "3 layers".
std::string count_of(std::int64_t n, const char *what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// The feedback order of a layer as its descriptor gives it (0: none): field 50, which modules
// without feedback leave 0.
int layer_feedback_order(const bpnet_descriptor &layer)
{
    return layer.field50;
}

// Check the black-box and layer sections of the descriptor for every layer, through
// network_query alone; fills the sizes of g_network. An empty result means consistent.
std::string check_layers(QueryFn query)
{
    const bpnet_descriptor *d = query(0, 0);
    if (d == nullptr)
        return "its network_query(0, 0) gives no descriptor";
    if (!valid_name(d->box_name))
        return "the descriptor's black-box name is missing or not a name";
    const std::string box = d->box_name;
    if (!in_range(d->layer_count, 1, net_host::kMaxLayers))
        return "the descriptor gives " + count_of(d->layer_count, "layer") + " (expected 1 to " +
               std::to_string(net_host::kMaxLayers) + ")";
    if (!in_range(d->input_size, 1, net_host::kMaxUnits))
        return "the descriptor gives an input size of " + std::to_string(d->input_size) + " (expected 1 to " +
               std::to_string(net_host::kMaxUnits) + ")";
    if (d->input_dim_x < 1 || d->input_dim_y < 1 ||
        static_cast<std::int64_t>(d->input_dim_x) * d->input_dim_y != d->input_size)
        return "the descriptor's input dimensions do not make its input size";
    if (d->propagate_forward_proc == nullptr || d->calc_grad_proc == nullptr || d->update_weights_proc == nullptr ||
        d->get_backprop_counter_proc == nullptr || d->set_backprop_counter_proc == nullptr ||
        d->set_target_output_proc == nullptr || d->get_target_output_proc == nullptr ||
        d->get_output_proc == nullptr || d->set_input_proc == nullptr || d->get_input_proc == nullptr)
        return "the descriptor's black box has a null entry point";

    const int layers = d->layer_count;
    const int inputs = d->input_size;
    std::int64_t units = 0;
    int outputs = 0;
    int feedback = 0;
    int output_unit = 0;
    for (int layer = 0; layer < layers; layer++) {
        const bpnet_descriptor *l = query(0, layer);
        const std::string which = "layer " + std::to_string(layer);
        if (l == nullptr)
            return "the descriptor gives " + count_of(layers, "layer") + ", but " + which + " does not answer";
        if (l->layer_count != layers || l->input_size != inputs || !valid_name(l->box_name) || box != l->box_name)
            return "the descriptor changes its black box from one layer to the next";
        if (l->layer_number != layer)
            return "the descriptor answers the query of " + which + " with layer " + std::to_string(l->layer_number);
        if (!in_range(l->layer_size, 1, net_host::kMaxUnits))
            return "the descriptor gives " + which + " a size of " + std::to_string(l->layer_size) +
                   " (expected 1 to " + std::to_string(net_host::kMaxUnits) + ")";
        if (!in_range(l->layer_connection_count, 1, layers))
            return "the descriptor gives " + which + " " + count_of(l->layer_connection_count, "incoming connection") +
                   " (expected 1 to " + std::to_string(layers) + ")";
        if (l->layer_activations == nullptr || l->layer_thresholds == nullptr || l->layer_deltas == nullptr ||
            l->layer_threshold_steps == nullptr)
            return "the descriptor gives " + which + " a null vector";
        units += l->layer_size;
        const int order = layer_feedback_order(*l);
        if (order < 0 || order > 2)
            return "the descriptor gives " + which + " a feedback order of " + std::to_string(order) +
                   " (expected 0, 1 or 2)";
        if (order > feedback)
            feedback = order;
        if (layer == 0) {
            outputs = l->layer_size;
            output_unit = l->field51;
        }
    }
    if (query(0, layers) != nullptr)
        return "the descriptor gives " + count_of(layers, "layer") + ", but layer " + std::to_string(layers) +
               " answers too";
    if (units > net_host::kMaxUnits)
        return "the descriptor's layers hold " + std::to_string(units) + " units (at most " +
               std::to_string(net_host::kMaxUnits) + ")";
    g_network.name = box;
    g_network.inputs = inputs;
    g_network.outputs = outputs;
    g_network.layers = layers;
    g_network.units = static_cast<int>(units);
    g_network.feedback = feedback;
    g_network.linear_outputs = bpgen::unit_of_code(output_unit) == bpgen::Unit::linear;
    return "";
}

// Check the network section, written by the start-up, and fill the descriptor's entry points.
std::string check_network_section(QueryFn query)
{
    const bpnet_descriptor *d = query(0, 0);
    if (d == nullptr)
        return "its network_query(0, 0) gives no descriptor after start-up";
    if (!valid_name(d->network_name) || g_network.name != d->network_name)
        return "the descriptor's network name does not match its black box " + g_network.name;
    if (d->description_file == nullptr)
        return "the descriptor names no description file";
    if (d->init_network_proc == nullptr || d->network_forward_proc == nullptr || d->network_learn_proc == nullptr ||
        d->dump_network_proc == nullptr || d->load_network_proc == nullptr || d->error_string_proc == nullptr ||
        d->set_learning_rate_proc == nullptr || d->set_inertia_proc == nullptr ||
        d->get_learning_rate_proc == nullptr || d->get_inertia_proc == nullptr ||
        d->set_random_init_seed_proc == nullptr || d->set_random_init_range_proc == nullptr)
        return "the descriptor's network section has a null entry point";
    if (d->unit_count != g_network.units)
        return "the descriptor counts " + count_of(d->unit_count, "unit") + ", its layers hold " +
               std::to_string(g_network.units);
    if (d->parameter_count <= d->unit_count)
        return "the descriptor counts " + std::to_string(d->parameter_count) + " trainable values for " +
               std::to_string(d->unit_count) + " units";
    if (d->connections == nullptr)
        return "the descriptor has no connection table";
    if (d->get_output_proc() != d->layer_activations)
        return "the network's outputs are not the activations of its layer 0";

    net_host::Network &n = g_network;
    n.description = strnlen(d->description_file, 4096) < 4096 ? d->description_file : "";
    n.parameters = d->parameter_count;
    n.init = d->init_network_proc;
    n.forward = d->propagate_forward_proc;
    n.learn = d->network_learn_proc;
    n.dump = d->dump_network_proc;
    n.load = d->load_network_proc;
    n.error_text = d->error_string_proc;
    n.set_rate = d->set_learning_rate_proc;
    n.set_inertia = d->set_inertia_proc;
    n.set_seed = d->set_random_init_seed_proc;
    n.set_range = d->set_random_init_range_proc;
    n.get_counter = d->get_backprop_counter_proc;
    n.set_counter = d->set_backprop_counter_proc;
    n.set_input = d->set_input_proc;
    n.set_target = d->set_target_output_proc;
    n.get_output = d->get_output_proc;
    return "";
}

// The symbols of fixed names that the tools use besides the descriptor; the missing one's
// name, or empty when all are there.
std::string find_named_symbols()
{
    net_host::Network &n = g_network;
    const std::string calc_error = n.name + "_calc_error";
    struct Wanted {
        std::string name;
        void **slot;
    };
    void *found[7] = {};
    const Wanted wanted[] = {
        {calc_error, &found[0]},           {"network_ascii_dump", &found[1]},    {"network_load_ascii", &found[2]},
        {"network_forward_pdpfa", &found[3]}, {"network_forward_print", &found[4]}, {"BPthreshold", &found[5]},
        {"network_clear_delays", &found[6]},
    };
    for (const Wanted &w : wanted) {
        *w.slot = find_symbol(w.name);
        if (*w.slot == nullptr)
            return w.name;
    }
    n.calc_error = as_function<float (*)(void)>(found[0]);
    n.ascii_dump = as_function<void (*)(int)>(found[1]);
    n.load_ascii = as_function<int (*)(void)>(found[2]);
    n.forward_pdpfa = as_function<void (*)(unsigned, void (*)(void), float)>(found[3]);
    n.forward_print = as_function<void (*)(int, void (*)(void))>(found[4]);
    n.threshold = static_cast<float *>(found[5]);
    n.clear_delays = as_function<void (*)(void)>(found[6]);
    return "";
}

// The network built at run time that the table's trampolines work on, and its state.
std::unique_ptr<bpnet::Network> g_rtnet;

bpnet::NetworkState &rt()
{
    return g_rtnet->state();
}

const bpm::Module &rt_module()
{
    return g_rtnet->state().module;
}

// The trampolines: each entry point of the table over the one run-time network.
int rt_init(void)
{
    return bpm::init_network(rt_module());
}
void rt_forward(void)
{
    bpnet::propagate_forward(rt());
}
void rt_clear_delays(void)
{
    g_rtnet->clear_delays();
}
void rt_learn(unsigned iterations, void (*input_fn)(void))
{
    bpm::learn(rt_module(), iterations, input_fn);
}
int rt_dump(const char *file)
{
    return bpm::dump_network(rt_module(), file);
}
int rt_load(const char *file)
{
    return bpm::load_network(rt_module(), file);
}
char *rt_error_text(void)
{
    return rt().error;
}
void rt_set_rate(float r)
{
    rt().learning_rate = r;
}
void rt_set_inertia(float m)
{
    rt().inertia = m;
}
void rt_set_seed(int seed)
{
    rt().init_seed = seed;
}
void rt_set_range(float range)
{
    rt().init_range = range;
}
int rt_get_counter(void)
{
    return rt().counter;
}
void rt_set_counter(int c)
{
    rt().counter = c;
}
void rt_set_input(float *v)
{
    rt().input = v;
}
void rt_set_target(float *v)
{
    rt().target = v;
}
float *rt_get_output(void)
{
    return rt().data.data() + rt().layers.back().act;
}
float rt_calc_error(void)
{
    return bpnet::calc_error(rt());
}
void rt_ascii_dump(int labelled)
{
    bpm::ascii_dump(rt_module(), labelled);
}
int rt_load_ascii(void)
{
    return bpm::load_ascii(rt_module());
}
void rt_forward_pdpfa(unsigned iterations, void (*input_fn)(void), float pd_threshold)
{
    bpm::forward_pdpfa(rt_module(), iterations, input_fn, pd_threshold);
}
void rt_forward_print(int iterations, void (*input_fn)(void))
{
    bpm::forward_print(rt_module(), iterations, input_fn);
}

// Give up on a module: close it and forget what was found.
bool refuse(const std::string &what, std::string &error)
{
    error = what;
    if (g_handle != nullptr)
        dlclose(g_handle);
    g_handle = nullptr;
    g_network = net_host::Network{};
    return false;
}

// Read a NUL-terminated name of at most 31 characters at offset at of fd.
bool read_name_at(int fd, std::int64_t at, std::string &name)
{
    char buffer[33] = {};
    const ssize_t got = pread(fd, buffer, 32, static_cast<off_t>(at));
    if (got <= 0)
        return false;
    const std::size_t n = strnlen(buffer, static_cast<std::size_t>(got));
    if (n == 0 || n == static_cast<std::size_t>(got))
        return false;
    name.assign(buffer, n);
    return valid_name(name.c_str());
}

}  // namespace

namespace net_host {

bool open_network(const std::string &module_path, std::string &error)
{
    g_open = false;
    g_network = Network{};
    g_handle = nullptr;
    QueryFn query = &network_query;
    if (!module_path.empty()) {
        // Only a regular file is loaded; a name without a folder is one in the current folder,
        // not one for the loader's library search.
        struct stat st;
        if (stat(module_path.c_str(), &st) != 0)
            return refuse(module_path + ": " + std::strerror(errno), error);
        if (!S_ISREG(st.st_mode))
            return refuse(module_path + ": not a regular file", error);
        const std::string path = module_path.find('/') == std::string::npos ? "./" + module_path : module_path;
        // The loader would map segments the file does not hold and fault on them.
        if (std::string problem; !module_file::check(module_path, problem))
            return refuse(problem, error);
        g_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (g_handle == nullptr) {
            // The loader's message starts with the path it was given; say it once.
            const char *text = dlerror();
            std::string why = text ? text : "unknown reason";
            if (why.rfind(path + ": ", 0) == 0)
                why.erase(0, path.size() + 2);
            return refuse(module_path + ": cannot load it as a shared module: " + why, error);
        }
        query = as_function<QueryFn>(find_symbol("network_query"));
        if (query == nullptr)
            return refuse(module_path + ": not a bpnet network module (it has no network_query)", error);
        g_network.built_in = false;
        g_network.module = module_path;
    }
    const std::string where = module_path.empty() ? std::string("built-in network") : module_path;

    std::string problem = check_layers(query);
    if (!problem.empty())
        return refuse(where + ": damaged network module: " + problem, error);
    problem = find_named_symbols();
    if (!problem.empty())
        return refuse(where + ": not a complete network module of " + g_network.name + " (it has no " + problem +
                          ")",
                      error);
    const auto initialize = as_function<InitializeFn>(find_symbol("network_initialize"));
    if (initialize == nullptr)
        return refuse(where + ": not a complete network module (it has no network_initialize)", error);
    initialize(nullptr, 0);
    problem = check_network_section(query);
    if (!problem.empty())
        return refuse(where + ": damaged network module: " + problem, error);
    g_network.built_in = module_path.empty();
    g_open = true;
    return true;
}

bool open_description(const std::string &description_path, std::string &error)
{
    g_open = false;
    g_network = Network{};
    g_handle = nullptr;
    try {
        g_rtnet = bpnet::Network::from_file(description_path);
    } catch (const bpnet::Error &e) {
        error = e.what();
        return false;
    }
    const bpnet::NetworkState &st = g_rtnet->state();
    Network &n = g_network;
    n.built_in = false;
    n.source = description_path;
    n.name = g_rtnet->name();
    n.description = g_rtnet->description_file();
    n.inputs = g_rtnet->inputs();
    n.outputs = g_rtnet->outputs();
    n.layers = static_cast<int>(st.layers.size());
    n.units = st.module.units;
    n.parameters = g_rtnet->trainable();
    n.init = rt_init;
    n.forward = rt_forward;
    n.learn = rt_learn;
    n.dump = rt_dump;
    n.load = rt_load;
    n.error_text = rt_error_text;
    n.set_rate = rt_set_rate;
    n.set_inertia = rt_set_inertia;
    n.set_seed = rt_set_seed;
    n.set_range = rt_set_range;
    n.get_counter = rt_get_counter;
    n.set_counter = rt_set_counter;
    n.set_input = rt_set_input;
    n.set_target = rt_set_target;
    n.get_output = rt_get_output;
    n.calc_error = rt_calc_error;
    n.ascii_dump = rt_ascii_dump;
    n.load_ascii = rt_load_ascii;
    n.forward_pdpfa = rt_forward_pdpfa;
    n.forward_print = rt_forward_print;
    n.threshold = &g_rtnet->state().threshold;
    n.clear_delays = rt_clear_delays;
    // The highest feedback order of its layers, as a module's descriptors give it.
    n.feedback = 0;
    for (const bpgen::Layer &l : st.model.layers)
        n.feedback = std::max(n.feedback, l.feedback);
    n.linear_outputs = g_rtnet->state().model.layers.back().unit == bpgen::Unit::linear;
    g_open = true;
    return true;
}

const Network &network()
{
    return g_network;
}

bool has_feedback()
{
    return g_network.feedback > 0;
}

std::string network_label()
{
    if (g_network.built_in)
        return "network " + g_network.name;
    if (!g_network.source.empty())
        return "network " + g_network.name + " of description " + g_network.source;
    return "network " + g_network.name + " of module " + g_network.module;
}

std::string error_text()
{
    if (!g_open)
        return "";
    const char *text = g_network.error_text();
    return text == nullptr ? std::string() : std::string(text, strnlen(text, 4096));
}

std::string other_network_in(const std::string &save_file)
{
    if (!g_open)
        return "";
    const int fd = open(save_file.c_str(), O_RDONLY);
    if (fd < 0)
        return "";
    // The header: three compiler words, 256 reserved bytes, the record count, one length per
    // record; the records follow, each starting with its black box's name.
    std::string other;
    struct stat st;
    std::int32_t count = 0;
    constexpr std::int64_t kCountAt = 12 + 256;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && pread(fd, &count, 4, kCountAt) == 4 && count >= 1 &&
        count <= 64) {
        std::int64_t at = kCountAt + 4 + 4 * static_cast<std::int64_t>(count);
        bool ours = false;
        for (std::int32_t i = 0; i < count && at < st.st_size; i++) {
            std::int32_t length = 0;
            std::string name;
            if (pread(fd, &length, 4, kCountAt + 4 + 4 * i) != 4 || length <= 0 || !read_name_at(fd, at, name))
                break;
            ours = ours || name == g_network.name;
            if (other.empty())
                other = name;
            at += length;
        }
        if (ours)
            other.clear();
    }
    close(fd);
    return other;
}

}  // namespace net_host
