// A reference network for the generator's tests: it runs any checked description through the
// library kernels with run-time sizes, following the rules that generated modules implement in
// straight-line code (layout, initialization, forward pass, learning step, save file, ASCII
// dumps). Its own state stands in for a module's network_data, laid out by the same rule, so
// a test can compare the two whole.
#ifndef TESTS_SUPPORT_REF_NETWORK_H
#define TESTS_SUPPORT_REF_NETWORK_H

#include <cstdint>
#include <string>
#include <vector>

#include "gen/model.h"

namespace bptest {

struct RefNetwork {
    explicit RefNetwork(const bpgen::Model &model);

    // Offsets of one layer's vectors in `data` (net: quadratic units only, else -1).
    // A layer with feedback also has its coefficients (a1 then a2), their gradients and steps,
    // its delays (s(t), s(t-1), second order s(t-2)) and coefficient traces (R1; second
    // order R1, R1 one step back, R2, R2 one step back); -1 otherwise.
    struct LayerAt {
        int act, delta, net, thr, thr_grad, thr_step;
        int coef = -1, coef_grad = -1, coef_step = -1, delays = -1, coef_traces = -1;
    };
    // One connection: the layer fed, its source (-1: the inputs), array name and blocks, and
    // for a receptive field its geometry in the kernels' terms (field1d: n = kw, m units;
    // field2d: U x R units, KW x KH fields, strides WS, S, B).
    struct ConnectionAt {
        int layer, source, number;
        std::string array;
        int w, g, s, count, source_size;
        int source_dim_x, source_dim_y;
        bpgen::Kind kind;
        bool shared;
        int kw, kh, ov, U, R, WS, S, B;
        int traces = -1;  // into a feedback layer: its weight traces (and one step back)
    };

    bpgen::Model m;
    std::vector<LayerAt> layers;
    std::vector<ConnectionAt> conns;  // by the layer fed, then by source
    std::vector<float> data;
    int counter = 0;
    float rate = 0.2f, inertia = 0.95f, threshold = 0.00005f, range = 0.1f;
    int seed = 123;
    const float *input = nullptr;
    const float *target = nullptr;

    int outputs() const { return m.layers.back().units; }
    const float *output() const { return data.data() + layers.back().act; }
    int trainable() const;

    void init();
    void forward();
    float calc_error();
    void calc_grad();
    void update_weights(float mom);
    // One presentation of the learning loop (after the caller has set input and target).
    void learn_presentation();
    // Move the traces of the feedback layers on (after a forward pass), and zero delays and traces.
    void advance_traces();
    void clear_delays();
    int temporal = -1;  // start of the delays and traces, which run to the end of `data`
    // The bytes of the save file and the text of the ASCII dump.
    std::string save_bytes() const;
    std::string ascii_dump(bool labelled) const;

  private:
    float *at(int i) { return data.data() + i; }
    const float *source(int src) { return src < 0 ? input : at(layers[static_cast<std::size_t>(src)].act); }
};

}  // namespace bptest

#endif
