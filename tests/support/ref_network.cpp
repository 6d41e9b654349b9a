// The reference network: every rule written out as loops over the model, every operation a
// call of the library kernel with run-time sizes.
#include "support/ref_network.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bp/BpSim.h"
#include "bp/BpSimMath.h"
#include "bp/BpSupport.h"

namespace bptest {

namespace {

void put_int(std::string &s, std::int32_t v)
{
    s.append(reinterpret_cast<const char *>(&v), 4);
}

void put_name(std::string &s, const std::string &name)
{
    s += name;
    s += '\0';
}

void put_floats(std::string &s, const float *v, int n)
{
    s.append(reinterpret_cast<const char *>(v), static_cast<std::size_t>(n) * 4);
}

std::string format(const char *fmt, double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

}  // namespace

RefNetwork::RefNetwork(const bpgen::Model &model) : m(model)
{
    // Layout: activations and deltas (and net inputs of quadratic units) layer by layer, then
    // thresholds, threshold gradients and steps layer by layer, then the connections by the
    // layer fed in forward order and by source (inputs first, then layers in forward order),
    // each as weights, gradients, steps.
    int next = 0;
    for (const bpgen::Layer &l : m.layers) {
        LayerAt a{};
        a.act = next;
        a.delta = next + l.units;
        next += 2 * l.units;
        a.net = -1;
        if (l.unit == bpgen::Unit::quadratic) {
            a.net = next;
            next += l.units;
        }
        layers.push_back(a);
    }
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const int n = m.layers[i].units;
        layers[i].thr = next;
        layers[i].thr_grad = next + n;
        layers[i].thr_step = next + 2 * n;
        next += 3 * n;
    }
    int total = 0;
    for (const bpgen::Layer &l : m.layers)
        total += static_cast<int>(l.sources.size());
    int number = total;  // numbered from 1 on the output side
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const bpgen::Layer &l = m.layers[i];
        // Sources by index, each with its field.
        std::vector<std::pair<int, bpgen::Link>> srcs;
        for (std::size_t k = 0; k < l.sources.size(); k++)
            srcs.emplace_back(l.sources[k], l.links[k]);
        std::sort(srcs.begin(), srcs.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[src, link] : srcs) {
            ConnectionAt c{};
            c.layer = static_cast<int>(i);
            c.source = src;
            const bpgen::Layer *from = src < 0 ? nullptr : &m.layers[static_cast<std::size_t>(src)];
            c.source_size = from ? from->units : m.inputs;
            c.source_dim_x = from ? from->dim_x : m.input_dim_x;
            c.source_dim_y = from ? from->dim_y : m.input_dim_y;
            c.kind = link.kind;
            c.shared = link.shared;
            c.kw = link.field_x;
            c.kh = link.field_y;
            c.ov = link.overlap;
            switch (link.kind) {
            case bpgen::Kind::full:
                // Every unit reads the whole source: a field of the source's size, overlapping
                // itself entirely.
                c.kw = c.source_size;
                c.ov = c.source_size;
                c.count = l.units * c.source_size;
                break;
            case bpgen::Kind::field1d:
                c.count = c.shared ? c.kw : l.units * c.kw;
                break;
            case bpgen::Kind::field2d:
                // The fields step KW - ov along a source row and KH - ov rows down.
                c.U = (c.source_dim_x - c.kw) / (c.kw - c.ov) + 1;
                c.R = (c.source_dim_y - c.kh) / (c.kh - c.ov) + 1;
                c.S = c.source_dim_x;
                c.B = c.ov * c.S;
                c.WS = c.U * c.kw;
                c.count = c.shared ? c.kh * c.kw : c.R * c.kh * c.U * c.kw;
                break;
            }
            c.w = next;
            c.g = next + c.count;
            c.s = next + 2 * c.count;
            next += 3 * c.count;
            conns.push_back(c);
        }
    }
    for (ConnectionAt &c : conns) {
        // The numbers count down along the save order.
        c.number = number--;
        c.array = m.layers[static_cast<std::size_t>(c.layer)].name + std::to_string(c.number);
    }
    // Feedback: the coefficient blocks layer by layer, then the temporal state: delays and
    // coefficient traces layer by layer, then the weight traces connection by connection.
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const int k = m.layers[i].feedback * m.layers[i].units;
        if (k == 0)
            continue;
        layers[i].coef = next;
        layers[i].coef_grad = next + k;
        layers[i].coef_step = next + 2 * k;
        next += 3 * k;
    }
    for (std::size_t i = 0; i < m.layers.size(); i++) {
        const int order = m.layers[i].feedback, n = m.layers[i].units;
        if (order == 0)
            continue;
        if (temporal < 0)
            temporal = next;
        layers[i].delays = next;
        next += (order + 1) * n;
        layers[i].coef_traces = next;
        next += (order == 1 ? 1 : 4) * n;
    }
    for (ConnectionAt &c : conns) {
        const int order = m.layers[static_cast<std::size_t>(c.layer)].feedback;
        if (order == 0)
            continue;
        c.traces = next;
        next += order * c.count;
    }
    data.assign(static_cast<std::size_t>(next), 0.0f);
}

