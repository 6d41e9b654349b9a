// Black-box descriptor and query of the nn module: constants of the network and pointers
// into its live storage, for a host that knows nothing about this particular network.
#include "reference/nn_query.h"

#include <array>

#include "reference/nn.h"
#include "reference/nn_layout.h"

using namespace nn_layout;

extern "C" {
nn_descriptor comms_buffer;
nn_connection_record connection_buffer[NN_CONNECTION_SLOTS];
}

namespace {

// One incoming connection: its source and its blocks in network_data.
struct ConnectionInfo {
    int source_number;
    const char *source_name;
    int source_size;
    int target_size;
    int weights;
    int steps;
};

// One layer, numbered from the output backwards, with its connections by source $INPUTS, H1, H2.
struct LayerInfo {
    const char *name;
    int size;
    int activations;
    int thresholds;
    int threshold_steps;
    int deltas;
    int connection_count;
    std::array<ConnectionInfo, 3> connections;
};

constexpr int kLayerCount = 3;
constexpr int kInputSource = -1;

constexpr std::array<LayerInfo, kLayerCount> kLayers{{
    {"nn:Out", kOut, kOutAct, kOutThr, kOutThrStep, kOutDelta, 3,
     {{{kInputSource, "$INPUTS", kInputs, kOut, kW_Out_In, kS_Out_In},
       {2, "nn:H1", kH1, kOut, kW_Out_H1, kS_Out_H1},
       {1, "nn:H2", kH2, kOut, kW_Out_H2, kS_Out_H2}}}},
    {"nn:H2", kH2, kH2Act, kH2Thr, kH2ThrStep, kH2Delta, 2,
     {{{kInputSource, "$INPUTS", kInputs, kH2, kW_H2_In, kS_H2_In},
       {2, "nn:H1", kH1, kH2, kW_H2_H1, kS_H2_H1},
       {}}}},
    {"nn:H1", kH1, kH1Act, kH1Thr, kH1ThrStep, kH1Delta, 1,
     {{{kInputSource, "$INPUTS", kInputs, kH1, kW_H1_In, kS_H1_In}, {}, {}}}},
}};

// The connections of all layers together fill the table exactly once.
static_assert(kLayers[0].connection_count + kLayers[1].connection_count + kLayers[2].connection_count ==
              NN_CONNECTION_SLOTS);

// Write the black-box section (fields 20-41): the same for every layer.
void describe_black_box()
{
    nn_descriptor &d = comms_buffer;
    d.box_number = 0;
    d.box_name = "nn";
    d.field22 = 1;
    d.field23 = 1;
    d.layer_count = kLayerCount;
    d.input_size = kInputs;
    d.input_dim_x = kInputs;
    d.input_dim_y = 1;
    d.field28 = 0;
    d.field29 = 0;
    d.field30 = 0;
    d.field31 = 0;
    d.propagate_forward_proc = nn_propagate_forward;
    d.calc_grad_proc = nn_calc_grad;
    d.update_weights_proc = nn_update_weights;
    d.get_backprop_counter_proc = nn_get_backprop_counter;
    d.set_backprop_counter_proc = nn_set_backprop_counter;
    d.set_target_output_proc = nn_set_target_output;
    d.get_target_output_proc = nn_get_target_output;
    d.get_output_proc = nn_get_output;
    d.set_input_proc = nn_set_input;
    d.get_input_proc = nn_get_input;
}

// Write the layer section (fields 42-49 and 53-58); fields 50-52 are never written.
void describe_layer(int number, const LayerInfo &layer)
{
    nn_descriptor &d = comms_buffer;
    d.layer_number = number;
    d.field43 = 0;
    d.layer_name = layer.name;
    d.layer_size = layer.size;
    d.layer_dim_x = layer.size;
    d.layer_dim_y = 1;
    d.field48 = 0;
    d.field49 = 0;
    d.layer_activations = at(layer.activations);
    d.layer_thresholds = at(layer.thresholds);
    d.layer_threshold_steps = at(layer.threshold_steps);
    d.layer_deltas = at(layer.deltas);
    d.layer_connection_count = layer.connection_count;
    d.field58 = number;
}

// Write one connection record; slots beyond the layer's connections keep their contents.
void describe_connection(nn_connection_record &r, const ConnectionInfo &c)
{
    r.field0 = 0;
    r.field1 = 1;
    r.field2 = 0;
    r.weight_count = c.target_size * c.source_size;
    r.field4 = 0;
    r.source_number = c.source_number;
    r.source_name = c.source_name;
    r.source_size = c.source_size;
    r.source_dim_x = c.source_size;
    r.source_dim_y = 1;
    r.field10 = 0;
    r.weights = at(c.weights);
    r.weight_steps = at(c.steps);
    r.field13 = c.source_size;
    r.field14 = 1;
    r.field15 = c.source_size;
    r.field16 = 0;
    r.field17 = 0;
    r.field18 = 0;
}

}  // namespace

extern "C" {

void nn_describe_network(void)
{
    nn_descriptor &d = comms_buffer;
    d.description_file = "nn.varonel";
    d.network_name = "nn";
    d.field2 = 0;
    d.field3 = 1;
    d.unit_count = kH1 + kH2 + kOut;
    d.parameter_count = kTrainable;
    d.set_learning_rate_proc = nn_set_learning_rate;
    d.set_inertia_proc = nn_set_inertia;
    d.get_learning_rate_proc = nn_get_learning_rate;
    d.get_inertia_proc = nn_get_inertia;
    d.set_random_init_seed_proc = nn_set_random_init_seed;
    d.set_random_init_range_proc = nn_set_random_init_range;
    d.init_network_proc = nn_init_network;
    d.network_forward_proc = nn_network_forward;
    d.network_learn_proc = nn_network_learn;
    d.dump_network_proc = nn_dump_network;
    d.load_network_proc = nn_load_network;
    d.error_string_proc = nn_error_string;
    d.connections = connection_buffer;
}

nn_descriptor *nn_query_network(int box, int layer)
{
    // The module holds the single black box nn, index 0.
    if (box != 0)
        return nullptr;
    describe_black_box();
    if (layer < 0 || layer >= kLayerCount)
        return nullptr;

    const LayerInfo &info = kLayers[static_cast<std::size_t>(layer)];
    describe_layer(layer, info);
    // The records go into the module's own table, which `connections` points at once the
    // network is initialized; never through the field itself, which a host may have changed
    // (and which is still null before initialization).
    for (int slot = 0; slot < info.connection_count; slot++)
        describe_connection(connection_buffer[slot], info.connections[static_cast<std::size_t>(slot)]);
    return &comms_buffer;
}

nn_descriptor *network_query(int box, int layer)
{
    return nn_query_network(box, layer);
}

}  // extern "C"
