// A network built at run time: the description checked and laid out by the generator's own
// model, the tables the module runtime reads built from it, and the runtime's initialization,
// save files and ASCII dumps over a module record that carries this network as its context,
// with its own random source and error text.
#include "gen/rtnet/bpnet_network.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gen/rtnet/module_network.h"
#include "gen/rtnet/rtnet_state.h"
#include "gen/tables.h"

namespace bpnet {

namespace {

// The module record's context-taking passes.
void forward_entry(void *context)
{
    propagate_forward(*static_cast<NetworkState *>(context));
}

float error_entry(void *context)
{
    return calc_error(*static_cast<NetworkState *>(context));
}

void grad_entry(void *context)
{
    calc_grad(*static_cast<NetworkState *>(context));
}

void update_entry(void *context, float inertia)
{
    update_weights(*static_cast<NetworkState *>(context), inertia);
}

void advance_entry(void *context)
{
    advance_traces(*static_cast<NetworkState *>(context));
}

int to_int(std::int64_t v)
{
    return static_cast<int>(v);
}

// The tables of the module runtime from the model and its layout, as a generated module's
// kLayers and kConnections hold them, pointing at names the state keeps.
void build_tables(NetworkState &st)
{
    bpgen::Tables t = bpgen::module_tables(st.model, st.layout);
    for (bpgen::LayerRow &row : t.layers) {
        st.layer_names.push_back(std::move(row.name));
        st.qualified.push_back(std::move(row.qualified));
        st.a1_names.push_back(std::move(row.a1_name));
        st.a2_names.push_back(std::move(row.a2_name));
        st.layers.push_back(row.info);
        st.net.push_back(row.net);
    }
    for (std::size_t i = 0; i < st.layers.size(); i++) {
        bpm::LayerInfo &info = st.layers[i];
        info.name = st.layer_names[i].c_str();
        info.qualified = st.qualified[i].c_str();
        info.a1_name = info.feedback > 0 ? st.a1_names[i].c_str() : nullptr;
        info.a2_name = info.feedback == 2 ? st.a2_names[i].c_str() : nullptr;
    }
    for (bpgen::ConnectionRow &row : t.connections) {
        st.arrays.push_back(std::move(row.array));
        st.connections.push_back(row.info);
        st.ws.push_back(row.ws);
        st.s.push_back(row.s);
        st.b.push_back(row.b);
    }
    for (std::size_t k = 0; k < st.connections.size(); k++)
        st.connections[k].array = st.arrays[k].c_str();
}

// The module record over the state: names, sizes, tables, state pointers and the passes.
void build_module(NetworkState &st)
{
    const bpgen::Sizes sz = bpgen::measure(st.model);
    bpm::Module &mod = st.module;
    mod.name = st.model.network.c_str();
    mod.description_file = st.model.description_file.c_str();
    mod.inputs = st.model.inputs;
    mod.input_dim_x = st.model.input_dim_y == 1 ? st.model.inputs : st.model.input_dim_x;
    mod.input_dim_y = st.model.input_dim_y;
    mod.outputs = st.model.layers.back().units;
    mod.data_size = to_int(st.layout.size);
    mod.trainable = to_int(sz.trainable);
    mod.units = to_int(sz.units);
    mod.record_length = to_int(sz.record);
    mod.layers = st.layers.data();
    mod.layer_count = static_cast<int>(st.layers.size());
    mod.connections = st.connections.data();
    mod.connection_count = static_cast<int>(st.connections.size());
    mod.state = {st.data.data(), &st.learning_rate, &st.inertia, &st.threshold, &st.init_range, &st.init_seed,
                 &st.counter, &st.input, &st.target, st.error, kErrorSize, &st.descriptor, st.records.data()};
    mod.entries = {};
    mod.context = &st;
    mod.random = &st.random;
    mod.passes = {forward_entry, error_entry, grad_entry, update_entry, nullptr};
    mod.optimizer = &st.optimizer;
    mod.moments = st.layout.moments >= 0 ? to_int(st.layout.moments) : -1;
    if (st.layout.temporal >= 0) {
        // Feedback: the delays and traces run from here to the end of the data.
        mod.temporal = to_int(st.layout.temporal);
        mod.passes.advance_traces = advance_entry;
    }
}

std::unique_ptr<NetworkState> make_state(bpgen::Model model)
{
    auto st = std::make_unique<NetworkState>();
    st->model = std::move(model);
    st->layout = bpgen::lay_out(st->model);
    st->data.assign(static_cast<std::size_t>(st->layout.size), 0.0f);
    // One record per connection, and one more for each feedback layer's coefficients.
    std::size_t slots = st->layout.connections.size();
    for (const bpgen::Layer &l : st->model.layers)
        slots += l.feedback > 0 ? 1 : 0;
    st->records.assign(std::max<std::size_t>(slots, 1), bpnet_connection_record{});
    build_tables(*st);
    build_module(*st);
    use_path(*st, bp_multi::active_path());
    // A new network is initialized, as a module is once its host starts it.
    bpm::init_network(st->module);
    return st;
}

// The library's message without the blank lines around it.
std::string message(const NetworkState &st)
{
    return trimmed_message(std::string(st.error, strnlen(st.error, kErrorSize)));
}

}  // namespace

Network::Network(std::unique_ptr<NetworkState> state) : state_(std::move(state)) {}

Network::Network(std::unique_ptr<ModuleNetwork> module) : module_(std::move(module)) {}

// The library keeps no pointer into a network's error text once an operation on it has ended
// (the runtime hands the text over for the operation only), so there is nothing to withdraw.
Network::~Network() = default;

std::unique_ptr<Network> Network::from_file(const std::string &path)
{
    bpgen::Error error;
    std::optional<bpgen::Model> model = bpgen::load_description(path, error);
    if (!model)
        throw Error(error.text);
    return std::unique_ptr<Network>(new Network(make_state(std::move(*model))));
}

std::unique_ptr<Network> Network::from_text(const std::string &text, const std::string &origin)
{
    bpgen::Error error;
    std::optional<bpgen::Model> model = bpgen::parse_description(text, origin, error);
    if (!model)
        throw Error(error.text);
    return std::unique_ptr<Network>(new Network(make_state(std::move(*model))));
}

std::unique_ptr<Network> Network::open_module(const std::string &path, bool private_copy)
{
    return std::unique_ptr<Network>(new Network(ModuleNetwork::open(path, private_copy)));
}

std::unique_ptr<Network> Network::from_descriptor(const LinkedModule &linked)
{
    return std::unique_ptr<Network>(new Network(ModuleNetwork::linked(linked)));
}

const std::string &Network::name() const
{
    return module_ ? module_->name : state_->model.network;
}

int Network::inputs() const
{
    return module_ ? module_->inputs : state_->module.inputs;
}

int Network::outputs() const
{
    return module_ ? module_->outputs : state_->module.outputs;
}

int Network::data_size() const
{
    return module_ ? module_->data_size : state_->module.data_size;
}

int Network::trainable() const
{
    return module_ ? module_->parameters : state_->module.trainable;
}

std::vector<LayerSize> Network::layers() const
{
    if (module_)
        return module_->layers;
    std::vector<LayerSize> v;
    for (const bpgen::Layer &l : state_->model.layers)
        v.push_back({l.name, l.units, l.feedback});
    return v;
}

std::vector<TrainableBlock> Network::blocks() const
{
    if (module_)
        return module_->blocks();
    const bpm::Module &m = state_->module;
    std::vector<TrainableBlock> v;
    for (int l = 0; l < m.layer_count; l++)
        v.push_back({m.layers[l].name, "", m.layers[l].thr, m.layers[l].size});
    for (int l = 0; l < m.layer_count; l++)
        for (int k = 0; k < m.layers[l].feedback; k++)
            v.push_back({m.layers[l].name, k == 0 ? "a1" : "a2", m.layers[l].coef + k * m.layers[l].size,
                         m.layers[l].size});
    for (int c = 0; c < m.connection_count; c++) {
        const bpm::ConnectionInfo &ci = m.connections[c];
        v.push_back({m.layers[ci.layer].name, ci.source == bpm::kInputs ? "$INPUTS" : m.layers[ci.source].name,
                     ci.weights, ci.count});
    }
    return v;
}

float Network::learning_rate() const
{
    if (module_)
        return module_->learning_rate();
    return state_->learning_rate;
}

void Network::set_learning_rate(float rate)
{
    if (module_)
        return module_->set_learning_rate(rate);
    state_->learning_rate = rate;
}

float Network::inertia() const
{
    if (module_)
        return module_->inertia();
    return state_->inertia;
}

void Network::set_inertia(float inertia)
{
    if (module_)
        return module_->set_inertia(inertia);
    state_->inertia = inertia;
}

float Network::threshold() const
{
    if (module_)
        return module_->threshold();
    return state_->threshold;
}

void Network::set_threshold(float threshold)
{
    if (module_)
        return module_->set_threshold(threshold);
    state_->threshold = threshold;
}

int Network::counter() const
{
    if (module_)
        return module_->counter();
    return state_->counter;
}

void Network::set_counter(int counter)
{
    if (module_)
        return module_->set_counter(counter);
    state_->counter = counter;
}

void Network::initialize(int seed, float range)
{
    if (module_)
        return module_->initialize(seed, range);
    state_->init_seed = seed;
    state_->init_range = range;
    bpm::init_network(state_->module);
}

float *Network::data()
{
    return module_ ? module_->data : state_->data.data();
}

const float *Network::data() const
{
    return module_ ? module_->data : state_->data.data();
}

namespace {

// The host's registered input and target vectors, put back when a call that reads the caller's
// own vectors ends, so that no pointer to them outlives the call.
struct KeepRegistered {
    NetworkState &st;
    float *const input = st.input;
    float *const target = st.target;
    ~KeepRegistered()
    {
        st.input = input;
        st.target = target;
    }
};

}  // namespace

void Network::forward(const float *x, float *y)
{
    if (module_)
        return module_->forward(x, y);
    NetworkState &st = *state_;
    const KeepRegistered keep{st};
    // The passes read the inputs and never write them.
    st.input = const_cast<float *>(x);
    propagate_forward(st);
    const float *out = st.data.data() + st.layers.back().act;
    std::memcpy(y, out, sizeof(float) * static_cast<std::size_t>(st.module.outputs));
}

void Network::set_optimizer(const std::string &kind, double beta1, double beta2, double epsilon, double decay)
{
    if (kind != "sgd" && kind != "adam")
        throw Error("unknown optimizer \"" + kind + "\" (sgd, adam)");
    const int code = kind == "adam" ? bpm::kAdam : bpm::kSgd;
    if (module_)
        return module_->set_optimizer(code, beta1, beta2, epsilon, decay);
    NetworkState &st = *state_;
    st.error[0] = '\0';
    if (bpm::set_optimizer(st.module, code, beta1, beta2, epsilon, decay) != 0)
        throw Error(message(st));
}

namespace {

// Refuse learning that the optimizer cannot do now, before anything is learned.
void check_ready(NetworkState &st)
{
    st.error[0] = '\0';
    if (!bpm::optimizer_ready(st.module, "learn"))
        throw Error(message(st));
}

}  // namespace

float Network::learn(const float *x, const float *t)
{
    if (module_)
        return module_->learn(x, t);
    // One presentation of the module's learning loop, through the same runtime call.
    NetworkState &st = *state_;
    check_ready(st);
    const KeepRegistered keep{st};
    st.input = const_cast<float *>(x);
    st.target = const_cast<float *>(t);
    return bpm::learn_presentation(st.module);
}

void Network::forward_rows(int rows, const float *x, float *y, int threads)
{
    if (module_)
        return module_->forward_rows(rows, x, y, threads);
    NetworkState &st = *state_;
    st.error[0] = '\0';
    if (bpm::forward_rows(st.module, rows, x, st.module.inputs, y, st.module.outputs, threads) != 0)
        throw Error(message(st));
}

void Network::learn_rows(int rows, const float *x, const float *t, int batch, float *errors, int threads)
{
    if (module_)
        return module_->learn_rows(rows, x, t, batch, errors, threads);
    NetworkState &st = *state_;
    st.error[0] = '\0';
    if (bpm::learn_rows(st.module, rows, x, st.module.inputs, t, st.module.outputs, batch, errors, threads) != 0)
        throw Error(message(st));
}

void Network::clear_delays()
{
    if (module_)
        return module_->clear_delays();
    bpm::clear_delays(state_->module);
}

void Network::save(const std::string &path)
{
    if (module_)
        return module_->save(path);
    if (bpm::dump_network(state_->module, path.c_str()) != 0)
        throw Error(message(*state_));
}

void Network::load(const std::string &path)
{
    if (module_)
        return module_->load(path);
    state_->error[0] = '\0';
    if (bpm::load_network(state_->module, path.c_str()) != 0)
        throw Error(message(*state_));
}

std::string Network::ascii_dump(bool labelled) const
{
    char *buffer = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&buffer, &size);
    if (out == nullptr)
        throw Error("cannot make the ASCII dump: out of memory");
    try {
        if (module_)
            module_->ascii_dump(out, labelled);
        else
            bpm::ascii_dump(state_->module, out, labelled ? 1 : 0);
    } catch (const Error &) {
        std::fclose(out);
        std::free(buffer);
        throw;
    }
    const bool ok = std::fclose(out) == 0;
    std::string text = ok && buffer != nullptr ? std::string(buffer, size) : std::string();
    std::free(buffer);
    if (!ok)
        throw Error("cannot make the ASCII dump: out of memory");
    return text;
}

