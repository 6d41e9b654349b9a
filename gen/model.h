// The network model of a description file: what the generator reads from the TOML text and
// checks before a single line of code is written. C++ only (the generator and its tests).
#ifndef GEN_MODEL_H
#define GEN_MODEL_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gen/units.h"

namespace bpgen {

// Source index of the network inputs in a layer's source list.
constexpr int kInputsSource = -1;

// How a connection reads its source: every unit the whole source (full), or each unit its own
// receptive field, a run of the flat source vector (field1d) or a rectangle of the source grid
// (field2d).
enum class Kind { full, field1d, field2d };

// The receptive field of one connection, as the description gives it.
struct Link {
    Kind kind = Kind::full;
    int field_x = 0;      // field1d: the field's length n; field2d: its width KW
    int field_y = 1;      // field2d: the field's height KH
    int overlap = 0;      // source elements (field2d: columns and rows) that neighbouring fields share
    bool shared = false;  // one weight row (field2d: one KH x KW kernel) for every unit
};

// One layer of the network, in forward order.
struct Layer {
    std::string name;
    int units = 0;
    Unit unit = Unit::logistic;
    // Sources in canonical order: the inputs (kInputsSource) first, then earlier layers by index.
    std::vector<int> sources;
    // The field of each source, in the order of `sources`.
    std::vector<Link> links;
    // Shape: dim_x units per row, dim_y rows, stored row by row ([units, 1] without a shape).
    int dim_x = 0;
    int dim_y = 1;
    // Order of the autoregressive filter on each unit's net input: 0 (none), 1 or 2.
    int feedback = 0;
};

// A checked network description.
struct Model {
    std::string network;           // the black box's name
    std::string description_file;  // the description's file name, without its folder
    int inputs = 0;
    int input_dim_x = 0;           // the input grid ([inputs, 1] without a shape)
    int input_dim_y = 1;
    std::vector<Layer> layers;     // forward order; the last is the output layer
    // `optimizer = "adam"`: network_data reserves the moments m and v of every trainable value
    // (optimizer = "sgd", the default, reserves nothing).
    bool optimizer_room = false;
};

// Where and what: "FILE:LINE:COLUMN: message".
struct Error {
    std::string text;
};

// Limits of a description.
constexpr std::size_t kMaxNameLength = 31;
constexpr int kMaxLayers = 1000;

// Parse and check a description given as text; `path` names it in messages and gives the
// description file name. The model, or the first error found.
std::optional<Model> parse_description(std::string_view text, const std::string &path, Error &error);

// Read the file at `path` and parse it as above.
std::optional<Model> load_description(const std::string &path, Error &error);

// One connection, in save-file order: grouped by the layer fed in forward order, each group
// in canonical source order.
struct Connection {
    int layer = 0;              // the layer fed (forward index)
    int source = kInputsSource; // the inputs, or a layer's forward index
    int index = 0;              // from 0 in forward (save-file) order
    int number = 0;             // from 1 on the output side
    std::string array;          // the save file's array name: the layer's name and the number
    std::int64_t count = 0;     // weights
    int source_size = 0;
    int source_dim_x = 0;       // the source grid
    int source_dim_y = 1;
    Link link;                  // the field
    // The kernels' strides, derived from the field: field2d: U units per row, R rows,
    // WS = U*KW, S = the source row length, B = overlap*S; field1d: U units, R = 1.
    int across = 0, down = 1;
    std::int64_t ws = 0, s = 0, b = 0;
};
std::vector<Connection> connections(const Model &m);

// Where one layer's vectors lie in network_data (net is -1 unless its unit kind stores its net
// inputs).
// A layer with feedback also has its coefficients (a1 then a2, each one per unit), their
// gradients and steps, its delays (s(t), s(t-1) and for second order s(t-2), after a pass)
// and its coefficient traces (R1; second order R1, R1 one step back, R2, R2 one step back);
// the rest hold -1.
struct LayerOffsets {
    std::int64_t act = 0, delta = 0, net = -1, thr = 0, thr_grad = 0, thr_step = 0;
    std::int64_t coef = -1, coef_grad = -1, coef_step = -1, delays = -1, coef_traces = -1;
};
// Where one connection's weights, gradients and steps lie in network_data; a connection into
// a layer with feedback also has its weight traces (one per weight, and for second order the
// same one step back), else -1.
struct ConnectionOffsets {
    std::int64_t w = 0, g = 0, s = 0, traces = -1;
};
// The layout of network_data: per layer in forward order its activations and deltas (and its
// net inputs, where its unit kind stores them); then per layer its thresholds, threshold
// gradients and steps; then the connections in save-file order, each as weights, gradients and steps. A
// network with feedback continues with the coefficients, their gradients and steps of each
// feedback layer in forward order; a description that reserves the optimizer's moments has
// them next (m of every trainable value in initialization order, then v); and then the
// temporal state that clearing the delays
// zeroes: each feedback layer's delays and coefficient traces, then the weight traces of the
// connections into feedback layers in save-file order. Without feedback nothing follows.
struct Layout {
    std::vector<LayerOffsets> layers;          // forward order
    std::vector<Connection> connections;       // save-file order, as connections() gives them
    std::vector<ConnectionOffsets> offsets;    // one per connection
    std::int64_t moments = -1;                 // the optimizer's moments m then v, 2 x trainable (-1: none)
    std::int64_t temporal = -1;                // start of the temporal state (-1: none)
    std::int64_t size = 0;                     // floats in network_data
};
// Floats of a feedback layer's delays and of its coefficient traces, per unit.
constexpr int delay_vectors(int order)
{
    return order == 0 ? 0 : order + 1;
}
constexpr int coef_trace_vectors(int order)
{
    return order == 0 ? 0 : order == 1 ? 1 : 4;
}
Layout lay_out(const Model &m);

// Sizes derived from a model (64-bit, so that an oversized network is measured, not wrapped).
struct Sizes {
    std::int64_t data = 0;       // floats in network_data
    std::int64_t trainable = 0;  // thresholds and weights
    std::int64_t units = 0;      // units with a threshold
    std::int64_t record = 0;     // bytes of the save-file record
    int connections = 0;
};
Sizes measure(const Model &m);

}  // namespace bpgen

#endif
