// The passes of a network built at run time: the walks of gen/passes.h, the ones a generated
// module's straight-line code is printed from, run by a kernel set that calls the kernels on the
// network's data, instantiated for every kernel path. Full connections take the path's
// run-time-size kernels; receptive fields take the library kernels, as the module does, and
// every unit kind the library kernels of its row in the table of unit kinds (the module's
// inline and kernel-set copies of them give the same bits).
#include <algorithm>

#include "bp/BpSimFeedback.h"
#include "bp/BpSimKernelSets.h"
#include "bp/BpSimLearn.h"
#include "bp/BpSimTemporal.h"
#include "gen/passes.h"
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

// The stored net inputs of a layer, or null where its unit kind stores none.
float *net_inputs(NetworkState &st, std::size_t li)
{
    return st.net[li] < 0 ? nullptr : at(st, st.net[li]);
}

// The kernel set that runs the passes' steps on a network's state, K the kernels of a path.
// Full connections take K's run-time-size kernels; receptive fields and the feedback steps the
// library kernels, every unit kind the library kernels of its row in the table of unit kinds.
template <class K>
struct Execute {
    NetworkState &st;
    float r = 0.0f;  // the derivative offset of the layer in hand

    const bpm::LayerInfo &layer(int li) const { return st.layers[static_cast<std::size_t>(li)]; }
    const bpm::ConnectionInfo &conn(std::size_t ci) const { return st.connections[ci]; }
    const bpm::LayerInfo &fed(std::size_t ci) const { return layer(conn(ci).layer); }
    // The deltas of a connection's source layer (null for the inputs).
    float *source_delta(std::size_t ci) const
    {
        const bpm::ConnectionInfo &c = conn(ci);
        return c.source == bpm::kInputs ? nullptr : at(st, layer(c.source).delta);
    }
    // The a2 vector of a feedback layer, or null for first order.
    float *second_coef(int li) const
    {
        const bpm::LayerInfo &l = layer(li);
        return l.feedback == 2 ? at(st, l.coef + l.size) : nullptr;
    }
    std::int64_t delays(int li) const { return st.layout.layers[static_cast<std::size_t>(li)].delays; }