int RefNetwork::trainable() const
{
    int n = 0;
    for (const bpgen::Layer &l : m.layers)
        n += l.units;
    for (const ConnectionAt &c : conns)
        n += c.count;
    for (const bpgen::Layer &l : m.layers)
        n += l.feedback * l.units;
    return n;
}

void RefNetwork::init()
{
    BPfrandom_init(seed);
    std::fill(data.begin(), data.end(), 0.0f);
    BPinit_sigmoid_table();
    const float width = static_cast<float>(2.0 * range);
    for (int li = static_cast<int>(m.layers.size()) - 1; li >= 0; li--) {
        auto draw = [&](int start, int n) {
            for (int i = 0; i < n; i++)
                data[static_cast<std::size_t>(start + i)] = static_cast<float>(static_cast<double>(BPfrandom(width)) - range);
        };
        draw(layers[static_cast<std::size_t>(li)].thr, m.layers[static_cast<std::size_t>(li)].units);
        for (const ConnectionAt &c : conns)
            if (c.layer == li)
                draw(c.w, c.count);
    }
}

void RefNetwork::forward()
{
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const bpgen::Layer &l = m.layers[li];
        const LayerAt &a = layers[li];
        bool first = true;
        for (const ConnectionAt &c : conns) {
            if (c.layer != static_cast<int>(li))
                continue;
            const float *x = source(c.source);
            switch (c.kind) {
            case bpgen::Kind::full:
            case bpgen::Kind::field1d:
                if (c.shared)
                    (first ? BPlvdot_share : BPlvdot_share_sum)(at(c.w), x, c.ov, at(a.act), c.kw, l.units);
                else
                    (first ? BPlvdot : BPlvdot_sum)(at(c.w), x, c.ov, at(a.act), c.kw, l.units);
                break;
            case bpgen::Kind::field2d:
                // The two-dimensional kernels only add.
                if (first)
                    std::fill_n(at(a.act), l.units, 0.0f);
                if (c.shared)
                    BPlvdot2d_share(c.U, c.R, c.kw, c.kh, at(c.w), x, at(a.act), c.ov, c.S, c.B);
                else
                    BPlvdot2d(c.U, c.R, c.kw, c.kh, at(c.w), x, at(a.act), c.ov, c.WS, c.S, c.B);
                break;
            }
            first = false;
        }
        if (l.feedback > 0) {
            // s(t) = n(t) + a1*s(t-1) + a2*s(t-2): delays s(t-1) -> s(t-2) first, then the step.
            const int n = l.units;
            if (l.feedback == 2)
                std::copy_n(at(a.delays + n), n, at(a.delays + 2 * n));
            BPTfilter_trace(at(a.act), at(a.coef), l.feedback == 2 ? at(a.coef + n) : nullptr, at(a.delays),
                            at(a.delays + n), n, 1, 0);
            std::copy_n(at(a.delays), n, at(a.act));
        }
        switch (l.unit) {
        case bpgen::Unit::logistic: BPsig1(at(a.act), at(a.thr), l.units); break;
        case bpgen::Unit::centred: BPsig2(at(a.act), at(a.thr), l.units); break;
        case bpgen::Unit::tanh: BPsig3(at(a.act), at(a.thr), l.units); break;
        case bpgen::Unit::linear: BPlinear(at(a.act), at(a.thr), l.units); break;
        case bpgen::Unit::quadratic: BPquadratic(at(a.act), at(a.net), at(a.thr), l.units); break;
        case bpgen::Unit::relu: BPrelu(at(a.act), at(a.thr), l.units); break;
        case bpgen::Unit::softmax: BPsoftmax(at(a.act), at(a.thr), l.units); break;
        }
    }
}

