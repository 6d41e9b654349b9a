// The state of a network built at run time: its model and layout, the tables the module runtime
// reads, its network data and settings under the names a module gives them, its random source
// and error text, and the module record over all of it. Nothing a network changes while it
// works lives outside this state, so networks may work in several threads at once. Internal to
// the library and its adapters (the tools' network host).
#ifndef GEN_RTNET_RTNET_STATE_H
#define GEN_RTNET_RTNET_STATE_H

#include <string>
#include <vector>

#include "bp/multi/common.h"
#include "gen/model.h"
#include "gen/runtime/bpnet_module.h"

namespace bpnet {

// Size of the error text, as a module's.
constexpr int kErrorSize = 128;

struct NetworkState {
    bpgen::Model model;
    bpgen::Layout layout;
    // Names the tables point into.
    std::vector<std::string> layer_names, qualified, arrays, a1_names, a2_names;
    std::vector<bpm::LayerInfo> layers;          // forward order
    std::vector<bpm::ConnectionInfo> connections;  // save-file order
    std::vector<std::int64_t> net;               // per layer: its net inputs (kinds that store them), else -1
    std::vector<int> ws, s, b;                   // per connection: the 2-D field strides
    std::vector<float> data;                     // network_data

    // The module's settings, under their module names.
    float learning_rate = 0.2f;
    float inertia = 0.95f;
    float threshold = 0.00005f;
    float init_range = 0.1f;
    int init_seed = 123;
    int counter = 0;
    float *input = nullptr;
    float *target = nullptr;
    char error[kErrorSize] = {};
    // The network's own random source, which initialization seeds and the gradient step draws
    // its derivative offsets from: the sequence the process's generator would give it alone.
    bp_random random = {};
    bpnet_descriptor descriptor = {};
    std::vector<bpnet_connection_record> records;

    // The passes of the chosen kernel path.
    bp_multi::Path path = bp_multi::Path::portable;
    void (*forward_pass)(NetworkState &) = nullptr;
    void (*grad_pass)(NetworkState &) = nullptr;
    void (*update_pass)(NetworkState &, float) = nullptr;

    // The optimizer's settings and state, which the module record points to.
    bpm::Optimizer optimizer;

    bpm::Module module = {};
};

// Choose the passes of a kernel path.
void use_path(NetworkState &st, bp_multi::Path path);

// The four passes, as the module record's context-taking passes.
void propagate_forward(NetworkState &st);
float calc_error(NetworkState &st);
void calc_grad(NetworkState &st);
// Moves the traces of the feedback layers on after a forward pass of the learning loop.
void advance_traces(NetworkState &st);
void update_weights(NetworkState &st, float inertia);

}  // namespace bpnet

#endif