    // ---- Forward.
    void forward_layer(int) {}
    void full_forward(std::size_t ci, bool first)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const bpm::LayerInfo &l = fed(ci);
        if (first)
            K::lvdot(at(st, c.weights), source_act(st, c), at(st, l.act), c.source_size, l.size);
        else
            K::lvdot_sum(at(st, c.weights), source_act(st, c), at(st, l.act), c.source_size, l.size);
    }
    void field1d_forward(std::size_t ci, bool first)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const bpm::LayerInfo &l = fed(ci);
        const float *w = at(st, c.weights), *x = source_act(st, c);
        float *d = at(st, l.act);
        if (c.shared)
            (first ? BPlvdot_share : BPlvdot_share_sum)(w, x, c.overlap, d, c.field_x, l.size);
        else
            (first ? BPlvdot : BPlvdot_sum)(w, x, c.overlap, d, c.field_x, l.size);
    }
    void clear_activations(int li) { std::fill_n(at(st, layer(li).act), layer(li).size, 0.0f); }
    void field2d_forward(std::size_t ci, bool)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const float *w = at(st, c.weights), *x = source_act(st, c);
        float *d = at(st, fed(ci).act);
        if (c.shared)
            BPlvdot2d_share(c.across, c.down, c.field_x, c.field_y, w, x, d, c.overlap, st.s[ci], st.b[ci]);
        else
            BPlvdot2d(c.across, c.down, c.field_x, c.field_y, w, x, d, c.overlap, st.ws[ci], st.s[ci], st.b[ci]);
    }
    void filter_layer(int) {}
    void shift_delays(int li)
    {
        const int sz = layer(li).size;
        std::copy_n(at(st, delays(li) + sz), sz, at(st, delays(li) + 2 * sz));
    }
    void filter(int li)
    {
        const bpm::LayerInfo &l = layer(li);
        BPTfilter_trace(at(st, l.act), at(st, l.coef), second_coef(li), at(st, delays(li)), at(st, delays(li) + l.size),
                        l.size, 1, 0);
    }
    void keep_filtered(int li) { std::copy_n(at(st, delays(li)), layer(li).size, at(st, layer(li).act)); }
    void units(int li)
    {
        const bpm::LayerInfo &l = layer(li);
        const std::size_t i = static_cast<std::size_t>(li);
        bpgen::unit_forward(bpgen::unit_kind(st.model.layers[i].unit), at(st, l.act), net_inputs(st, i), at(st, l.thr),
                            l.size);
    }

    // ---- Gradient step.
    void count_step() { st.counter = static_cast<int>(static_cast<unsigned>(st.counter) + 1u); }
    void hidden_deltas() {}
    void clear_deltas(int li) { std::fill_n(at(st, layer(li).delta), layer(li).size, 0.0f); }
    void offsets() {}
    void gradient_layer(int) {}
    void draw_offset(int) { r = BPrandom_float(&st.random, bpm::kDerivOffsetRange); }
    void derivative(int li)
    {
        const bpm::LayerInfo &l = layer(li);
        const std::size_t i = static_cast<std::size_t>(li);
        bpgen::unit_derivative(bpgen::unit_kind(st.model.layers[i].unit), at(st, l.act), net_inputs(st, i),
                               at(st, l.delta), l.size, r);
    }
    void accum_thresholds(int li) { K::accum_biases(at(st, layer(li).thr_grad), at(st, layer(li).delta), layer(li).size); }
    void accum_coefficients(int li, int coef, int trace)
    {
        const bpm::LayerInfo &l = layer(li);
        const std::int64_t traces = st.layout.layers[static_cast<std::size_t>(li)].coef_traces;
        BPTaccum_feedback_weights(at(st, l.coef_grad + coef * l.size), at(st, l.delta), at(st, traces + trace * l.size),
                                  l.size);
    }
    void traced_gradient(std::size_t ci, const bpgen::Runs &runs)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const bpm::LayerInfo &l = fed(ci);
        const std::int64_t t = st.layout.offsets[ci].traces;
        float *h = source_delta(ci);
        bpgen::for_each_run(runs, [&](std::int64_t q, std::int64_t w, std::int64_t u) {
            BPTaccum_weights_traced(at(st, l.delta + u), at(st, t + w), h != nullptr ? h + q : nullptr,
                                    at(st, c.weights + w), at(st, c.grads + w), runs.units, runs.length, runs.overlap);
        });
    }
    void field1d_gradient(std::size_t ci)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const bpm::LayerInfo &l = fed(ci);
        const float *e = at(st, l.delta), *x = source_act(st, c), *w = at(st, c.weights);
        float *g = at(st, c.grads), *h = source_delta(ci);
        if (h == nullptr)
            (c.shared ? BPaccum_weights_from_input_share : BPaccum_weights_from_input)(e, x, g, l.size, c.field_x,
                                                                                         c.overlap);
        else
            (c.shared ? BPaccum_weights_from_hidden_share : BPaccum_weights_from_hidden)(e, x, h, w, g, l.size,
                                                                                           c.field_x, c.overlap);
    }
    void field2d_gradient(std::size_t ci)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const float *e = at(st, fed(ci).delta), *x = source_act(st, c), *w = at(st, c.weights);
        float *g = at(st, c.grads), *h = source_delta(ci);
        const int U = c.across, R = c.down, KW = c.field_x, KH = c.field_y, ov = c.overlap;
        if (h == nullptr && c.shared)
            BPaccum2d_weights_from_input_share(U, R, KW, KH, g, x, e, ov, st.s[ci], st.b[ci]);
        else if (h == nullptr)
            BPaccum2d_weights_from_input(U, R, KW, KH, g, x, e, ov, st.ws[ci], st.s[ci], st.b[ci]);
        else if (c.shared)
            BPaccum2d_weights_from_hidden_share(U, R, KW, KH, w, g, x, h, e, ov, st.s[ci], st.b[ci]);
        else
            BPaccum2d_weights_from_hidden(U, R, KW, KH, w, g, x, h, e, ov, st.ws[ci], st.s[ci], st.b[ci]);
    }
    void gradient_from_input(std::size_t ci)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const bpm::LayerInfo &l = fed(ci);
        K::accum_weights_from_input(at(st, l.delta), st.input, at(st, c.grads), l.size, c.source_size);
    }
    void gradient_from_hidden(std::size_t ci)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const bpm::LayerInfo &l = fed(ci);
        K::accum_weights_from_hidden(at(st, l.delta), source_act(st, c), source_delta(ci), at(st, c.weights),
                                     at(st, c.grads), l.size, c.source_size);
    }

    // ---- Update; `inertia` is the momentum of this update.
    float inertia = 0.0f;
    void update_layer(int) {}
    void update_thresholds(int li)
    {
        const bpm::LayerInfo &l = layer(li);
        K::update_weights_clear(inertia, at(st, l.thr_grad), at(st, l.thr), at(st, l.thr_step), l.size);
    }
    void update_connection(std::size_t ci)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        K::update_weights_clear(inertia, at(st, c.grads), at(st, c.weights), at(st, c.steps), c.count);
    }
    void update_coefficients_1st(int li)
    {
        const bpm::LayerInfo &l = layer(li);
        BPTupdate_1st(inertia, at(st, l.coef_grad), at(st, l.coef), at(st, l.coef_step), l.size);
    }
    void update_coefficients_2nd(int li)
    {
        const bpm::LayerInfo &l = layer(li);
        const int sz = l.size;
        BPTupdate_2nd(inertia, at(st, l.coef_grad), at(st, l.coef_grad + sz), at(st, l.coef), at(st, l.coef + sz),
                      at(st, l.coef_step), at(st, l.coef_step + sz), sz);
    }
    void clear_coefficient_gradients(int li)
    {
        std::fill_n(at(st, layer(li).coef_grad), layer(li).feedback * layer(li).size, 0.0f);
    }

    // ---- Traces.
    void trace_layer(int) {}
    void coefficient_trace(int li, int delay, int trace)
    {
        const bpm::LayerInfo &l = layer(li);
        const int sz = l.size;
        const std::int64_t rt = st.layout.layers[static_cast<std::size_t>(li)].coef_traces;
        float *a2 = second_coef(li);
        BPTfilter_trace(at(st, delays(li) + delay * sz), at(st, l.coef), a2, at(st, rt + trace * sz),
                        a2 != nullptr ? at(st, rt + (trace + 1) * sz) : nullptr, sz, 1, 0);
    }
    void weight_trace(std::size_t ci, const bpgen::Runs &runs)
    {
        const bpm::ConnectionInfo &c = conn(ci);
        const bpm::LayerInfo &l = fed(ci);
        const float *x = source_act(st, c);
        const std::int64_t t = st.layout.offsets[ci].traces;
        const bool second = l.feedback == 2;
        bpgen::for_each_run(runs, [&](std::int64_t q, std::int64_t w, std::int64_t u) {
            BPTfilter_trace(x + q, at(st, l.coef + u), second ? at(st, l.coef + l.size + u) : nullptr, at(st, t + w),
                            second ? at(st, t + c.count + w) : nullptr, runs.units, runs.length, runs.overlap);
        });
    }
};

