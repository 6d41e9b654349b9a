// The network built at run time against the reference network (see rtnet_support.h).
#include "support/rtnet_support.h"

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

std::string first_difference(const float *net, const std::vector<float> &ref, const char *when)
{
    for (std::size_t i = 0; i < ref.size(); i++) {
        if (std::memcmp(net + i, &ref[i], sizeof(float)) != 0) {
            char buf[200];
            std::snprintf(buf, sizeof buf, "%s: network_data[%zu] is %.9g in the network, %.9g in the reference", when,
                          i, static_cast<double>(net[i]), static_cast<double>(ref[i]));
            return buf;
        }
    }
    return "";
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

    const float ranges[] = {0.1f, 0.5f, 1.0f, 3.0f};
    ref.seed = static_cast<int>(rng() % 100000);
    ref.range = ranges[rng() % 4];
    ref.rate = 0.05f + static_cast<float>(rng() % 100) / 100.0f;
    ref.inertia = static_cast<float>(rng() % 100) / 100.0f;
    ref.threshold = (rng() % 2) ? 0.00005f : 0.01f;
    net->set_learning_rate(ref.rate);
    net->set_inertia(ref.inertia);
    net->set_threshold(ref.threshold);
    net->initialize(ref.seed, ref.range);
    ref.init();
    if (std::string d = first_difference(net->data(), ref.data, "run-time network after initialization"); !d.empty())
        return d;

    const std::size_t in = static_cast<std::size_t>(model.inputs), out = static_cast<std::size_t>(ref.outputs());
    std::vector<float> inputs(presentations * in), targets(presentations * out), y(out);
    std::uniform_real_distribution<float> in_dist(-1.0f, 1.0f), out_dist(0.0f, 1.0f);
    for (float &v : inputs)
        v = in_dist(rng);
    for (float &v : targets)
        v = out_dist(rng);
    for (int p = 0; p < 20; p++) {
        ref.input = inputs.data() + p * in;
        net->forward(ref.input, y.data());
        ref.forward();
        if (std::string d = first_difference(net->data(), ref.data, "run-time network after a forward pass"); !d.empty())
            return d;
        if (std::memcmp(y.data(), ref.output(), out * sizeof(float)) != 0)
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
        if (std::memcmp(&e, &errors[static_cast<std::size_t>(p)], sizeof e) != 0)
            return "the run-time network's error of presentation " + std::to_string(p) + " differs";
        if (e > ref.threshold) {
            ref.calc_grad();
            ref.update_weights(ref.inertia);
        }
    }
    if (net->counter() != ref.counter)
        return "run-time network: learning-step counter " + std::to_string(net->counter()) + ", reference " +
               std::to_string(ref.counter);
    if (std::string d = first_difference(learned.data(), ref.data, "run-time network after learning"); !d.empty())
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
    return first_difference(net->data(), ref.data, "run-time network after clearing the delays");
}

}  // namespace bptest
