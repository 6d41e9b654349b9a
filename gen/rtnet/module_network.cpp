// The one opener of network modules: the file check, the loader (from the file or a private
// copy of it), the descriptor's consistency checks and the names hosts use besides it.
#include "gen/rtnet/module_network.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "gen/rtnet/module_file.h"
#include "gen/units.h"

namespace bpnet {

namespace {

using InitializeFn = void (*)(const char *, int);

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

// The descriptor's problem, thrown as "WHERE: damaged network module: problem".
[[noreturn]] void damaged(const std::string &where, const std::string &problem)
{
    throw Error(where + ": damaged network module: " + problem);
}

// Copy the file at path into a fresh temporary file; returns its name.
std::string private_copy(const std::string &path)
{
    const int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw Error(path + ": " + std::strerror(errno));
    const char *dir = std::getenv("TMPDIR");
    std::string name = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/bpnet-module.XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int out = mkstemp(buffer.data());
    if (out < 0) {
        const int e = errno;
        close(in);
        throw Error(path + ": cannot make a private copy of the module: " + std::strerror(e));
    }
    name = buffer.data();
    char chunk[1 << 16];
    bool ok = true;
    int e = 0;
    for (;;) {
        const ssize_t got = read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = got == 0;
            e = errno;
            break;
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = write(out, chunk + put, static_cast<std::size_t>(got - put));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ok = false;
                e = n < 0 ? errno : ENOSPC;
                break;
            }
            put += n;
        }
        if (!ok)
            break;
    }
    close(in);
    if (close(out) != 0 && ok) {
        ok = false;
        e = errno;
    }
    if (!ok) {
        unlink(name.c_str());
        throw Error(path + ": cannot make a private copy of the module: " + std::strerror(e));
    }
    return name;
}

// The floats of the loaded symbol at address, from the module's symbol table; 0 when it
// cannot be told.
int symbol_floats(void *address)
{
    Dl_info info;
    void *entry = nullptr;
    if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr)
        return 0;
    const auto *sym = static_cast<const ElfW(Sym) *>(entry);
    if (sym->st_size == 0 || sym->st_size % sizeof(float) != 0 || sym->st_size / sizeof(float) > INT_MAX)
        return 0;
    return static_cast<int>(sym->st_size / sizeof(float));
}

}  // namespace

std::string trimmed_message(const std::string &text)
{
    const std::size_t b = text.find_first_not_of("\n ");
    if (b == std::string::npos)
        return "unknown error";
    const std::size_t e = text.find_last_not_of("\n ");
    return text.substr(b, e - b + 1);
}

std::recursive_mutex &ModuleNetwork::lock()
{
    // Never destroyed: a network may go away while the program ends.
    static std::recursive_mutex *const lock = new std::recursive_mutex;
    return *lock;
}

ModuleNetwork::~ModuleNetwork()
{
    if (handle_ != nullptr) {
        const std::lock_guard<std::recursive_mutex> hold(lock());
        dlclose(handle_);
    }
}

void *ModuleNetwork::find(const char *symbol_name) const
{
    if (handle_ == nullptr)
        return symbol_ != nullptr ? symbol_(symbol_name) : nullptr;
    dlerror();
    return dlsym(handle_, symbol_name);
}

