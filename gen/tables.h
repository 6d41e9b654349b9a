// The tables of the module runtime (bpm::LayerInfo, bpm::ConnectionInfo) of a model and its
// layout, from one function: a generated module prints them as named constants, the network
// built at run time keeps them. C++ only.
#ifndef GEN_TABLES_H
#define GEN_TABLES_H

#include <cstdint>
#include <string>
#include <vector>

#include "gen/model.h"
#include "gen/runtime/bpnet_module.h"

namespace bpgen {

// One layer's row; the names the row points to are kept beside it and left null in `info`
// (a2_name null too where the layer has no second coefficient), since a row may move.
struct LayerRow {
    bpm::LayerInfo info{};
    std::string name, qualified, a1_name, a2_name;  // a1/a2: empty without feedback (a2: below second order)
    std::int64_t net = -1;                          // its net inputs, where its unit kind stores them
};

// One connection's row; its array name kept beside it (`info.array` left null), and the 2-D
// strides the kernels take (0 for a connection that is not two-dimensional).
struct ConnectionRow {
    bpm::ConnectionInfo info{};
    std::string array;
    int ws = 0, s = 0, b = 0;
};

struct Tables {
    std::vector<LayerRow> layers;            // forward order
    std::vector<ConnectionRow> connections;  // save-file order
};

// The rows of a model laid out as `lo`: per layer its size and grid, the offsets of its
// vectors, its connections (first, count), its filter and its unit code; per connection the
// layer fed, its source, offsets, counts, source grid, labelled row length and field.
Tables module_tables(const Model &m, const Layout &lo);

}  // namespace bpgen

#endif