template <class K>
void forward_pass(NetworkState &st)
{
    Execute<K> k{st};
    bpgen::walk_forward(st.model, st.layout, k);
}

template <class K>
void grad_pass(NetworkState &st)
{
    Execute<K> k{st};
    bpgen::walk_gradient(st.model, st.layout, k);
}

template <class K>
void update_pass(NetworkState &st, float inertia)
{
    Execute<K> k{st};
    k.inertia = inertia;
    bpgen::walk_update(st.model, k);
}

// Library kernels only: the same on every path.
void trace_pass(NetworkState &st)
{
    Execute<bp_multi::PortableKernels> k{st};
    bpgen::walk_traces(st.model, st.layout, k);
}

BP_PATH_FUNCTIONS(forward_pass, (NetworkState & st), (st))
BP_PATH_FUNCTIONS(grad_pass, (NetworkState & st), (st))
BP_PATH_FUNCTIONS(update_pass, (NetworkState & st, float inertia), (st, inertia))

}  // namespace

void use_path(NetworkState &st, bp_multi::Path path)
{
    st.path = path;
    st.module.path = static_cast<int>(path);
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
    // The output deltas from the targets, and the presentation's error by the output layer's kind.
    const bpm::LayerInfo &out = st.layers.back();
    const float half_sum = BPoutput_error(st.target, at(st, out.act), at(st, out.delta),
                                          bpm::output_delta_scale(st.learning_rate), out.size);
    return bpm::presentation_error(st.target, at(st, out.act), out.size, half_sum,
                                   bpgen::unit_kind(st.model.layers.back().unit).output_only);
}

void calc_grad(NetworkState &st)
{
    st.grad_pass(st);
}

void advance_traces(NetworkState &st)
{
    trace_pass(st);
}

void update_weights(NetworkState &st, float inertia)
{
    // The gathered gradients are applied on every third learning step.
    if (static_cast<unsigned>(st.counter) % 3u == 0)
        st.update_pass(st, inertia);
}

}  // namespace bpnet
