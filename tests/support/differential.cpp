// The differential harness (see differential.h).
#include "support/differential.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "gen/rtnet/bpnet_network.h"
#include "gen/rtnet/rtnet_state.h"
#include "gen/runtime/bpnet_descriptor.h"
#include "support/ref_network.h"
#include "support/test_support.h"

namespace bptest {

namespace {

// The first float of the network data where `party` and the reference differ, or "".
std::string first_difference(const float *net, const std::vector<float> &ref, const std::string &when,
                             const char *party)
{
    const std::ptrdiff_t i = first_bit_difference(net, ref.data(), ref.size());
    if (i < 0)
        return "";
    char buf[300];
    std::snprintf(buf, sizeof buf, "%s: network_data[%td] is %.9g in the %s, %.9g in the reference", when.c_str(), i,
                  static_cast<double>(net[i]), party, static_cast<double>(ref[static_cast<std::size_t>(i)]));
    return buf;
}

// The settings of one comparison, drawn into the reference in this order: initialization seed
// and range, learning rate, inertia and threshold.
void draw_settings(std::mt19937_64 &rng, const std::vector<float> &ranges, float odd_threshold, RefNetwork &ref)
{
    ref.seed = static_cast<int>(rng() % 100000);
    ref.range = ranges[rng() % ranges.size()];
    ref.rate = 0.05f + static_cast<float>(rng() % 100) / 100.0f;
    ref.inertia = static_cast<float>(rng() % 100) / 100.0f;
    ref.threshold = (rng() % 2) ? odd_threshold : 0.01f;
}

// Random patterns into the sized vectors: inputs in [-1, 1), then targets in [0, 1).
void draw_patterns(std::mt19937_64 &rng, std::vector<float> &inputs, std::vector<float> &targets)
{
    std::uniform_real_distribution<float> in_dist(-1.0f, 1.0f), out_dist(0.0f, 1.0f);
    for (float &v : inputs)
        v = in_dist(rng);
    for (float &v : targets)
        v = out_dist(rng);
}

// The patterns a module's learning loop takes through its callback, which has no context.
struct Patterns {
    std::vector<float> inputs, targets;  // all presentations
    std::vector<float> in, target;       // what the module and the reference read
    std::size_t cursor = 0;
};
Patterns g_patterns;

void next_pattern()
{
    Patterns &g = g_patterns;
    const std::size_t in = g.in.size(), out = g.target.size();
    std::copy_n(g.inputs.begin() + static_cast<std::ptrdiff_t>(g.cursor * in), in, g.in.begin());
    std::copy_n(g.targets.begin() + static_cast<std::ptrdiff_t>(g.cursor * out), out, g.target.begin());
    g.cursor++;
}

// A module's save file, its reload, both ASCII dumps, its descriptor and the clearing of its
// delays against the reference, which has learned as far as the module.
std::string compare_module_files(const Module &mod, const bpgen::Model &model, RefNetwork &ref, const std::string &work)
{
    float *data = mod.var<float>("network_data");
    int *counter = mod.var<int>("b0bcounter");
    const auto init = mod.fn<int (*)(void)>("init_network");
    const auto dump = mod.fn<int (*)(const char *)>("dump_network");
    const auto load = mod.fn<int (*)(const char *)>("load_network");
    const auto ascii = mod.fn<void (*)(int)>("ascii_dump_network");
    const auto query = reinterpret_cast<bpnet_descriptor *(*)(int, int)>(mod.symbol("network_query"));

    // Save file: the reference's bytes, and loaded back into a newly initialized module.
    const std::string save = work + "/" + model.network + ".save";
    if (dump(save.c_str()) != 0)
        return "the module could not save";
    if (bptest::read_file(save) != ref.save_bytes())
        return "the save file differs from the reference's";
    const std::vector<float> saved(data, data + ref.data.size());
    const int saved_counter = *counter;
    *counter = 0;
    init();
    if (load(save.c_str()) != 0)
        return "the module could not load its own save file";
    if (*counter != saved_counter)
        return "the reloaded counter differs";
    for (std::size_t li = 0; li < ref.layers.size(); li++) {
        const int t = ref.layers[li].thr;
        if (!same_bits(data + t, saved.data() + t, static_cast<std::size_t>(model.layers[li].units)))
            return "reloaded thresholds differ";
    }
    for (const auto &c : ref.conns)
        if (!same_bits(data + c.w, saved.data() + c.w, static_cast<std::size_t>(c.count)))
            return "reloaded weights differ";
    for (std::size_t li = 0; li < ref.layers.size(); li++) {
        const int k = model.layers[li].feedback * model.layers[li].units;
        if (k > 0 && !same_bits(data + ref.layers[li].coef, saved.data() + ref.layers[li].coef, static_cast<std::size_t>(k)))
            return "reloaded feedback coefficients differ";
    }
    std::memcpy(data, saved.data(), saved.size() * sizeof(float));

    // ASCII dumps.
    if (bptest::capture_stdout([&] { ascii(1); }) != ref.ascii_dump(true))
        return "the labelled ASCII dump differs from the reference's";
    if (bptest::capture_stdout([&] { ascii(0); }) != ref.ascii_dump(false))
        return "the bare ASCII dump differs from the reference's";

    // Descriptor: every layer, counted from the output back, and its connections.
    const int layers = static_cast<int>(model.layers.size());
    for (int q = 0; q < layers; q++) {
        const bpnet_descriptor *d = query(0, q);
        const int li = layers - 1 - q;
        const auto &l = model.layers[static_cast<std::size_t>(li)];
        const auto &at = ref.layers[static_cast<std::size_t>(li)];
        if (d == nullptr || d->layer_count != layers || d->input_size != model.inputs || d->layer_size != l.units ||
            d->input_dim_x != model.input_dim_x || d->input_dim_y != model.input_dim_y || d->layer_dim_x != l.dim_x ||
            d->layer_dim_y != l.dim_y || d->parameter_count != ref.trainable() ||
            std::string(d->layer_name) != model.network + ":" + l.name || d->layer_activations != data + at.act ||
            d->layer_thresholds != data + at.thr || d->layer_threshold_steps != data + at.thr_step ||
            d->layer_deltas != data + at.delta || d->layer_connection_count != static_cast<int>(l.sources.size()))
            return "descriptor of layer " + std::to_string(q) + " differs";
        int slot = 0;
        for (const auto &c : ref.conns) {
            if (c.layer != li)
                continue;
            const bpnet_connection_record &r = d->connections[slot++];
            const int number = c.source < 0 ? -1 : layers - 1 - c.source;
            // The unnamed fields keep, for every kind, the values of a full connection.
            if (r.weight_count != c.count || r.source_number != number || r.source_size != c.source_size ||
                r.source_dim_x != c.source_dim_x || r.source_dim_y != c.source_dim_y || r.weights != data + c.w ||
                r.weight_steps != data + c.s || r.field0 != 0 || r.field1 != 1 || r.field13 != c.source_size ||
                r.field14 != 1 || r.field15 != c.source_size)
                return "connection record " + std::to_string(slot - 1) + " of layer " + std::to_string(q) + " differs";
        }
        // Feedback: the order in field 50, the coefficients in the record after the connections.
        if (d->field50 != l.feedback)
            return "descriptor of layer " + std::to_string(q) + " gives feedback order " + std::to_string(d->field50);
        if (l.feedback > 0) {
            const bpnet_connection_record &r = d->connections[slot];
            if (r.weight_count != l.feedback * l.units || r.source_number != q || r.weights != data + at.coef ||
                r.weight_steps != data + at.coef_step || std::string(r.source_name) != model.network + ":" + l.name)
                return "coefficient record of layer " + std::to_string(q) + " differs";
        }
    }
    if (query(0, layers) != nullptr || query(1, 0) != nullptr)
        return "the query accepts a layer or black box that does not exist";

    // Clearing the delays zeroes the delays and traces and nothing else.
    reinterpret_cast<void (*)(void)>(mod.symbol("network_clear_delays"))();
    ref.data.assign(saved.begin(), saved.end());
    ref.clear_delays();
    return first_difference(data, ref.data, "after clearing the delays", "module");
}

// The descriptor of every layer: its unit kind (field 51), feedback order (field 50), its
// connections' records and, with feedback, the coefficients' record after them.
std::string descriptor_difference(bpnet::Network &net, const bpgen::Model &model, const RefNetwork &ref)
{
    const bpm::Module &mod = net.state().module;
    const float *data = net.data();
    const int layers = static_cast<int>(model.layers.size());
    for (int q = 0; q < layers; q++) {
        const bpnet_descriptor *d = bpm::query_network(mod, 0, q);
        const std::size_t li = static_cast<std::size_t>(layers - 1 - q);
        const bpgen::Layer &l = model.layers[li];
        const std::string which = "run-time network: descriptor of layer " + std::to_string(q);
        if (d == nullptr || d->layer_size != l.units || d->layer_activations != data + ref.layers[li].act ||
            d->layer_connection_count != static_cast<int>(l.sources.size()))
            return which + " differs";
        if (d->field51 != static_cast<int>(l.unit))
            return which + " gives unit kind " + std::to_string(d->field51);
        if (d->field50 != l.feedback)
            return which + " gives feedback order " + std::to_string(d->field50);
        int slot = 0;
        for (const auto &c : ref.conns) {
            if (c.layer != static_cast<int>(li))
                continue;
            const bpnet_connection_record &r = d->connections[slot++];
            if (r.weight_count != c.count || r.weights != data + c.w || r.weight_steps != data + c.s)
                return which + ": connection record " + std::to_string(slot - 1) + " differs";
        }
        if (l.feedback > 0) {
            const bpnet_connection_record &r = d->connections[slot];
            if (r.weight_count != l.feedback * l.units || r.source_number != q || r.weights != data + ref.layers[li].coef ||
                r.weight_steps != data + ref.layers[li].coef_step ||
                std::string(r.source_name) != model.network + ":" + l.name)
                return which + ": the coefficients' record differs";
        }
    }
    // The records fit the connection table: one slot per connection and per feedback layer.
    std::size_t slots = ref.conns.size();
    for (const bpgen::Layer &l : model.layers)
        slots += l.feedback > 0 ? 1 : 0;
    if (net.state().records.size() != std::max<std::size_t>(slots, 1))
        return "run-time network: " + std::to_string(net.state().records.size()) + " connection records for " +
               std::to_string(slots) + " slots";
    if (mod.temporal != ref.temporal)
        return "run-time network: its delays and traces start at " + std::to_string(mod.temporal) + ", the reference's at " +
               std::to_string(ref.temporal);
    return "";
}

}  // namespace

std::string compare_network(const std::string &text, const std::string &origin, const bpgen::Model &model,
                            std::uint64_t seed, bp_multi::Path path, const std::string &work,
                            int presentations)
{
    std::mt19937_64 rng(seed ^ 0x5eed5eedULL);
    std::unique_ptr<bpnet::Network> net = bpnet::Network::from_text(text, origin);
    if (!net->use_kernel_path(bp_multi::path_name(path)) || net->kernel_path() != bp_multi::path_name(path))
        return std::string("the network cannot run path ") + bp_multi::path_name(path);
    RefNetwork ref(model);
    if (net->data_size() != static_cast<int>(ref.data.size()) || net->trainable() != ref.trainable() ||
        net->inputs() != model.inputs || net->outputs() != ref.outputs() || net->name() != model.network)
        return "the network's sizes or name differ from the reference's";
    const std::vector<bpnet::LayerSize> layers = net->layers();
    for (std::size_t i = 0; i < layers.size(); i++)
        if (layers.size() != model.layers.size() || layers[i].name != model.layers[i].name ||
            layers[i].size != model.layers[i].units)
            return "the network's layers differ from the description's";

    draw_settings(rng, {0.1f, 0.5f, 1.0f, 3.0f}, 0.00005f, ref);
    net->set_learning_rate(ref.rate);
    net->set_inertia(ref.inertia);
    net->set_threshold(ref.threshold);
    net->initialize(ref.seed, ref.range);
    ref.init();
    if (std::string d = first_difference(net->data(), ref.data, "after initialization", "run-time network"); !d.empty())
        return d;

    const std::size_t in = static_cast<std::size_t>(model.inputs), out = static_cast<std::size_t>(ref.outputs());
    std::vector<float> inputs(presentations * in), targets(presentations * out), y(out);
    draw_patterns(rng, inputs, targets);
    for (int p = 0; p < 20; p++) {
        ref.input = inputs.data() + p * in;
        net->forward(ref.input, y.data());
        ref.forward();
        if (std::string d = first_difference(net->data(), ref.data, "after a forward pass", "run-time network"); !d.empty())
            return d;
        if (!same_bits(y.data(), ref.output(), out))
            return "the run-time network's outputs are not its output activations";
    }

    // Learning from initialization: the network draws from its own random source, the
    // reference from the process's generator, seeded alike.
    net->initialize(ref.seed, ref.range);
    net->set_counter(0);
    std::vector<float> errors;
    for (int p = 0; p < presentations; p++)
        errors.push_back(net->learn(inputs.data() + p * in, targets.data() + p * out));
    const std::vector<float> learned(net->data(), net->data() + ref.data.size());
    ref.counter = 0;
    ref.init();
    for (int p = 0; p < presentations; p++) {
        ref.input = inputs.data() + p * in;
        ref.target = targets.data() + p * out;
        ref.forward();
        ref.advance_traces();
        const float e = ref.calc_error();
        if (!same_bits(e, errors[static_cast<std::size_t>(p)]))
            return "the run-time network's error of presentation " + std::to_string(p) + " differs";
        if (e > ref.threshold) {
            ref.calc_grad();
            ref.update_weights(ref.inertia);
        }
    }
    if (net->counter() != ref.counter)
        return "run-time network: learning-step counter " + std::to_string(net->counter()) + ", reference " +
               std::to_string(ref.counter);
    if (std::string d = first_difference(learned.data(), ref.data, "after learning", "run-time network"); !d.empty())
        return d;

    // Save file, its reload into a fresh network, and the ASCII dumps and their load.
    const std::string save = work + "/" + model.network + "-rt.save";
    net->save(save);
    if (bptest::read_file(save) != ref.save_bytes())
        return "the run-time network's save file differs from the reference's";
    std::unique_ptr<bpnet::Network> other = bpnet::Network::from_text(text, origin);
    other->load(save);
    if (other->ascii_dump(true) != ref.ascii_dump(true))
        return "the reloaded run-time network's labelled ASCII dump differs from the reference's";
    const std::string bare = net->ascii_dump(false);
    if (bare != ref.ascii_dump(false))
        return "the run-time network's bare ASCII dump differs from the reference's";
    std::unique_ptr<bpnet::Network> third = bpnet::Network::from_text(text, origin);
    third->load_ascii(bare);
    if (third->counter() != ref.counter || third->ascii_dump(false) != bare)
        return "the bare ASCII dump does not load back into the run-time network";
    if (std::string d = descriptor_difference(*net, model, ref); !d.empty())
        return d;

    // Clearing the delays zeroes the delays and traces and nothing else.
    net->clear_delays();
    ref.clear_delays();
    return first_difference(net->data(), ref.data, "after clearing the delays", "run-time network");
}

std::string compare_module(const Module &mod, const bpgen::Model &model, std::uint64_t seed, const ModuleDrive &drive,
                           const std::string &work)
{
    std::mt19937_64 rng(seed);
    RefNetwork ref(model);
    float *data = mod.var<float>("network_data");
    int *counter = mod.var<int>("b0bcounter");
    const auto init = mod.fn<int (*)(void)>("init_network");
    const auto forward = mod.fn<void (*)(void)>("propagate_forward");
    const auto learn = reinterpret_cast<void (*)(unsigned, void (*)(void))>(mod.symbol("network_learn"));

    // Settings, then the patterns, drawn from the seed and given to both.
    draw_settings(rng, drive.ranges, drive.odd_threshold, ref);
    *mod.var<int>("init_seed") = ref.seed;
    *mod.var<float>("init_range") = ref.range;
    *mod.var<float>("BPlearning_rate") = ref.rate;
    *mod.var<float>("BPinertia") = ref.inertia;
    *mod.var<float>("BPthreshold") = ref.threshold;
    const std::size_t in = static_cast<std::size_t>(model.inputs), out = static_cast<std::size_t>(ref.outputs());
    const std::size_t presentations = static_cast<std::size_t>(drive.presentations);
    Patterns &g = g_patterns;
    g.inputs.resize(presentations * in);
    g.targets.resize(presentations * out);
    draw_patterns(rng, g.inputs, g.targets);
    g.in.assign(in, 0.0f);
    g.target.assign(out, 0.0f);
    mod.fn<void (*)(float *)>("set_input")(g.in.data());
    mod.fn<void (*)(float *)>("set_target_output")(g.target.data());
    ref.input = g.in.data();
    ref.target = g.target.data();

    // Initialization.
    *counter = 0;
    init();
    ref.init();
    if (std::string d = first_difference(data, ref.data, "after initialization", "module"); !d.empty())
        return d;

    // Forward passes.
    g.cursor = 0;
    for (int p = 0; p < 20; p++) {
        next_pattern();
        forward();
        ref.forward();
        if (std::string d = first_difference(data, ref.data, "after a forward pass", "module"); !d.empty())
            return d;
    }

    // Learning: the module's own loop, then the reference from the same seed. The random
    // generator is the platform's, shared by both, so each run starts from initialization.
    for (const int n : {drive.short_run, drive.presentations}) {
        g.cursor = 0;
        *counter = 0;
        init();
        learn(static_cast<unsigned>(n), next_pattern);
        const std::vector<float> learned(data, data + ref.data.size());
        g.cursor = 0;
        ref.counter = 0;
        ref.init();
        for (int p = 0; p < n; p++) {
            next_pattern();
            ref.learn_presentation();
        }
        const std::string when = "after " + std::to_string(n) + " presentations";
        if (*counter != ref.counter)
            return when + ": learning-step counter " + std::to_string(*counter) + ", reference " +
                   std::to_string(ref.counter);
        if (std::string d = first_difference(learned.data(), ref.data, when, "module"); !d.empty())
            return d;
    }
    return drive.files ? compare_module_files(mod, model, ref, work) : "";
}

PathResults compare_network_on_every_path(const std::string &text, const std::string &origin,
                                          const bpgen::Model &model, std::uint64_t seed, const std::string &work,
                                          int presentations)
{
    PathResults results;
    for (int p = 0; p < bp_multi::kPathCount; p++) {
        const auto path = static_cast<bp_multi::Path>(p);
        if (!bp_multi::path_runs(path))
            continue;
        results.ran++;
        const std::string diff = compare_network(text, origin, model, seed, path, work, presentations);
        if (!diff.empty())
            results.failures.push_back(std::string("path ") + bp_multi::path_name(path) + ": " + diff);
    }
    return results;
}

Built write_and_build(const std::string &work, const std::vector<std::string> &names,
                      const std::vector<std::string> &texts, std::size_t compiled)
{
    Built built;
    compiled = std::min(compiled, texts.size());
    for (std::size_t i = 0; i < texts.size(); i++) {
        built.descriptions.push_back(work + "/" + names[i] + ".toml");
        write_file(built.descriptions.back(), texts[i]);
        if (i < compiled)
            built.modules.push_back(work + "/" + names[i] + ".so");
    }
    const std::vector<std::string> sources(built.descriptions.begin(),
                                           built.descriptions.begin() + static_cast<std::ptrdiff_t>(compiled));
    built.status = build_modules(sources, built.modules, 2);
    return built;
}

}  // namespace bptest

