// Support for generated network modules: the record types of a module's constant tables and
// the headers its straight-line code needs. A generated NAME.cpp includes this first, defines
// its layout and tables, its forward pass and its learning step, and then includes
// bpnet_module_impl.h, which builds every table-driven part of the module (state, accessors,
// initialization, save files, ASCII dumps, descriptor, reports) from those tables. C++ only.
#ifndef GEN_RUNTIME_BPNET_MODULE_H
#define GEN_RUNTIME_BPNET_MODULE_H

#include <algorithm>
#include <cstddef>

#include "bp/BpSim.h"
#include "bp/BpSimInline.h"
#include "bp/BpSupport.h"

namespace bpm {

// Source number of the network inputs.
constexpr int kInputs = -1;

// One layer, in forward order, with its vectors in network_data.
struct LayerInfo {
    const char *name;       // as in save files: "H1"
    const char *qualified;  // as in the descriptor and the ASCII dump: "nn:H1"
    int size;
    int dim_x;
    int dim_y;
    int act;                // activations
    int delta;              // deltas
    int thr;                // thresholds
    int thr_grad;           // threshold gradients
    int thr_step;           // threshold steps
    int first;              // its first incoming connection in the connection table
    int count;              // its incoming connections
};

// How a connection reads its source: every unit the whole source vector (full), each unit a
// run of field_x elements of the flat source (field1d), or each unit a field_x by field_y
// rectangle of the source grid (field2d).
enum : int { kFull = 0, kField1d = 1, kField2d = 2 };

// One connection, in save-file order (by the layer fed, then by source).
struct ConnectionInfo {
    int layer;              // the layer fed (forward index)
    int source;             // kInputs or the source layer's forward index
    const char *array;      // the save file's array name
    int weights;
    int grads;
    int steps;
    int count;              // weights
    int source_size;
    int source_dim_x;
    int source_dim_y;
    int row;                // weights on one row of the labelled dump (one row per unit)
    // Receptive fields; a full connection leaves these as they are.
    int kind = kFull;
    bool shared = false;    // one weight row (field2d: one kernel) for every unit
    int field_x = 0;        // field1d: the field's length n; field2d: its width KW
    int field_y = 1;        // field2d: its height KH
    int overlap = 0;
    int across = 0;         // field2d: units per row of the layer fed (U)
    int down = 1;           // field2d: rows of the layer fed (R)
};

// A table of blocks tiles network_data when every block starts where the last one ended.
struct Block {
    int start;
    int count;
};
template <std::size_t N>
constexpr bool tiles(const Block (&blocks)[N], int total)
{
    int next = 0;
    for (const Block &b : blocks) {
        if (b.start != next || b.count <= 0)
            return false;
        next = b.start + b.count;
    }
    return next == total;
}

}  // namespace bpm

#endif