void Network::load_ascii(const std::string &text)
{
    // fmemopen refuses an empty buffer: an empty text is a dump without its first "#".
    std::string copy = text.empty() ? std::string(" ") : text;
    std::FILE *in = fmemopen(copy.data(), copy.size(), "r");
    if (in == nullptr)
        throw Error("cannot read the ASCII dump: out of memory");
    if (module_) {
        try {
            module_->load_ascii(in);
        } catch (const Error &) {
            std::fclose(in);
            throw;
        }
        std::fclose(in);
        return;
    }
    state_->error[0] = '\0';
    const int result = bpm::load_ascii(state_->module, in);
    std::fclose(in);
    if (result != 0)
        throw Error(message(*state_));
}

std::string Network::kernel_path() const
{
    // A module chooses its path for itself, as this process does (BPNET_KERNEL_PATH).
    if (module_)
        return bp_multi::path_name(bp_multi::active_path());
    return bp_multi::path_name(state_->path);
}

bool Network::use_kernel_path(const std::string &path)
{
    if (module_)
        return false;
    for (int p = 0; p < bp_multi::kPathCount; p++) {
        const auto candidate = static_cast<bp_multi::Path>(p);
        if (path == bp_multi::path_name(candidate)) {
            if (!bp_multi::path_runs(candidate))
                return false;
            use_path(*state_, candidate);
            return true;
        }
    }
    return false;
}

const std::string &Network::description_file() const
{
    return module_ ? module_->description : state_->model.description_file;
}

NetworkState &Network::state()
{
    if (module_)
        throw Error("the network of a module has no run-time state");
    return *state_;
}

}  // namespace bpnet