float RefNetwork::calc_error()
{
    const float scale = static_cast<float>(0.333333 * static_cast<double>(rate));
    const float half = BPoutput_error(target, at(layers.back().act), at(layers.back().delta), scale, outputs());
    if (m.layers.back().unit != bpgen::Unit::softmax)
        return static_cast<float>(static_cast<double>(half) / outputs());
    // The cross-entropy: -sum of t ln o in double, zero targets skipped, outputs clipped at 1e-7.
    double sum = 0.0;
    for (int i = 0; i < outputs(); i++) {
        const double o = std::max(static_cast<double>(at(layers.back().act)[i]), 1e-7);
        if (target[i] != 0.0f)
            sum -= static_cast<double>(target[i]) * bp_log(o);
    }
    return static_cast<float>(sum);
}

void RefNetwork::calc_grad()
{
    counter = static_cast<int>(static_cast<unsigned>(counter) + 1u);
    for (std::size_t li = 0; li + 1 < m.layers.size(); li++)
        std::fill_n(at(layers[li].delta), m.layers[li].units, 0.0f);
    for (int li = static_cast<int>(m.layers.size()) - 1; li >= 0; li--) {
        const bpgen::Layer &l = m.layers[static_cast<std::size_t>(li)];
        const LayerAt &a = layers[static_cast<std::size_t>(li)];
        const float r = BPfrandom(0.05f);
        switch (l.unit) {
        case bpgen::Unit::logistic: BPderiv_sig1(at(a.act), at(a.delta), l.units, r); break;
        case bpgen::Unit::centred: BPderiv_sig2(at(a.act), at(a.delta), l.units, r); break;
        case bpgen::Unit::tanh: BPderiv_sig3(at(a.act), at(a.delta), l.units, r); break;
        case bpgen::Unit::linear: break;
        case bpgen::Unit::quadratic: BPderiv_quadratic(at(a.net), at(a.delta), l.units); break;
        case bpgen::Unit::relu: BPderiv_relu(at(a.act), at(a.delta), l.units, r); break;
        case bpgen::Unit::softmax: break;
        }
        BPaccum_biases(at(a.thr_grad), at(a.delta), l.units);
        if (l.feedback > 0) {
            BPTaccum_feedback_weights(at(a.coef_grad), at(a.delta), at(a.coef_traces), l.units);
            if (l.feedback == 2)
                BPTaccum_feedback_weights(at(a.coef_grad + l.units), at(a.delta), at(a.coef_traces + 2 * l.units),
                                          l.units);
        }
        for (const ConnectionAt &c : conns) {
            if (c.layer != li)
                continue;
            const bool from_input = c.source < 0;
            const float *x = source(c.source);
            float *h = from_input ? nullptr : at(layers[static_cast<std::size_t>(c.source)].delta);
            if (l.feedback > 0) {
                // Through the weight traces; 2-D fields row by row of fields.
                if (c.kind != bpgen::Kind::field2d) {
                    BPTaccum_weights_traced(at(a.delta), at(c.traces), h, at(c.w), at(c.g), l.units, c.kw, c.ov);
                    continue;
                }
                for (int row = 0; row < c.R; row++)
                    for (int j = 0; j < c.kh; j++) {
                        const int o = (row * c.kh + j) * c.WS, q = row * (c.kh * c.S - c.B) + j * c.S;
                        BPTaccum_weights_traced(at(a.delta + row * c.U), at(c.traces + o), h ? h + q : nullptr, at(c.w + o),
                                                at(c.g + o), c.U, c.kw, c.ov);
                    }
                continue;
            }
            if (c.kind != bpgen::Kind::field2d) {
                if (from_input)
                    (c.shared ? BPaccum_weights_from_input_share
                              : BPaccum_weights_from_input)(at(a.delta), x, at(c.g), l.units, c.kw, c.ov);
                else
                    (c.shared ? BPaccum_weights_from_hidden_share
                              : BPaccum_weights_from_hidden)(at(a.delta), x, h, at(c.w), at(c.g), l.units, c.kw, c.ov);
            } else if (from_input) {
                if (c.shared)
                    BPaccum2d_weights_from_input_share(c.U, c.R, c.kw, c.kh, at(c.g), x, at(a.delta), c.ov, c.S, c.B);
                else
                    BPaccum2d_weights_from_input(c.U, c.R, c.kw, c.kh, at(c.g), x, at(a.delta), c.ov, c.WS, c.S, c.B);
            } else {
                if (c.shared)
                    BPaccum2d_weights_from_hidden_share(c.U, c.R, c.kw, c.kh, at(c.w), at(c.g), x, h, at(a.delta), c.ov,
                                                        c.S, c.B);
                else
                    BPaccum2d_weights_from_hidden(c.U, c.R, c.kw, c.kh, at(c.w), at(c.g), x, h, at(a.delta), c.ov, c.WS,
                                                  c.S, c.B);
            }
        }
    }
}