namespace bptest {

void gather_row_gradients(bpnet::NetworkState &st, const std::vector<float> &kept, std::vector<double> &sums)
{
    const bpm::Module &m = st.module;
    const float *d = st.data.data();
    for (int l = 0; l < m.layer_count; l++) {
        const bpm::LayerInfo &layer = m.layers[l];
        for (int i = 0; i < layer.size; i++)
            sums[layer.thr_grad + i] += static_cast<double>(d[layer.delta + i]);
    }
    for (int c = 0; c < m.connection_count; c++) {
        const bpm::ConnectionInfo &ci = m.connections[c];
        const bpm::LayerInfo &layer = m.layers[ci.layer];
        const float *e = d + layer.delta;
        const float *src = ci.source == bpm::kInputs ? st.input : d + m.layers[ci.source].act;
        double *g = sums.data() + ci.grads;
        if (ci.kind == bpm::kFull) {
            for (int u = 0; u < layer.size; u++)
                for (int k = 0; k < ci.source_size; k++)
                    g[u * ci.source_size + k] += static_cast<double>(src[k]) * e[u];
        } else if (ci.kind == bpm::kField1d) {
            for (int u = 0; u < layer.size; u++)
                for (int k = 0; k < ci.field_x; k++)
                    g[(ci.shared ? 0 : u * ci.field_x) + k] +=
                        static_cast<double>(src[u * (ci.field_x - ci.overlap) + k]) * e[u];
        } else {
            const int S = ci.source_dim_x, B = ci.overlap * S, KW = ci.field_x, KH = ci.field_y;
            for (int rr = 0; rr < ci.down; rr++)
                for (int j = 0; j < KH; j++)
                    for (int u = 0; u < ci.across; u++)
                        for (int k = 0; k < KW; k++) {
                            const int q = rr * (KH * S - B) + j * S + u * (KW - ci.overlap) + k;
                            const int w = ci.shared ? j * KW + k : ((rr * KH + j) * ci.across + u) * KW + k;
                            g[w] += static_cast<double>(src[q]) * e[rr * ci.across + u];
                        }
        }
    }
    for (int l = 0; l < m.layer_count; l++)
        std::copy_n(&kept[m.layers[l].thr_grad], m.layers[l].size, &st.data[m.layers[l].thr_grad]);
    for (int c = 0; c < m.connection_count; c++)
        std::copy_n(&kept[m.connections[c].grads], m.connections[c].count, &st.data[m.connections[c].grads]);
}

std::vector<float> random_values(std::mt19937_64 &rng, std::size_t n, float low, float high)
{
    std::uniform_real_distribution<float> u(low, high);
    std::vector<float> v(n);
    for (float &x : v)
        x = u(rng);
    return v;
}

std::vector<float> snapshot(const bpnet::Network &net)
{
    return std::vector<float>(net.data(), net.data() + net.data_size());
}

void add_gathered_gradients(bpnet::NetworkState &st, const std::vector<double> &sums)
{
    const bpm::Module &m = st.module;
    const auto add = [&](int at, int n) {
        for (int i = at; i < at + n; i++)
            st.data[i] = static_cast<float>(st.data[i] + sums[i]);
    };
    for (int l = 0; l < m.layer_count; l++)
        add(m.layers[l].thr_grad, m.layers[l].size);
    for (int c = 0; c < m.connection_count; c++)
        add(m.connections[c].grads, m.connections[c].count);
}

}  // namespace bptest