std::unique_ptr<ModuleNetwork> ModuleNetwork::open(const std::string &module_path, bool copy)
{
    // Only a regular file is loaded; a name without a folder is one in the current folder,
    // not one for the loader's library search.
    struct stat st;
    if (stat(module_path.c_str(), &st) != 0)
        throw Error(module_path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        throw Error(module_path + ": not a regular file");
    // The loader would map segments the file does not hold and fault on them.
    if (std::string problem; !module_file::check(module_path, problem))
        throw Error(problem);

    const std::lock_guard<std::recursive_mutex> hold(lock());
    std::unique_ptr<ModuleNetwork> m(new ModuleNetwork);
    m->path = module_path;
    const std::string loaded = copy ? private_copy(module_path)
                                    : module_path.find('/') == std::string::npos ? "./" + module_path : module_path;
    m->handle_ = dlopen(loaded.c_str(), RTLD_NOW | RTLD_LOCAL);
    // The copy's name can go at once; the mapping stays.
    const char *text = m->handle_ == nullptr ? dlerror() : nullptr;
    if (copy)
        unlink(loaded.c_str());
    if (m->handle_ == nullptr) {
        // The loader's message starts with the path it was given; say the module's once.
        std::string why = text != nullptr ? text : "unknown reason";
        if (why.rfind(loaded + ": ", 0) == 0)
            why.erase(0, loaded.size() + 2);
        throw Error(module_path + ": cannot load it as a shared module: " + why);
    }
    const auto query = reinterpret_cast<bpnet_query_fn>(m->find("network_query"));
    if (query == nullptr)
        throw Error(module_path + ": not a bpnet network module (it has no network_query)");
    m->check(query, module_path);
    return m;
}

std::unique_ptr<ModuleNetwork> ModuleNetwork::linked(const LinkedModule &linked)
{
    const std::string where = "built-in network";
    if (linked.query == nullptr || linked.symbol == nullptr)
        throw Error(where + ": not a bpnet network module (it has no network_query)");
    const std::lock_guard<std::recursive_mutex> hold(lock());
    std::unique_ptr<ModuleNetwork> m(new ModuleNetwork);
    m->symbol_ = linked.symbol;
    m->check(linked.query, where);
    m->data_size = m->data != nullptr && linked.data_size > 0 ? linked.data_size : 0;
    if (m->data_size == 0)
        m->data = nullptr;
    return m;
}

void ModuleNetwork::check(bpnet_query_fn query, const std::string &where)
{
    // The black-box and layer sections, through network_query alone.
    query_ = query;
    const bpnet_descriptor *b = query(0, 0);
    if (b == nullptr)
        damaged(where, "its network_query(0, 0) gives no descriptor");
    if (!valid_name(b->box_name))
        damaged(where, "the descriptor's black-box name is missing or not a name");
    const std::string box = b->box_name;
    if (!in_range(b->layer_count, 1, kMaxLayers))
        damaged(where, "the descriptor gives " + count_of(b->layer_count, "layer") + " (expected 1 to " +
                           std::to_string(kMaxLayers) + ")");
    if (!in_range(b->input_size, 1, kMaxUnits))
        damaged(where, "the descriptor gives an input size of " + std::to_string(b->input_size) + " (expected 1 to " +
                           std::to_string(kMaxUnits) + ")");
    if (b->input_dim_x < 1 || b->input_dim_y < 1 ||
        static_cast<std::int64_t>(b->input_dim_x) * b->input_dim_y != b->input_size)
        damaged(where, "the descriptor's input dimensions do not make its input size");
    if (b->propagate_forward_proc == nullptr || b->calc_grad_proc == nullptr || b->update_weights_proc == nullptr ||
        b->get_backprop_counter_proc == nullptr || b->set_backprop_counter_proc == nullptr ||
        b->set_target_output_proc == nullptr || b->get_target_output_proc == nullptr ||
        b->get_output_proc == nullptr || b->set_input_proc == nullptr || b->get_input_proc == nullptr)
        damaged(where, "the descriptor's black box has a null entry point");

    const int count = b->layer_count;
    const int input_size = b->input_size;
    std::int64_t all = 0;
    int output_unit = 0;
    std::vector<LayerSize> backwards;  // descriptor order: the output layer first
    for (int layer = 0; layer < count; layer++) {
        const bpnet_descriptor *l = query(0, layer);
        const std::string which = "layer " + std::to_string(layer);
        if (l == nullptr)
            damaged(where, "the descriptor gives " + count_of(count, "layer") + ", but " + which + " does not answer");
        if (l->layer_count != count || l->input_size != input_size || !valid_name(l->box_name) || box != l->box_name)
            damaged(where, "the descriptor changes its black box from one layer to the next");
        if (l->layer_number != layer)
            damaged(where, "the descriptor answers the query of " + which + " with layer " +
                               std::to_string(l->layer_number));
        if (!in_range(l->layer_size, 1, kMaxUnits))
            damaged(where, "the descriptor gives " + which + " a size of " + std::to_string(l->layer_size) +
                               " (expected 1 to " + std::to_string(kMaxUnits) + ")");
        if (!in_range(l->layer_connection_count, 1, count))
            damaged(where, "the descriptor gives " + which + " " +
                               count_of(l->layer_connection_count, "incoming connection") + " (expected 1 to " +
                               std::to_string(count) + ")");
        if (l->layer_activations == nullptr || l->layer_thresholds == nullptr || l->layer_deltas == nullptr ||
            l->layer_threshold_steps == nullptr)
            damaged(where, "the descriptor gives " + which + " a null vector");
        if (l->layer_name == nullptr)
            damaged(where, "the descriptor gives " + which + " no name");
        all += l->layer_size;
        // Field 50: the layer's feedback order, 0 in modules without feedback.
        const int order = l->field50;
        if (order < 0 || order > 2)
            damaged(where, "the descriptor gives " + which + " a feedback order of " + std::to_string(order) +
                               " (expected 0, 1 or 2)");
        if (order > feedback)
            feedback = order;
        if (layer == 0)
            output_unit = l->field51;
        // "NAME:LAYER": the layer's own name is what a description gives it.
        const std::string qualified(l->layer_name, strnlen(l->layer_name, 256));
        const std::size_t colon = qualified.find(':');
        backwards.push_back({colon == std::string::npos ? qualified : qualified.substr(colon + 1), l->layer_size, order});
    }
    if (query(0, count) != nullptr)
        damaged(where, "the descriptor gives " + count_of(count, "layer") + ", but layer " + std::to_string(count) +
                           " answers too");
    if (all > kMaxUnits)
        damaged(where, "the descriptor's layers hold " + std::to_string(all) + " units (at most " +
                           std::to_string(kMaxUnits) + ")");
    name = box;
    inputs = input_size;
    outputs = backwards.front().size;
    layer_count = count;
    units = static_cast<int>(all);
    linear_outputs = bpgen::unit_of_code(output_unit) == bpgen::Unit::linear;
    const std::optional<bpgen::Unit> output_kind = bpgen::unit_of_code(output_unit);
    cross_entropy_outputs = output_kind.has_value() && bpgen::unit_kind(*output_kind).output_only;
    layers.assign(backwards.rbegin(), backwards.rend());

    // The names hosts use besides the descriptor.
    const std::string calc_error_name = name + "_calc_error";
    void *found[7] = {};
    const char *const wanted[] = {calc_error_name.c_str(), "network_ascii_dump",    "network_load_ascii",
                                  "network_forward_pdpfa", "network_forward_print", "BPthreshold",
                                  "network_clear_delays"};
    for (int i = 0; i < 7; i++) {
        found[i] = find(wanted[i]);
        if (found[i] == nullptr)
            throw Error(where + ": not a complete network module of " + name + " (it has no " + wanted[i] + ")");
    }
    calc_error_fn = reinterpret_cast<float (*)(void)>(found[0]);
    ascii_dump_fn = reinterpret_cast<void (*)(int)>(found[1]);
    load_ascii_fn = reinterpret_cast<int (*)(void)>(found[2]);
    forward_pdpfa_fn = reinterpret_cast<void (*)(unsigned, void (*)(void), float)>(found[3]);
    forward_print_fn = reinterpret_cast<void (*)(int, void (*)(void))>(found[4]);
    threshold_value = static_cast<float *>(found[5]);
    clear_delays_fn = reinterpret_cast<void (*)(void)>(found[6]);
    // The dumps on the host's streams and network_data, which older modules and stand-ins may
    // lack: the calls that need them say so.
    ascii_dump_file_fn = reinterpret_cast<void (*)(std::FILE *, int)>(find("network_ascii_dump_file"));
    load_ascii_file_fn = reinterpret_cast<int (*)(std::FILE *)>(find("network_load_ascii_file"));
    learn_presentation_fn = reinterpret_cast<float (*)(void)>(find("network_learn_presentation"));
    forward_rows_fn = reinterpret_cast<int (*)(int, const float *, float *, int)>(find("network_forward_rows"));
    learn_rows_fn =
        reinterpret_cast<int (*)(int, const float *, const float *, int, float *)>(find("network_learn_rows"));
    learn_batch_fn = reinterpret_cast<int (*)(unsigned, void (*)(void), int)>(find("network_learn_batch"));
    set_optimizer_fn =
        reinterpret_cast<int (*)(int, double, double, double, double)>(find("network_set_optimizer"));
    data = static_cast<float *>(find("network_data"));
    if (data != nullptr && handle_ != nullptr)
        data_size = symbol_floats(data);
    if (data_size == 0 && handle_ != nullptr)
        data = nullptr;

    // Start-up without a save file, which reads nothing and cannot fail.
    const auto initialize = reinterpret_cast<InitializeFn>(find("network_initialize"));
    if (initialize == nullptr)
        throw Error(where + ": not a complete network module (it has no network_initialize)");
    initialize(nullptr, 0);

    // The network section, written by the start-up.
    const bpnet_descriptor *n = query(0, 0);
    if (n == nullptr)
        damaged(where, "its network_query(0, 0) gives no descriptor after start-up");
    if (!valid_name(n->network_name) || name != n->network_name)
        damaged(where, "the descriptor's network name does not match its black box " + name);
    if (n->description_file == nullptr)
        damaged(where, "the descriptor names no description file");
    if (n->init_network_proc == nullptr || n->network_forward_proc == nullptr || n->network_learn_proc == nullptr ||
        n->dump_network_proc == nullptr || n->load_network_proc == nullptr || n->error_string_proc == nullptr ||
        n->set_learning_rate_proc == nullptr || n->set_inertia_proc == nullptr ||
        n->get_learning_rate_proc == nullptr || n->get_inertia_proc == nullptr ||
        n->set_random_init_seed_proc == nullptr || n->set_random_init_range_proc == nullptr)
        damaged(where, "the descriptor's network section has a null entry point");
    if (n->unit_count != units)
        damaged(where, "the descriptor counts " + count_of(n->unit_count, "unit") + ", its layers hold " +
                           std::to_string(units));
    if (n->parameter_count <= n->unit_count)
        damaged(where, "the descriptor counts " + std::to_string(n->parameter_count) + " trainable values for " +
                           std::to_string(n->unit_count) + " units");
    if (data_size > 0 && n->parameter_count > data_size)
        damaged(where, "it counts " + std::to_string(n->parameter_count) + " trainable values in " +
                           std::to_string(data_size) + " floats");
    if (n->connections == nullptr)
        damaged(where, "the descriptor has no connection table");
    if (n->get_output_proc() != n->layer_activations)
        damaged(where, "the network's outputs are not the activations of its layer 0");
    description = strnlen(n->description_file, 4096) < 4096 ? n->description_file : "";
    parameters = n->parameter_count;
    d = n;
    input.assign(static_cast<std::size_t>(inputs), 0.0f);
    target.assign(static_cast<std::size_t>(outputs), 0.0f);
}

std::string ModuleNetwork::error_text() const
{
    const char *text = d->error_string_proc();
    return text == nullptr ? std::string() : std::string(text, strnlen(text, 4096));
}

std::string ModuleNetwork::message() const
{
    return trimmed_message(error_text());
}

namespace {

// Held by every call into a module.
class Hold {
public:
    Hold() : hold_(ModuleNetwork::lock()) {}

private:
    std::lock_guard<std::recursive_mutex> hold_;
};

}  // namespace

float ModuleNetwork::learning_rate() const
{
    const Hold hold;
    return d->get_learning_rate_proc();
}

void ModuleNetwork::set_learning_rate(float rate)
{
    const Hold hold;
    d->set_learning_rate_proc(rate);
}

float ModuleNetwork::inertia() const
{
    const Hold hold;
    return d->get_inertia_proc();
}

void ModuleNetwork::set_inertia(float value)
{
    const Hold hold;
    d->set_inertia_proc(value);
}

float ModuleNetwork::threshold() const
{
    const Hold hold;
    return *threshold_value;
}

void ModuleNetwork::set_threshold(float value)
{
    const Hold hold;
    *threshold_value = value;
}

int ModuleNetwork::counter() const
{
    const Hold hold;
    return d->get_backprop_counter_proc();
}

void ModuleNetwork::set_counter(int value)
{
    const Hold hold;
    d->set_backprop_counter_proc(value);
}

void ModuleNetwork::initialize(int seed, float range)
{
    const Hold hold;
    d->set_random_init_seed_proc(seed);
    d->set_random_init_range_proc(range);
    d->init_network_proc();
}

namespace {

// The host's registered input and target vectors of a module, put back when a call that
// registers the library's own copies ends, so that the host's pattern loops read its vectors.
struct KeepRegistered {
    const bpnet_descriptor *d;
    float *const input = d->get_input_proc();
    float *const target = d->get_target_output_proc();
    ~KeepRegistered()
    {
        d->set_input_proc(input);
        d->set_target_output_proc(target);
    }
};

}  // namespace

void ModuleNetwork::forward(const float *x, float *y)
{
    const Hold hold;
    const KeepRegistered keep{d};
    std::memcpy(input.data(), x, sizeof(float) * input.size());
    d->set_input_proc(input.data());
    d->propagate_forward_proc();
    std::memcpy(y, d->get_output_proc(), sizeof(float) * static_cast<std::size_t>(outputs));
}

void ModuleNetwork::set_optimizer(int kind, double beta1, double beta2, double epsilon, double decay)
{
    const Hold hold;
    if (set_optimizer_fn == nullptr) {
        if (kind == 0 && decay == 0.0)
            return;
        throw Error(where() + ": the module of " + name +
                    " learns by sgd without decay only (it has no network_set_optimizer); generate it again");
    }
    if (set_optimizer_fn(kind, beta1, beta2, epsilon, decay) != 0)
        throw Error(message());
    adam = kind == 1;
}

std::vector<TrainableBlock> ModuleNetwork::blocks() const
{
    const Hold hold;
    if (data == nullptr)
        throw Error(where() + ": the module does not tell where its network_data is");
    // The layer's own name of "NAME:LAYER".
    const auto own = [](const char *q) {
        const std::string s(q, strnlen(q, 256));
        const std::size_t colon = s.find(':');
        return colon == std::string::npos ? s : s.substr(colon + 1);
    };
    const auto offset = [&](const float *p) { return static_cast<int>(p - data); };
    std::vector<TrainableBlock> thresholds, coefficients, connections;
    for (int li = 0; li < layer_count; li++) {
        const bpnet_descriptor *l = query_(0, layer_count - 1 - li);
        const std::string layer = own(l->layer_name);
        thresholds.push_back({layer, "", offset(l->layer_thresholds), l->layer_size});
        for (int slot = 0; slot < l->layer_connection_count; slot++) {
            const bpnet_connection_record &r = l->connections[slot];
            const std::string source = r.source_number < 0 ? "$INPUTS" : own(r.source_name);
            connections.push_back({layer, source, offset(r.weights), r.weight_count});
        }
        if (l->field50 > 0) {
            const bpnet_connection_record &r = l->connections[l->layer_connection_count];
            for (int k = 0; k < l->field50; k++)
                coefficients.push_back({layer, k == 0 ? "a1" : "a2", offset(r.weights) + k * l->layer_size,
                                        l->layer_size});
        }
    }
    thresholds.insert(thresholds.end(), coefficients.begin(), coefficients.end());
    thresholds.insert(thresholds.end(), connections.begin(), connections.end());
    return thresholds;
}

// Adam's rule divides by the rate's scale: a module asked to learn by it with a rate of 0 or
// below is refused before it learns anything.
void ModuleNetwork::check_rate() const
{
    if (adam && !(d->get_learning_rate_proc() > 0.0f))
        throw Error(where() + ": adam needs a learning rate above 0");
}

float ModuleNetwork::learn(const float *x, const float *t)
{
    const Hold hold;
    check_rate();
    const KeepRegistered keep{d};
    std::memcpy(input.data(), x, sizeof(float) * input.size());
    std::memcpy(target.data(), t, sizeof(float) * target.size());
    d->set_input_proc(input.data());
    d->set_target_output_proc(target.data());
    if (learn_presentation_fn != nullptr)
        return learn_presentation_fn();
    // A module from a generator without network_learn_presentation: its learning loop once
    // (the vectors are in place already, the pattern function has nothing to do), and the
    // presentation's error from the outputs, which the update leaves as they were: half the
    // sum of squared float differences, formed in double and stored as float, over the
    // output count.
    d->network_learn_proc(1, [] {});
    const float *out = d->get_output_proc();
    double sum = 0.0;
    for (int i = 0; i < outputs; i++) {
        const float e = static_cast<float>(static_cast<double>(target[static_cast<std::size_t>(i)]) - out[i]);
        sum += static_cast<double>(e) * e;
    }
    const float half_sum = static_cast<float>(0.5 * sum);
    return static_cast<float>(static_cast<double>(half_sum) / outputs);
}

void ModuleNetwork::forward_rows(int rows, const float *x, float *y, int threads)
{
    const Hold hold;
    if (forward_rows_fn != nullptr) {
        if (forward_rows_fn(rows, x, y, threads) != 0)
            throw Error(message());
        return;
    }
    // A module from a generator without blocks of rows: its one-row pass per row.
    if (rows < 0 || (rows > 0 && (x == nullptr || y == nullptr)))
        throw Error(where() + ": forward_rows: bad rows");
    for (int r = 0; r < rows; r++)
        forward(x + static_cast<std::ptrdiff_t>(r) * inputs, y + static_cast<std::ptrdiff_t>(r) * outputs);
}

void ModuleNetwork::learn_rows(int rows, const float *x, const float *t, int batch, float *errors, int)
{
    const Hold hold;
    if (learn_rows_fn != nullptr) {
        if (learn_rows_fn(rows, x, t, batch, errors) != 0)
            throw Error(message());
        return;
    }
    // A module from a generator without batches learns one row at a time only.
    if (batch != 1)
        throw Error(where() + ": the module of " + name +
                    " cannot learn in batches (it has no network_learn_rows); generate it again or use batch 1");
    if (rows < 0 || (rows > 0 && (x == nullptr || t == nullptr)))
        throw Error(where() + ": learn_rows: bad rows");
    for (int r = 0; r < rows; r++) {
        const float e = learn(x + static_cast<std::ptrdiff_t>(r) * inputs, t + static_cast<std::ptrdiff_t>(r) * outputs);
        if (errors != nullptr)
            errors[r] = e;
    }
}

void ModuleNetwork::clear_delays()
{
    const Hold hold;
    clear_delays_fn();
}

void ModuleNetwork::save(const std::string &file)
{
    const Hold hold;
    if (d->dump_network_proc(file.c_str()) != 0)
        throw Error(message());
}

void ModuleNetwork::load(const std::string &file)
{
    const Hold hold;
    if (d->load_network_proc(file.c_str()) != 0)
        throw Error(message());
}

void ModuleNetwork::ascii_dump(std::FILE *out, bool labelled)
{
    const Hold hold;
    if (ascii_dump_file_fn != nullptr)
        ascii_dump_file_fn(out, labelled ? 1 : 0);
    else if (out == stdout)
        ascii_dump_fn(labelled ? 1 : 0);
    else
        throw Error(where() + ": not a complete network module of " + name + " (it has no network_ascii_dump_file)");
}

void ModuleNetwork::load_ascii(std::FILE *in)
{
    const Hold hold;
    int result = 0;
    if (load_ascii_file_fn != nullptr)
        result = load_ascii_file_fn(in);
    else if (in == stdin)
        result = load_ascii_fn();
    else
        throw Error(where() + ": not a complete network module of " + name + " (it has no network_load_ascii_file)");
    if (result != 0)
        throw Error(message());
}

void ModuleNetwork::use_vectors(float *in, float *out)
{
    const Hold hold;
    d->set_input_proc(in);
    d->set_target_output_proc(out);
}

void ModuleNetwork::forward()
{
    const Hold hold;
    d->propagate_forward_proc();
}

const float *ModuleNetwork::output() const
{
    const Hold hold;
    return d->get_output_proc();
}

float ModuleNetwork::measure_error()
{
    const Hold hold;
    return calc_error_fn();
}

void ModuleNetwork::learn(unsigned iterations, void (*pattern)(void))
{
    const Hold hold;
    check_rate();
    d->network_learn_proc(iterations, pattern);
}

void ModuleNetwork::learn(unsigned iterations, void (*pattern)(void), int batch)
{
    const Hold hold;
    check_rate();
    if (learn_batch_fn != nullptr) {
        if (learn_batch_fn(iterations, pattern, batch) != 0)
            throw Error(message());
        return;
    }
    if (batch != 1)
        throw Error(where() + ": the module of " + name +
                    " cannot learn in batches (it has no network_learn_batch); generate it again or use batch 1");
    d->network_learn_proc(iterations, pattern);
}

void ModuleNetwork::forward_pdpfa(unsigned iterations, void (*pattern)(void), float pd_threshold)
{
    const Hold hold;
    forward_pdpfa_fn(iterations, pattern, pd_threshold);
}

void ModuleNetwork::forward_print(int iterations, void (*pattern)(void))
{
    const Hold hold;
    forward_print_fn(iterations, pattern);
}

std::string ModuleNetwork::where() const
{
    return path.empty() ? std::string("built-in network") : path;
}

}  // namespace bpnet