void RefNetwork::update_weights(float mom)
{
    if (static_cast<unsigned>(counter) % 3u != 0)
        return;
    auto update = [&](int values, int grads, int steps, int n) {
        BPupdate_weights(mom, at(grads), at(values), at(steps), n);
        std::fill_n(at(grads), n, 0.0f);
    };
    for (int li = static_cast<int>(m.layers.size()) - 1; li >= 0; li--) {
        const LayerAt &a = layers[static_cast<std::size_t>(li)];
        update(a.thr, a.thr_grad, a.thr_step, m.layers[static_cast<std::size_t>(li)].units);
        for (const ConnectionAt &c : conns)
            if (c.layer == li)
                update(c.w, c.g, c.s, c.count);
        const int order = m.layers[static_cast<std::size_t>(li)].feedback, n = m.layers[static_cast<std::size_t>(li)].units;
        if (order == 1)
            BPTupdate_1st(mom, at(a.coef_grad), at(a.coef), at(a.coef_step), n);
        if (order == 2)
            BPTupdate_2nd(mom, at(a.coef_grad), at(a.coef_grad + n), at(a.coef), at(a.coef + n), at(a.coef_step),
                          at(a.coef_step + n), n);
        if (order > 0)
            std::fill_n(at(a.coef_grad), order * n, 0.0f);
    }
}

void RefNetwork::advance_traces()
{
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        const bpgen::Layer &l = m.layers[li];
        const LayerAt &a = layers[li];
        const int n = l.units, order = l.feedback;
        if (order == 0)
            continue;
        const float *a1 = at(a.coef);
        const float *a2 = order == 2 ? at(a.coef + n) : nullptr;
        // R1 over s(t-1), R2 over s(t-2): after the forward pass these are delays 1 and 2.
        BPTfilter_trace(at(a.delays + n), a1, a2, at(a.coef_traces), order == 2 ? at(a.coef_traces + n) : nullptr, n, 1, 0);
        if (order == 2)
            BPTfilter_trace(at(a.delays + 2 * n), a1, a2, at(a.coef_traces + 2 * n), at(a.coef_traces + 3 * n), n, 1, 0);
        for (const ConnectionAt &c : conns) {
            if (c.layer != static_cast<int>(li))
                continue;
            const float *x = source(c.source);
            float *t2 = order == 2 ? at(c.traces + c.count) : nullptr;
            if (c.kind != bpgen::Kind::field2d) {
                BPTfilter_trace(x, a1, a2, at(c.traces), t2, n, c.kw, c.ov);
                continue;
            }
            for (int r = 0; r < c.R; r++)
                for (int j = 0; j < c.kh; j++) {
                    const int o = (r * c.kh + j) * c.WS, q = r * (c.kh * c.S - c.B) + j * c.S;
                    BPTfilter_trace(x + q, a1 + r * c.U, a2 ? a2 + r * c.U : nullptr, at(c.traces + o), t2 ? t2 + o : nullptr,
                                    c.U, c.kw, c.ov);
                }
        }
    }
}

void RefNetwork::clear_delays()
{
    if (temporal >= 0)
        std::fill(data.begin() + temporal, data.end(), 0.0f);
}

void RefNetwork::learn_presentation()
{
    forward();
    advance_traces();
    if (calc_error() > threshold) {
        calc_grad();
        update_weights(inertia);
    }
}

