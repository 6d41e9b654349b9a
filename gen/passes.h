// The passes of a network, written once: the order in which the kernels of the forward pass, the
// gradient step, the weight update and the feedback traces run, over the model and its layout.
// Each walk calls a kernel set, a policy object, once per step with what the step works on (the
// layer, the connection, whether it comes first, the runs of a connection into a feedback
// layer); the policy either runs the kernels (the network built at run time, gen/rtnet/) or
// prints them as the straight-line code of a generated module (gen/emit.cpp) or of the embedded
// form (gen/embed.cpp, the forward pass only). A policy supplies every member a walk calls;
// those that mark a place in the pass (the *_layer members and the few notes) only print
// comments and do nothing when run. C++ only.
#ifndef GEN_PASSES_H
#define GEN_PASSES_H

#include <cstddef>
#include <cstdint>

#include "gen/model.h"

namespace bpgen {

// The runs of a connection into a feedback layer. The traced kernels take one-dimensional runs:
// a full connection is one run of every unit over the whole source (form whole), a 1-D one one
// run over its fields (form fields), a 2-D one a run per field row (r, j), r < rows, j < lines
// (form field_rows). Run (r, j) starts r * source_row + j * source_line into the source,
// (r * lines + j) * weight_line into the weight-shaped blocks and r * unit_row into the unit
// vectors of the layer fed.
struct Runs {
    enum class Form { whole, fields, field_rows };
    Form form = Form::whole;
    int units = 0, length = 0, overlap = 0;  // per run: units, source elements per unit, overlap
    int rows = 1, lines = 1;
    std::int64_t source_row = 0, source_line = 0, weight_line = 0, unit_row = 0;
};

// The runs of connection c (into a layer of `units` units).
inline Runs runs_of(const Connection &c, int units)
{
    Runs r;
    if (c.link.kind == Kind::full) {
        r.units = units;
        r.length = r.overlap = c.source_size;
    } else if (c.link.kind == Kind::field1d) {
        r.form = Runs::Form::fields;
        r.units = units;
        r.length = c.link.field_x;
        r.overlap = c.link.overlap;
    } else {
        r.form = Runs::Form::field_rows;
        r.units = c.across;
        r.length = c.link.field_x;
        r.overlap = c.link.overlap;
        r.rows = c.down;
        r.lines = c.link.field_y;
        r.source_row = c.link.field_y * c.s - c.b;
        r.source_line = c.s;
        r.weight_line = c.ws;
        r.unit_row = c.across;
    }
    return r;
}

// Every run of `runs`, in order: body(source offset, weight offset, unit offset).
template <typename Body>
void for_each_run(const Runs &runs, Body body)
{
    for (int r = 0; r < runs.rows; r++)
        for (int j = 0; j < runs.lines; j++)
            body(r * runs.source_row + j * runs.source_line, (r * runs.lines + j) * runs.weight_line,
                 r * runs.unit_row);
}

// Forward pass: each layer's connections in source order (the first overwrites, the rest add),
// then, with feedback, its filter, then its unit function with the thresholds.
template <class K>
void walk_forward(const Model &m, const Layout &lo, K &k)
{
    std::size_t ci = 0;
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const Layer &l = m.layers[i];
        const int li = static_cast<int>(i);
        k.forward_layer(li);
        for (std::size_t s = 0; s < l.sources.size(); s++, ci++) {
            const bool first = s == 0;
            switch (lo.connections[ci].link.kind) {
            case Kind::full: k.full_forward(ci, first); break;
            case Kind::field1d: k.field1d_forward(ci, first); break;
            case Kind::field2d:
                // The two-dimensional kernels only add.
                if (first)
                    k.clear_activations(li);
                k.field2d_forward(ci, first);
                break;
            }
        }
        if (l.feedback > 0) {
            // The delays shift, s(t) is formed once and becomes the value the unit function and
            // the thresholds see.
            k.filter_layer(li);
            if (l.feedback == 2)
                k.shift_delays(li);
            k.filter(li);
            k.keep_filtered(li);
        }
        k.units(li);
    }
}

