// Exact straight-line floors of the forward pass and of one learning presentation.
#include "bench/bench_floor.h"

#include <cmath>
#include <cstdlib>

#include "bp/BpSimInline.h"
#include "reference/nn_layout.h"

using namespace nn_layout;

namespace bench_floor {

float state[NN_DATA_SIZE];
unsigned counter;

namespace {

// Logistic unit of a stored net input v: saturation, NaN kept, else 0.5 + table[trunc(64v + 0.5)].
inline float unit(float v, const float *table)
{
    if (__builtin_expect(std::fabs(v) < 8.0f, 1))
        return static_cast<float>(0.5 + static_cast<double>(table[static_cast<int>(static_cast<double>(v) * 64.0 + 0.5)]));
    if (v != v)
        return v;
    return v > 0.0f ? 0.999999f : 0.000001f;
}

// Rounded sum of a float and a wide value, as every accumulating store does.
inline float add(float a, double b)
{
    return static_cast<float>(static_cast<double>(a) + b);
}

// The forward pass into h1, h2 and o; inputs read once.
inline void forward_body(const float *in, float *h1, float *h2, float *o)
{
    const float *s = state;
    const float *table = bp_sigmoid::sigmoid_ptr;
    const double x0 = in[0];
    const double x1 = in[1];
    for (int i = 0; i < kH1; i++) {
        const float *w = s + kW_H1_In + 2 * i;
        const float a = static_cast<float>(w[0] * x0 + w[1] * x1);
        h1[i] = unit(add(a, s[kH1Thr + i]), table);
    }
    for (int i = 0; i < kH2; i++) {
        const float *w = s + kW_H2_In + 2 * i;
        const float *u = s + kW_H2_H1 + 4 * i;
        float a = static_cast<float>(w[0] * x0 + w[1] * x1);
        a = add(a, u[0] * static_cast<double>(h1[0]) + u[1] * static_cast<double>(h1[1]) +
                       u[2] * static_cast<double>(h1[2]) + u[3] * static_cast<double>(h1[3]));
        h2[i] = unit(add(a, s[kH2Thr + i]), table);
    }
    for (int i = 0; i < kOut; i++) {
        const float *w = s + kW_Out_In + 2 * i;
        const float *u = s + kW_Out_H1 + 4 * i;
        const float *z = s + kW_Out_H2 + 2 * i;
        float a = static_cast<float>(w[0] * x0 + w[1] * x1);
        a = add(a, u[0] * static_cast<double>(h1[0]) + u[1] * static_cast<double>(h1[1]) +
                       u[2] * static_cast<double>(h1[2]) + u[3] * static_cast<double>(h1[3]));
        a = add(a, z[0] * static_cast<double>(h2[0]) + z[1] * static_cast<double>(h2[1]));
        o[i] = unit(add(a, s[kOutThr + i]), table);
    }
}

inline void store_activations(const float *h1, const float *h2, const float *o)
{
    for (int i = 0; i < kH1; i++)
        state[kH1Act + i] = h1[i];
    for (int i = 0; i < kH2; i++)
        state[kH2Act + i] = h2[i];
    for (int i = 0; i < kOut; i++)
        state[kOutAct + i] = o[i];
}

// Derivative factor with offset r applied to a delta.
inline float deriv(float a, float r, float e)
{
    const double v = a;
    return static_cast<float>((v * (1.0 - v) + r) * e);
}

// Momentum update of one block, gradients cleared.
template <int n>
inline void update(float mom, int values, int grads, int steps)
{
    float *s = state;
    for (int i = 0; i < n; i++) {
        const double step = static_cast<double>(mom) * s[steps + i] + s[grads + i];
        s[values + i] = add(s[values + i], step);
        s[steps + i] = static_cast<float>(step);
        s[grads + i] = 0.0f;
    }
}

}  // namespace

void forward(const float *in)
{
    float h1[kH1], h2[kH2], o[kOut];
    forward_body(in, h1, h2, o);
    store_activations(h1, h2, o);
}

bool learn(const float *in, const float *target)
{
    float h1[kH1], h2[kH2], o[kOut];
    forward_body(in, h1, h2, o);
    store_activations(h1, h2, o);
    float *s = state;

    // Output error: stored differences, their squares, the scaled deltas.
    const float scale = static_cast<float>(0.333333 * static_cast<double>(BPlearning_rate));
    float od[kOut];
    double sum = 0.0;
    for (int i = 0; i < kOut; i++)
        od[i] = static_cast<float>(static_cast<double>(target[i]) - o[i]);
    for (int i = 0; i < kOut; i++)
        sum += static_cast<double>(od[i]) * od[i];
    for (int i = 0; i < kOut; i++) {
        od[i] = static_cast<float>(static_cast<double>(od[i]) * scale);
        s[kOutDelta + i] = od[i];
    }
    const float error = static_cast<float>(static_cast<double>(static_cast<float>(0.5 * sum)) * 0.25);
    if (!(error > BPthreshold))
        return false;

    counter++;
    const double x0 = in[0];
    const double x1 = in[1];
    float dh1[kH1] = {0.0f, 0.0f, 0.0f, 0.0f};
    float dh2[kH2] = {0.0f, 0.0f};
    // The three derivative offsets, Out, H2, H1, drawn before any value is live in a register.
    const float r_out = static_cast<float>(drand48() * 0.05f);
    const float r_h2 = static_cast<float>(drand48() * 0.05f);
    const float r_h1 = static_cast<float>(drand48() * 0.05f);

    // Out.
    float r = r_out;
    for (int i = 0; i < kOut; i++)
        od[i] = deriv(o[i], r, od[i]);
    for (int i = 0; i < kOut; i++)
        s[kOutThrGrad + i] = add(s[kOutThrGrad + i], od[i]);
    for (int i = 0; i < kOut; i++) {
        const double d = od[i];
        float *g = s + kG_Out_In + 2 * i;
        g[0] = add(g[0], x0 * d);
        g[1] = add(g[1], x1 * d);
    }
    for (int i = 0; i < kOut; i++) {
        const double d = od[i];
        const float *w = s + kW_Out_H1 + 4 * i;
        float *g = s + kG_Out_H1 + 4 * i;
        for (int k = 0; k < kH1; k++) {
            dh1[k] = add(dh1[k], d * w[k]);
            g[k] = add(g[k], h1[k] * d);
        }
    }
    for (int i = 0; i < kOut; i++) {
        const double d = od[i];
        const float *w = s + kW_Out_H2 + 2 * i;
        float *g = s + kG_Out_H2 + 2 * i;
        for (int k = 0; k < kH2; k++) {
            dh2[k] = add(dh2[k], d * w[k]);
            g[k] = add(g[k], h2[k] * d);
        }
    }

    // H2.
    r = r_h2;
    for (int i = 0; i < kH2; i++)
        dh2[i] = deriv(h2[i], r, dh2[i]);
    for (int i = 0; i < kH2; i++)
        s[kH2ThrGrad + i] = add(s[kH2ThrGrad + i], dh2[i]);
    for (int i = 0; i < kH2; i++) {
        const double d = dh2[i];
        float *g = s + kG_H2_In + 2 * i;
        g[0] = add(g[0], x0 * d);
        g[1] = add(g[1], x1 * d);
    }
    for (int i = 0; i < kH2; i++) {
        const double d = dh2[i];
        const float *w = s + kW_H2_H1 + 4 * i;
        float *g = s + kG_H2_H1 + 4 * i;
        for (int k = 0; k < kH1; k++) {
            dh1[k] = add(dh1[k], d * w[k]);
            g[k] = add(g[k], h1[k] * d);
        }
    }

    // H1.
    r = r_h1;
    for (int i = 0; i < kH1; i++)
        dh1[i] = deriv(h1[i], r, dh1[i]);
    for (int i = 0; i < kH1; i++)
        s[kH1ThrGrad + i] = add(s[kH1ThrGrad + i], dh1[i]);
    for (int i = 0; i < kH1; i++) {
        const double d = dh1[i];
        float *g = s + kG_H1_In + 2 * i;
        g[0] = add(g[0], x0 * d);
        g[1] = add(g[1], x1 * d);
    }
    for (int i = 0; i < kOut; i++)
        s[kOutDelta + i] = od[i];
    for (int i = 0; i < kH2; i++)
        s[kH2Delta + i] = dh2[i];
    for (int i = 0; i < kH1; i++)
        s[kH1Delta + i] = dh1[i];

    // The update on every third learning step, output side first.
    if (counter % 3 == 0) {
        const float mom = BPinertia;
        update<kOut>(mom, kOutThr, kOutThrGrad, kOutThrStep);
        update<kOut * kInputs>(mom, kW_Out_In, kG_Out_In, kS_Out_In);
        update<kOut * kH1>(mom, kW_Out_H1, kG_Out_H1, kS_Out_H1);
        update<kOut * kH2>(mom, kW_Out_H2, kG_Out_H2, kS_Out_H2);
        update<kH2>(mom, kH2Thr, kH2ThrGrad, kH2ThrStep);
        update<kH2 * kInputs>(mom, kW_H2_In, kG_H2_In, kS_H2_In);
        update<kH2 * kH1>(mom, kW_H2_H1, kG_H2_H1, kS_H2_H1);
        update<kH1>(mom, kH1Thr, kH1ThrGrad, kH1ThrStep);
        update<kH1 * kInputs>(mom, kW_H1_In, kG_H1_In, kS_H1_In);
    }
    return true;
}

}  // namespace bench_floor
