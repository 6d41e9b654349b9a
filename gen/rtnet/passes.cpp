// The passes of a network built at run time: forward, gradient step and update, each written
// once as a template over a kernel set and instantiated for every kernel path, walking the
// network's tables in the order the generated module's straight-line code follows. Full
// connections take the kernel set's run-time-size kernels; receptive fields take the library
// kernels, as the module does, and every unit kind the library kernels of its row in the table
// of unit kinds (the module's inline and kernel-set copies of them give the same bits).
#include <algorithm>

#include "bp/BpSimFeedback.h"
#include "bp/BpSimKernelSets.h"
#include "bp/BpSimLearn.h"
#include "bp/BpSimTemporal.h"
#include "gen/rtnet/rtnet_state.h"

namespace bpnet {

namespace {

float *at(NetworkState &st, std::int64_t i)
{
    return st.data.data() + i;
}

// The vector a connection reads: the caller's inputs or a layer's activations.
float *source_act(NetworkState &st, const bpm::ConnectionInfo &c)
{
    return c.source == bpm::kInputs ? st.input : at(st, st.layers[static_cast<std::size_t>(c.source)].act);
}

// A connection with receptive fields, forward: the one-dimensional kernels overwrite (the
// layer's first connection) or add; the two-dimensional ones only add, so the activations are
// cleared first when they come first.
void field_forward(NetworkState &st, std::size_t ci, bool first)
{
    const bpm::ConnectionInfo &c = st.connections[ci];
    const bpm::LayerInfo &l = st.layers[static_cast<std::size_t>(c.layer)];
    const float *w = at(st, c.weights), *x = source_act(st, c);
    float *d = at(st, l.act);
    if (c.kind == bpm::kField1d) {
        if (c.shared)
            (first ? BPlvdot_share : BPlvdot_share_sum)(w, x, c.overlap, d, c.field_x, l.size);
        else
            (first ? BPlvdot : BPlvdot_sum)(w, x, c.overlap, d, c.field_x, l.size);
        return;
    }
    if (first)
        std::fill_n(d, l.size, 0.0f);
    if (c.shared)
        BPlvdot2d_share(c.across, c.down, c.field_x, c.field_y, w, x, d, c.overlap, st.s[ci], st.b[ci]);
    else
        BPlvdot2d(c.across, c.down, c.field_x, c.field_y, w, x, d, c.overlap, st.ws[ci], st.s[ci], st.b[ci]);
}

// A connection with receptive fields, gradients: from the inputs, or from a layer, whose
// deltas it also passes back.
void field_grad(NetworkState &st, std::size_t ci)
{
    const bpm::ConnectionInfo &c = st.connections[ci];
    const bpm::LayerInfo &l = st.layers[static_cast<std::size_t>(c.layer)];
    const float *e = at(st, l.delta), *x = source_act(st, c), *w = at(st, c.weights);
    float *g = at(st, c.grads);
    const bool input = c.source == bpm::kInputs;
    float *h = input ? nullptr : at(st, st.layers[static_cast<std::size_t>(c.source)].delta);
    if (c.kind == bpm::kField1d) {
        if (input)
            (c.shared ? BPaccum_weights_from_input_share : BPaccum_weights_from_input)(e, x, g, l.size, c.field_x,
                                                                                         c.overlap);
        else
            (c.shared ? BPaccum_weights_from_hidden_share : BPaccum_weights_from_hidden)(e, x, h, w, g, l.size,
                                                                                           c.field_x, c.overlap);
        return;
    }
    const int U = c.across, R = c.down, KW = c.field_x, KH = c.field_y, ov = c.overlap;
    if (input && c.shared)
        BPaccum2d_weights_from_input_share(U, R, KW, KH, g, x, e, ov, st.s[ci], st.b[ci]);
    else if (input)
        BPaccum2d_weights_from_input(U, R, KW, KH, g, x, e, ov, st.ws[ci], st.s[ci], st.b[ci]);
    else if (c.shared)
        BPaccum2d_weights_from_hidden_share(U, R, KW, KH, w, g, x, h, e, ov, st.s[ci], st.b[ci]);
    else
        BPaccum2d_weights_from_hidden(U, R, KW, KH, w, g, x, h, e, ov, st.ws[ci], st.s[ci], st.b[ci]);
}

// The stored net inputs of a layer, or null where its unit kind stores none.
float *net_inputs(NetworkState &st, std::size_t li)
{
    return st.net[li] < 0 ? nullptr : at(st, st.net[li]);
}

// A layer's unit function with its thresholds.
void units(NetworkState &st, std::size_t li)
{
    const bpm::LayerInfo &l = st.layers[li];
    bpgen::unit_forward(bpgen::unit_kind(st.model.layers[li].unit), at(st, l.act), net_inputs(st, li), at(st, l.thr),
                        l.size);
}

// ---- Feedback. A layer with feedback filters its net input n(t) into s(t) = n(t) +
// a1*s(t-1) + a2*s(t-2) per unit before its unit function; its delays hold s(t), s(t-1) and
// (second order) s(t-2). Every trace is a filter of the same coefficients over the value its
// gradient needs: a weight's over its source value, a1's over s(t-1), a2's over s(t-2).

// The a2 vector of a feedback layer, or null for first order.
float *second_coef(NetworkState &st, std::size_t li)
{
    const bpm::LayerInfo &l = st.layers[li];
    return l.feedback == 2 ? at(st, l.coef + l.size) : nullptr;
}

// The forward filter of a feedback layer: the delays shift, s(t) is formed once and becomes
// the value its unit function and thresholds see.
void filter_forward(NetworkState &st, std::size_t li)
{
    const bpm::LayerInfo &l = st.layers[li];
    const std::int64_t d = st.layout.layers[li].delays;
    const int sz = l.size;
    if (l.feedback == 2)
        std::copy_n(at(st, d + sz), sz, at(st, d + 2 * sz));
    BPTfilter_trace(at(st, l.act), at(st, l.coef), second_coef(st, li), at(st, d), at(st, d + sz), sz, 1, 0);
    std::copy_n(at(st, d), sz, at(st, l.act));
}

// One call of `body` per run of a connection into a feedback layer, in the terms of a
// one-dimensional connection: once for a full or 1-D connection, once per field row (r, j)
// of a 2-D one. `body` gets the offsets added to the source, to the weight-shaped blocks and
// to the unit vectors, then the unit count, the run length and the overlap.
template <typename Body>
void over_rows(const NetworkState &st, std::size_t ci, Body body)
{
    const bpm::ConnectionInfo &c = st.connections[ci];
    const int units = st.layers[static_cast<std::size_t>(c.layer)].size;
    if (c.kind == bpm::kFull) {
        body(0, 0, 0, units, c.source_size, c.source_size);
    } else if (c.kind == bpm::kField1d) {
        body(0, 0, 0, units, c.field_x, c.overlap);
    } else {
        const int U = c.across, KH = c.field_y, S = st.s[ci], B = st.b[ci], WS = st.ws[ci];
        for (int r = 0; r < c.down; r++)
            for (int j = 0; j < KH; j++)
                body(r * (KH * S - B) + j * S, (r * KH + j) * WS, r * U, U, c.field_x, c.overlap);
    }
}

// Moving the traces on after a forward pass of the learning loop: per feedback layer its
// coefficient traces, then the weight traces of its connections.
void trace_pass(NetworkState &st)
{
    for (std::size_t li = 0; li < st.layers.size(); li++) {
        const bpm::LayerInfo &l = st.layers[li];
        if (l.feedback == 0)
            continue;
        const int sz = l.size;
        const std::int64_t d = st.layout.layers[li].delays, r = st.layout.layers[li].coef_traces;
        float *a1 = at(st, l.coef), *a2 = second_coef(st, li);
        // a1's trace over s(t-1), and for second order a2's over s(t-2).
        if (l.feedback == 1) {
            BPTfilter_trace(at(st, d + sz), a1, nullptr, at(st, r), nullptr, sz, 1, 0);
        } else {
            BPTfilter_trace(at(st, d + sz), a1, a2, at(st, r), at(st, r + sz), sz, 1, 0);
            BPTfilter_trace(at(st, d + 2 * sz), a1, a2, at(st, r + 2 * sz), at(st, r + 3 * sz), sz, 1, 0);
        }
        // The weights' traces over their sources.
        for (int ci = l.first; ci < l.first + l.count; ci++) {
            const std::size_t k = static_cast<std::size_t>(ci);
            const bpm::ConnectionInfo &c = st.connections[k];
            const float *x = source_act(st, c);
            const std::int64_t t = st.layout.offsets[k].traces;
            over_rows(st, k, [&](int q, int w, int u, int units, int len, int ov) {
                BPTfilter_trace(x + q, at(st, l.coef + u), a2 != nullptr ? at(st, l.coef + sz + u) : nullptr,
                                at(st, t + w), a2 != nullptr ? at(st, t + c.count + w) : nullptr, units, len, ov);
            });
        }
    }
}

// The gradient of a connection into a feedback layer: through its weights' traces, the error
// passed back through the current weights as without feedback.
void traced_grad(NetworkState &st, std::size_t ci)
{
    const bpm::ConnectionInfo &c = st.connections[ci];
    const bpm::LayerInfo &l = st.layers[static_cast<std::size_t>(c.layer)];
    const std::int64_t t = st.layout.offsets[ci].traces;
    const bool input = c.source == bpm::kInputs;
    const std::int64_t h = input ? 0 : st.layers[static_cast<std::size_t>(c.source)].delta;
    over_rows(st, ci, [&](int q, int w, int u, int units, int len, int ov) {
        BPTaccum_weights_traced(at(st, l.delta + u), at(st, t + w), input ? nullptr : at(st, h + q),
                                at(st, c.weights + w), at(st, c.grads + w), units, len, ov);
    });
}

// Forward pass: each layer's connections in source order (the first overwrites, the rest add),
// then its unit function with the thresholds.
template <class K>
void forward_pass(NetworkState &st)
{
    for (std::size_t li = 0; li < st.layers.size(); li++) {
        const bpm::LayerInfo &l = st.layers[li];
        for (int ci = l.first; ci < l.first + l.count; ci++) {
            const bpm::ConnectionInfo &c = st.connections[static_cast<std::size_t>(ci)];
            const bool first = ci == l.first;
            if (c.kind != bpm::kFull) {
                field_forward(st, static_cast<std::size_t>(ci), first);
                continue;
            }
            if (first)
                K::lvdot(at(st, c.weights), source_act(st, c), at(st, l.act), c.source_size, l.size);
            else
                K::lvdot_sum(at(st, c.weights), source_act(st, c), at(st, l.act), c.source_size, l.size);
        }
        if (l.feedback > 0)
            filter_forward(st, li);
        units(st, li);
    }
}

// Gradient accumulation: the step counted, the hidden deltas cleared, then the layers from the
// output back, each drawing its derivative offset, then its thresholds and connections.
template <class K>
void grad_pass(NetworkState &st)
{
    st.counter = static_cast<int>(static_cast<unsigned>(st.counter) + 1u);
    for (std::size_t li = 0; li + 1 < st.layers.size(); li++)
        std::fill_n(at(st, st.layers[li].delta), st.layers[li].size, 0.0f);
    for (std::size_t li = st.layers.size(); li-- > 0;) {
        const bpm::LayerInfo &l = st.layers[li];
        float *a = at(st, l.act), *e = at(st, l.delta);
        // Drawn for every layer, whether or not its derivative reads it, as the module does.
        const float r = BPrandom_float(&st.random, bpm::kDerivOffsetRange);
        bpgen::unit_derivative(bpgen::unit_kind(st.model.layers[li].unit), a, net_inputs(st, li), e, l.size, r);
        K::accum_biases(at(st, l.thr_grad), e, l.size);
        if (l.feedback > 0) {
            // The coefficients' gradients through their traces.
            const std::int64_t traces = st.layout.layers[li].coef_traces;
            BPTaccum_feedback_weights(at(st, l.coef_grad), e, at(st, traces), l.size);
            if (l.feedback == 2)
                BPTaccum_feedback_weights(at(st, l.coef_grad + l.size), e, at(st, traces + 2 * l.size), l.size);
        }
        for (int ci = l.first; ci < l.first + l.count; ci++) {
            const bpm::ConnectionInfo &c = st.connections[static_cast<std::size_t>(ci)];
            if (l.feedback > 0) {
                traced_grad(st, static_cast<std::size_t>(ci));
                continue;
            }
            if (c.kind != bpm::kFull) {
                field_grad(st, static_cast<std::size_t>(ci));
                continue;
            }
            if (c.source == bpm::kInputs)
                K::accum_weights_from_input(e, st.input, at(st, c.grads), l.size, c.source_size);
            else
                K::accum_weights_from_hidden(e, source_act(st, c),
                                             at(st, st.layers[static_cast<std::size_t>(c.source)].delta),
                                             at(st, c.weights), at(st, c.grads), l.size, c.source_size);
        }
    }
}

// Weight update with momentum: layers from the output back, each layer's thresholds, then its
// connections in source order, every block's gradients cleared after its update.
template <class K>
void update_pass(NetworkState &st, float inertia)
{
    for (std::size_t li = st.layers.size(); li-- > 0;) {
        const bpm::LayerInfo &l = st.layers[li];
        K::update_weights_clear(inertia, at(st, l.thr_grad), at(st, l.thr), at(st, l.thr_step), l.size);
        for (int ci = l.first; ci < l.first + l.count; ci++) {
            const bpm::ConnectionInfo &c = st.connections[static_cast<std::size_t>(ci)];
            K::update_weights_clear(inertia, at(st, c.grads), at(st, c.weights), at(st, c.steps), c.count);
        }
        if (l.feedback > 0) {
            // The coefficients, every step kept inside the stable region.
            const int sz = l.size;
            if (l.feedback == 1)
                BPTupdate_1st(inertia, at(st, l.coef_grad), at(st, l.coef), at(st, l.coef_step), sz);
            else
                BPTupdate_2nd(inertia, at(st, l.coef_grad), at(st, l.coef_grad + sz), at(st, l.coef),
                              at(st, l.coef + sz), at(st, l.coef_step), at(st, l.coef_step + sz), sz);
            std::fill_n(at(st, l.coef_grad), l.feedback * sz, 0.0f);
        }
    }
}

BP_PATH_FUNCTIONS(forward_pass, (NetworkState & st), (st))
BP_PATH_FUNCTIONS(grad_pass, (NetworkState & st), (st))
BP_PATH_FUNCTIONS(update_pass, (NetworkState & st, float inertia), (st, inertia))

}  // namespace

void use_path(NetworkState &st, bp_multi::Path path)
{
    st.path = path;
    st.forward_pass = forward_pass_for(path);
    st.grad_pass = grad_pass_for(path);
    st.update_pass = update_pass_for(path);
}

void propagate_forward(NetworkState &st)
{
    st.forward_pass(st);
}

float calc_error(NetworkState &st)
{
    // The output deltas from the targets, and half the sum of squared differences over the
    // output count, in double, stored as float.
    const bpm::LayerInfo &out = st.layers.back();
    const float half_sum = BPoutput_error(st.target, at(st, out.act), at(st, out.delta),
                                          bpm::output_delta_scale(st.learning_rate), out.size);
    return static_cast<float>(static_cast<bp_wide>(half_sum) / out.size);
}

void calc_grad(NetworkState &st)
{
    st.grad_pass(st);
}

void advance_traces(NetworkState &st)
{
    // Library kernels only: the same on every path.
    trace_pass(st);
}

void update_weights(NetworkState &st, float inertia)
{
    // The gathered gradients are applied on every third learning step.
    if (static_cast<unsigned>(st.counter) % 3u == 0)
        st.update_pass(st, inertia);
}

}  // namespace bpnet