// Gradient step: the step counted, the hidden deltas cleared (they gather the error passed
// back; the output deltas are already set), then the layers from the output back, each drawing
// its derivative offset (whether or not its derivative reads it), then its derivative, its
// thresholds' gradients, with feedback its coefficients' gradients through their traces, and
// its connections' gradients in source order.
template <class K>
void walk_gradient(const Model &m, const Layout &lo, K &k)
{
    k.count_step();
    k.hidden_deltas();
    for (std::size_t i = 0; i + 1 < m.layers.size(); i++)
        k.clear_deltas(static_cast<int>(i));
    k.offsets();
    std::size_t end = lo.connections.size();
    for (std::size_t i = m.layers.size(); i-- > 0;) {
        const Layer &l = m.layers[i];
        const int li = static_cast<int>(i);
        const std::size_t first = end - l.sources.size();
        end = first;
        k.gradient_layer(li);
        k.draw_offset(li);
        k.derivative(li);
        k.accum_thresholds(li);
        if (l.feedback > 0) {
            // a1's gradient through the traces of vector 0, a2's through those of vector 2.
            k.accum_coefficients(li, 0, 0);
            if (l.feedback == 2)
                k.accum_coefficients(li, 1, 2);
        }
        for (std::size_t ci = first; ci < first + l.sources.size(); ci++) {
            const Connection &c = lo.connections[ci];
            if (l.feedback > 0)
                k.traced_gradient(ci, runs_of(c, l.units));
            else if (c.link.kind == Kind::field1d)
                k.field1d_gradient(ci);
            else if (c.link.kind == Kind::field2d)
                k.field2d_gradient(ci);
            else if (c.source == kInputsSource)
                k.gradient_from_input(ci);
            else
                k.gradient_from_hidden(ci);
        }
    }
}

// Weight update with momentum: layers from the output back, each layer's thresholds, then its
// connections in source order, then with feedback its coefficients (every step kept inside the
// stable region), every block's gradients cleared after its update.
template <class K>
void walk_update(const Model &m, K &k)
{
    std::size_t end = 0;
    for (const Layer &l : m.layers)
        end += l.sources.size();
    for (std::size_t i = m.layers.size(); i-- > 0;) {
        const Layer &l = m.layers[i];
        const int li = static_cast<int>(i);
        const std::size_t first = end - l.sources.size();
        end = first;
        k.update_layer(li);
        k.update_thresholds(li);
        for (std::size_t ci = first; ci < first + l.sources.size(); ci++)
            k.update_connection(ci);
        if (l.feedback == 1)
            k.update_coefficients_1st(li);
        else if (l.feedback == 2)
            k.update_coefficients_2nd(li);
        if (l.feedback > 0)
            k.clear_coefficient_gradients(li);
    }
}

// Moving the traces on after a forward pass of the learning loop: per feedback layer in forward
// order a1's trace over s(t-1) (coefficient traces of vector 0, second order also 1), for
// second order a2's over s(t-2) (vectors 2 and 3), then its connections' weight traces over
// their sources.
template <class K>
void walk_traces(const Model &m, const Layout &lo, K &k)
{
    std::size_t first = 0;
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const Layer &l = m.layers[i];
        const int li = static_cast<int>(i);
        const std::size_t end = first + l.sources.size();
        if (l.feedback > 0) {
            k.trace_layer(li);
            k.coefficient_trace(li, 1, 0);
            if (l.feedback == 2)
                k.coefficient_trace(li, 2, 2);
            for (std::size_t ci = first; ci < end; ci++)
                k.weight_trace(ci, runs_of(lo.connections[ci], l.units));
        }
        first = end;
    }
}

}  // namespace bpgen

#endif