std::string RefNetwork::save_bytes() const
{
    std::string rec;
    put_name(rec, m.network);
    put_int(rec, counter);
    int arrays = 0;
    for (const bpgen::Layer &l : m.layers)
        arrays += l.feedback;
    put_int(rec, static_cast<std::int32_t>(m.layers.size()) + arrays);
    for (std::size_t li = 0; li < m.layers.size(); li++) {
        put_name(rec, m.layers[li].name);
        put_int(rec, m.layers[li].units);
        put_floats(rec, data.data() + layers[li].thr, m.layers[li].units);
    }
    // The feedback arrays "L:a1" and "L:a2" after the layers.
    for (std::size_t li = 0; li < m.layers.size(); li++)
        for (int k = 0; k < m.layers[li].feedback; k++) {
            put_name(rec, m.layers[li].name + (k == 0 ? ":a1" : ":a2"));
            put_int(rec, m.layers[li].units);
            put_floats(rec, data.data() + layers[li].coef + k * m.layers[li].units, m.layers[li].units);
        }
    put_int(rec, static_cast<std::int32_t>(conns.size()));
    for (const ConnectionAt &c : conns) {
        put_name(rec, m.layers[static_cast<std::size_t>(c.layer)].name);
        put_name(rec, c.array);
        put_int(rec, c.count);
        put_floats(rec, data.data() + c.w, c.count);
    }
    std::string file;
    put_int(file, 100);
    put_int(file, 7);
    put_int(file, 0);
    file.append(256, '\0');
    put_int(file, 1);
    put_int(file, static_cast<std::int32_t>(rec.size()));
    return file + rec;
}

std::string RefNetwork::ascii_dump(bool labelled) const
{
    std::string s;
    const auto add = [&s](const std::string &piece) { s += piece; };
    if (labelled) {
        add("\n\nBlackBox: ");
        add(m.network);
        add("\nIterations: ");
    } else {
        add("\n\n#\n");
    }
    add(std::to_string(counter));
    // Unit i of a layer X units wide is Node[i mod X, i div X].
    const auto label = [&](int i, int x) {
        add("\nNode[");
        add(std::to_string(i % x));
        add(",");
        add(std::to_string(i / x));
        add("]:");
    };
    for (int li = static_cast<int>(m.layers.size()) - 1; li >= 0; li--) {
        const bpgen::Layer &l = m.layers[static_cast<std::size_t>(li)];
        const LayerAt &a = layers[static_cast<std::size_t>(li)];
        if (labelled) {
            add("\nLayer: ");
            add(m.network);
            add(":");
            add(l.name);
        }
        for (int i = 0; i < l.units; i++) {
            const double v = data[static_cast<std::size_t>(a.thr + i)];
            if (labelled) {
                label(i, l.dim_x);
                add("\n   Bias=");
            } else {
                add("\n");
            }
            add(format("%.12f", v));
        }
        for (const ConnectionAt &c : conns) {
            if (c.layer != li)
                continue;
            if (labelled) {
                add("\nConnection from ");
                add(c.source < 0 ? std::string("$INPUTS") : m.network + ":" + m.layers[static_cast<std::size_t>(c.source)].name);
                add(":");
            }
            const auto weight = [&](int k) { add(format("%.12f ", data[static_cast<std::size_t>(c.w + k)])); };
            if (!labelled) {
                // Storage order, one a line.
                for (int k = 0; k < c.count; k++) {
                    add("\n");
                    weight(k);
                }
            } else if (c.shared) {
                // The one row or kernel, once, as unit 0.
                label(0, 1);
                add("\n");
                for (int k = 0; k < c.count; k++)
                    weight(k);
            } else if (c.kind == bpgen::Kind::field2d) {
                // Each unit (u, r) in unit order, its field rows one after another.
                for (int i = 0; i < l.units; i++) {
                    const int u = i % c.U, r = i / c.U;
                    label(i, l.dim_x);
                    add("\n");
                    for (int j = 0; j < c.kh; j++)
                        for (int k = 0; k < c.kw; k++)
                            weight((r * c.kh + j) * c.WS + u * c.kw + k);
                }
            } else {
                // One row per unit.
                for (int i = 0; i < l.units; i++) {
                    label(i, l.dim_x);
                    add("\n");
                    for (int k = 0; k < c.kw; k++)
                        weight(i * c.kw + k);
                }
            }
        }
        if (l.feedback > 0) {
            // Labelled: each unit's a1 (and a2) on its row; bare: every a1, then every a2.
            const auto coef = [&](int k) { add(format("%.12f ", data[static_cast<std::size_t>(a.coef + k)])); };
            if (!labelled) {
                for (int k = 0; k < l.feedback * l.units; k++) {
                    add("\n");
                    coef(k);
                }
            } else {
                add(l.feedback == 1 ? "\nFeedback a1:" : "\nFeedback a1 a2:");
                for (int i = 0; i < l.units; i++) {
                    label(i, l.dim_x);
                    add("\n");
                    for (int k = 0; k < l.feedback; k++)
                        coef(k * l.units + i);
                }
            }
        }
    }
    if (!labelled)
        add("\n\n#");
    add("\n");
    return s;
}

}  // namespace bptest
