// The tables of the module runtime from a model and its layout.
#include "gen/tables.h"

namespace bpgen {

namespace {

int to_int(std::int64_t v)
{
    return static_cast<int>(v);
}

}  // namespace

Tables module_tables(const Model &m, const Layout &lo)
{
    Tables t;
    // Layers: a shape of one row shows as [size, 1]; connections follow the layers in order.
    int first = 0;
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const Layer &l = m.layers[i];
        const LayerOffsets &p = lo.layers[i];
        LayerRow row;
        row.name = l.name;
        row.qualified = m.network + ":" + l.name;
        row.net = p.net;
        bpm::LayerInfo &info = row.info;
        info.name = info.qualified = nullptr;
        info.size = l.units;
        info.dim_x = l.dim_y == 1 ? l.units : l.dim_x;
        info.dim_y = l.dim_y;
        info.act = to_int(p.act);
        info.delta = to_int(p.delta);
        info.thr = to_int(p.thr);
        info.thr_grad = to_int(p.thr_grad);
        info.thr_step = to_int(p.thr_step);
        info.first = first;
        info.count = static_cast<int>(l.sources.size());
        if (l.feedback > 0) {
            info.feedback = l.feedback;
            info.coef = to_int(p.coef);
            info.coef_grad = to_int(p.coef_grad);
            info.coef_step = to_int(p.coef_step);
            row.a1_name = l.name + ":a1";
            if (l.feedback == 2)
                row.a2_name = l.name + ":a2";
        }
        info.unit = unit_kind(l.unit).code;
        first += info.count;
        t.layers.push_back(std::move(row));
    }
    // Connections: the labelled dump's row is a unit's weights (a field's, or the one shared row).
    for (std::size_t k = 0; k < lo.connections.size(); k++) {
        const Connection &c = lo.connections[k];
        ConnectionRow row;
        row.array = c.array;
        row.ws = to_int(c.ws);
        row.s = to_int(c.s);
        row.b = to_int(c.b);
        bpm::ConnectionInfo &info = row.info;
        info.layer = c.layer;
        info.source = c.source == kInputsSource ? bpm::kInputs : c.source;
        info.array = nullptr;
        info.weights = to_int(lo.offsets[k].w);
        info.grads = to_int(lo.offsets[k].g);
        info.steps = to_int(lo.offsets[k].s);
        info.count = to_int(c.count);
        info.source_size = c.source_size;
        info.source_dim_x = c.source_dim_y == 1 ? c.source_size : c.source_dim_x;
        info.source_dim_y = c.source_dim_y;
        info.row = c.source_size;
        const Link &f = c.link;
        if (f.kind == Kind::field1d) {
            info.kind = bpm::kField1d;
            info.row = f.shared ? info.count : f.field_x;
        } else if (f.kind == Kind::field2d) {
            info.kind = bpm::kField2d;
            info.row = f.shared ? info.count : f.field_x * f.field_y;
            info.across = c.across;
            info.down = c.down;
        }
        if (f.kind != Kind::full) {
            info.shared = f.shared;
            info.field_x = f.field_x;
            info.field_y = f.kind == Kind::field2d ? f.field_y : 1;
            info.overlap = f.overlap;
        }
        t.connections.push_back(std::move(row));
    }
    return t;
}

}  // namespace bpgen
